// Horizon detector: the dominant near-horizontal straight line of the
// picture, and its angle.
//
// 1. Segments. A grey copy reduced to at most `workingEdge` pixels has its
//    contrast stretched (0.5 % and 99.5 % levels to black and white), and
//    OpenCV's line segment detector runs on it and on a copy at half its
//    size. Segments at least `minimumSegment` of the picture's width long
//    and within `maximumTilt` of horizontal take part.
// 2. Votes. Each segment votes with its length into a grid of line angle
//    (0.25 degree cells) and line position (its distance from the picture's
//    centre, in cells of 0.5 % of the diagonal), so that pieces of one long
//    line add up; the grid is smoothed by a small Gaussian and its highest
//    cell is the horizon's first estimate.
// 3. Refinement. The segments lying along that line (angle within 2
//    degrees, both ends within 1 % of the diagonal) are sampled every two
//    pixels and a robust line is fitted through the samples; the members are
//    gathered again along the fitted line with half those tolerances and the
//    fit repeated. The angle is measured on the full-size picture (the
//    reduction's two scale factors are undone), to a small fraction of a
//    degree.
// 4. Confidence = coverage × (0.5 + 0.5 × separation). Coverage is the
//    larger of two shares of the line's chord across the picture: the share
//    its member segments cover, and the share of points on it where the
//    picture has an edge along the line (gradient of at least
//    `minimumGradient` levels a pixel, within `edgeAlignment` of the line's
//    normal, of the prevailing sign). Separation is 1 − (the strongest vote
//    of a line more than 3 degrees off the horizon's angle) / (the horizon's
//    vote), so a rival direction lowers it.
// 5. Weak evidence gives no horizon: no segment, coverage under
//    `minimumCoverage`, or confidence under `minimumConfidence`. Close-ups
//    and textures have short, scattered edges and stay well under these.
//
// The angle is in radians, positive when the line rises to the right in
// the upright picture.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>
#include <vector>

#include "internal.h"

namespace vision {

namespace {

constexpr double workingEdge = horizonWorkingEdge;
constexpr double maximumTilt = 30;       // degrees
constexpr double minimumSegment = 0.02;  // of the working picture's width
constexpr double angleCell = 0.25;       // degrees
constexpr double positionCell = 0.005;   // of the diagonal
constexpr double minimumGradient = 4;   // grey levels a pixel, stretched picture
constexpr double edgeAlignment = 20;    // degrees
constexpr double minimumCoverage = 0.35;
constexpr double minimumConfidence = 0.25;

constexpr double pi = std::numbers::pi;

struct Segment {
  cv::Point2d a, b;  // working pixels, top-left origin, y down
  double length = 0;
  double angle = 0;  // degrees, rising to the right positive
};

// The signed distance of p from the line through the centre `c` at `angle`
// degrees (the Hough position of a line of that angle through p).
double positionOf(cv::Point2d p, cv::Point2d c, double angle) {
  const double t = angle * pi / 180;
  // Direction (cos t, −sin t) in y-down pixels; the normal is (sin t, cos t).
  return (p.x - c.x) * std::sin(t) + (p.y - c.y) * std::cos(t);
}

// The grey picture stretched between its 0.5 % and 99.5 % levels, so that a
// soft horizon in haze or at dusk still has edges.
cv::Mat stretched(const cv::Mat& grey) {
  int histogram[256] = {0};
  for (int y = 0; y < grey.rows; ++y) {
    const uchar* row = grey.ptr<uchar>(y);
    for (int x = 0; x < grey.cols; ++x) ++histogram[row[x]];
  }
  const double tail = 0.005 * static_cast<double>(grey.total());
  int low = 0, high = 255;
  for (double run = histogram[0]; low < 255 && run < tail; run += histogram[++low]) {
  }
  for (double run = histogram[255]; high > 0 && run < tail; run += histogram[--high]) {
  }
  if (high - low < 8) return grey;
  cv::Mat out;
  grey.convertTo(out, CV_8U, 255.0 / (high - low), -255.0 * low / (high - low));
  return out;
}

// Segments of the working picture and of a copy at half its size (in
// working pixels), so that both crisp and soft edges count.
std::vector<Segment> nearHorizontalSegments(const cv::Mat& small) {
  const auto detector = cv::createLineSegmentDetector(cv::LSD_REFINE_STD);
  std::vector<cv::Vec4f> lines, coarse;
  detector->detect(small, lines);
  cv::Mat half;
  cv::resize(small, half, cv::Size(std::max(1, small.cols / 2), std::max(1, small.rows / 2)), 0, 0, cv::INTER_AREA);
  detector->detect(half, coarse);
  const double fx = static_cast<double>(small.cols) / half.cols, fy = static_cast<double>(small.rows) / half.rows;
  for (const auto& l : coarse)
    lines.emplace_back(static_cast<float>(l[0] * fx), static_cast<float>(l[1] * fy), static_cast<float>(l[2] * fx),
                       static_cast<float>(l[3] * fy));
  std::vector<Segment> segments;
  const double shortest = minimumSegment * small.cols;
  for (const auto& l : lines) {
    Segment s;
    s.a = cv::Point2d(l[0], l[1]);
    s.b = cv::Point2d(l[2], l[3]);
    if (s.b.x < s.a.x) std::swap(s.a, s.b);
    s.length = std::hypot(s.b.x - s.a.x, s.b.y - s.a.y);
    if (s.length < shortest) continue;
    s.angle = std::atan2(-(s.b.y - s.a.y), s.b.x - s.a.x) * 180 / pi;
    if (std::abs(s.angle) > maximumTilt) continue;
    segments.push_back(s);
  }
  return segments;
}

struct Votes {
  cv::Mat grid;  // CV_64F, rows: angle cells, columns: position cells
  double diagonal = 0;
  int angleCells = 0, positionCells = 0;

  int angleIndex(double angle) const {
    return std::clamp(static_cast<int>(std::lround((angle + maximumTilt) / angleCell)), 0, angleCells - 1);
  }
  int positionIndex(double position) const {
    return std::clamp(static_cast<int>(std::lround(position / (positionCell * diagonal))) + positionCells / 2, 0,
                      positionCells - 1);
  }
  double angleAt(int index) const { return index * angleCell - maximumTilt; }
  double positionAt(int index) const { return (index - positionCells / 2) * positionCell * diagonal; }
};

Votes vote(const std::vector<Segment>& segments, cv::Size size) {
  Votes v;
  v.diagonal = std::hypot(size.width, size.height);
  v.angleCells = static_cast<int>(std::lround(2 * maximumTilt / angleCell)) + 1;
  v.positionCells = static_cast<int>(std::ceil(1.0 / positionCell)) + 3;
  v.grid = cv::Mat::zeros(v.angleCells, v.positionCells, CV_64F);
  const cv::Point2d centre(size.width / 2.0, size.height / 2.0);
  for (const auto& s : segments) {
    const cv::Point2d middle = (s.a + s.b) * 0.5;
    v.grid.at<double>(v.angleIndex(s.angle), v.positionIndex(positionOf(middle, centre, s.angle))) += s.length;
  }
  cv::GaussianBlur(v.grid, v.grid, {5, 5}, 1.0, 1.0, cv::BORDER_CONSTANT);
  return v;
}

// A fitted line: a point and a unit direction (working pixels).
struct Fit {
  cv::Point2d point, direction;
  double angle = 0;  // degrees
};

// The segments along the line through `point` in `direction`.
std::vector<const Segment*> members(const std::vector<Segment>& segments, const Fit& line, double angleTolerance,
                                    double distanceTolerance) {
  std::vector<const Segment*> found;
  const cv::Point2d normal(-line.direction.y, line.direction.x);
  for (const auto& s : segments) {
    if (std::abs(s.angle - line.angle) > angleTolerance) continue;
    const double da = std::abs((s.a - line.point).dot(normal));
    const double db = std::abs((s.b - line.point).dot(normal));
    if (da <= distanceTolerance && db <= distanceTolerance) found.push_back(&s);
  }
  return found;
}

// A line through samples of the member segments, every two pixels, measured
// in full-size pixels (x / sx, y / sy) so that its angle is the picture's.
bool fitMembers(const std::vector<const Segment*>& chosen, double sx, double sy, Fit& fit) {
  std::vector<cv::Point2f> points;
  for (const Segment* s : chosen) {
    const int steps = std::max(1, static_cast<int>(s->length / 2));
    for (int i = 0; i <= steps; ++i) {
      const cv::Point2d p = s->a + (s->b - s->a) * (static_cast<double>(i) / steps);
      points.emplace_back(static_cast<float>(p.x / sx), static_cast<float>(p.y / sy));
    }
  }
  if (points.size() < 2) return false;
  cv::Vec4f line;
  cv::fitLine(points, line, cv::DIST_HUBER, 0, 0.01, 0.01);
  cv::Point2d direction(line[0], line[1]);
  if (direction.x < 0) direction = -direction;
  const double fullAngle = std::atan2(-direction.y, direction.x);
  // Back to working pixels for gathering members.
  cv::Point2d working(direction.x * sx, direction.y * sy);
  working *= 1.0 / std::hypot(working.x, working.y);
  fit.point = cv::Point2d(line[2] * sx, line[3] * sy);
  fit.direction = working;
  fit.angle = fullAngle * 180 / pi;
  return true;
}

// Where the line enters and leaves the picture, as positions along its
// direction from its point; false when it misses the picture.
bool chordOf(const Fit& line, cv::Size size, double& enter, double& leave) {
  enter = -1e300;
  leave = 1e300;
  const double lows[2] = {0, 0}, highs[2] = {static_cast<double>(size.width), static_cast<double>(size.height)};
  const double origin[2] = {line.point.x, line.point.y}, dir[2] = {line.direction.x, line.direction.y};
  for (int k = 0; k < 2; ++k) {
    if (std::abs(dir[k]) < 1e-12) continue;
    double t1 = (lows[k] - origin[k]) / dir[k], t2 = (highs[k] - origin[k]) / dir[k];
    if (t1 > t2) std::swap(t1, t2);
    enter = std::max(enter, t1);
    leave = std::min(leave, t2);
  }
  return leave > enter;
}

// The share of the line's chord across the picture covered by the members.
double segmentCoverage(const std::vector<const Segment*>& chosen, const Fit& line, cv::Size size) {
  double enter = 0, leave = 0;
  if (!chordOf(line, size, enter, leave)) return 0;
  std::vector<std::pair<double, double>> spans;
  for (const Segment* s : chosen) {
    double t1 = (s->a - line.point).dot(line.direction), t2 = (s->b - line.point).dot(line.direction);
    if (t1 > t2) std::swap(t1, t2);
    t1 = std::max(t1, enter);
    t2 = std::min(t2, leave);
    if (t2 > t1) spans.push_back({t1, t2});
  }
  std::sort(spans.begin(), spans.end());
  double covered = 0, reach = enter;
  for (const auto& [from, to] : spans) {
    const double start = std::max(from, reach);
    if (to > start) covered += to - start;
    reach = std::max(reach, to);
  }
  return std::clamp(covered / (leave - enter), 0.0, 1.0);
}

// The share of points along the line's chord (one every two pixels) where
// the picture has an edge along the line: a grey gradient of at least
// `minimumGradient` levels a pixel, pointing within `edgeAlignment` degrees
// of the line's normal, with the sign most of them have. Texture gives
// gradients in every direction and few such points.
double edgeCoverage(const cv::Mat& picture, const Fit& line) {
  double enter = 0, leave = 0;
  if (!chordOf(line, picture.size(), enter, leave)) return 0;
  cv::Mat smooth, gx, gy;
  cv::GaussianBlur(picture, smooth, {0, 0}, 1.0);
  cv::Sobel(smooth, gx, CV_32F, 1, 0, 3, 1.0 / 8);
  cv::Sobel(smooth, gy, CV_32F, 0, 1, 3, 1.0 / 8);
  const cv::Point2d normal(-line.direction.y, line.direction.x);
  const double alignment = std::cos(edgeAlignment * pi / 180);
  int total = 0, positive = 0, negative = 0;
  for (double t = enter; t <= leave; t += 2) {
    const cv::Point p = line.point + line.direction * t;
    if (p.x < 1 || p.y < 1 || p.x >= picture.cols - 1 || p.y >= picture.rows - 1) continue;
    ++total;
    const cv::Point2d g(gx.at<float>(p), gy.at<float>(p));
    const double magnitude = std::hypot(g.x, g.y);
    if (magnitude < minimumGradient) continue;
    const double across = g.dot(normal) / magnitude;
    if (across >= alignment) ++positive;
    else if (across <= -alignment) ++negative;
  }
  return total ? static_cast<double>(std::max(positive, negative)) / total : 0;
}

}  // namespace

std::optional<HorizonObservation> detectHorizon(const Handler& handler) {
  const cv::Mat& grey = handler.state().greyPicture();
  if (grey.empty() || grey.cols < 8 || grey.rows < 8) return std::nullopt;
  try {
    const double scale = std::min(1.0, workingEdge / std::max(grey.cols, grey.rows));
    cv::Mat small = grey;
    if (scale < 1.0)
      cv::resize(grey, small,
                 cv::Size(std::max(8, static_cast<int>(std::lround(grey.cols * scale))),
                          std::max(8, static_cast<int>(std::lround(grey.rows * scale)))),
                 0, 0, cv::INTER_AREA);
    const double sx = static_cast<double>(small.cols) / grey.cols;
    const double sy = static_cast<double>(small.rows) / grey.rows;

    small = stretched(small);
    const std::vector<Segment> segments = nearHorizontalSegments(small);
    if (segments.empty()) return std::nullopt;
    const Votes votes = vote(segments, small.size());
    cv::Point peak;
    double strongest = 0;
    cv::minMaxLoc(votes.grid, nullptr, &strongest, nullptr, &peak);
    if (strongest <= 0) return std::nullopt;

    // The first estimate: the peak cell's line.
    Fit line;
    line.angle = votes.angleAt(peak.y);
    const double t = line.angle * pi / 180;
    line.direction = cv::Point2d(std::cos(t), -std::sin(t));
    const cv::Point2d centre(small.cols / 2.0, small.rows / 2.0);
    line.point = centre + cv::Point2d(std::sin(t), std::cos(t)) * votes.positionAt(peak.x);

    const double diagonal = votes.diagonal;
    std::vector<const Segment*> chosen = members(segments, line, 2.0, 0.01 * diagonal);
    if (chosen.empty() || !fitMembers(chosen, sx, sy, line)) return std::nullopt;
    // Gathered again along the fitted line (its angle in working pixels).
    Fit working = line;
    working.angle = std::atan2(-working.direction.y, working.direction.x) * 180 / pi;
    chosen = members(segments, working, 1.0, std::max(1.5, 0.005 * diagonal));
    if (chosen.empty()) return std::nullopt;
    if (!fitMembers(chosen, sx, sy, line)) return std::nullopt;
    working = line;
    working.angle = std::atan2(-working.direction.y, working.direction.x) * 180 / pi;

    const double coverage =
        std::max(segmentCoverage(chosen, working, small.size()), edgeCoverage(small, working));
    double rival = 0;
    for (int row = 0; row < votes.grid.rows; ++row) {
      if (std::abs(votes.angleAt(row) - votes.angleAt(peak.y)) <= 3.0) continue;
      double rowMax = 0;
      cv::minMaxLoc(votes.grid.row(row), nullptr, &rowMax);
      rival = std::max(rival, rowMax);
    }
    const double separation = std::clamp(1.0 - rival / strongest, 0.0, 1.0);
    const double confidence = coverage * (0.5 + 0.5 * separation);
    if (coverage < minimumCoverage || confidence < minimumConfidence) return std::nullopt;
    return HorizonObservation{line.angle * pi / 180, static_cast<float>(confidence)};
  } catch (const cv::Exception& e) {
    throw Error("OpenCV: " + e.err);
  } catch (const std::bad_alloc&) {
    throw Error("Not enough memory");
  }
}

}  // namespace vision
