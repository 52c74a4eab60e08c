// The blend modes and the compositing operators on known colours, with and
// without cover, and their extents.
#include <gtest/gtest.h>

#include "coreimage.h"

using namespace coreimage;

namespace {

Image imageOf(int w, int h, std::vector<float> rgba) {
  auto pixels = std::make_shared<std::vector<float>>(std::move(rgba));
  return Image::fromPixels(pixels, pixels->data(), w, h, 32, static_cast<std::size_t>(w) * 16);
}

Image pixel(float r, float g, float b, float a = 1) { return imageOf(1, 1, {r, g, b, a}); }

std::optional<Image> blend(const char* name, const Image& source, const Image& background) {
  auto filter = Filter::named(name);
  EXPECT_TRUE(filter) << name;
  if (!filter) return std::nullopt;
  filter->setValue(kInputImageKey, source);
  filter->setValue(kInputBackgroundImageKey, background);
  return filter->outputImage();
}

std::vector<float> blendPixel(const char* name, const Image& source, const Image& background) {
  auto out = blend(name, source, background);
  EXPECT_TRUE(out) << name;
  if (!out) return {0, 0, 0, 0};
  return renderFloat(*out, {0, 0, 1, 1});
}

void expectPixel(const std::vector<float>& got, std::array<float, 4> want, const char* what) {
  ASSERT_EQ(got.size(), 4u) << what;
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(got[k], want[k], 1e-5) << what << " component " << k;
}

}  // namespace

TEST(BlendFilters, OpaqueColours) {
  const Image s = pixel(0.2f, 0.6f, 0.8f), b = pixel(0.5f, 0.4f, 0.9f);
  expectPixel(blendPixel("CIMultiplyBlendMode", s, b), {0.1f, 0.24f, 0.72f, 1}, "multiply");
  expectPixel(blendPixel("CIScreenBlendMode", s, b), {0.6f, 0.76f, 0.98f, 1}, "screen");
  // Overlay decides by the background: 0.5 and 0.4 multiply (2·s·b), 0.9 screens.
  expectPixel(blendPixel("CIOverlayBlendMode", s, b), {0.2f, 0.48f, 1 - 2 * 0.2f * 0.1f, 1}, "overlay");
  expectPixel(blendPixel("CIDarkenBlendMode", s, b), {0.2f, 0.4f, 0.8f, 1}, "darken");
  expectPixel(blendPixel("CILightenBlendMode", s, b), {0.5f, 0.6f, 0.9f, 1}, "lighten");
  // The background minus the source, not clamped.
  expectPixel(blendPixel("CISubtractBlendMode", s, b), {0.3f, -0.2f, 0.1f, 1}, "subtract");
  expectPixel(blendPixel("CISourceOverCompositing", s, b), {0.2f, 0.6f, 0.8f, 1}, "source over");
  expectPixel(blendPixel("CIMultiplyCompositing", s, b), {0.1f, 0.24f, 0.72f, 1}, "product");
  // Sums beyond 1 stay, alpha is limited to 1.
  expectPixel(blendPixel("CIAdditionCompositing", s, b), {0.7f, 1.0f, 1.7f, 1}, "addition");
}

TEST(BlendFilters, TransparentSourceLeavesBackground) {
  const Image clear = pixel(0.9f, 0.1f, 0.3f, 0), b = pixel(0.5f, 0.4f, 0.9f);
  for (const char* name : {"CIMultiplyBlendMode", "CIScreenBlendMode", "CIOverlayBlendMode", "CIDarkenBlendMode",
                           "CISubtractBlendMode", "CISourceOverCompositing", "CIAdditionCompositing"})
    expectPixel(blendPixel(name, clear, b), {0.5f, 0.4f, 0.9f, 1}, name);
}

TEST(BlendFilters, PartialCover) {
  // Half-covering white over opaque grey: source over gives the average;
  // multiply by white keeps the background; screen with white gives
  // 0.5·1 + 0.5·0.4.
  const Image s = pixel(1, 1, 1, 0.5f), b = pixel(0.4f, 0.4f, 0.4f);
  expectPixel(blendPixel("CISourceOverCompositing", s, b), {0.7f, 0.7f, 0.7f, 1}, "source over");
  expectPixel(blendPixel("CIMultiplyBlendMode", s, b), {0.4f, 0.4f, 0.4f, 1}, "multiply");
  expectPixel(blendPixel("CIScreenBlendMode", s, b), {0.7f, 0.7f, 0.7f, 1}, "screen");
  // Two half covers: a = 0.75 for the blend modes and source over.
  const Image half = pixel(0.2f, 0.2f, 0.2f, 0.5f);
  auto over = blendPixel("CISourceOverCompositing", s, half);
  EXPECT_NEAR(over[3], 0.75f, 1e-5);
  EXPECT_NEAR(over[0], (0.5f + 0.2f * 0.5f * 0.5f) / 0.75f, 1e-5);
  // The product multiplies alpha too.
  expectPixel(blendPixel("CIMultiplyCompositing", s, half), {0.2f, 0.2f, 0.2f, 0.25f}, "product");
}

TEST(BlendFilters, ExtentsAndMissingInputs) {
  const Image wide = imageOf(4, 1, std::vector<float>(16, 1.0f));
  const Image small = pixel(0.5f, 0.5f, 0.5f).translated(10, 0);
  EXPECT_EQ(blend("CISourceOverCompositing", small, wide)->extent(), Rect::make(0, 0, 11, 1));
  EXPECT_EQ(blend("CIScreenBlendMode", small, wide)->extent(), Rect::make(0, 0, 11, 1));
  EXPECT_TRUE(blend("CIMultiplyCompositing", small, wide)->extent().isEmpty());
  // Over an infinite background the extent is infinite and the source shows
  // where it lies.
  auto overConstant = blend("CISourceOverCompositing", small, Image::constantColor({0, 0, 1, 1}));
  ASSERT_TRUE(overConstant);
  EXPECT_TRUE(overConstant->extent().isInfinite());
  auto row = renderFloat(*overConstant, {9, 0, 2, 1});
  expectPixel({row.begin(), row.begin() + 4}, {0, 0, 1, 1}, "beside");
  expectPixel({row.begin() + 4, row.end()}, {0.5f, 0.5f, 0.5f, 1}, "on");

  auto filter = Filter::named("CIMultiplyBlendMode");
  ASSERT_TRUE(filter);
  filter->setValue(kInputImageKey, wide);
  EXPECT_FALSE(filter->outputImage());
}
