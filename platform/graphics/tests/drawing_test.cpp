// Transforms, mask clips, the clear blend mode, strokes and circles.
#include <gtest/gtest.h>

#include <algorithm>
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

// A disc tip with nothing along its border.
Mask discMask() {
  std::vector<std::uint8_t> samples(64 * 64);
  for (int i = 0; i < 64; ++i)
    for (int j = 0; j < 64; ++j) {
      const double r = std::hypot((i + 0.5) / 31.5 - 1, (j + 0.5) / 31.5 - 1);
      samples[std::size_t(i) * 64 + j] = static_cast<std::uint8_t>(std::lround(std::clamp((0.9 - r) * 10, 0.0, 1.0) * 255));
    }
  auto mask = Mask::fromCoverage(64, 64, samples.data(), samples.size());
  EXPECT_TRUE(mask);
  return *mask;
}

TEST(FillClip, PaintsWhatFillingTheClippedSquareDoes) {
  const Mask disc = discMask();
  for (const bool erase : {false, true}) {
    auto filled = Canvas::create(200, 150), painted = Canvas::create(200, 150);
    for (Canvas* c : {filled.get(), painted.get()}) {
      c->fill(Rect{0, 0, 200, 150}, Color::grey(1, erase ? 1 : 0.2));
      for (int k = 0; k < 12; ++k) {
        const double d = 32 + 9.5 * k, angle = 0.37 * k;
        const Rect square{-d / 2, -d / 2, d, d};
        c->saveState();
        c->translate(15 + 14.3 * k, 20 + 9.1 * k);
        c->rotate(angle);
        c->clipToMask(disc, square);
        c->setBlendMode(erase ? graphics::BlendMode::clear : graphics::BlendMode::normal);
        if (c == filled.get())
          c->fill(square, Color::grey(1, 0.8));
        else
          c->fillClip(Color::grey(1, 0.8));
        c->restoreState();
      }
    }
    EXPECT_EQ(filled->toRaster().data, painted->toRaster().data) << erase;
  }
  // Without a mask clip it paints within the path clip; with two it goes
  // through both.
  auto plain = Canvas::create(20, 20);
  plain->saveState();
  plain->clip(Path().addRect({0, 0, 10, 20}));
  plain->fillClip(Color::grey(1));
  plain->restoreState();
  EXPECT_EQ(inkedPixels(plain->toRaster()), 200);
  auto twice = Canvas::create(20, 20), twiceFilled = Canvas::create(20, 20);
  for (Canvas* c : {twice.get(), twiceFilled.get()}) {
    c->saveState();
    c->clipToMask(leftHalfMask(), Rect{0, 0, 20, 20});
    c->clipToMask(leftHalfMask(), Rect{-10, 0, 40, 20});
    if (c == twice.get())
      c->fillClip(Color::grey(1));
    else
      c->fill(Rect{0, 0, 20, 20}, Color::grey(1));
    c->restoreState();
  }
  const imageio::Raster r = twice->toRaster();
  EXPECT_EQ(r.data, twiceFilled->toRaster().data);
  EXPECT_GT(alphaAt(r, 2, 10), 200);
  EXPECT_EQ(alphaAt(r, 15, 10), 0);
}

TEST(StrokeLines, DrawsEachLineAsStrokingItAloneWould) {
  std::vector<Canvas::Line> lines;
  for (int k = 0; k < 40; ++k)
    lines.push_back({{3.0 + 4.7 * k, 5.0 + 2.9 * k}, {90.0 - 1.3 * k, 120.0 - 2.2 * k}, 0.1 + 0.02 * k, 0.35 + 0.1 * k});
  lines.push_back({{10, 10}, {50, 50}, 1, 0});  // no width: nothing
  for (const auto join : {graphics::LineJoin::bevel, graphics::LineJoin::miter})
    for (const bool clipped : {false, true}) {
      auto one = Canvas::create(160, 140), batch = Canvas::create(160, 140);
      for (Canvas* c : {one.get(), batch.get()}) {
        c->fill(Rect{0, 0, 160, 140}, Color::grey(0));
        if (clipped) c->clipToMask(leftHalfMask(), Rect{0, 0, 160, 140});
      }
      for (const Canvas::Line& line : lines)
        one->stroke(Path().moveTo(line.from).lineTo(line.to), Color::grey(1, line.alpha),
                    {line.width, graphics::LineCap::butt, join});
      batch->strokeLines(lines.data(), lines.size(), Color::grey(1), {7, graphics::LineCap::butt, join});
      EXPECT_EQ(one->toRaster().data, batch->toRaster().data) << clipped;
    }
}

}  // namespace
