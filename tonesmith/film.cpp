// Film colour profiles. Not built yet: the picture passes unchanged.
#include "tonesmith.h"

namespace tonesmith {

void applyFilmColorProfile(RenderState&, std::string_view, double) {}

}  // namespace tonesmith
