// CILinearGradient: generates a gradient that varies along a linear axis
// between two defined endpoints: inputColor0 at inputPoint0 (default 0,0),
// inputColor1 at inputPoint1 (default 200,200), the colours mixed linearly
// between them and held beyond them. Infinite extent.
//
// CIConstantColorGenerator: an image of inputColor everywhere, infinite.
#include <algorithm>

#include "filters.h"

namespace coreimage {
namespace {

class LinearGradientNode final : public Node {
 public:
  LinearGradientNode(Point p0, Point p1, Color c0, Color c1) : p0_(p0), c0_(c0), c1_(c1) {
    dx_ = p1.x - p0.x;
    dy_ = p1.y - p0.y;
    double len2 = dx_ * dx_ + dy_ * dy_;
    if (len2 > 0) {
      dx_ /= len2;
      dy_ /= len2;
    }
  }
  Rect extent() const override { return Rect::infinite(); }
  void render(const TileView& out) const override {
    const Pixel4 c0 = {c0_.r, c0_.g, c0_.b, c0_.a};
    const Pixel4 delta = Pixel4{c1_.r, c1_.g, c1_.b, c1_.a} - c0;
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* d = out.row(y);
      // t grows by dx_ per pixel along the row.
      double t = (out.rect.x + 0.5 - p0_.x) * dx_ + (y + 0.5 - p0_.y) * dy_;
      for (std::int64_t x = 0; x < out.rect.width; ++x, d += 4, t += dx_) {
        float f = static_cast<float>(std::clamp(t, 0.0, 1.0));
        storePixel(d, c0 + delta * f);
      }
    }
  }

 private:
  Point p0_;
  Color c0_, c1_;
  double dx_ = 0, dy_ = 0;  // direction divided by its squared length
};

}  // namespace

std::optional<Image> linearGradient(const Parameters& p) {
  auto p0 = pointParameter(p, "inputPoint0", {0, 0});
  auto p1 = pointParameter(p, "inputPoint1", {200, 200});
  auto c0 = colorParameter(p, "inputColor0", {1, 1, 1, 1});
  auto c1 = colorParameter(p, "inputColor1", {0, 0, 0, 1});
  if (!p0 || !p1 || !c0 || !c1) return std::nullopt;
  return Image(std::make_shared<LinearGradientNode>(*p0, *p1, *c0, *c1));
}

std::optional<Image> constantColorGenerator(const Parameters& p) {
  auto c = colorParameter(p, "inputColor", {0, 0, 0, 1});
  if (!c) return std::nullopt;
  return Image::constantColor(*c);
}

}  // namespace coreimage
