// CITemperatureAndTint: adapts the reference white point of an image.
// inputNeutral (default (6500, 0)) is the white of the picture as a
// correlated colour temperature in kelvin and a tint; inputTargetNeutral
// (default (6500, 0)) is the white it should become. A target below the
// neutral temperature warms the picture, one above cools it; a positive
// target tint moves it toward magenta, a negative one toward green.
//
// Each white is the chromaticity of its temperature: the CIE daylight locus
// from 4000 K, the Planckian locus (Kim et al. cubic fit) below, limited to
// 1667 K to 25000 K; the tint moves it across the locus in the CIE 1960 uv
// plane by tint × 0.00015. Colours are decoded from sRGB to linear light,
// taken to XYZ, adapted with the Bradford cone response (von Kries scaling
// from the neutral white to the target white, so luminance is kept), and
// encoded back. Alpha is kept; results are not clamped.
#include <algorithm>
#include <array>
#include <cmath>

#include "filters.h"

namespace coreimage {
namespace {

using Matrix = std::array<std::array<double, 3>, 3>;
using Triple = std::array<double, 3>;

Matrix multiply(const Matrix& a, const Matrix& b) {
  Matrix m{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) m[i][j] += a[i][k] * b[k][j];
  return m;
}

Triple times(const Matrix& m, const Triple& v) {
  return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2], m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
          m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

constexpr Matrix kBradford = {{{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};
constexpr Matrix kBradfordInverse = {
    {{0.9869929, -0.1470543, 0.1599627}, {0.4323053, 0.5183603, 0.0492912}, {-0.0085287, 0.0400428, 0.9684867}}};
constexpr Matrix kXyzFromRgb = {
    {{0.4124564, 0.3575761, 0.1804375}, {0.2126729, 0.7151522, 0.0721750}, {0.0193339, 0.1191920, 0.9503041}}};
constexpr Matrix kRgbFromXyz = {
    {{3.2404542, -1.5371385, -0.4985314}, {-0.9692660, 1.8760108, 0.0415560}, {0.0556434, -0.2040259, 1.0572252}}};

// Chromaticity (x, y) of a correlated colour temperature on the locus.
std::array<double, 2> locus(double t) {
  t = std::clamp(t, 1667.0, 25000.0);
  const double t1 = 1e3 / t, t2 = t1 * t1, t3 = t2 * t1;
  double x, y;
  if (t >= 4000) {
    x = t <= 7000 ? -4.6070 * t3 + 2.9678 * t2 + 0.09911 * t1 + 0.244063
                  : -2.0064 * t3 + 1.9018 * t2 + 0.24748 * t1 + 0.237040;
    y = -3 * x * x + 2.870 * x - 0.275;
  } else {
    x = -0.2661239 * t3 - 0.2343589 * t2 + 0.8776956 * t1 + 0.179910;
    y = t <= 2222 ? -1.1063814 * x * x * x - 1.34811020 * x * x + 2.18555832 * x - 0.20219683
                  : -0.9549476 * x * x * x - 1.37418593 * x * x + 2.09137015 * x - 0.16748867;
  }
  return {x, y};
}

std::array<double, 2> uvOf(std::array<double, 2> xy) {
  double d = -2 * xy[0] + 12 * xy[1] + 3;
  return {4 * xy[0] / d, 6 * xy[1] / d};
}

// XYZ (Y = 1) of the white of a temperature and tint.
Triple whitePoint(double temperature, double tint) {
  auto uv = uvOf(locus(temperature));
  if (tint != 0) {
    // The normal of the locus, pointing toward green (larger v).
    auto a = uvOf(locus(temperature - 50)), b = uvOf(locus(temperature + 50));
    double du = b[0] - a[0], dv = b[1] - a[1], len = std::hypot(du, dv);
    double nu = -dv / len, nv = du / len;
    if (nv < 0) nu = -nu, nv = -nv;
    uv[0] -= nu * tint * 0.00015;
    uv[1] -= nv * tint * 0.00015;
  }
  double d = 2 * uv[0] - 8 * uv[1] + 4;
  double x = 3 * uv[0] / d, y = 2 * uv[1] / d;
  return {x / y, 1, (1 - x - y) / y};
}

inline float decode(float v) {
  float a = std::fabs(v);
  float l = a <= 0.04045f ? a / 12.92f : std::pow((a + 0.055f) / 1.055f, 2.4f);
  return v < 0 ? -l : l;
}
inline float encode(float v) {
  float a = std::fabs(v);
  float e = a <= 0.0031308f ? a * 12.92f : 1.055f * std::pow(a, 1 / 2.4f) - 0.055f;
  return v < 0 ? -e : e;
}

}  // namespace

std::optional<Image> temperatureAndTint(const Parameters& p) {
  const Image* input = imageParameter(p, kInputImageKey);
  auto neutral = pointParameter(p, "inputNeutral", {6500, 0});
  auto target = pointParameter(p, "inputTargetNeutral", {6500, 0});
  if (!input || !neutral || !target || neutral->x <= 0 || target->x <= 0) return std::nullopt;
  if (neutral->x == target->x && neutral->y == target->y) return *input;
  Triple src = times(kBradford, whitePoint(neutral->x, neutral->y));
  Triple dst = times(kBradford, whitePoint(target->x, target->y));
  Matrix gains{};
  for (int i = 0; i < 3; ++i) gains[i][i] = dst[i] / src[i];
  Matrix m = multiply(kRgbFromXyz, multiply(kBradfordInverse, multiply(gains, multiply(kBradford, kXyzFromRgb))));
  std::array<float, 9> f{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) f[static_cast<std::size_t>(i * 3 + j)] = static_cast<float>(m[i][j]);
  return input->applyingPixelOperation([f](float* px, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, px += 4) {
      float r = decode(px[0]), g = decode(px[1]), b = decode(px[2]);
      px[0] = encode(f[0] * r + f[1] * g + f[2] * b);
      px[1] = encode(f[3] * r + f[4] * g + f[5] * b);
      px[2] = encode(f[6] * r + f[7] * g + f[8] * b);
    }
  });
}

}  // namespace coreimage
