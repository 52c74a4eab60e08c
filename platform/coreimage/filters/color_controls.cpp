// CIColorControls: adjusts saturation, brightness and contrast, in that
// order, on non-premultiplied colour:
//   saturation: mix between the Rec. 709 luma grey (0) and the colour (1),
//     extrapolated beyond 1: c = y + (c − y)·inputSaturation;
//   brightness: c = c + inputBrightness;
//   contrast:   c = (c − 0.5)·inputContrast + 0.5.
// Defaults: saturation 1, brightness 0, contrast 1. Alpha is kept; results
// are not clamped.
#include "filters.h"

namespace coreimage {

std::optional<Image> colorControls(const Parameters& p) {
  const Image* input = imageParameter(p, kInputImageKey);
  auto saturation = numberParameter(p, "inputSaturation", 1);
  auto brightness = numberParameter(p, "inputBrightness", 0);
  auto contrast = numberParameter(p, "inputContrast", 1);
  if (!input || !saturation || !brightness || !contrast) return std::nullopt;
  if (*saturation == 1 && *brightness == 0 && *contrast == 1) return *input;
  const float s = static_cast<float>(*saturation), c = static_cast<float>(*contrast);
  // Brightness then contrast: (x + b − 0.5)·c + 0.5 = x·c + offset.
  const float offset = (static_cast<float>(*brightness) - 0.5f) * c + 0.5f;
  return input->applyingPixelOperation([s, c, offset](float* px, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, px += 4) {
      float y = luma(px);
      for (int k = 0; k < 3; ++k) px[k] = (y + (px[k] - y) * s) * c + offset;
    }
  });
}

}  // namespace coreimage
