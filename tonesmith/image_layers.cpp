// Image layers composited over the picture. Not built yet: the picture
// passes unchanged.
#include "tonesmith.h"

namespace tonesmith {

void applyImageLayers(RenderState&) {}

}  // namespace tonesmith
