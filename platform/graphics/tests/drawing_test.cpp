// Transforms, mask clips, the clear blend mode, strokes and circles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "graphics.h"

namespace {

using graphics::Canvas;
using graphics::Color;
using graphics::Mask;
using graphics::Path;
using graphics::Rect;

// Alpha of the pixel at column x, row y counted from the bottom.
int alphaAt(const imageio::Raster& r, int x, int yFromBottom) {
  return r.data[(std::size_t(r.height - 1 - yFromBottom) * r.width + x) * 4 + 3];
}

int inkedPixels(const imageio::Raster& r) {
  int n = 0;
  for (std::size_t i = 3; i < r.data.size(); i += 4) n += r.data[i] != 0;
  return n;
}

// Two samples side by side: the left one covers, the right one does not.
Mask leftHalfMask() {
  const std::uint8_t samples[2] = {255, 0};
  auto mask = Mask::fromCoverage(2, 1, samples, 2);
  EXPECT_TRUE(mask);
  return *mask;
}

TEST(MaskClip, LimitsDrawingToTheMaskStretchedOverItsRectangle) {
  auto canvas = Canvas::create(20, 20);
  canvas->saveState();
  canvas->clipToMask(leftHalfMask(), Rect{0, 0, 10, 10});
  canvas->fill(Rect{0, 0, 20, 20}, Color::grey(1));
  canvas->restoreState();
  imageio::Raster r = canvas->toRaster();
  EXPECT_EQ(alphaAt(r, 1, 5), 255);
  EXPECT_EQ(alphaAt(r, 8, 5), 0);
  EXPECT_EQ(alphaAt(r, 1, 15), 0);  // outside the rectangle
  // After the restore the clip is gone.
  canvas->fill(Rect{15, 15, 5, 5}, Color::grey(1));
  EXPECT_EQ(alphaAt(canvas->toRaster(), 17, 17), 255);
  EXPECT_FALSE(Mask::fromCoverage(4, 4, std::vector<std::uint8_t>(15).data(), 15));
}

TEST(MaskClip, FollowsTheTransformInForceWhenClipping) {
  auto canvas = Canvas::create(20, 20);
  canvas->saveState();
  canvas->translate(10, 10);
  canvas->rotate(M_PI / 2);  // counter-clockwise: the mask's left half goes to the bottom
  canvas->clipToMask(leftHalfMask(), Rect{-5, -5, 10, 10});
  canvas->translate(100, 100);  // later moves do not carry the clip along
  canvas->fill(Rect{-200, -200, 400, 400}, Color::grey(1));
  canvas->restoreState();
  imageio::Raster r = canvas->toRaster();
  EXPECT_EQ(alphaAt(r, 10, 6), 255);
  EXPECT_EQ(alphaAt(r, 10, 13), 0);
  EXPECT_EQ(alphaAt(r, 2, 2), 0);
}

TEST(MaskClip, PartialCoverageWeightsTheDrawingAndClipsIntersect) {
  auto canvas = Canvas::create(10, 10);
  const std::uint8_t half[1] = {128};
  auto mask = Mask::fromCoverage(1, 1, half, 1);
  canvas->saveState();
  canvas->clipToMask(*mask, Rect{0, 0, 10, 10});
  canvas->clipToMask(*mask, Rect{0, 0, 10, 10});
  canvas->fill(Rect{0, 0, 10, 10}, Color::grey(1));
  canvas->restoreState();
  EXPECT_NEAR(alphaAt(canvas->toRaster(), 5, 5), 64, 2);
}

TEST(BlendMode, ClearRemovesInProportionToCoverageAndAlpha) {
  auto canvas = Canvas::create(10, 10);
  canvas->fill(Rect{0, 0, 10, 10}, Color::rgb(1, 0, 0));
  canvas->setBlendMode(graphics::BlendMode::clear);
  canvas->fill(Rect{0, 0, 5, 10}, Color::grey(1));
  canvas->fill(Rect{5, 0, 5, 10}, Color::grey(1, 0.5));
  imageio::Raster r = canvas->toRaster();
  EXPECT_EQ(alphaAt(r, 2, 2), 0);
  EXPECT_NEAR(alphaAt(r, 7, 2), 128, 1);
  EXPECT_EQ(r.data[(std::size_t(7) * 10 + 7) * 4], 255);  // what stays keeps its colour
  canvas->clear();
  EXPECT_EQ(inkedPixels(canvas->toRaster()), 0);
}

TEST(Stroke, CapsDecideWhereALineEnds) {
  auto butt = Canvas::create(20, 10), square = Canvas::create(20, 10);
  const Path line = Path().moveTo({5, 5}).lineTo({15, 5});
  butt->stroke(line, Color::grey(1), {2, graphics::LineCap::butt});
  square->stroke(line, Color::grey(1), {2, graphics::LineCap::square});
  imageio::Raster b = butt->toRaster(), s = square->toRaster();
  EXPECT_EQ(alphaAt(b, 5, 4), 255);
  EXPECT_EQ(alphaAt(b, 14, 5), 255);
  EXPECT_EQ(alphaAt(b, 4, 4), 0);
  EXPECT_EQ(alphaAt(b, 15, 4), 0);
  EXPECT_EQ(alphaAt(b, 10, 6), 0);
  EXPECT_EQ(inkedPixels(b), 20);
  EXPECT_EQ(alphaAt(s, 4, 4), 255);
  EXPECT_EQ(inkedPixels(s), 24);
  // A zero or non-finite width draws nothing.
  butt->stroke(Path().moveTo({0, 0}).lineTo({20, 10}), Color::grey(1), {std::nan("")});
  EXPECT_EQ(inkedPixels(butt->toRaster()), 20);
}

TEST(Circle, FillCoversItsArea) {
  auto canvas = Canvas::create(40, 40);
  canvas->fill(Path().addCircle({20, 20}, 10), Color::grey(1));
  imageio::Raster r = canvas->toRaster();
  double sum = 0;
  for (std::size_t i = 3; i < r.data.size(); i += 4) sum += r.data[i] / 255.0;
  EXPECT_NEAR(sum, M_PI * 100, 3);
  EXPECT_EQ(alphaAt(r, 20, 20), 255);
  EXPECT_EQ(alphaAt(r, 20, 31), 0);
  EXPECT_TRUE(Path().addCircle({0, 0}, 0).isEmpty());
}

}  // namespace
