// Feeds arbitrary bytes as the --local-effects JSON: every effect read must
// hold clamped values, and its strokes are stamped onto a small mask. The
// scratch region and counts are computed too, and the scratch layers drawn
// when the count is modest (a dense request is slow by design).
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "local_effects.h"
#include "scratches.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto value = json::parse(std::string_view(reinterpret_cast<const char*>(data), size),
                           {.requireContainer = true, .maxDepth = 64});
  if (!value) return 0;
  const tonesmith::MaskSize mask{48, 32};
  for (const tonesmith::LocalEffect& effect : tonesmith::readLocalEffects(*value)) {
    if (effect.strokes.empty() || !(effect.opacity >= 0 && effect.opacity <= 1) ||
        !(effect.feather >= 0 && effect.feather <= 0.1))
      std::abort();
    for (const auto& stroke : effect.strokes) {
      if (stroke.points.empty() || !(stroke.radius >= 0.0005 && stroke.radius <= 0.2)) std::abort();
      for (const auto& p : stroke.points)
        if (!(p.x >= 0 && p.x <= 1 && p.y >= 0 && p.y <= 1)) std::abort();
    }
    if (!tonesmith::rasterizeStrokes(effect, mask)) std::abort();
    const auto region = tonesmith::scratchRegion(effect, mask);
    if (!(region.width > 0 && region.height > 0 && region.x >= 0 && region.y >= 0 &&
          region.x + region.width <= mask.width + 1e-9 && region.y + region.height <= mask.height + 1e-9))
      std::abort();
    const auto counts = tonesmith::scratchCounts(effect, mask, region);
    if (counts.candidates < 48 || counts.candidates > 900000 || counts.specks < 24 || counts.specks > 60000)
      std::abort();
    if (counts.candidates <= 20000 && !tonesmith::drawScratchLayers(effect, mask, 1)) std::abort();
  }
  return 0;
}
