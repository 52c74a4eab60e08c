// Face region geometry: the polygon that hides one face, from its box and
// landmark points. Pure arithmetic on points; only the observation comes
// from the detector.
#include <algorithm>
#include <cmath>

#include "veilpass.h"

namespace veilpass {

namespace {

// How far the hull is pushed out, and how far the box is enlarged, as a
// fraction of the face's size.
constexpr double kMargin = 0.12;

}  // namespace

double cross(Point o, Point a, Point b) { return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x); }

Polygon convexHull(std::vector<Point> points) {
  // A point without finite coordinates has no place on a picture, and would
  // break the ordering the chain relies on.
  std::erase_if(points, [](const Point& p) { return !std::isfinite(p.x) || !std::isfinite(p.y); });
  std::sort(points.begin(), points.end(),
            [](const Point& a, const Point& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
  points.erase(std::unique(points.begin(), points.end()), points.end());
  if (points.size() < 3) return points;
  auto chain = [](auto first, auto last) {
    Polygon half;
    for (auto it = first; it != last; ++it) {
      while (half.size() >= 2 && cross(half[half.size() - 2], half.back(), *it) <= 0) half.pop_back();
      half.push_back(*it);
    }
    half.pop_back();
    return half;
  };
  Polygon hull = chain(points.begin(), points.end());
  const Polygon upper = chain(points.rbegin(), points.rend());
  hull.insert(hull.end(), upper.begin(), upper.end());
  return hull;
}

Polygon dilatedHull(const std::vector<Point>& points, double radius) {
  Polygon hull = convexHull(points);
  if (hull.size() < 3) return hull;
  const auto n = static_cast<double>(hull.size());
  Point centre;
  for (const Point& p : hull) {
    centre.x += p.x / n;
    centre.y += p.y / n;
  }
  for (Point& p : hull) {
    const double dx = p.x - centre.x, dy = p.y - centre.y;
    const double dist = std::max(0.001, std::sqrt(dx * dx + dy * dy));
    const double scale = (dist + radius) / dist;
    p = {centre.x + dx * scale, centre.y + dy * scale};
  }
  return convexHull(std::move(hull));
}

Polygon expandedBox(const vision::Rect& box, std::int64_t width, std::int64_t height) {
  const double w = static_cast<double>(width), h = static_cast<double>(height);
  const double padX = kMargin * box.width, padY = kMargin * box.height;
  const double left = std::max(0.0, (box.minX() - padX) * w);
  const double right = std::min(w, (box.maxX() + padX) * w);
  const double top = std::max(0.0, (1 - box.maxY() - padY) * h);
  const double bottom = std::min(h, (1 - box.minY() + padY) * h);
  return {{left, top}, {right, top}, {right, bottom}, {left, bottom}};
}

Polygon facePolygon(const vision::FaceObservation& face, std::int64_t width, std::int64_t height) {
  const vision::Rect& box = face.boundingBox;
  const double w = static_cast<double>(width), h = static_cast<double>(height);
  std::vector<Point> points;
  if (face.landmarks) {
    const vision::FaceLandmarks& marks = *face.landmarks;
    for (const auto* region : {&marks.faceContour, &marks.leftEye, &marks.rightEye, &marks.leftEyebrow,
                               &marks.rightEyebrow, &marks.nose, &marks.noseCrest, &marks.outerLips,
                               &marks.innerLips}) {
      if (!*region) continue;
      for (const vision::Point& p : (*region)->normalizedPoints)
        points.push_back({(box.minX() + p.x * box.width) * w, (1 - (box.minY() + p.y * box.height)) * h});
    }
  }
  if (points.size() < 3) return expandedBox(box, width, height);
  const double left = box.minX() * w, right = box.maxX() * w;
  const double top = (1 - box.maxY()) * h, bottom = (1 - box.minY()) * h;
  points.push_back({left + 0.2 * (right - left), top});
  points.push_back({left + 0.8 * (right - left), top});
  const double radius = kMargin * std::max(right - left, bottom - top);
  return dilatedHull(points, radius);
}

}  // namespace veilpass
