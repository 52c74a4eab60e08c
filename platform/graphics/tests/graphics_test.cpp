#include "graphics.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using graphics::Canvas;
using graphics::Color;
using graphics::Rect;
using Rgba = std::array<int, 4>;

Rgba pixel(const imageio::Raster& r, int x, int yFromTop) {
  const std::uint8_t* p = r.data.data() + (std::size_t(yFromTop) * r.width + x) * 4;
  return {p[0], p[1], p[2], p[3]};
}

void expectNear(Rgba actual, Rgba expected, int tolerance) {
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

// A wholly non-transparent row count of the raster's rows top first.
int inkedRows(const imageio::Raster& r, int top, int bottom) {
  int rows = 0;
  for (int y = top; y < bottom; ++y)
    for (int x = 0; x < r.width; ++x)
      if (pixel(r, x, y)[3] != 0) {
        ++rows;
        break;
      }
  return rows;
}

TEST(Canvas, OriginIsBottomLeftAndAlphaReadsBackStraight) {
  auto canvas = Canvas::create(20, 10);
  ASSERT_TRUE(canvas);
  canvas->fill(Rect{0, 0, 5, 2}, Color::rgb(1, 0, 0));
  canvas->fill(Rect{10, 5, 10, 5}, Color::rgb(0, 0, 1, 0.5));
  const imageio::Raster r = canvas->toRaster();
  ASSERT_EQ(r.width, 20);
  ASSERT_EQ(r.height, 10);
  expectNear(pixel(r, 0, 9), {255, 0, 0, 255}, 0);   // bottom-left
  expectNear(pixel(r, 0, 7), {0, 0, 0, 0}, 0);
  expectNear(pixel(r, 19, 0), {0, 0, 255, 128}, 1);  // top-right, half transparent
}

TEST(Canvas, RefusesImpossibleSizesAndIgnoresUnbalancedRestore) {
  EXPECT_FALSE(Canvas::create(0, 10));
  EXPECT_FALSE(Canvas::create(10, -1));
  EXPECT_FALSE(Canvas::create(40000, 10));
  auto canvas = Canvas::create(4, 4);
  canvas->restoreState();
  canvas->fill(Rect{0, 0, 4, 4}, Color::grey(1));
  expectNear(pixel(canvas->toRaster(), 2, 2), {255, 255, 255, 255}, 0);
}

TEST(Canvas, RoundedRectanglesLeaveTheirCornersOpen) {
  auto canvas = Canvas::create(100, 60);
  canvas->fill(graphics::Path().addRoundedRect({10, 10, 80, 40}, 16), Color::grey(1));
  const imageio::Raster r = canvas->toRaster();
  EXPECT_EQ(pixel(r, 10, 49)[3], 0);    // the corner itself
  EXPECT_EQ(pixel(r, 50, 30)[3], 255);  // middle
  EXPECT_EQ(pixel(r, 10, 30)[3], 255);  // straight edge
  EXPECT_EQ(pixel(r, 26, 11)[3], 255);  // where the top curve ends
}

TEST(Canvas, ImagesAreDrawnUprightAndScaledIntoTheirRectangle) {
  // 2 × 2: top-left red, top-right green, bottom-left blue, bottom-right white.
  imageio::Raster source;
  source.width = source.height = 2;
  source.data = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
  auto image = graphics::Image::fromRaster(source);
  ASSERT_TRUE(image);
  auto canvas = Canvas::create(40, 40);
  canvas->setInterpolation(graphics::Interpolation::none);
  canvas->drawImage(*image, Rect{10, 0, 20, 20});
  const imageio::Raster r = canvas->toRaster();
  expectNear(pixel(r, 12, 22), {255, 0, 0, 255}, 0);    // top-left of the rectangle
  expectNear(pixel(r, 28, 22), {0, 255, 0, 255}, 0);
  expectNear(pixel(r, 12, 38), {0, 0, 255, 255}, 0);
  expectNear(pixel(r, 28, 38), {255, 255, 255, 255}, 0);
  EXPECT_EQ(pixel(r, 9, 30)[3], 0);  // nothing outside
  EXPECT_EQ(pixel(r, 30, 30)[3], 0);
  EXPECT_EQ(pixel(r, 20, 19)[3], 0);

  // Transparent source pixels over white stay white; opacity scales the rest.
  source.data[3] = 0;
  auto faded = graphics::Image::fromRaster(source);
  auto white = Canvas::create(2, 2);
  white->fill(Rect{0, 0, 2, 2}, Color::grey(1));
  white->drawImage(*faded, Rect{0, 0, 2, 2}, 0.5);
  const imageio::Raster w = white->toRaster();
  expectNear(pixel(w, 0, 0), {255, 255, 255, 255}, 0);
  expectNear(pixel(w, 1, 0), {128, 255, 128, 255}, 1);
}

TEST(Canvas, GreyCanvasesReadBackLuminance) {
  auto canvas = Canvas::create(4, 2, graphics::PixelFormat::grey8);
  canvas->fill(Rect{0, 0, 2, 2}, Color::grey(1));
  canvas->fill(Rect{2, 0, 2, 2}, Color::rgb(0, 1, 0));
  const auto levels = canvas->greyLevels();
  ASSERT_EQ(levels.size(), 8u);
  EXPECT_EQ(levels[0], 255);
  EXPECT_NEAR(levels[3], 182, 1);  // 0.7152 × 255
}

TEST(Text, GraphemeClustersAreNeverSplit) {
  using graphics::graphemeCount;
  using graphics::graphemePrefix;
  const std::string combining = "e\u0301e\u0301";          // é as e + combining acute
  const std::string flag = "\U0001F1F5\U0001F1F1";          // regional indicator pair
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // ZWJ sequence
  const std::string hebrew = "\u05E9\u05DC\u05D5\u05DD";
  EXPECT_EQ(graphemeCount(combining), 2u);
  EXPECT_EQ(graphemePrefix(combining, 1), "e\u0301");
  EXPECT_EQ(graphemeCount(flag + family + "a"), 3u);
  EXPECT_EQ(graphemePrefix(flag + family + "a", 2), flag + family);
  EXPECT_EQ(graphemeCount(hebrew), 4u);
  EXPECT_EQ(graphemePrefix(hebrew, 10), hebrew);
  EXPECT_EQ(graphemeCount(""), 0u);
  EXPECT_EQ(graphemePrefix("abc", 0), "");
  // Invalid bytes become U+FFFD, one character each.
  EXPECT_EQ(graphemePrefix("a\xff" "b", 2), "a\uFFFD");
  EXPECT_EQ(graphics::validUtf8(std::string("x\0y", 3)), "x\uFFFDy");
}

graphics::TextStyle style(double size, graphics::TextAlignment alignment = {}) {
  return {{"DejaVu Sans", size, graphics::FontWeight::bold}, Color::grey(1), alignment};
}

TEST(Text, LayoutMeasuresAndWraps) {
  graphics::TextLayout one("Hello", style(20), 0);
  EXPECT_EQ(one.lineCount(), 1);
  EXPECT_GT(one.size().width, 40);
  EXPECT_NEAR(one.size().height, 20 * 1.164, 3);  // DejaVu's ascent + descent
  graphics::TextLayout bigger("Hello", style(40), 0);
  EXPECT_NEAR(bigger.size().width, 2 * one.size().width, 2);
  graphics::TextLayout wrapped("Hello Hello Hello Hello", style(20), 100);
  EXPECT_GT(wrapped.lineCount(), 2);
  EXPECT_LE(wrapped.size().width, 100);
  EXPECT_NEAR(wrapped.heightOfLines(2), 2 * one.size().height, 2);
}

TEST(Text, OnlyWholeLinesInsideTheRectangleAreDrawn) {
  auto canvas = Canvas::create(200, 100);
  const Rect rect{10, 20, 120, 30};  // rows 50..79 from the top
  const std::string text = "Wrapping words over several lines of text";
  graphics::TextLayout layout(text, style(20), rect.width);
  ASSERT_GT(layout.lineCount(), 1);
  canvas->drawText(layout, rect);
  const imageio::Raster r = canvas->toRaster();
  EXPECT_GT(inkedRows(r, 50, 80), 8);
  EXPECT_EQ(inkedRows(r, 0, 50), 0);
  EXPECT_EQ(inkedRows(r, 80, 100), 0);
  // The second line would start at about 23 px from the top: not drawn.
  EXPECT_EQ(inkedRows(r, 50 + 26, 80), 0);
  for (int y = 0; y < 100; ++y) {
    EXPECT_EQ(pixel(r, 5, y)[3], 0);
    EXPECT_EQ(pixel(r, 135, y)[3], 0);
  }

  // A first line taller than the rectangle is still drawn, clipped to it.
  auto small = Canvas::create(200, 100);
  small->drawText(layout, Rect{10, 20, 120, 10});
  const imageio::Raster s = small->toRaster();
  EXPECT_GT(inkedRows(s, 70, 80), 5);
  EXPECT_EQ(inkedRows(s, 0, 70) + inkedRows(s, 80, 100), 0);
}

TEST(Text, RightToLeftAndCentredTextSitInsideTheirRectangle) {
  for (auto [text, alignment] :
       {std::pair<std::string, graphics::TextAlignment>{"\u05E9\u05DC\u05D5\u05DD", {}},
        {"O", graphics::TextAlignment::center}}) {
    auto canvas = Canvas::create(200, 40);
    canvas->drawText(graphics::TextLayout(text, style(20, alignment), 200), Rect{0, 0, 200, 40});
    const imageio::Raster r = canvas->toRaster();
    int left = 200, right = -1;
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 200; ++x)
        if (pixel(r, x, y)[3]) left = std::min(left, x), right = std::max(right, x);
    ASSERT_GE(right, 0) << text;
    if (alignment == graphics::TextAlignment::center) {
      EXPECT_NEAR((left + right) / 2.0, 100, 3);
    } else {  // a right-to-left paragraph starts at the right
      EXPECT_GT(left, 100);
      EXPECT_GT(right, 190);
    }
  }
}

}  // namespace
