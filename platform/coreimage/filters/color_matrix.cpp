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
  // Each output component is the same sum, in the same order, as with one
  // row at a time; the columns of the matrix sit in registers.
  Pixel4 column[4], bias;
  for (int k = 0; k < 4; ++k) column[k] = Pixel4{m[0][k], m[1][k], m[2][k], m[3][k]};
  bias = Pixel4{m[4][0], m[4][1], m[4][2], m[4][3]};
  bool diagonal = true;
  for (int row = 0; row < 4; ++row)
    for (int k = 0; k < 4; ++k) diagonal = diagonal && (row == k || m[row][k] == 0);
  if (diagonal) {
    // Each component scaled and moved on its own, as an opacity or a ramp
    // is (the full sum adds only zeros to that, for finite values); the
    // identity, an opacity of 1 for one, changes nothing.
    const Pixel4 scale = {m[0][0], m[1][1], m[2][2], m[3][3]};
    if (m[0][0] == 1 && m[1][1] == 1 && m[2][2] == 1 && m[3][3] == 1 && m[4] == std::array<float, 4>{0, 0, 0, 0})
      return *input;
    return input->applyingPixelOperation([scale, bias](float* px, std::size_t count) {
      for (std::size_t i = 0; i < count; ++i, px += 4) storePixel(px, loadPixel(px) * scale + bias);
    });
  }
  return input->applyingPixelOperation([column, bias](float* px, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, px += 4) {
      const Pixel4 s = loadPixel(px);
      storePixel(px, column[0] * s[0] + column[1] * s[1] + column[2] * s[2] + column[3] * s[3] + bias);
    }
  });
}

}  // namespace coreimage
