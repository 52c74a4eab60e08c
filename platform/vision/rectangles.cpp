// Rectangle detector: convex quadrilaterals whose four sides are edges of the
// picture, such as a film frame on a scanner bed or a print on a table.
//
// 1. Candidates. A grey copy reduced to at most `candidateEdge` pixels is
//    blurred and turned into several binary pictures: Canny edges at two
//    strengths (thickened so that small gaps close), Otsu's threshold in both
//    polarities, fixed threshold levels and adaptive mean thresholds in both
//    polarities. Every contour of every binary picture that is large enough
//    is approximated by a polygon (Douglas-Peucker at 2 % of its length; its
//    convex hull when the contour itself does not reduce to four corners),
//    and each convex four-cornered polygon is a candidate.
// 2. Refinement. On the picture at up to `refineEdge` pixels, each side of a
//    candidate is searched across its length for the strongest grey step at
//    right angles to it (the corner zones left out, since frames have
//    rounded corners); the step's position is taken to a fraction of a pixel
//    from a parabola through its neighbours, a robust (Huber) line is fitted
//    through the positions, and the search is repeated once around that
//    line. The corners are the intersections of neighbouring lines.
// 3. Rules. The refined quadrilateral must keep every corner within the
//    request's quadrature tolerance of 90 degrees, its aspect ratio (shorter
//    over longer mean side length) within the request's bounds, and its
//    shorter side at least the request's minimum size times the picture's
//    shorter side.
// 4. Confidence = coverage × squareness. Coverage is the fraction of points
//    along the refined outline (corner zones left out) where the grey step
//    across the side is at least `minimumStep` levels and of the sign that
//    side mostly has; squareness is 1 − (mean |corner angle − 90°|) / 90°.
//    A candidate whose outline is less than half edge (coverage < 0.5) is no
//    rectangle of the picture; this also rules out the picture's own border.
// 5. The same rectangle found from several binary pictures is kept once (all
//    corners within 1 % of the picture's diagonal); results are ordered by
//    confidence, those under the minimum confidence dropped, and at most
//    maximumObservations are returned.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <numbers>
#include <vector>

#include "internal.h"

namespace vision {

namespace {

constexpr double candidateEdge = 640;  // longer side of the candidate search picture
constexpr double refineEdge = 2400;    // longer side of the refinement picture, at most
constexpr double cornerZone = 0.08;    // fraction of a side at each end left out
constexpr double minimumStep = 8;      // grey levels across a side (over two pixels)
constexpr double minimumCoverage = 0.5;
constexpr std::size_t maximumCandidates = 48;
constexpr int refineSamples = 240;     // points a side while refining
constexpr int coverageSamples = 600;   // points a side while measuring coverage

// Corners in pixels (top-left origin, y down), clockwise as seen: top-left,
// top-right, bottom-right, bottom-left.
using Quad = std::array<cv::Point2d, 4>;

double degrees(double radians) { return radians * 180.0 / std::numbers::pi; }

// The corner angle at b, in degrees.
double cornerAngle(cv::Point2d a, cv::Point2d b, cv::Point2d c) {
  const cv::Point2d u = a - b, v = c - b;
  const double nu = std::hypot(u.x, u.y), nv = std::hypot(v.x, v.y);
  if (nu <= 0 || nv <= 0) return 0;
  return degrees(std::acos(std::clamp(u.dot(v) / (nu * nv), -1.0, 1.0)));
}

double length(cv::Point2d a, cv::Point2d b) { return std::hypot(a.x - b.x, a.y - b.y); }

// Four points as a Quad: sorted around their centre clockwise as seen, then
// started at the top side's left end (the top side is the one that runs
// most nearly rightward).
Quad ordered(const std::array<cv::Point2d, 4>& points) {
  cv::Point2d centre(0, 0);
  for (const auto& p : points) centre += p * 0.25;
  std::array<cv::Point2d, 4> sorted = points;
  std::sort(sorted.begin(), sorted.end(), [&](cv::Point2d a, cv::Point2d b) {
    return std::atan2(a.y - centre.y, a.x - centre.x) < std::atan2(b.y - centre.y, b.x - centre.x);
  });
  int start = 0;
  double best = -2;
  for (int i = 0; i < 4; ++i) {
    const cv::Point2d d = sorted[(i + 1) % 4] - sorted[i];
    const double n = std::hypot(d.x, d.y);
    const double rightward = n > 0 ? d.x / n : -1;
    if (rightward > best + 1e-9) {
      best = rightward;
      start = i;
    }
  }
  Quad quad;
  for (int i = 0; i < 4; ++i) quad[i] = sorted[(start + i) % 4];
  return quad;
}

struct Shape {
  double width = 0, height = 0;  // mean lengths of opposite sides
  double meanDeviation = 0;      // mean |corner angle − 90|
  double maxDeviation = 0;
};

Shape shapeOf(const Quad& q) {
  Shape s;
  s.width = (length(q[0], q[1]) + length(q[3], q[2])) / 2;
  s.height = (length(q[0], q[3]) + length(q[1], q[2])) / 2;
  for (int i = 0; i < 4; ++i) {
    const double deviation = std::abs(cornerAngle(q[(i + 3) % 4], q[i], q[(i + 1) % 4]) - 90);
    s.meanDeviation += deviation / 4;
    s.maxDeviation = std::max(s.maxDeviation, deviation);
  }
  return s;
}

bool convex(const Quad& q) {
  double sign = 0;
  for (int i = 0; i < 4; ++i) {
    const cv::Point2d a = q[(i + 1) % 4] - q[i], b = q[(i + 2) % 4] - q[(i + 1) % 4];
    const double cross = a.x * b.y - a.y * b.x;
    if (std::abs(cross) < 1e-9) return false;
    if (sign == 0) sign = cross;
    else if ((sign > 0) != (cross > 0)) return false;
  }
  return true;
}

// The request's shape rules, for a quadrilateral in a picture whose shorter
// side is `pictureShortSide` (same units).
bool obeysRequest(const Quad& q, const RectanglesRequest& request, double pictureShortSide) {
  if (!convex(q)) return false;
  const Shape s = shapeOf(q);
  if (s.maxDeviation > request.quadratureTolerance) return false;
  const double shortSide = std::min(s.width, s.height), longSide = std::max(s.width, s.height);
  if (longSide <= 0) return false;
  const double aspect = shortSide / longSide;
  if (aspect < request.minimumAspectRatio || aspect > request.maximumAspectRatio) return false;
  return shortSide >= request.minimumSize * pictureShortSide;
}

// Bilinear sample of a one-channel 8-bit picture; false outside it.
bool sample(const cv::Mat& picture, cv::Point2d p, double& value) {
  if (p.x < 0 || p.y < 0 || p.x > picture.cols - 1 || p.y > picture.rows - 1) return false;
  // The pictures here are at least 8 pixels wide and high.
  const int x0 = std::min(static_cast<int>(p.x), picture.cols - 2);
  const int y0 = std::min(static_cast<int>(p.y), picture.rows - 2);
  const int x1 = x0 + 1, y1 = y0 + 1;
  const double fx = p.x - x0, fy = p.y - y0;
  const uchar* r0 = picture.ptr<uchar>(y0);
  const uchar* r1 = picture.ptr<uchar>(y1);
  value = (r0[x0] * (1 - fx) + r0[x1] * fx) * (1 - fy) + (r1[x0] * (1 - fx) + r1[x1] * fx) * fy;
  return true;
}

// Points along a side (corner zones left out), about one every 1.5 pixels,
// at most `most`.
std::vector<cv::Point2d> sidePoints(cv::Point2d a, cv::Point2d b, int most) {
  const double n = length(a, b);
  const int count = std::clamp(static_cast<int>(n * (1 - 2 * cornerZone) / 1.5), 2, most);
  std::vector<cv::Point2d> points;
  points.reserve(count);
  for (int i = 0; i < count; ++i) {
    const double t = cornerZone + (1 - 2 * cornerZone) * (i + 0.5) / count;
    points.push_back(a + (b - a) * t);
  }
  return points;
}

cv::Point2d unitNormal(cv::Point2d a, cv::Point2d b) {
  const double n = length(a, b);
  return n > 0 ? cv::Point2d(-(b.y - a.y) / n, (b.x - a.x) / n) : cv::Point2d(0, 0);
}

// A line as a point and a unit direction.
struct Line {
  cv::Point2d point, direction;
};

// The grey steps across a side at p, at whole-pixel offsets −radius..radius
// along the normal: steps[k] is the step at offset k − radius, or NaN where
// the picture ends.
void stepsAcross(const cv::Mat& picture, cv::Point2d p, cv::Point2d normal, int radius, std::vector<double>& steps) {
  thread_local std::vector<double> values;
  values.assign(2 * radius + 3, std::numeric_limits<double>::quiet_NaN());
  for (int k = 0; k < 2 * radius + 3; ++k) {
    double v = 0;
    if (sample(picture, p + normal * static_cast<double>(k - radius - 1), v)) values[k] = v;
  }
  steps.assign(2 * radius + 1, 0);
  for (int k = 0; k < 2 * radius + 1; ++k) steps[k] = values[k + 2] - values[k];
}

// Finds the side's edge within `radius` pixels of the segment a-b and fits a
// line through it; false when too few points carry a step.
bool refineSide(const cv::Mat& picture, cv::Point2d a, cv::Point2d b, int radius, Line& line) {
  const cv::Point2d normal = unitNormal(a, b);
  const std::vector<cv::Point2d> points = sidePoints(a, b, refineSamples);
  // The strongest step at each point, then the side's polarity: the sign
  // with the larger total of strongest steps.
  struct Found {
    cv::Point2d at;
    double step, offset;
  };
  std::vector<Found> best;
  best.reserve(points.size());
  double positive = 0, negative = 0;
  std::vector<double> steps;
  for (const auto& p : points) {
    stepsAcross(picture, p, normal, radius, steps);
    int at = -1;
    for (int k = 0; k < static_cast<int>(steps.size()); ++k)
      if (std::isfinite(steps[k]) && (at < 0 || std::abs(steps[k]) > std::abs(steps[at]))) at = k;
    if (at < 0 || std::abs(steps[at]) < minimumStep) continue;
    (steps[at] > 0 ? positive : negative) += std::abs(steps[at]);
    // Sub-pixel position: a parabola through the steps either side.
    double offset = 0;
    if (at > 0 && at + 1 < static_cast<int>(steps.size()) && std::isfinite(steps[at - 1]) &&
        std::isfinite(steps[at + 1])) {
      const double denominator = steps[at - 1] - 2 * steps[at] + steps[at + 1];
      if (std::abs(denominator) > 1e-9)
        offset = std::clamp(0.5 * (steps[at - 1] - steps[at + 1]) / denominator, -0.5, 0.5);
    }
    best.push_back({p, steps[at], at - radius + offset});
  }
  const double sign = positive >= negative ? 1 : -1;
  std::vector<cv::Point2f> found;
  found.reserve(best.size());
  for (const auto& f : best) {
    if (f.step * sign < minimumStep) continue;
    const cv::Point2d at = f.at + normal * f.offset;
    found.emplace_back(static_cast<float>(at.x), static_cast<float>(at.y));
  }
  if (found.size() < std::max<std::size_t>(4, points.size() / 4)) return false;
  cv::Vec4f fitted;
  cv::fitLine(found, fitted, cv::DIST_HUBER, 0, 0.01, 0.01);
  line.direction = cv::Point2d(fitted[0], fitted[1]);
  line.point = cv::Point2d(fitted[2], fitted[3]);
  return true;
}

bool intersect(const Line& l1, const Line& l2, cv::Point2d& at) {
  const double cross = l1.direction.x * l2.direction.y - l1.direction.y * l2.direction.x;
  if (std::abs(cross) < 1e-6) return false;
  const cv::Point2d d = l2.point - l1.point;
  const double t = (d.x * l2.direction.y - d.y * l2.direction.x) / cross;
  at = l1.point + l1.direction * t;
  return true;
}

// Sides refined into lines, corners re-made from them; twice, the second
// time with a narrow search.
bool refine(const cv::Mat& picture, Quad& quad, int radius) {
  for (int r : {radius, 3}) {
    std::array<Line, 4> lines;
    for (int i = 0; i < 4; ++i)
      if (!refineSide(picture, quad[i], quad[(i + 1) % 4], r, lines[i])) return false;
    Quad next;
    for (int i = 0; i < 4; ++i)
      if (!intersect(lines[(i + 3) % 4], lines[i], next[i])) return false;
    quad = ordered(next);
  }
  return true;
}

// The fraction of the outline that is an edge of the side's usual sign: the
// strongest step within 1.5 pixels of each point.
double coverage(const cv::Mat& picture, const Quad& quad) {
  std::size_t total = 0, supported = 0;
  std::vector<double> steps, strongest;
  for (int i = 0; i < 4; ++i) {
    const cv::Point2d a = quad[i], b = quad[(i + 1) % 4];
    const cv::Point2d normal = unitNormal(a, b);
    strongest.clear();
    double sum = 0;
    for (const auto& p : sidePoints(a, b, coverageSamples)) {
      stepsAcross(picture, p, normal, 1, steps);
      double step = 0;
      for (double d : steps)
        if (std::isfinite(d) && std::abs(d) > std::abs(step)) step = d;
      strongest.push_back(step);
      sum += step;
    }
    const double sign = sum >= 0 ? 1 : -1;
    total += strongest.size();
    for (double step : strongest)
      if (step * sign >= minimumStep) ++supported;
  }
  return total ? static_cast<double>(supported) / total : 0;
}

// Binary pictures whose contours may outline rectangles.
std::vector<cv::Mat> binaryPictures(const cv::Mat& blurred) {
  std::vector<cv::Mat> pictures;
  const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, {3, 3});
  for (auto [low, high] : {std::pair{30.0, 90.0}, std::pair{10.0, 30.0}}) {
    cv::Mat edges;
    cv::Canny(blurred, edges, low, high);
    cv::dilate(edges, edges, kernel);
    pictures.push_back(edges);
  }
  cv::Mat otsu;
  cv::threshold(blurred, otsu, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  pictures.push_back(otsu);
  pictures.push_back(255 - otsu);
  for (int level = 40; level < 256; level += 40) {
    cv::Mat levelled;
    cv::threshold(blurred, levelled, level, 255, cv::THRESH_BINARY);
    pictures.push_back(levelled);
  }
  const int block = std::max(3, std::max(blurred.cols, blurred.rows) / 10) | 1;
  for (int type : {cv::THRESH_BINARY, cv::THRESH_BINARY_INV}) {
    cv::Mat adaptive;
    cv::adaptiveThreshold(blurred, adaptive, 255, cv::ADAPTIVE_THRESH_MEAN_C, type, block, 4);
    pictures.push_back(adaptive);
  }
  return pictures;
}

// A contour as a convex quadrilateral, when it is one.
bool quadrilateralOf(const std::vector<cv::Point>& contour, Quad& quad) {
  std::vector<cv::Point> polygon;
  cv::approxPolyDP(contour, polygon, 0.02 * cv::arcLength(contour, true), true);
  if (polygon.size() != 4 || !cv::isContourConvex(polygon)) {
    std::vector<cv::Point> hull;
    cv::convexHull(contour, hull);
    cv::approxPolyDP(hull, polygon, 0.02 * cv::arcLength(hull, true), true);
    if (polygon.size() != 4 || !cv::isContourConvex(polygon)) return false;
  }
  std::array<cv::Point2d, 4> corners;
  for (int i = 0; i < 4; ++i) corners[i] = cv::Point2d(polygon[i].x, polygon[i].y);
  quad = ordered(corners);
  return true;
}

bool sameQuad(const Quad& a, const Quad& b, double tolerance) {
  for (int i = 0; i < 4; ++i)
    if (length(a[i], b[i]) > tolerance) return false;
  return true;
}

// Candidates in the coordinates of `small`, largest first.
std::vector<Quad> candidates(const cv::Mat& small, const RectanglesRequest& request) {
  cv::Mat blurred;
  cv::GaussianBlur(small, blurred, {5, 5}, 0);
  const double shortSide = std::min(small.cols, small.rows);
  // Shapes the refinement could still bring within the rules are kept: the
  // size and angle limits are loosened here and applied exactly later.
  RectanglesRequest loose = request;
  loose.minimumSize = request.minimumSize * 0.8f;
  loose.quadratureTolerance = request.quadratureTolerance + 5;
  loose.minimumAspectRatio = request.minimumAspectRatio * 0.9f;
  loose.maximumAspectRatio = request.maximumAspectRatio * 1.1f;
  const double minimumArea = std::max(64.0, std::pow(loose.minimumSize * shortSide, 2));
  const double tolerance = 0.01 * std::hypot(small.cols, small.rows);

  std::vector<std::pair<double, Quad>> found;
  for (const cv::Mat& binary : binaryPictures(blurred)) {
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(binary, contours, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
    for (const auto& contour : contours) {
      if (std::abs(cv::contourArea(contour)) < minimumArea) continue;
      Quad quad;
      if (!quadrilateralOf(contour, quad) || !obeysRequest(quad, loose, shortSide)) continue;
      const bool known = std::any_of(found.begin(), found.end(),
                                     [&](const auto& entry) { return sameQuad(entry.second, quad, tolerance); });
      if (!known) found.push_back({shapeOf(quad).width * shapeOf(quad).height, quad});
    }
  }
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<Quad> quads;
  for (std::size_t i = 0; i < found.size() && i < maximumCandidates; ++i) quads.push_back(found[i].second);
  return quads;
}

cv::Mat scaledTo(const cv::Mat& grey, double longEdge, double& scale) {
  scale = std::min(1.0, longEdge / std::max(grey.cols, grey.rows));
  if (scale >= 1.0) return grey;
  cv::Mat out;
  cv::resize(grey, out,
             cv::Size(std::max(1, static_cast<int>(std::lround(grey.cols * scale))),
                      std::max(1, static_cast<int>(std::lround(grey.rows * scale)))),
             0, 0, cv::INTER_AREA);
  return out;
}

RectangleObservation observation(const Quad& quad, double width, double height, double confidence) {
  // Pixel centres lie half a pixel inside the picture's edges.
  auto normalised = [&](cv::Point2d p) {
    return Point{std::clamp((p.x + 0.5) / width, 0.0, 1.0), std::clamp(1.0 - (p.y + 0.5) / height, 0.0, 1.0)};
  };
  RectangleObservation o;
  o.topLeft = normalised(quad[0]);
  o.topRight = normalised(quad[1]);
  o.bottomRight = normalised(quad[2]);
  o.bottomLeft = normalised(quad[3]);
  double minX = 1, minY = 1, maxX = 0, maxY = 0;
  for (const Point& p : {o.topLeft, o.topRight, o.bottomRight, o.bottomLeft}) {
    minX = std::min(minX, p.x);
    minY = std::min(minY, p.y);
    maxX = std::max(maxX, p.x);
    maxY = std::max(maxY, p.y);
  }
  o.boundingBox = Rect{minX, minY, maxX - minX, maxY - minY};
  o.confidence = static_cast<float>(confidence);
  return o;
}

}  // namespace

std::vector<RectangleObservation> detectRectangles(const Handler& handler, const RectanglesRequest& request) {
  std::vector<RectangleObservation> results;
  const cv::Mat& grey = handler.state().greyPicture();
  if (grey.empty() || grey.cols < 8 || grey.rows < 8) return results;
  if (!(request.minimumAspectRatio <= request.maximumAspectRatio)) return results;
  try {
    double candidateScale = 1, refineScale = 1;
    const cv::Mat small = scaledTo(grey, candidateEdge, candidateScale);
    const std::vector<Quad> found = candidates(small, request);
    if (found.empty()) return results;

    cv::Mat refinePicture;
    cv::GaussianBlur(scaledTo(grey, refineEdge, refineScale), refinePicture, {5, 5}, 1.0);
    const double ratio = refineScale / candidateScale;
    const int radius = static_cast<int>(std::ceil(std::max(4.0, 2.0 * ratio + 3.0)));
    const double shortSide = std::min(refinePicture.cols, refinePicture.rows);
    const double tolerance = 0.01 * std::hypot(refinePicture.cols, refinePicture.rows);

    std::vector<std::pair<Quad, double>> kept;
    for (Quad quad : found) {
      for (auto& corner : quad) corner *= ratio;
      if (!refine(refinePicture, quad, radius) || !obeysRequest(quad, request, shortSide)) continue;
      const double cover = coverage(refinePicture, quad);
      if (cover < minimumCoverage) continue;
      const double confidence = cover * (1 - shapeOf(quad).meanDeviation / 90);
      if (confidence < request.minimumConfidence) continue;
      auto same = std::find_if(kept.begin(), kept.end(),
                               [&](const auto& entry) { return sameQuad(entry.first, quad, tolerance); });
      if (same == kept.end()) kept.push_back({quad, confidence});
      else if (confidence > same->second) *same = {quad, confidence};
    }
    std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& [quad, confidence] : kept) {
      if (request.maximumObservations > 0 &&
          results.size() >= static_cast<std::size_t>(request.maximumObservations))
        break;
      results.push_back(observation(quad, refinePicture.cols, refinePicture.rows, confidence));
    }
  } catch (const cv::Exception& e) {
    throw Error("OpenCV: " + e.err);
  } catch (const std::bad_alloc&) {
    throw Error("Not enough memory");
  }
  return results;
}

}  // namespace vision
