// Brush tips and stamping: the five generated tip shapes, imported tips, and
// the stamps laid along a stroke.
#include <algorithm>
#include <cmath>

#include "local_effects.h"
#include "options.h"

namespace tonesmith {
namespace {

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

// Coverage u of a generated tip at row i, column j.
double tipCoverage(const std::string& shape, int i, int j) {
  const double di = (i + 0.5) / 31.5 - 1, dj = (j + 0.5) / 31.5 - 1;
  const double r = std::sqrt(di * di + dj * dj);
  const double c = std::cos(0.27 * i), e = std::sin(0.61 * i), f = std::sin(1.37 * i), g = std::cos(0.83 * i);
  if (shape == "ink-blot") {
    const double v = clamp01((0.07 * g + 0.09 * std::sin(0.71 * j) + 0.75 + 0.05 * std::sin(0.39 * (i + j)) - r) * 18);
    return (31 * i + 17 * j) % 173 == 0 && r < 0.7 ? 0.15 * v : v;  // small holes
  }
  if (shape == "bristle") {
    const double b = clamp01((0.07 * f + 0.76 + 0.04 * std::cos(0.31 * j) - r) * 24);
    const double w = std::sin(0.8 * i + std::sin(0.19 * j));
    return std::fabs(w) < 0.23 ? 0.12 * b : 0.92 * b;
  }
  if (shape == "dry-brush") {
    const double b = clamp01((0.06 * e + 0.82 + 0.03 * std::cos(0.47 * j) - r) * 20);
    const double w = std::sin(1.18 * i + std::cos(0.13 * j));
    return std::fabs(w) < 0.12 ? 0.05 * b : 0.76 * b;
  }
  if (shape == "soft-spot") {
    const double v =
        clamp01((0.04 * c + 0.045 * std::sin(0.23 * j) + 0.84 + 0.025 * std::sin(0.17 * (j - i)) - r) * 5.5);
    return v * (0.72 + 0.28 * std::max(1 - r, 0.0));
  }
  return clamp01((0.94 - r) * 28);  // a hard disc with a one-pixel soft rim
}

}  // namespace

BrushTip makeBrushMask(const std::string& shape, const std::string& imported) {
  if (shape == "imported") {
    if (auto bytes = decodeBase64(imported); bytes && bytes->size() == kTipSide * kTipSide)
      return BrushTip(bytes->begin(), bytes->end());
  }
  BrushTip tip(kTipSide * kTipSide);
  for (int i = 0; i < kTipSide; ++i)
    for (int j = 0; j < kTipSide; ++j)
      tip[i * kTipSide + j] = static_cast<std::uint8_t>(std::round((1 - tipCoverage(shape, i, j)) * 255));
  return tip;
}

std::optional<graphics::Mask> tipClip(const BrushTip& tip) {
  BrushTip coverage(tip.size());
  std::transform(tip.begin(), tip.end(), coverage.begin(), [](std::uint8_t s) { return std::uint8_t(255 - s); });
  return graphics::Mask::fromCoverage(kTipSide, kTipSide, coverage.data(), coverage.size());
}

bool hasEmptyBorder(const BrushTip& tip) {
  if (tip.size() != static_cast<std::size_t>(kTipSide * kTipSide)) return false;
  constexpr int kDepth = 2;
  for (int i = 0; i < kTipSide; ++i)
    for (int j = 0; j < kTipSide; ++j) {
      const bool border = i < kDepth || j < kDepth || i >= kTipSide - kDepth || j >= kTipSide - kDepth;
      if (border && tip[static_cast<std::size_t>(i * kTipSide + j)] != 255) return false;
    }
  return true;
}

void stampBrush(const graphics::Mask& tip, graphics::Canvas& canvas, graphics::Point center, double diameter,
                double angle, bool erase, bool emptyBorder) {
  canvas.saveState();
  canvas.translate(center.x, center.y);
  canvas.rotate(angle);
  const graphics::Rect square{-diameter / 2, -diameter / 2, diameter, diameter};
  canvas.clipToMask(tip, square);
  canvas.setBlendMode(erase ? graphics::BlendMode::clear : graphics::BlendMode::normal);
  // With no coverage near the tip's border, the soft edge of the square
  // meets none, so painting the whole clip gives the pixels filling the
  // square does, at less cost. Small stamps, whose pixels span several tip
  // samples, and other tips fill the square.
  if (emptyBorder && diameter >= kDirectPaintFrom)
    canvas.fillClip(graphics::Color::grey(1));
  else
    canvas.fill(square, graphics::Color::grey(1));
  canvas.restoreState();
}

double stampDiameter(const BrushStroke& stroke, MaskSize size) {
  return std::max(stroke.radius * size.shorter() * 2, 1.0);
}

std::optional<std::vector<Stamp>> strokeStamps(const BrushStroke& stroke, MaskSize size, double diameter,
                                               std::size_t limit) {
  std::vector<graphics::Point> points;
  points.reserve(stroke.points.size());
  for (const BrushPoint& p : stroke.points) points.push_back({p.x * size.width, (1 - p.y) * size.height});
  std::vector<Stamp> stamps;
  if (points.size() == 1) {
    if (limit < 1) return std::nullopt;
    stamps.push_back({points[0], 0});
    return stamps;
  }
  const double spacing = std::max(0.2 * diameter, 1.0);
  // Points lie on the mask, so a segment is at most its diagonal long and
  // the counts stay small integers.
  auto segmentCount = [&](graphics::Point p, graphics::Point q) {
    return std::max(static_cast<std::size_t>(std::ceil(std::hypot(q.x - p.x, q.y - p.y) / spacing)), std::size_t{1});
  };
  std::size_t total = 0;
  for (std::size_t i = 0; i + 1 < points.size(); ++i) {
    total += segmentCount(points[i], points[i + 1]) + 1;
    if (total > limit) return std::nullopt;
  }
  stamps.reserve(total);
  for (std::size_t i = 0; i + 1 < points.size(); ++i) {
    const graphics::Point p = points[i], q = points[i + 1];
    const double dx = q.x - p.x, dy = q.y - p.y;
    const std::size_t n = segmentCount(p, q);
    const double angle = std::atan2(dy, dx);
    for (std::size_t k = 0; k <= n; ++k) {
      const double t = static_cast<double>(k) / static_cast<double>(n);
      stamps.push_back({{p.x + dx * t, p.y + dy * t}, angle});
    }
  }
  return stamps;
}

}  // namespace tonesmith
