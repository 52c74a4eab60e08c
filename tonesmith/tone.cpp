// Tone and colour adjustments: brightness, contrast, curves, saturation and
// look-up tables. Not built yet: each stage leaves the picture unchanged.
#include "tonesmith.h"

namespace tonesmith {

void applyBrightness(RenderState&) {}
void applyContrast(RenderState&) {}
void applyToneCurves(RenderState&, const std::optional<json::Value>&, const std::optional<json::Value>&) {}
void applySaturation(RenderState&) {}
void applyLookupTables(RenderState&) {}

}  // namespace tonesmith
