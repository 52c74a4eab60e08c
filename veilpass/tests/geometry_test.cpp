#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "veilpass.h"

namespace {

using veilpass::Point;
using veilpass::Polygon;

std::string text(const Polygon& polygon) {
  std::string out;
  for (const Point& p : polygon) out += "(" + std::to_string(p.x) + ", " + std::to_string(p.y) + ") ";
  return out;
}

void expectNear(const Polygon& actual, const Polygon& expected) {
  ASSERT_EQ(actual.size(), expected.size()) << text(actual);
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_NEAR(actual[i].x, expected[i].x, 1e-9) << "corner " << i << ": " << text(actual);
    EXPECT_NEAR(actual[i].y, expected[i].y, 1e-9) << "corner " << i << ": " << text(actual);
  }
}

vision::LandmarkRegion region(std::vector<vision::Point> points) { return {std::move(points)}; }

vision::FaceObservation faceIn(vision::Rect box) {
  vision::FaceObservation face;
  face.boundingBox = box;
  return face;
}

TEST(VeilpassCross, SignTellsTheTurn) {
  EXPECT_EQ(veilpass::cross({0, 0}, {1, 0}, {1, 1}), 1);
  EXPECT_EQ(veilpass::cross({0, 0}, {1, 0}, {1, -1}), -1);
  EXPECT_EQ(veilpass::cross({0, 0}, {1, 1}, {3, 3}), 0);
  EXPECT_EQ(veilpass::cross({1, 2}, {4, 6}, {2, 7}), 3 * 5 - 4 * 1);
}

TEST(VeilpassConvexHull, Cases) {
  struct Case {
    const char* name;
    std::vector<Point> points;
    Polygon hull;
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"one point", {{3, 4}}, {{3, 4}}},
      {"two points come back sorted", {{5, 1}, {2, 9}}, {{2, 9}, {5, 1}}},
      {"duplicates count once", {{1, 1}, {1, 1}, {0, 0}, {0, 0}}, {{0, 0}, {1, 1}}},
      {"collinear points leave the two ends", {{0, 0}, {2, 2}, {1, 1}, {3, 3}}, {{0, 0}, {3, 3}}},
      {"square with inner and edge points, lower chain first",
       {{0.5, 0.5}, {1, 1}, {0, 1}, {0.5, 0}, {1, 0}, {0, 0}, {1, 0}},
       {{0, 0}, {1, 0}, {1, 1}, {0, 1}}},
      {"equal x sorted by y", {{0, 2}, {0, 0}, {2, 1}}, {{0, 0}, {2, 1}, {0, 2}}},
      {"points without finite coordinates are dropped",
       {{0, 0}, {4, 0}, {NAN, 1}, {0, 4}, {INFINITY, 0}},
       {{0, 0}, {4, 0}, {0, 4}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(veilpass::convexHull(c.points), c.hull) << text(veilpass::convexHull(c.points));
  }
}

TEST(VeilpassDilatedHull, CornersMoveTheRadiusAwayFromTheCentre) {
  const double r = std::sqrt(2.0);
  expectNear(veilpass::dilatedHull({{0, 0}, {2, 0}, {2, 2}, {0, 2}, {1, 1}}, r),
             {{-1, -1}, {3, -1}, {3, 3}, {-1, 3}});
  // The centre is the mean of the hull's corners, not of all the points.
  const Polygon hull = veilpass::dilatedHull({{0, 0}, {6, 0}, {0, 6}, {1, 1}, {1, 1}, {0.5, 0.2}}, 2);
  ASSERT_EQ(hull.size(), 3u);
  const Point centre{2, 2};
  const Polygon corners{{0, 0}, {6, 0}, {0, 6}};
  for (std::size_t i = 0; i < 3; ++i) {
    const double before = std::hypot(corners[i].x - centre.x, corners[i].y - centre.y);
    const double after = std::hypot(hull[i].x - centre.x, hull[i].y - centre.y);
    EXPECT_NEAR(after - before, 2, 1e-9) << i;
  }
}

TEST(VeilpassDilatedHull, FewerThanThreeHullPointsStayAsTheyAre) {
  EXPECT_EQ(veilpass::dilatedHull({{0, 0}, {1, 1}, {2, 2}}, 10), (Polygon{{0, 0}, {2, 2}}));
  EXPECT_EQ(veilpass::dilatedHull({{5, 5}, {5, 5}}, 10), (Polygon{{5, 5}}));
  EXPECT_TRUE(veilpass::dilatedHull({}, 10).empty());
}

TEST(VeilpassDilatedHull, IsConvexAndContainsEveryPoint) {
  std::vector<Point> points;
  for (int i = 0; i < 40; ++i) {
    const double a = i * 0.7;
    points.push_back({50 + 30 * std::cos(a) * (1 + 0.3 * std::sin(3 * a)), 60 + 20 * std::sin(a)});
  }
  const Polygon hull = veilpass::dilatedHull(points, 7);
  ASSERT_GE(hull.size(), 3u);
  for (std::size_t i = 0; i < hull.size(); ++i) {
    const Point& a = hull[i];
    const Point& b = hull[(i + 1) % hull.size()];
    const Point& c = hull[(i + 2) % hull.size()];
    EXPECT_GT(veilpass::cross(a, b, c), 0) << "corner " << i;
    for (const Point& p : points) EXPECT_GT(veilpass::cross(a, b, p), 0) << "edge " << i;
  }
}

TEST(VeilpassExpandedBox, EnlargedByTwelvePercentAndClippedToThePicture) {
  struct Case {
    const char* name;
    vision::Rect box;
    std::int64_t width, height;
    Polygon polygon;
  };
  const Case cases[] = {
      {"inside", {0.4, 0.3, 0.2, 0.25}, 1000, 800, {{376, 336}, {624, 336}, {624, 584}, {376, 584}}},
      {"touching the bottom-left corner", {0, 0, 0.5, 0.5}, 200, 100, {{0, 44}, {112, 44}, {112, 100}, {0, 100}}},
      {"touching the top-right corner", {0.5, 0.5, 0.5, 0.5}, 200, 100, {{88, 0}, {200, 0}, {200, 56}, {88, 56}}},
      {"the whole picture", {0, 0, 1, 1}, 640, 480, {{0, 0}, {640, 0}, {640, 480}, {0, 480}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectNear(veilpass::expandedBox(c.box, c.width, c.height), c.polygon);
  }
}

TEST(VeilpassFacePolygon, FallsBackToTheExpandedBoxBelowThreePoints) {
  const vision::Rect box{0.4, 0.3, 0.2, 0.25};
  const Polygon expanded = veilpass::expandedBox(box, 1000, 800);
  vision::FaceObservation noLandmarks = faceIn(box);
  EXPECT_EQ(veilpass::facePolygon(noLandmarks, 1000, 800), expanded);

  vision::FaceObservation twoPoints = faceIn(box);
  twoPoints.landmarks.emplace();
  twoPoints.landmarks->leftPupil = region({{0.3, 0.6}});
  twoPoints.landmarks->nose = region({{0.5, 0.5}, {0.5, 0.4}});
  twoPoints.landmarks->medianLine = region({{0.5, 0.1}, {0.5, 0.9}});
  EXPECT_EQ(veilpass::facePolygon(twoPoints, 1000, 800), expanded);

  // Duplicates still count as points: three of them take the hull path.
  vision::FaceObservation threeShared = faceIn(box);
  threeShared.landmarks.emplace();
  threeShared.landmarks->leftEye = region({{0.5, 0.5}});
  threeShared.landmarks->leftEyebrow = region({{0.5, 0.5}});
  threeShared.landmarks->innerLips = region({{0.5, 0.5}});
  EXPECT_NE(veilpass::facePolygon(threeShared, 1000, 800), expanded);
}

TEST(VeilpassFacePolygon, HullOfTheListedRegionsAndTheForehead) {
  // Box (25, 25)-(75, 75) in pixels of a 100 × 100 picture; radius 6.
  vision::FaceObservation face = faceIn({0.25, 0.25, 0.5, 0.5});
  face.landmarks.emplace();
  vision::FaceLandmarks& marks = *face.landmarks;
  marks.faceContour = region({{0, 0}, {1, 0}});
  marks.rightEye = region({{0.5, 0.5}});
  marks.outerLips = region({{0.2, 0.1}, {0.2, 0.1}});
  // Regions that do not enter the polygon, however far out they lie.
  marks.medianLine = region({{0.5, -3}});
  marks.leftPupil = region({{9, 9}});
  marks.rightPupil = region({{-9, 0.5}});
  const Polygon expected = veilpass::dilatedHull(
      {{25, 75}, {75, 75}, {50, 50}, {35, 70}, {35, 25}, {65, 25}}, 6);
  expectNear(veilpass::facePolygon(face, 100, 100), expected);
}

TEST(VeilpassFacePolygon, RadiusFollowsTheLargerSideAndTheHullMayLeaveThePicture) {
  // A wide face box (80 × 20 px) at the picture's left edge: radius 9.6.
  vision::FaceObservation face = faceIn({0, 0.4, 0.8, 0.2});
  face.landmarks.emplace();
  face.landmarks->faceContour = region({{0, 0}, {1, 0}, {1, 1}, {0, 1}});
  const Polygon polygon = veilpass::facePolygon(face, 100, 100);
  const Polygon expected = veilpass::dilatedHull({{0, 60}, {80, 60}, {80, 40}, {0, 40}, {16, 40}, {64, 40}}, 9.6);
  expectNear(polygon, expected);
  double minX = 0;
  for (const Point& p : polygon) minX = std::min(minX, p.x);
  EXPECT_LT(minX, -5);
}

TEST(VeilpassFacePolygon, SmallLandmarkSpreadStillTakesTheHullPath) {
  vision::FaceObservation face = faceIn({0.1, 0.1, 0.8, 0.8});
  face.landmarks.emplace();
  face.landmarks->nose = region({{0.5, 0.5}, {0.51, 0.5}, {0.5, 0.51}});
  const Polygon polygon = veilpass::facePolygon(face, 200, 200);
  // The forehead points lie on the box's top edge (y = 20), so the hull
  // reaches above it by the radius (0.12 × 160).
  double minY = 1e9;
  for (const Point& p : polygon) minY = std::min(minY, p.y);
  EXPECT_LT(minY, 15);
  EXPECT_NE(polygon, veilpass::expandedBox(face.boundingBox, 200, 200));
}

}  // namespace
