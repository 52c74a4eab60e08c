// CIColorMatrix: multiplies source colour values and adds a bias factor to
// each colour component: with s the non-premultiplied source pixel,
//   r' = s·inputRVector, g' = s·inputGVector, b' = s·inputBVector,
//   a' = s·inputAVector, each plus its component of inputBiasVector.
// Defaults: R = (1, 0, 0, 0), G = (0, 1, 0, 0), B = (0, 0, 1, 0),
// A = (0, 0, 0, 1), bias (0, 0, 0, 0). Results are not clamped.
// See also: CIColorClamp.
#include <array>

#include "filters.h"

namespace coreimage {

std::optional<Image> colorMatrix(const Parameters& p) {
  const Image* input = imageParameter(p, kInputImageKey);
  if (!input) return std::nullopt;
  const char* keys[5] = {"inputRVector", "inputGVector", "inputBVector", "inputAVector", "inputBiasVector"};
  std::array<std::array<float, 4>, 5> m{};
  for (int row = 0; row < 5; ++row) {
    std::vector<double> fallback(4, 0.0);
    if (row < 4) fallback[static_cast<std::size_t>(row)] = 1;
    auto v = vectorParameter(p, keys[row], fallback);
    if (!v) return std::nullopt;
    for (int k = 0; k < 4; ++k) m[row][k] = static_cast<float>((*v)[static_cast<std::size_t>(k)]);
  }
  return input->applyingPixelOperation([m](float* px, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, px += 4) {
      float s[4] = {px[0], px[1], px[2], px[3]};
      for (int row = 0; row < 4; ++row)
        px[row] = s[0] * m[row][0] + s[1] * m[row][1] + s[2] * m[row][2] + s[3] * m[row][3] + m[4][row];
    }
  });
}

}  // namespace coreimage
