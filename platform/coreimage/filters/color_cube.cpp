// CIColorCube: uses a three-dimensional colour table to transform the
// source pixels. inputCubeDimension N (2 to 128, default 2) and
// inputCubeData, N³ entries of four 32-bit floats (red, green, blue, alpha)
// with the red index varying fastest, then green, then blue; entry
// (i, j, k) is the output for the input colour (i, j, k)/(N − 1). The data
// must hold exactly N³ × 16 bytes, otherwise there is no output.
//
// Inputs are non-premultiplied colours clamped to 0..1 (not-a-number as
// 0); the output colour is the trilinear interpolation of the eight
// surrounding entries, and the output alpha the source alpha times the
// interpolated table alpha.
//
// A table whose red output depends on the red input only, and likewise
// green and blue, with alpha 1 throughout (tone curves baked into a cube),
// is applied as three one-dimensional curves: trilinear interpolation of
// such a table is exactly linear interpolation along each axis.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "filters.h"

namespace coreimage {
namespace {

struct CubeTable {
  int n = 0;
  std::vector<float> entries;  // n³ × 4
  bool separable = false;
  std::vector<float> curves[3];  // n values each, when separable
};

inline float unit(float v) { return v > 0 ? (v < 1 ? v : 1) : 0; }

bool isSeparable(CubeTable& t) {
  const int n = t.n;
  auto at = [&](int i, int j, int k) { return t.entries.data() + ((static_cast<std::size_t>(k) * n + j) * n + i) * 4; };
  for (int c = 0; c < 3; ++c) t.curves[c].resize(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    t.curves[0][static_cast<std::size_t>(i)] = at(i, 0, 0)[0];
    t.curves[1][static_cast<std::size_t>(i)] = at(0, i, 0)[1];
    t.curves[2][static_cast<std::size_t>(i)] = at(0, 0, i)[2];
  }
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        const float* e = at(i, j, k);
        if (e[0] != t.curves[0][static_cast<std::size_t>(i)] || e[1] != t.curves[1][static_cast<std::size_t>(j)] ||
            e[2] != t.curves[2][static_cast<std::size_t>(k)] || e[3] != 1)
          return false;
      }
  return true;
}

void applySeparable(const CubeTable& t, float* px, std::size_t count) {
  const float scale = static_cast<float>(t.n - 1);
  const int last = t.n - 2;
  for (std::size_t p = 0; p < count; ++p, px += 4)
    for (int c = 0; c < 3; ++c) {
      float f = unit(px[c]) * scale;
      int i = std::min(static_cast<int>(f), last);
      float d = f - static_cast<float>(i);
      const float* curve = t.curves[c].data() + i;
      px[c] = curve[0] + (curve[1] - curve[0]) * d;
    }
}

void applyTrilinear(const CubeTable& t, float* px, std::size_t count) {
  const float scale = static_cast<float>(t.n - 1);
  const int last = t.n - 2;
  const std::size_t dy = static_cast<std::size_t>(t.n) * 4, dz = dy * static_cast<std::size_t>(t.n);
  const float* data = t.entries.data();
  for (std::size_t p = 0; p < count; ++p, px += 4) {
    float fr = unit(px[0]) * scale, fg = unit(px[1]) * scale, fb = unit(px[2]) * scale;
    int i = std::min(static_cast<int>(fr), last), j = std::min(static_cast<int>(fg), last),
        k = std::min(static_cast<int>(fb), last);
    float dr = fr - static_cast<float>(i), dg = fg - static_cast<float>(j), db = fb - static_cast<float>(k);
    const float* e = data + static_cast<std::size_t>(k) * dz + static_cast<std::size_t>(j) * dy +
                     static_cast<std::size_t>(i) * 4;
    Pixel4 c000 = loadPixel(e), c100 = loadPixel(e + 4), c010 = loadPixel(e + dy), c110 = loadPixel(e + dy + 4);
    Pixel4 c001 = loadPixel(e + dz), c101 = loadPixel(e + dz + 4), c011 = loadPixel(e + dz + dy),
           c111 = loadPixel(e + dz + dy + 4);
    Pixel4 c00 = c000 + (c100 - c000) * dr, c10 = c010 + (c110 - c010) * dr;
    Pixel4 c01 = c001 + (c101 - c001) * dr, c11 = c011 + (c111 - c011) * dr;
    Pixel4 c0 = c00 + (c10 - c00) * dg, c1 = c01 + (c11 - c01) * dg;
    Pixel4 out = c0 + (c1 - c0) * db;
    float alpha = px[3] * out[3];
    storePixel(px, out);
    px[3] = alpha;
  }
}

}  // namespace

std::optional<Image> colorCube(const Parameters& p) {
  const Image* input = imageParameter(p, kInputImageKey);
  auto dimension = numberParameter(p, "inputCubeDimension", 2);
  const Data* data = dataParameter(p, "inputCubeData");
  if (!input || !dimension || !data) return std::nullopt;
  if (*dimension != static_cast<double>(static_cast<int>(*dimension)) || *dimension < 2 || *dimension > 128)
    return std::nullopt;
  auto table = std::make_shared<CubeTable>();
  table->n = static_cast<int>(*dimension);
  const std::size_t values = static_cast<std::size_t>(table->n) * table->n * table->n * 4;
  if (data->size() != values * sizeof(float)) return std::nullopt;
  table->entries.resize(values);
  std::memcpy(table->entries.data(), data->data(), data->size());
  for (float& v : table->entries)
    if (!std::isfinite(v)) v = 0;
  table->separable = isSeparable(*table);
  std::shared_ptr<const CubeTable> shared = table;
  if (shared->separable)
    return input->applyingPixelOperation(
        [shared](float* px, std::size_t count) { applySeparable(*shared, px, count); });
  return input->applyingPixelOperation(
      [shared](float* px, std::size_t count) { applyTrilinear(*shared, px, count); });
}

}  // namespace coreimage
