// CIRandomGenerator: an image of infinite extent whose pixels are made of
// four independent values uniformly distributed over 0 to 1 (red, green,
// blue and alpha, not premultiplied). The field is fixed: a pixel's values
// depend only on its position, so the same region always reads the same
// and a translated generator shows the same field moved.
#include <algorithm>
#include <cstdint>

#include "filters.h"
#include "planes.h"

namespace coreimage {
namespace {

// The finalizer of SplitMix64: a bijective mix in which every input bit
// affects every output bit.
inline std::uint64_t mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// The mixed position of pixel (x, y), from which its four components come.
inline std::uint64_t pixelSeed(std::int64_t x, std::int64_t y) {
  return mix((static_cast<std::uint64_t>(x) << 32) ^ static_cast<std::uint32_t>(y) ^ 0x9e3779b97f4a7c15ULL);
}

// 24 random bits per component: exactly representable in a float.
inline float componentValue(std::uint64_t seed, int k) {
  const std::uint64_t bits = mix(seed + static_cast<std::uint64_t>(k) * 0x9e3779b97f4a7c15ULL) >> 40;
  return static_cast<float>(bits) * (1.0f / 16777215.0f);
}

class RandomNode final : public Node {
 public:
  Rect extent() const override { return Rect::infinite(); }
  void render(const TileView& out) const override {
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* px = out.row(y);
      for (std::int64_t x = out.rect.x; x < out.rect.maxX(); ++x, px += 4) {
        const std::uint64_t seed = pixelSeed(x, y);
        for (int k = 0; k < 4; ++k) px[k] = componentValue(seed, k);
      }
    }
  }
};

}  // namespace

std::optional<Image> randomGenerator(const Parameters&) { return Image(std::make_shared<RandomNode>()); }

FloatPlane randomField(const PixelRect& area, int component) {
  FloatPlane plane(std::max<std::int64_t>(area.width, 0), std::max<std::int64_t>(area.height, 0));
  const int k = component < 0 ? 0 : component > 3 ? 3 : component;
  inTwoHalves(plane.height, [&](std::int64_t first, std::int64_t end) {
    for (std::int64_t row = first; row < end; ++row) {
      const std::int64_t y = area.maxY() - 1 - row;
      float* out = plane.row(row);
      for (std::int64_t x = 0; x < plane.width; ++x) out[x] = componentValue(pixelSeed(area.x + x, y), k);
    }
  });
  return plane;
}

}  // namespace coreimage
