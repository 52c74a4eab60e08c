// Print layout at physical size. Not built yet: no layout, no report entries.
#include "tonesmith.h"

namespace tonesmith {

std::optional<json::Value> applyPrintLayout(RenderState&) { return std::nullopt; }

}  // namespace tonesmith
