// Scanned negatives: the input tone, the colour-negative conversion and the
// film look. The conversion stages are not built yet and pass the picture
// through unchanged; black-and-white negatives are inverted by the pipeline.
#include "tonesmith.h"

namespace tonesmith {

void applyNegativeInputTone(RenderState&) {}
void applyColorNegative(RenderState&, std::string_view) {}
void applyNegativeFilmLook(RenderState&, std::string_view) {}

}  // namespace tonesmith
