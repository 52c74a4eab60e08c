// Brushed local effects. Not built yet: the picture passes unchanged.
#include "tonesmith.h"

namespace tonesmith {

void applyLocalEffects(RenderState&) {}

}  // namespace tonesmith
