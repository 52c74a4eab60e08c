// Measurement modes. Not built yet: asking for one fails plainly rather
// than pretending to measure.
#include "tonesmith.h"

namespace tonesmith {

void measureFilmBase(const RenderState&, const NormalizedRect&) { fail("Film base measurement is not available"); }
void measureTones(const RenderState&) { fail("Tone measurement is not available"); }

}  // namespace tonesmith
