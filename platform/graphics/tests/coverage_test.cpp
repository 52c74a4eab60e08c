// Coverage planes: covered areas of lines and circles, source-over of white,
// clipping at the plane's edges and row limits, unusable marks, and banded
// drawing on several threads against drawing in order.
#include "coverage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <numbers>
#include <vector>

namespace {

using graphics::Canvas;
using graphics::CoverageMark;
using graphics::CoveragePlane;

CoveragePlane planeOf(int width, int height, std::uint8_t level = 0) {
  auto plane = CoveragePlane::create(width, height, level);
  EXPECT_TRUE(plane);
  return std::move(*plane);
}

// The level at column x of the row y pixels up from the bottom.
int levelAt(const CoveragePlane& plane, int x, int yFromBottom) {
  return plane.row(plane.height() - 1 - yFromBottom)[x];
}

// The covered area in pixels, for marks of alpha 1 that do not overlap.
double paintedArea(const CoveragePlane& plane) {
  double sum = 0;
  for (std::uint8_t v : plane.bytes()) sum += v;
  return sum / 255;
}

void drawOne(CoveragePlane& plane, const CoverageMark& mark) { plane.draw({&mark, 1}); }

TEST(CoveragePlane, IsMadeFilledAndWithinItsLimits) {
  const CoveragePlane plane = planeOf(3, 2, 7);
  EXPECT_EQ(plane.bytes(), std::vector<std::uint8_t>(6, 7));
  EXPECT_FALSE(CoveragePlane::create(0, 5));
  EXPECT_FALSE(CoveragePlane::create(5, 32768));
}

TEST(CoverageLine, CoversTheAreaOfEachPixelItCrosses) {
  // A 1-px line along the boundary between two rows covers half of each,
  // from its butt end at x = 2 to the one at x = 12.5.
  CoveragePlane plane = planeOf(16, 20);
  drawOne(plane, CoverageMark::line({2, 10}, {12.5, 10}, 1, 1));
  for (int x = 2; x < 12; ++x) {
    EXPECT_EQ(levelAt(plane, x, 9), 128) << x;
    EXPECT_EQ(levelAt(plane, x, 10), 128) << x;
    EXPECT_EQ(levelAt(plane, x, 8), 0) << x;
    EXPECT_EQ(levelAt(plane, x, 11), 0) << x;
  }
  EXPECT_EQ(levelAt(plane, 1, 10), 0);
  EXPECT_EQ(levelAt(plane, 12, 10), 64);  // a quarter: half the row, half the column
  EXPECT_EQ(levelAt(plane, 13, 10), 0);

  // A 0.45-px line inside one row covers 0.45 of it, vertically too.
  CoveragePlane thin = planeOf(16, 20);
  drawOne(thin, CoverageMark::line({1, 5.5}, {15, 5.5}, 0.45, 1));
  drawOne(thin, CoverageMark::line({8.5, 8}, {8.5, 18}, 0.45, 1));
  EXPECT_EQ(levelAt(thin, 4, 5), 115);
  EXPECT_EQ(levelAt(thin, 4, 4), 0);
  EXPECT_EQ(levelAt(thin, 8, 12), 115);
  EXPECT_EQ(levelAt(thin, 7, 12), 0);
  EXPECT_NEAR(paintedArea(thin), (14 + 10) * 0.45, 0.05);
}

TEST(CoverageLine, SlantedLinesCoverTheirLengthTimesTheirWidth) {
  for (double angle : {0.1, 0.7, 1.2, 2.5, 4.0}) {
    for (double width : {0.35, 0.45, 1.3, 5.0}) {
      CoveragePlane plane = planeOf(200, 160);
      const double half = 54, dx = half * std::cos(angle), dy = half * std::sin(angle);
      drawOne(plane, CoverageMark::line({100.3 - dx, 80.7 - dy}, {100.3 + dx, 80.7 + dy}, width, 1));
      // Rounding each pixel to a level costs at most half a level each.
      EXPECT_NEAR(paintedArea(plane), 2 * half * width, 2 * half * width * 0.01 + 0.5) << angle << " " << width;
    }
  }
  // A line across the plane at 45° lights every pixel it crosses about
  // evenly: its thin cross-section never collapses into steps.
  CoveragePlane plane = planeOf(50, 50);
  drawOne(plane, CoverageMark::line({0, 0}, {50, 50}, 0.5, 1));
  for (int i = 5; i < 45; ++i) EXPECT_NEAR(levelAt(plane, i, i), 255 * 0.5 * std::sqrt(2.0) - 255 * 0.125, 3) << i;
}

TEST(CoverageCircle, CoversItsArea) {
  for (double r : {0.35, 0.7, 1.0, 5.0, 40.0}) {
    CoveragePlane plane = planeOf(100, 100);
    drawOne(plane, CoverageMark::circle({50.3, 49.6}, r, 1));
    EXPECT_NEAR(paintedArea(plane), std::numbers::pi * r * r, std::numbers::pi * r * r * 0.005 + 0.3) << r;
  }
}

TEST(CoverageMarks, PaintWhiteOverWhatIsThereAtTheirAlpha) {
  CoveragePlane plane = planeOf(4, 4, 100);
  const CoverageMark halfRow = CoverageMark::line({0, 2.5}, {4, 2.5}, 1, 0.5);
  drawOne(plane, halfRow);
  EXPECT_EQ(levelAt(plane, 1, 2), 100 + 78);  // 100 + 155 × 0.5, rounded
  drawOne(plane, halfRow);
  EXPECT_EQ(levelAt(plane, 1, 2), 178 + 39);
  EXPECT_EQ(levelAt(plane, 1, 1), 100);
  const CoverageMark full = CoverageMark::line({0, 2.5}, {4, 2.5}, 1, 3);  // counts as 1
  drawOne(plane, full);
  EXPECT_EQ(levelAt(plane, 1, 2), 255);
  drawOne(plane, full);
  EXPECT_EQ(levelAt(plane, 1, 2), 255);
}

TEST(CoverageMarks, AreClippedToThePlaneAndItsRowLimits) {
  // Half of a line and of a circle hanging over each edge.
  CoveragePlane plane = planeOf(40, 30);
  drawOne(plane, CoverageMark::line({-20, 10.5}, {20, 10.5}, 2, 1));
  drawOne(plane, CoverageMark::line({30.5, 20}, {30.5, 50}, 3, 1));
  EXPECT_NEAR(paintedArea(plane), 20 * 2 + 10 * 3, 0.5);
  EXPECT_EQ(levelAt(plane, 0, 10), 255);
  CoveragePlane corner = planeOf(40, 30);
  drawOne(corner, CoverageMark::circle({40, 0}, 8, 1));
  EXPECT_NEAR(paintedArea(corner), std::numbers::pi * 64 / 4, 0.5);
  // Wholly outside, or across the plane from far away.
  CoveragePlane outside = planeOf(40, 30);
  drawOne(outside, CoverageMark::line({-50, -5}, {-10, -5}, 4, 1));
  drawOne(outside, CoverageMark::circle({100, 15}, 5, 1));
  EXPECT_EQ(paintedArea(outside), 0);
  drawOne(outside, CoverageMark::line({-1e7, 4.5}, {1e7, 4.5}, 1, 1));
  EXPECT_NEAR(paintedArea(outside), 40, 0.01);

  // Row limits: only rows 10..19 (from the top) change, as a full drawing
  // changes them.
  CoveragePlane whole = planeOf(40, 30), part = planeOf(40, 30);
  const CoverageMark slant = CoverageMark::line({3, 2}, {35, 28}, 2.5, 0.8);
  drawOne(whole, slant);
  part.draw({&slant, 1}, 10, 20);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) EXPECT_EQ(part.row(y)[x], y >= 10 && y < 20 ? whole.row(y)[x] : 0) << x << "," << y;
}

TEST(CoverageMarks, WithoutAreaOrWithUnusableNumbersDrawNothing) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  CoveragePlane plane = planeOf(20, 20);
  const CoverageMark marks[] = {
      CoverageMark::line({5, 5}, {5, 5}, 3, 1),  // zero length: butt caps draw nothing
      CoverageMark::line({1, 5}, {9, 5}, 0, 1),     CoverageMark::line({1, 5}, {9, 5}, -2, 1),
      CoverageMark::line({1, 5}, {9, 5}, 2, 0),     CoverageMark::line({1, 5}, {9, 5}, 2, nan),
      CoverageMark::line({nan, 5}, {9, 5}, 2, 1),   CoverageMark::line({1, 5}, {9, inf}, 2, 1),
      CoverageMark::line({1, 5}, {9, 5}, 1e308, 1), CoverageMark::line({-1e308, 5}, {1e308, 5}, 2, 1),
      CoverageMark::circle({5, 5}, 0, 1),           CoverageMark::circle({5, 5}, 1e300, 1),
      CoverageMark::circle({nan, 5}, 2, 1),
  };
  plane.draw(marks);
  EXPECT_EQ(paintedArea(plane), 0);
  // A huge circle still usable covers the plane, through a bounded polygon.
  drawOne(plane, CoverageMark::circle({10, 10}, 1e6, 1));
  EXPECT_EQ(plane.bytes(), std::vector<std::uint8_t>(400, 255));
}

// The same lines and dots stroked on a canvas: the same geometry and
// alphas (the canvas samples coverage more coarsely, so pixels differ by a
// few levels along edges).
TEST(CoverageMarks, MatchTheCanvasDrawingTheSameShapes) {
  const int w = 120, h = 90;
  auto canvas = Canvas::create(w, h);
  ASSERT_TRUE(canvas);
  CoveragePlane plane = planeOf(w, h);
  std::vector<CoverageMark> marks;
  for (int i = 0; i < 12; ++i) {
    const double angle = 0.3 + i * 0.55, x = 20 + (i * 37) % 80, y = 15 + (i * 23) % 60;
    marks.push_back(CoverageMark::line({x, y}, {x + 30 * std::cos(angle), y + 30 * std::sin(angle)}, 0.35 + 0.4 * i,
                                       0.2 + 0.06 * i));
  }
  marks.push_back(CoverageMark::circle({30.4, 70.2}, 0.6, 0.9));
  marks.push_back(CoverageMark::circle({90.5, 20.5}, 6, 0.5));
  for (const CoverageMark& mark : marks) {
    if (mark.shape == CoverageMark::Shape::circle) {
      canvas->fill(graphics::Path().addCircle(mark.from, mark.width), graphics::Color::grey(1, mark.alpha));
    } else {
      const Canvas::Line line{mark.from, mark.to, mark.alpha, mark.width};
      canvas->strokeLines(&line, 1, graphics::Color::grey(1), {1, graphics::LineCap::butt});
    }
  }
  plane.draw(marks);
  const imageio::Raster drawn = canvas->toRaster();
  double canvasSum = 0, planeSum = 0;
  int worst = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int expected = drawn.data[(std::size_t(y) * w + x) * 4 + 3], got = plane.row(y)[x];
      canvasSum += expected;
      planeSum += got;
      worst = std::max(worst, std::abs(expected - got));
    }
  EXPECT_NEAR(planeSum, canvasSum, canvasSum * 0.01);
  EXPECT_LE(worst, 17);  // one step of the canvas's 15 samples a pixel row
}

// Many marks over two planes of odd heights, crossing the bands.
std::vector<CoverageMark> manyMarks(int width, int height, int count, std::uint32_t seed) {
  std::vector<CoverageMark> marks;
  std::uint32_t s = seed;
  auto next = [&] {
    s = s * 1664525u + 1013904223u;
    return (s >> 8) / double(1 << 24);
  };
  for (int i = 0; i < count; ++i) {
    const graphics::Point from{next() * width * 1.2 - 0.1 * width, next() * height * 1.2 - 0.1 * height};
    const double angle = next() * 7, length = next() * 300;
    if (i % 5 == 0)
      marks.push_back(CoverageMark::circle(from, 0.3 + next() * 3, 0.2 + next() * 0.8));
    else
      marks.push_back(CoverageMark::line(from, {from.x + length * std::cos(angle), from.y + length * std::sin(angle)},
                                         0.35 + next() * 4, 0.1 + next() * 0.5));
  }
  return marks;
}

TEST(CoverageBands, GiveTheSameBytesAsDrawingInOrderWhateverTheThreads) {
  const std::vector<CoverageMark> shade = manyMarks(300, 411, 1500, 1), highlight = manyMarks(300, 411, 1500, 2);
  CoveragePlane inOrderShade = planeOf(300, 411), inOrderHighlight = planeOf(300, 411, 9);
  inOrderShade.draw(shade);
  inOrderHighlight.draw(highlight);
  for (int threads : {1, 2, 3, 8}) {
    CoveragePlane a = planeOf(300, 411), b = planeOf(300, 411, 9);
    const graphics::CoverageJob jobs[] = {{&a, shade}, {&b, highlight}};
    graphics::drawInBands(jobs, threads);
    EXPECT_TRUE(a.bytes() == inOrderShade.bytes()) << threads;
    EXPECT_TRUE(b.bytes() == inOrderHighlight.bytes()) << threads;
  }
  EXPECT_GT(paintedArea(inOrderShade), 300 * 411 * 0.3);
}

}  // namespace
