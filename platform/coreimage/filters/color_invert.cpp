// CIColorInvert: inverts the colours of an image: each non-premultiplied
// colour component c becomes 1 − c; alpha is kept.
#include "filters.h"

namespace coreimage {

std::optional<Image> colorInvert(const Parameters& p) {
  const Image* input = imageParameter(p, kInputImageKey);
  if (!input) return std::nullopt;
  return input->applyingPixelOperation([](float* px, std::size_t count) {
    const Pixel4 flip = {-1, -1, -1, 1}, offset = {1, 1, 1, 0};
    for (std::size_t i = 0; i < count; ++i, px += 4) storePixel(px, loadPixel(px) * flip + offset);
  });
}

}  // namespace coreimage
