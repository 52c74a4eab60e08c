// Brush tips and stamping: the five generated tip shapes, imported tips, and
// the stamps laid along a stroke.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

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

StampTip stampTip(const BrushTip& tip) {
  StampTip prepared;
  prepared.coverage.resize(tip.size());
  std::transform(tip.begin(), tip.end(), prepared.coverage.begin(), [](std::uint8_t s) { return (255 - s) / 255.0f; });
  if (prepared.coverage.size() != static_cast<std::size_t>(kTipSide * kTipSide)) return prepared;
  // Bilinear sampling reaches one sample beyond the covered ones, at most
  // √2 samples away.
  double farthest = 0;
  constexpr double kCentre = kTipSide / 2.0;
  for (int i = 0; i < kTipSide; ++i)
    for (int j = 0; j < kTipSide; ++j)
      if (prepared.coverage[static_cast<std::size_t>(i * kTipSide + j)] > 0)
        farthest = std::max(farthest, std::hypot(i + 0.5 - kCentre, j + 0.5 - kCentre));
  prepared.reach = farthest + 1.5;
  return prepared;
}

namespace {

// The offsets from a row's centre along x for which a point of that row
// satisfies |a·dx + b| <= h: a closed interval, empty when lo > hi.
struct Span {
  double lo, hi;
};
Span spanWithin(double a, double b, double h) {
  if (std::fabs(a) < 1e-12) return std::fabs(b) <= h ? Span{-1e300, 1e300} : Span{1, 0};
  const double p = (-h - b) / a, q = (h - b) / a;
  return {std::min(p, q), std::max(p, q)};
}

// Source over of white with coverage c, or removal of c of the coverage;
// both in 8 bits, rounded.
inline std::uint8_t stamped(unsigned a, unsigned c, bool erase) {
  auto div255 = [](unsigned v) { return (v + 128 + ((v + 128) >> 8)) >> 8; };
  return static_cast<std::uint8_t>(erase ? a - div255(a * c) : a + div255(c * (255 - a)));
}

}  // namespace

void stampBrush(const StampTip& tip, CoverageCanvas& canvas, graphics::Point center, double diameter, double angle,
                bool erase, int firstRow, int endRow) {
  if (tip.coverage.size() != static_cast<std::size_t>(kTipSide * kTipSide)) return;
  if (!(diameter > 0 && diameter < 1e7) || !std::isfinite(angle) || !std::isfinite(center.x) ||
      !std::isfinite(center.y))
    return;
  const double c = std::cos(angle), s = std::sin(angle), h = diameter / 2;
  // Pixels whose centre lies within half a pixel of the square may be
  // partly covered.
  const double reach = h + 0.5, corner = reach * (std::fabs(c) + std::fabs(s));
  // Bounds are clamped before they become integers.
  auto within = [](double v, int limit) { return std::clamp(v, -1.0, limit + 1.0); };
  const int y0 = std::max({firstRow, 0, static_cast<int>(std::floor(within(center.y - corner, canvas.height)))});
  const int y1 = std::min({endRow, canvas.height, static_cast<int>(std::ceil(within(center.y + corner, canvas.height)))});
  // Tip sample coordinates: column tx = (ux + h)·k, row ty = (h − uy)·k for
  // the point (ux, uy) in the square's own frame; sampled at sample centres.
  const double k = kTipSide / diameter;
  const double tipReach = tip.reach / k + 0.5;
  const float* samples = tip.coverage.data();
  constexpr float kLast = kTipSide - 1;
  for (int y = y0; y < y1; ++y) {
    const double dy = y + 0.5 - center.y;
    // A covered point lies no farther from the centre than the tip's
    // coverage, and ux = c·dx + s·dy and uy = −s·dx + c·dy both within reach.
    if (std::fabs(dy) > tipReach) continue;
    const double halfChord = std::sqrt(tipReach * tipReach - dy * dy);
    const Span u = spanWithin(c, s * dy, reach), v = spanWithin(-s, c * dy, reach);
    const double lo = std::max({u.lo, v.lo, -halfChord}), hi = std::min({u.hi, v.hi, halfChord});
    if (lo > hi) continue;
    const int x0 = std::max(0, static_cast<int>(std::ceil(within(center.x + lo - 0.5, canvas.width))));
    const int x1 = std::min(canvas.width - 1, static_cast<int>(std::floor(within(center.x + hi - 0.5, canvas.width))));
    if (x0 > x1) continue;
    std::uint8_t* row = canvas.alpha.data() + static_cast<std::size_t>(canvas.height - 1 - y) * canvas.width;
    const double dx0 = x0 + 0.5 - center.x;
    // Along the row, in floats: the point in the square's frame and the
    // tip sample position both move by fixed steps.
    const auto ux0 = static_cast<float>(c * dx0 + s * dy), uy0 = static_cast<float>(-s * dx0 + c * dy);
    const auto cf = static_cast<float>(c), sf = static_cast<float>(s), edge = static_cast<float>(reach);
    const auto tx0 = static_cast<float>((ux0 + h) * k - 0.5), ty0 = static_cast<float>((h - uy0) * k - 0.5);
    const auto txStep = static_cast<float>(c * k), tyStep = static_cast<float>(s * k);
    // Full coverage stays full under paint, none stays none under erasing;
    // runs of such pixels are passed over eight at a time.
    const std::uint64_t settledRun = erase ? 0 : ~std::uint64_t{0};
    for (int x = x0; x <= x1; ++x) {
      for (std::uint64_t run; x + 8 <= x1 + 1; x += 8) {
        std::memcpy(&run, row + x, sizeof run);
        if (run != settledRun) break;
      }
      if (x > x1) break;
      const auto step = static_cast<float>(x - x0);
      // Sample positions held to the tip (its edge samples repeat); the
      // last cell is entered from its left or lower sample.
      const float sx = std::min(std::max(tx0 + txStep * step, 0.0f), kLast);
      const float sy = std::min(std::max(ty0 + tyStep * step, 0.0f), kLast);
      const int j = static_cast<int>(std::min(sx, kLast - 1)), i = static_cast<int>(std::min(sy, kLast - 1));
      const float fx = sx - static_cast<float>(j), fy = sy - static_cast<float>(i);
      const float* p = samples + i * kTipSide + j;
      const float top = p[0] + (p[1] - p[0]) * fx;
      const float bottom = p[kTipSide] + (p[kTipSide + 1] - p[kTipSide]) * fx;
      // The square's antialiased edges. No coverage leaves the pixel as it
      // is, so every pixel of the span is written without a test.
      const float ux = ux0 + cf * step, uy = uy0 - sf * step;
      const float coverage = std::max(top + (bottom - top) * fy, 0.0f) *
                             std::min(std::max(edge - std::fabs(ux), 0.0f), 1.0f) *
                             std::min(std::max(edge - std::fabs(uy), 0.0f), 1.0f);
      row[x] = stamped(row[x], static_cast<unsigned>(coverage * 255 + 0.5f), erase);
    }
  }
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
