// Rectangles, pixel rectangles and affine transforms.
#include <algorithm>
#include <cmath>
#include <limits>

#include "node.h"

namespace coreimage {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Pixel coordinates are kept within ±2^40 so that sizes and products of
// them never overflow 64 bits.
constexpr double kPixelLimit = 1099511627776.0;

double snapToInteger(double v) {
  double r = std::round(v);
  return std::fabs(v - r) < 1e-6 ? r : v;
}

// Angles whose sine or cosine are within rounding of 0 or ±1 are made exact,
// so that quarter turns map pixels onto pixels.
double snapUnit(double v) {
  if (std::fabs(v) < 1e-12) return 0;
  if (std::fabs(v - 1) < 1e-12) return 1;
  if (std::fabs(v + 1) < 1e-12) return -1;
  return v;
}

}  // namespace

Rect Rect::infinite() { return {-kInf, -kInf, kInf, kInf}; }

bool Rect::isInfinite() const {
  return std::isinf(minX) || std::isinf(minY) || std::isinf(maxX) || std::isinf(maxY);
}

Rect Rect::intersection(const Rect& o) const {
  Rect r{std::max(minX, o.minX), std::max(minY, o.minY), std::min(maxX, o.maxX), std::min(maxY, o.maxY)};
  if (r.isEmpty()) return {};
  return r;
}

Rect Rect::unionWith(const Rect& o) const {
  if (isEmpty()) return o;
  if (o.isEmpty()) return *this;
  return {std::min(minX, o.minX), std::min(minY, o.minY), std::max(maxX, o.maxX), std::max(maxY, o.maxY)};
}

Rect Rect::insetBy(double dx, double dy) const {
  Rect r{minX + dx, minY + dy, maxX - dx, maxY - dy};
  if (r.isEmpty()) return {};
  return r;
}

Rect Rect::integral() const {
  if (isEmpty()) return {};
  if (isInfinite()) return *this;
  return {std::floor(snapToInteger(minX)), std::floor(snapToInteger(minY)), std::ceil(snapToInteger(maxX)),
          std::ceil(snapToInteger(maxY))};
}

PixelRect PixelRect::intersection(const PixelRect& o) const {
  std::int64_t x0 = std::max(x, o.x), y0 = std::max(y, o.y);
  std::int64_t x1 = std::min(maxX(), o.maxX()), y1 = std::min(maxY(), o.maxY());
  if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
  return {x0, y0, x1 - x0, y1 - y0};
}

namespace {
std::int64_t limitCoordinate(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<std::int64_t>(std::clamp(v, -kPixelLimit, kPixelLimit));
}
}  // namespace

PixelRect pixelsInside(const Rect& rect) {
  if (rect.isEmpty()) return {};
  // Centre x + 0.5 inside [minX, maxX): x from ceil(minX - 0.5) to ceil(maxX - 0.5) exclusive.
  std::int64_t x0 = limitCoordinate(std::ceil(snapToInteger(rect.minX) - 0.5));
  std::int64_t y0 = limitCoordinate(std::ceil(snapToInteger(rect.minY) - 0.5));
  std::int64_t x1 = limitCoordinate(std::ceil(snapToInteger(rect.maxX) - 0.5));
  std::int64_t y1 = limitCoordinate(std::ceil(snapToInteger(rect.maxY) - 0.5));
  if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
  return {x0, y0, x1 - x0, y1 - y0};
}

PixelRect pixelsTouching(const Rect& rect) {
  if (rect.isEmpty()) return {};
  std::int64_t x0 = limitCoordinate(std::floor(rect.minX)), y0 = limitCoordinate(std::floor(rect.minY));
  std::int64_t x1 = limitCoordinate(std::ceil(rect.maxX)), y1 = limitCoordinate(std::ceil(rect.maxY));
  if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
  return {x0, y0, x1 - x0, y1 - y0};
}

PixelRect pixelDomain(const Rect& extent, const PixelRect& region) {
  if (extent.isInfinite()) {
    // Infinite in some directions only: clip the finite sides.
    Rect r = extent.intersection(Rect::make(static_cast<double>(region.x), static_cast<double>(region.y),
                                            static_cast<double>(region.width),
                                            static_cast<double>(region.height)));
    return pixelsInside(r);
  }
  return pixelsInside(extent);
}

Affine Affine::rotation(double radians) {
  double c = snapUnit(std::cos(radians)), s = snapUnit(std::sin(radians));
  return {c, s, -s, c, 0, 0};
}

Affine Affine::then(const Affine& n) const {
  return {a * n.a + b * n.c,           a * n.b + b * n.d,          c * n.a + d * n.c,
          c * n.b + d * n.d,           tx * n.a + ty * n.c + n.tx, tx * n.b + ty * n.d + n.ty};
}

std::optional<Affine> Affine::inverted() const {
  double det = a * d - b * c;
  if (!std::isfinite(det) || det == 0) return std::nullopt;
  double ia = d / det, ib = -b / det, ic = -c / det, id = a / det;
  Affine r{ia, ib, ic, id, -(ia * tx + ic * ty), -(ib * tx + id * ty)};
  if (!std::isfinite(r.a) || !std::isfinite(r.b) || !std::isfinite(r.c) || !std::isfinite(r.d) ||
      !std::isfinite(r.tx) || !std::isfinite(r.ty))
    return std::nullopt;
  return r;
}

Rect Affine::apply(const Rect& r) const {
  if (r.isEmpty()) return {};
  if (r.isInfinite()) return Rect::infinite();
  Point corners[4] = {apply(Point{r.minX, r.minY}), apply(Point{r.maxX, r.minY}), apply(Point{r.minX, r.maxY}),
                      apply(Point{r.maxX, r.maxY})};
  Rect out{corners[0].x, corners[0].y, corners[0].x, corners[0].y};
  for (const Point& p : corners) {
    out.minX = std::min(out.minX, p.x);
    out.minY = std::min(out.minY, p.y);
    out.maxX = std::max(out.maxX, p.x);
    out.maxY = std::max(out.maxY, p.y);
  }
  return out;
}

}  // namespace coreimage
