// The blend modes and the compositing operators on known colours, with and
// without cover, and their extents.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

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

// Rows long enough for the blends' four-pixel groups and their tails, with
// every alpha from clear through tiny to opaque, against the formulas of the
// separable blend modes worked out here a pixel at a time.
TEST(BlendFilters, LongRowsMatchTheFormulasPixelByPixel) {
  const int n = 11;
  std::vector<float> sv, bv;
  for (int i = 0; i < n; ++i) {
    const float as = i % 4 == 0 ? 0.0f : (i % 4 == 1 ? 1e-7f : 0.1f * static_cast<float>(i % 10));
    const float ab = i % 3 == 0 ? 1.0f : 0.05f * static_cast<float>(i);
    sv.insert(sv.end(), {0.1f * static_cast<float>(i % 7), 0.9f - 0.07f * static_cast<float>(i), 0.5f, as});
    bv.insert(bv.end(), {0.3f, 0.08f * static_cast<float>(i), 1 - 0.09f * static_cast<float>(i), ab});
  }
  const Image source = imageOf(n, 1, sv), background = imageOf(n, 1, bv);
  struct Mode {
    const char* name;
    double (*mix)(double cs, double cb, double as, double ab);  // as·ab·B on premultiplied colour
  };
  const Mode modes[] = {
      {"CIMultiplyBlendMode", [](double cs, double cb, double, double) { return cs * cb; }},
      {"CIScreenBlendMode", [](double cs, double cb, double as, double ab) { return cs * ab + cb * as - cs * cb; }},
      {"CIOverlayBlendMode",
       [](double cs, double cb, double as, double ab) {
         return 2 * cb <= ab ? 2 * cs * cb : as * ab - 2 * (as - cs) * (ab - cb);
       }},
      {"CIDarkenBlendMode", [](double cs, double cb, double as, double ab) { return std::min(cs * ab, cb * as); }},
      {"CISubtractBlendMode", [](double cs, double cb, double as, double ab) { return cb * as - cs * ab; }},
  };
  for (const Mode& mode : modes) {
    auto out = blend(mode.name, source, background);
    ASSERT_TRUE(out) << mode.name;
    const std::vector<float> got = renderFloat(*out, {0, 0, n, 1});
    for (int i = 0; i < n; ++i) {
      const float* s = sv.data() + i * 4;
      const float* b = bv.data() + i * 4;
      const double as = s[3], ab = b[3], a = as + ab - as * ab;
      for (int k = 0; k < 3; ++k) {
        const double cs = s[k] * as, cb = b[k] * ab;
        const double c = mode.mix(cs, cb, as, ab) + cs * (1 - ab) + cb * (1 - as);
        EXPECT_NEAR(got[i * 4 + k], a > 1e-6 ? c / a : 0, 2e-5) << mode.name << " pixel " << i << " component " << k;
      }
      EXPECT_NEAR(got[i * 4 + 3], a > 1e-6 ? a : 0, 1e-6) << mode.name << " pixel " << i;
    }
  }
}

// CIBlendWithMask over a clear background keeps the image's colour and
// scales its alpha by the mask; over a colour it mixes the two.
TEST(BlendFilters, BlendWithMaskOverClearAndOverColour) {
  const int n = 6;
  std::vector<float> iv, mv;
  const float levels[n] = {0, 0.25f, 1, 0.5f, 1e-7f, 0.8f};
  for (int i = 0; i < n; ++i) {
    iv.insert(iv.end(), {0.9f, 0.1f * static_cast<float>(i), 0.4f, i == 3 ? 0.0f : 1.0f - 0.1f * static_cast<float>(i)});
    mv.insert(mv.end(), {levels[i], levels[i], levels[i], 1});
  }
  const Image image = imageOf(n, 1, iv), mask = imageOf(n, 1, mv);
  const Image clear = Image::constantColor({0, 0, 0, 0}).cropped(Rect::make(0, 0, n, 1));
  const Image colour = Image::constantColor({0.2f, 0.6f, 1, 0.5f}).cropped(Rect::make(0, 0, n, 1));
  for (const Image* background : {&clear, &colour}) {
    auto filter = Filter::named("CIBlendWithMask");
    ASSERT_TRUE(filter);
    filter->setValue(kInputImageKey, image);
    filter->setValue(kInputBackgroundImageKey, *background);
    filter->setValue(kInputMaskImageKey, mask);
    auto out = filter->outputImage();
    ASSERT_TRUE(out);
    const std::vector<float> got = renderFloat(*out, {0, 0, n, 1});
    const std::vector<float> back = renderFloat(*background, {0, 0, n, 1});
    for (int i = 0; i < n; ++i) {
      const float* f = iv.data() + i * 4;
      const float* b = back.data() + i * 4;
      const double m = levels[i], a = f[3] * m + b[3] * (1 - m);
      for (int k = 0; k < 3; ++k) {
        const double c = a > 1e-6 ? (f[k] * f[3] * m + b[k] * b[3] * (1 - m)) / a : 0;
        EXPECT_NEAR(got[i * 4 + k], c, 1e-6) << "pixel " << i << " component " << k;
      }
      EXPECT_NEAR(got[i * 4 + 3], a > 1e-6 ? a : 0, 1e-7) << "pixel " << i;
    }
    // Composited over opaque black, the mix is read premultiplied: the
    // colour is what the mix's colour times its alpha gives.
    auto over = blend("CISourceOverCompositing", *out, Image::constantColor({0, 0, 0, 1}));
    ASSERT_TRUE(over);
    const std::vector<float> shown = renderFloat(*over, {0, 0, n, 1});
    for (int i = 0; i < n * 4; ++i)
      EXPECT_NEAR(shown[i], i % 4 == 3 ? 1.0 : got[i] * got[i - i % 4 + 3], 1e-6) << "shown " << i / 4;
  }
}

// The opacity of a layer is a colour matrix that only scales alpha; it has a
// form of its own, which must agree with the full matrix product.
TEST(BlendFilters, OpacityMatrixScalesAlphaOnlyLikeTheFullProduct) {
  const Image row = imageOf(3, 1, {0.2f, 0.4f, 0.6f, 0.5f, 1, 0, 0.3f, 1, 0.7f, 0.7f, 0.1f, 0});
  auto matrixOf = [&](std::vector<double> a, std::vector<double> r) {
    auto filter = Filter::named("CIColorMatrix");
    filter->setValue(kInputImageKey, row);
    filter->setValue("inputAVector", Vector{std::move(a)});
    filter->setValue("inputRVector", Vector{std::move(r)});
    return renderFloat(*filter->outputImage(), {0, 0, 3, 1});
  };
  const std::vector<float> opacity = matrixOf({0, 0, 0, 0.7}, {1, 0, 0, 0});
  // The same alpha row beside a red row that also reads alpha (full product).
  const std::vector<float> full = matrixOf({0, 0, 0, 0.7}, {1, 0, 0, 0.5});
  const float want[12] = {0.2f, 0.4f, 0.6f, 0.35f, 1, 0, 0.3f, 0.7f, 0.7f, 0.7f, 0.1f, 0};
  for (int i = 0; i < 12; ++i) EXPECT_FLOAT_EQ(opacity[i], want[i]) << i;
  for (int i = 0; i < 3; ++i) {
    EXPECT_FLOAT_EQ(full[i * 4 + 3], want[i * 4 + 3]) << i;
    EXPECT_FLOAT_EQ(full[i * 4], want[i * 4] + 0.5f * (i == 2 ? 0.0f : (i == 0 ? 0.5f : 1.0f))) << i;
  }
}
