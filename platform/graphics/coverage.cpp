// Coverage planes: marks turned into polygons, clipped to the plane's
// columns, and scan-converted row by row with exact area coverage (each
// edge leaves, in the cells it crosses, the area it adds to the right; a
// running sum along the row gives every pixel's covered area).
#include "coverage.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <exception>
#include <new>
#include <numbers>
#include <system_error>
#include <thread>

namespace graphics {

namespace {

constexpr int kMaxSide = 32767;
constexpr double kMaxMagnitude = 16777216;  // 2²⁴: beyond it marks are not drawn
// Circles as regular polygons: at most this far (pixels) inside the circle
// between vertices, with this many vertices at most.
constexpr double kCircleTolerance = 0.02;
constexpr int kMaxCircleVertices = 256;
constexpr int kMaxVertices = kMaxCircleVertices + 4;  // room for the two column clips

struct Vertex {
  double x, y;  // plane pixels, y downward from the top
};

// A convex polygon of a few vertices, kept on the stack.
struct Polygon {
  std::array<Vertex, kMaxVertices> v;
  int count = 0;
  void add(Vertex p) { v[static_cast<std::size_t>(count++)] = p; }
};

bool usable(double value) { return std::isfinite(value) && std::fabs(value) <= kMaxMagnitude; }

// The part of the polygon on the side of x = `bound` that `keep` accepts.
template <typename Keep>
void clipColumns(const Polygon& in, Polygon& out, double bound, Keep keep) {
  out.count = 0;
  for (int i = 0; i < in.count; ++i) {
    const Vertex a = in.v[static_cast<std::size_t>(i)];
    const Vertex b = in.v[static_cast<std::size_t>((i + 1) % in.count)];
    const bool inA = keep(a.x), inB = keep(b.x);
    if (inA) out.add(a);
    if (inA != inB) {
      const double t = (bound - a.x) / (b.x - a.x);
      out.add({bound, a.y + (b.y - a.y) * t});
    }
  }
}

// One edge of a polygon, by increasing y.
struct Edge {
  double top, bottom;   // y range
  double xAtTop, dxdy;  // the x where y = top, and its change with y
  double minX, maxX;    // x range, to hold rounding inside it
  double winding;       // +1 downward, −1 upward
};

// Scratch memory and the scan conversion for one plane, used by one thread.
class Rasterizer {
 public:
  Rasterizer(int width, int height, std::uint8_t* bytes)
      : width_(width), height_(height), bytes_(bytes), cells_(static_cast<std::size_t>(width) + 2, 0.0f) {}

  void draw(const CoverageMark& mark, int top, int bottom) {
    if (!(mark.alpha > 0) || !std::isfinite(mark.alpha)) return;
    if (!usable(mark.from.x) || !usable(mark.from.y) || !usable(mark.to.x) || !usable(mark.to.y) ||
        !usable(mark.width) || !(mark.width > 0))
      return;
    const float alpha = static_cast<float>(std::min(mark.alpha, 1.0));
    Polygon shape;
    if (mark.shape == CoverageMark::Shape::circle)
      circlePolygon(mark, shape);
    else if (!linePolygon(mark, shape))
      return;
    fill(shape, alpha, std::max(top, 0), std::min(bottom, height_));
  }

 private:
  Vertex toPlane(Point p) const { return {p.x, height_ - p.y}; }

  // The rectangle a butt-capped line covers; false for a zero length.
  bool linePolygon(const CoverageMark& mark, Polygon& out) const {
    const Vertex a = toPlane(mark.from), b = toPlane(mark.to);
    const double dx = b.x - a.x, dy = b.y - a.y, length = std::hypot(dx, dy);
    if (!(length > 0)) return false;
    const double nx = -dy / length * mark.width / 2, ny = dx / length * mark.width / 2;
    out.add({a.x + nx, a.y + ny});
    out.add({b.x + nx, b.y + ny});
    out.add({b.x - nx, b.y - ny});
    out.add({a.x - nx, a.y - ny});
    return true;
  }

  // A regular polygon close to the circle, its radius set so that its area
  // is the circle's.
  void circlePolygon(const CoverageMark& mark, Polygon& out) const {
    const double r = mark.width;
    int n = 8;
    if (r > kCircleTolerance)
      n = static_cast<int>(std::clamp(std::ceil(std::numbers::pi / std::acos(1 - kCircleTolerance / r)), 8.0,
                                      double(kMaxCircleVertices)));
    const double step = 2 * std::numbers::pi / n;
    const double scaled = r * std::sqrt(std::numbers::pi / (n / 2.0 * std::sin(step)));
    const Vertex c = toPlane(mark.from);
    for (int i = 0; i < n; ++i) out.add({c.x + scaled * std::cos(step * i), c.y + scaled * std::sin(step * i)});
  }

  void fill(const Polygon& shape, float alpha, int top, int bottom);
  // The cells one edge touched in a row, first..last.
  struct Touched {
    int first, last;
  };
  Touched addSegment(double x0, double x1, double height);
  void paintRow(int y, Touched* touched, int count, float alpha);

  int width_, height_;
  std::uint8_t* bytes_;
  std::vector<float> cells_;  // width + 2, all zero between rows
};

void Rasterizer::fill(const Polygon& original, float alpha, int top, int bottom) {
  double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (int i = 0; i < original.count; ++i) {
    const Vertex p = original.v[static_cast<std::size_t>(i)];
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  if (maxX <= 0 || minX >= width_ || maxY <= top || minY >= bottom) return;
  // Columns outside the plane are cut off; rows are limited below.
  Polygon left, both;
  const Polygon* shape = &original;
  if (minX < 0) {
    clipColumns(*shape, left, 0, [](double x) { return x >= 0; });
    shape = &left;
  }
  if (maxX > width_) {
    clipColumns(*shape, both, width_, [this](double x) { return x <= width_; });
    shape = &both;
  }
  std::array<Edge, kMaxVertices> edges;
  int edgeCount = 0;
  for (int i = 0; i < shape->count; ++i) {
    const Vertex a = shape->v[static_cast<std::size_t>(i)];
    const Vertex b = shape->v[static_cast<std::size_t>((i + 1) % shape->count)];
    if (a.y == b.y) continue;
    const bool down = b.y > a.y;
    const Vertex upper = down ? a : b, lower = down ? b : a;
    edges[static_cast<std::size_t>(edgeCount++)] = {upper.y,
                                                    lower.y,
                                                    upper.x,
                                                    (lower.x - upper.x) / (lower.y - upper.y),
                                                    std::clamp(std::min(a.x, b.x), 0.0, double(width_)),
                                                    std::clamp(std::max(a.x, b.x), 0.0, double(width_)),
                                                    down ? 1.0 : -1.0};
  }
  const int firstRow = std::max(top, static_cast<int>(std::floor(std::max(minY, double(top)))));
  const int endRow = std::min(bottom, static_cast<int>(std::ceil(std::min(maxY, double(bottom)))));
  for (int y = firstRow; y < endRow; ++y) {
    std::array<Touched, kMaxVertices> touched;
    int count = 0;
    for (int i = 0; i < edgeCount; ++i) {
      const Edge& e = edges[static_cast<std::size_t>(i)];
      const double y0 = std::max(e.top, double(y)), y1 = std::min(e.bottom, double(y + 1));
      if (!(y1 > y0)) continue;
      const double x0 = std::clamp(e.xAtTop + (y0 - e.top) * e.dxdy, e.minX, e.maxX);
      const double x1 = std::clamp(e.xAtTop + (y1 - e.top) * e.dxdy, e.minX, e.maxX);
      touched[static_cast<std::size_t>(count++)] = addSegment(x0, x1, (y1 - y0) * e.winding);
    }
    if (count > 0) paintRow(y, touched.data(), count, alpha);
  }
}

// Leaves the area that the part of an edge from x0 to x1 (both in
// 0..width, within one row) adds to the right of it: a cell it crosses over
// [a, b] gets height × (1 − the part's mean offset in the cell), the next
// cell the rest.
Rasterizer::Touched Rasterizer::addSegment(double x0, double x1, double height) {
  if (x0 > x1) std::swap(x0, x1);
  const int i0 = static_cast<int>(x0), i1 = static_cast<int>(x1);
  float* cells = cells_.data();
  if (i0 == i1) {
    const double mean = 0.5 * (x0 + x1) - i0;
    cells[i0] += static_cast<float>(height * (1 - mean));
    cells[i0 + 1] += static_cast<float>(height * mean);
    return {i0, i0 + 1};
  }
  const double perColumn = height / (x1 - x0);
  const double head = (i0 + 1) - x0, headHeight = head * perColumn, headMean = 1 - head / 2;
  cells[i0] += static_cast<float>(headHeight * (1 - headMean));
  cells[i0 + 1] += static_cast<float>(headHeight * headMean);
  // Each whole column crossed leaves half its height in its own cell and
  // half in the next.
  const float half = static_cast<float>(perColumn / 2), whole = half + half;
  if (i1 > i0 + 1) {
    cells[i0 + 1] += half;
    for (int i = i0 + 2; i < i1; ++i) cells[i] += whole;
    cells[i1] += half;
  }
  const double tail = x1 - i1, tailHeight = tail * perColumn, tailMean = tail / 2;
  cells[i1] += static_cast<float>(tailHeight * (1 - tailMean));
  cells[i1 + 1] += static_cast<float>(tailHeight * tailMean);
  return {i0, i1 + 1};
}

namespace {

// A weight of 0..1 in 16-bit fixed point.
inline int fixedWeight(float weight) { return static_cast<int>(weight * 65536.0f + 0.5f); }

// White over a level at a fixed-point weight.
inline std::uint8_t over(std::uint8_t level, int weight) {
  return static_cast<std::uint8_t>(level + (((255 - level) * weight + 32768) >> 16));
}

}  // namespace

// Sums the cells along the row into covered areas and paints white over
// each pixel at alpha × area; leaves the cells zero. Between the cells the
// edges touched the sum does not change, so those runs take one weight.
void Rasterizer::paintRow(int y, Touched* touched, int count, float alpha) {
  // By first cell: an insertion sort, as a row holds a few edges.
  for (int i = 1; i < count; ++i)
    for (int j = i; j > 0 && touched[j].first < touched[j - 1].first; --j) std::swap(touched[j], touched[j - 1]);
  float* cells = cells_.data();
  std::uint8_t* row = bytes_ + static_cast<std::size_t>(y) * width_;
  float sum = 0;
  int x = touched[0].first;
  for (int i = 0; i < count;) {
    // The touched cells from x on, merged with those overlapping them.
    int last = touched[i].last;
    for (++i; i < count && touched[i].first <= last + 1; ++i) last = std::max(last, touched[i].last);
    const int end = std::min(last, width_ - 1);
    for (; x <= end; ++x) {
      sum += cells[x];
      cells[x] = 0;
      row[x] = over(row[x], fixedWeight(alpha * std::min(std::fabs(sum), 1.0f)));
    }
    for (; x <= last; ++x) cells[x] = 0;
    // The untouched run up to the next touched cell.
    const int next = i < count ? touched[i].first : last + 1;
    const int weight = fixedWeight(alpha * std::min(std::fabs(sum), 1.0f));
    const int runEnd = std::min(next, width_);
    if (weight > 0)
      for (; x < runEnd; ++x) row[x] = over(row[x], weight);
    x = next;
  }
}

// The rows (from the top, fractional) a usable mark may touch, with a
// margin: a circle's polygon reaches a little beyond its radius.
std::optional<std::pair<double, double>> markRows(const CoverageMark& mark, int height) {
  const double reach = (mark.shape == CoverageMark::Shape::circle ? mark.width * 1.1 : mark.width / 2) + 0.01;
  const double a = height - mark.from.y, b = height - mark.to.y;
  const double top = std::min(a, b) - reach, bottom = std::max(a, b) + reach;
  if (!std::isfinite(top) || !std::isfinite(bottom)) return std::nullopt;
  return std::pair{top, bottom};
}

}  // namespace

std::optional<CoveragePlane> CoveragePlane::create(int width, int height, std::uint8_t level) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return std::nullopt;
  try {
    return CoveragePlane(width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height, level));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

void CoveragePlane::draw(std::span<const CoverageMark> marks, int top, int bottom) {
  Rasterizer rasterizer(width_, height_, bytes_.data());
  for (const CoverageMark& mark : marks) rasterizer.draw(mark, top, bottom);
}

void drawInBands(std::span<const CoverageJob> jobs, int threads) {
  constexpr int kRows = CoveragePlane::kBandRows;
  // One task per band of each plane, holding its marks' indices in order.
  struct Task {
    CoveragePlane* plane;
    std::span<const CoverageMark> marks;
    int top, bottom;
    std::vector<std::size_t> picked;
  };
  std::vector<Task> tasks;
  for (const CoverageJob& job : jobs) {
    if (job.marks.empty()) continue;
    const int height = job.plane->height();
    const std::size_t first = tasks.size();
    const int bands = (height + kRows - 1) / kRows;
    for (int b = 0; b < bands; ++b)
      tasks.push_back({job.plane, job.marks, b * kRows, std::min(height, (b + 1) * kRows), {}});
    for (std::size_t i = 0; i < job.marks.size(); ++i) {
      const auto rows = markRows(job.marks[i], height);
      if (!rows || rows->second <= 0 || rows->first >= height) continue;
      const int from = static_cast<int>(std::max(rows->first, 0.0)) / kRows;
      const int to = static_cast<int>(std::min(rows->second, height - 1.0)) / kRows;
      for (int b = from; b <= to; ++b) tasks[first + static_cast<std::size_t>(b)].picked.push_back(i);
    }
  }

  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  auto work = [&] {
    try {
      for (std::size_t t = next++; t < tasks.size() && !failed; t = next++) {
        const Task& task = tasks[t];
        if (task.picked.empty()) continue;
        Rasterizer rasterizer(task.plane->width_, task.plane->height_, task.plane->bytes_.data());
        for (std::size_t i : task.picked) rasterizer.draw(task.marks[i], task.top, task.bottom);
      }
    } catch (...) {
      if (!failed.exchange(true)) failure = std::current_exception();
    }
  };
  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<std::size_t>(std::max(threads, 1)));
  for (int i = 1; i < threads && static_cast<std::size_t>(i) < tasks.size(); ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // the threads there are do the work
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace graphics
