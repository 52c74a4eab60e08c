// CIRandomGenerator: an image of infinite extent whose pixels are made of
// four independent values uniformly distributed over 0 to 1 (red, green,
// blue and alpha, not premultiplied). The field is fixed: a pixel's values
// depend only on its position, so the same region always reads the same
// and a translated generator shows the same field moved.
#include <cstdint>

#include "filters.h"

namespace coreimage {
namespace {

// The finalizer of SplitMix64: a bijective mix in which every input bit
// affects every output bit.
inline std::uint64_t mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

class RandomNode final : public Node {
 public:
  Rect extent() const override { return Rect::infinite(); }
  void render(const TileView& out) const override {
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* px = out.row(y);
      for (std::int64_t x = out.rect.x; x < out.rect.maxX(); ++x, px += 4) {
        const std::uint64_t seed =
            mix((static_cast<std::uint64_t>(x) << 32) ^ static_cast<std::uint32_t>(y) ^ 0x9e3779b97f4a7c15ULL);
        for (int k = 0; k < 4; ++k) {
          // 24 random bits per component: exactly representable in a float.
          const std::uint64_t bits = mix(seed + static_cast<std::uint64_t>(k) * 0x9e3779b97f4a7c15ULL) >> 40;
          px[k] = static_cast<float>(bits) * (1.0f / 16777215.0f);
        }
      }
    }
  }
};

}  // namespace

std::optional<Image> randomGenerator(const Parameters&) { return Image(std::make_shared<RandomNode>()); }

}  // namespace coreimage
