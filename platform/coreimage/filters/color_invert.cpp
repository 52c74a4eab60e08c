// CIColorInvert: inverts the colours of an image: each non-premultiplied
// colour component c becomes 1 − c; alpha is kept.
#include "filters.h"

namespace coreimage {

std::optional<Image> colorInvert(const Parameters& p) {
  const Image* input = imageParameter(p, kInputImageKey);
  if (!input) return std::nullopt;
  return input->applyingPixelOperation([](float* px, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, px += 4) {
      px[0] = 1 - px[0];
      px[1] = 1 - px[1];
      px[2] = 1 - px[2];
    }
  });
}

}  // namespace coreimage
