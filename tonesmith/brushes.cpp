// Brush tips and stamping: the five generated tip shapes, imported tips, and
// the stamps laid along a stroke.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <tuple>
#include <unordered_map>

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

namespace {

// The coverage of one stamp along one row of pixels: the tip sampled
// bilinearly at each pixel's centre, times the square's antialiased edges.
// Along the row the point in the square's frame and the tip sample position
// both move by fixed steps, kept in floats.
struct StampRow {
  int y = 0, x0 = 0, x1 = -1;  // the row (from the bottom) and its columns x0..x1
  const float* samples = nullptr;
  float tx0 = 0, ty0 = 0, txStep = 0, tyStep = 0, ux0 = 0, uy0 = 0, cf = 0, sf = 0, edge = 0;

  float coverage(int x) const {
    constexpr float kLast = kTipSide - 1;
    const auto step = static_cast<float>(x - x0);
    // Sample positions held to the tip (its edge samples repeat); the last
    // cell is entered from its left or lower sample.
    const float sx = std::min(std::max(tx0 + txStep * step, 0.0f), kLast);
    const float sy = std::min(std::max(ty0 + tyStep * step, 0.0f), kLast);
    const int j = static_cast<int>(std::min(sx, kLast - 1)), i = static_cast<int>(std::min(sy, kLast - 1));
    const float fx = sx - static_cast<float>(j), fy = sy - static_cast<float>(i);
    const float* p = samples + i * kTipSide + j;
    const float top = p[0] + (p[1] - p[0]) * fx;
    const float bottom = p[kTipSide] + (p[kTipSide + 1] - p[kTipSide]) * fx;
    const float ux = ux0 + cf * step, uy = uy0 - sf * step;
    return std::max(top + (bottom - top) * fy, 0.0f) * std::min(std::max(edge - std::fabs(ux), 0.0f), 1.0f) *
           std::min(std::max(edge - std::fabs(uy), 0.0f), 1.0f);
  }
};

// Calls visit(row) for every row firstRow <= y < endRow of a width × height
// canvas that the stamp may cover, with the columns it may cover.
template <typename Visit>
void forEachStampRow(const StampTip& tip, int width, int height, graphics::Point center, double diameter,
                     double angle, int firstRow, int endRow, Visit visit) {
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
  const int y0 = std::max({firstRow, 0, static_cast<int>(std::floor(within(center.y - corner, height)))});
  const int y1 = std::min({endRow, height, static_cast<int>(std::ceil(within(center.y + corner, height)))});
  // Tip sample coordinates: column tx = (ux + h)·k, row ty = (h − uy)·k for
  // the point (ux, uy) in the square's own frame; sampled at sample centres.
  const double k = kTipSide / diameter;
  const double tipReach = tip.reach / k + 0.5;
  StampRow row;
  row.samples = tip.coverage.data();
  row.cf = static_cast<float>(c);
  row.sf = static_cast<float>(s);
  row.edge = static_cast<float>(reach);
  row.txStep = static_cast<float>(c * k);
  row.tyStep = static_cast<float>(s * k);
  for (int y = y0; y < y1; ++y) {
    const double dy = y + 0.5 - center.y;
    // A covered point lies no farther from the centre than the tip's
    // coverage, and ux = c·dx + s·dy and uy = −s·dx + c·dy both within reach.
    if (std::fabs(dy) > tipReach) continue;
    const double halfChord = std::sqrt(tipReach * tipReach - dy * dy);
    const Span u = spanWithin(c, s * dy, reach), v = spanWithin(-s, c * dy, reach);
    const double lo = std::max({u.lo, v.lo, -halfChord}), hi = std::min({u.hi, v.hi, halfChord});
    if (lo > hi) continue;
    row.x0 = std::max(0, static_cast<int>(std::ceil(within(center.x + lo - 0.5, width))));
    row.x1 = std::min(width - 1, static_cast<int>(std::floor(within(center.x + hi - 0.5, width))));
    if (row.x0 > row.x1) continue;
    row.y = y;
    const double dx0 = row.x0 + 0.5 - center.x;
    row.ux0 = static_cast<float>(c * dx0 + s * dy);
    row.uy0 = static_cast<float>(-s * dx0 + c * dy);
    row.tx0 = static_cast<float>((row.ux0 + h) * k - 0.5);
    row.ty0 = static_cast<float>((h - row.uy0) * k - 0.5);
    visit(row);
  }
}

}  // namespace

void stampBrush(const StampTip& tip, CoverageCanvas& canvas, graphics::Point center, double diameter, double angle,
                bool erase, int firstRow, int endRow) {
  // Full coverage stays full under paint, none stays none under erasing;
  // runs of such pixels are passed over eight at a time.
  const std::uint64_t settledRun = erase ? 0 : ~std::uint64_t{0};
  forEachStampRow(tip, canvas.width, canvas.height, center, diameter, angle, firstRow, endRow, [&](const StampRow& r) {
    std::uint8_t* row = canvas.alpha.data() + static_cast<std::size_t>(canvas.height - 1 - r.y) * canvas.width;
    for (int x = r.x0; x <= r.x1; ++x) {
      for (std::uint64_t run; x + 8 <= r.x1 + 1; x += 8) {
        std::memcpy(&run, row + x, sizeof run);
        if (run != settledRun) break;
      }
      if (x > r.x1) break;
      // No coverage leaves the pixel as it is, so every pixel of the span is
      // written without a test.
      row[x] = stamped(row[x], static_cast<unsigned>(r.coverage(x) * 255 + 0.5f), erase);
    }
  });
}

StrokePlane::StrokePlane(int x0, int y0, int width, int height)
    : x0(x0), y0(y0), width(width), height(height), wordsPerRow((width + 63) / 64),
      transparency(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 1.0f),
      settled(static_cast<std::size_t>(wordsPerRow) * static_cast<std::size_t>(height), 0) {}

void StrokePlane::settle(int x, int y) {
  transparency[static_cast<std::size_t>(y - y0) * width + (x - x0)] = 0;
  settled[static_cast<std::size_t>(y - y0) * wordsPerRow + (x - x0) / 64] |= std::uint64_t{1} << ((x - x0) % 64);
}

void stampTransparency(const StampTip& tip, StrokePlane& plane, graphics::Point center, double diameter,
                       double angle, std::uint32_t count, int firstRow, int endRow) {
  if (count == 0) return;
  // The stamp in the plane's own frame.
  const graphics::Point local{center.x - plane.x0, center.y - plane.y0};
  const auto times = static_cast<float>(count);
  forEachStampRow(tip, plane.width, plane.height, local, diameter, angle, firstRow - plane.y0, endRow - plane.y0,
                  [&](const StampRow& r) {
    float* row = plane.transparency.data() + static_cast<std::size_t>(r.y) * plane.width;
    std::uint64_t* words = plane.settled.data() + static_cast<std::size_t>(r.y) * plane.wordsPerRow;
    for (int x = r.x0; x <= r.x1;) {
      // Settled pixels are passed over a word of 64 at a time.
      const std::uint64_t word = words[x / 64] >> (x % 64);
      if (word == ~std::uint64_t{0} >> (x % 64)) {
        x = (x / 64 + 1) * 64;
        continue;
      }
      if (word & 1) {
        ++x;
        continue;
      }
      const float c = r.coverage(x);
      if (c > 0) {
        float& t = row[x];
        t *= count == 1 ? 1 - c : std::pow(std::max(1 - c, 0.0f), times);
        if (t <= StrokePlane::kSettled) {
          t = 0;
          words[x / 64] |= std::uint64_t{1} << (x % 64);
        }
      }
      ++x;
    }
  });
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

int tipSymmetry(const BrushTip& tip) {
  if (tip.size() != static_cast<std::size_t>(kTipSide * kTipSide)) return 1;
  auto at = [&](int i, int j) { return tip[static_cast<std::size_t>(i * kTipSide + j)]; };
  constexpr int kLast = kTipSide - 1;
  bool half = true, quarter = true;
  for (int i = 0; i < kTipSide; ++i)
    for (int j = 0; j < kTipSide; ++j) {
      half = half && at(i, j) == at(kLast - i, kLast - j);
      quarter = quarter && at(i, j) == at(j, kLast - i);
    }
  return quarter ? 4 : half ? 2 : 1;  // a quarter turn twice is a half turn
}

namespace {

// Positions and angles closer than these are the same place and angle.
constexpr double kPlaceSteps = 1e6;  // per mask pixel
constexpr double kAngleSteps = 1e9;  // per radian
// Stamps handed over at a time (bounded memory, whatever the stroke).
constexpr std::size_t kBatchStamps = std::size_t{1} << 18;

struct PlaceKey {
  std::int64_t a, b, c, d;
  bool operator==(const PlaceKey&) const = default;
};
struct PlaceKeyHash {
  std::size_t operator()(const PlaceKey& k) const {
    std::uint64_t h = 1469598103934665603ull;
    for (std::int64_t v : {k.a, k.b, k.c, k.d}) h = (h ^ static_cast<std::uint64_t>(v)) * 1099511628211ull;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};
std::int64_t steps(double v, double perUnit) { return std::llround(v * perUnit); }
std::uint32_t addCounts(std::uint32_t a, std::uint32_t b) {
  return a > UINT32_MAX - b ? UINT32_MAX : a + b;
}

}  // namespace

void forEachStampBatch(const BrushStroke& stroke, MaskSize size, double diameter, int symmetry,
                       const std::function<void(const std::vector<WeightedStamp>&)>& take) {
  std::vector<graphics::Point> points;
  points.reserve(stroke.points.size());
  for (const BrushPoint& p : stroke.points) points.push_back({p.x * size.width, (1 - p.y) * size.height});
  const double period = 2 * std::numbers::pi / std::max(symmetry, 1);
  std::vector<WeightedStamp> batch;
  std::unordered_map<PlaceKey, std::size_t, PlaceKeyHash> placed;
  auto add = [&](graphics::Point center, double angle, std::uint32_t count) {
    double a = std::fmod(angle, period);
    if (a < 0) a += period;
    if (period - a < 1 / kAngleSteps) a = 0;
    const PlaceKey key{steps(center.x, kPlaceSteps), steps(center.y, kPlaceSteps), steps(a, kAngleSteps), 0};
    auto [it, inserted] = placed.try_emplace(key, batch.size());
    if (!inserted) {
      batch[it->second].count = addCounts(batch[it->second].count, count);
      return;
    }
    batch.push_back({center, a, count});
    if (batch.size() >= kBatchStamps) {
      take(batch);
      batch.clear();
      placed.clear();
    }
  };
  if (points.size() == 1) {
    add(points[0], 0, 1);
  } else {
    // Segments drawn more than once are stamped once with their count;
    // with a tip that a half turn leaves alike, either way round.
    struct Segment {
      graphics::Point p, q;
      std::uint32_t count;
    };
    std::vector<Segment> segments;
    std::unordered_map<PlaceKey, std::size_t, PlaceKeyHash> seen;
    for (std::size_t i = 0; i + 1 < points.size(); ++i) {
      graphics::Point p = points[i], q = points[i + 1];
      PlaceKey key{steps(p.x, kPlaceSteps), steps(p.y, kPlaceSteps), steps(q.x, kPlaceSteps), steps(q.y, kPlaceSteps)};
      if (symmetry % 2 == 0 && std::tie(key.c, key.d) < std::tie(key.a, key.b)) {
        std::swap(p, q);
        key = {key.c, key.d, key.a, key.b};
      }
      auto [it, inserted] = seen.try_emplace(key, segments.size());
      if (inserted)
        segments.push_back({p, q, 1});
      else
        segments[it->second].count = addCounts(segments[it->second].count, 1);
    }
    const double spacing = std::max(0.2 * diameter, 1.0);
    for (const Segment& segment : segments) {
      const graphics::Point p = segment.p, q = segment.q;
      const double dx = q.x - p.x, dy = q.y - p.y;
      // Points lie on the mask, so a segment is at most its diagonal long.
      const auto n = std::max(static_cast<std::size_t>(std::ceil(std::hypot(dx, dy) / spacing)), std::size_t{1});
      const double angle = std::atan2(dy, dx);
      for (std::size_t k = 0; k <= n; ++k) {
        const double t = static_cast<double>(k) / static_cast<double>(n);
        add({p.x + dx * t, p.y + dy * t}, angle, segment.count);
      }
    }
  }
  if (!batch.empty()) take(batch);
}

}  // namespace tonesmith
