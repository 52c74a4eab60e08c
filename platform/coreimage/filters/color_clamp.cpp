// CIColorClamp: modifies colour values to keep them within a given
// range: each non-premultiplied component c becomes
// min(max(c, inputMinComponents[c]), inputMaxComponents[c]).
// Defaults: minimum (0, 0, 0, 0), maximum (1, 1, 1, 1); either vector may
// be given alone. Not-a-number components become the minimum.

#include "filters.h"

namespace coreimage {

std::optional<Image> colorClamp(const Parameters& p) {
  const Image* input = imageParameter(p, kInputImageKey);
  auto lo = vectorParameter(p, "inputMinComponents", {0, 0, 0, 0});
  auto hi = vectorParameter(p, "inputMaxComponents", {1, 1, 1, 1});
  if (!input || !lo || !hi) return std::nullopt;
  Pixel4 mn{}, mx{};
  for (std::size_t k = 0; k < 4; ++k) {
    mn[k] = static_cast<float>((*lo)[k]);
    mx[k] = static_cast<float>((*hi)[k]);
  }
  // All four components at once, with the comparisons of one at a time.
  return input->applyingPixelOperation([mn, mx](float* px, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, px += 4) {
      const Pixel4 v = loadPixel(px);
      const Pixel4 raised = v > mn ? v : mn;
      storePixel(px, raised < mx ? raised : mx);
    }
  });
}

}  // namespace coreimage
