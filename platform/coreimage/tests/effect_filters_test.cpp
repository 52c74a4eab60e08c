// The morphology and random-field filters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "coreimage.h"
#include "planes.h"

namespace {

using coreimage::Filter;
using coreimage::Image;
using coreimage::PixelRect;

// An opaque grey image of width × height with the given levels, rows top first.
Image greyImage(int width, int height, const std::vector<float>& levels) {
  auto pixels = std::make_shared<std::vector<float>>(std::size_t(width) * height * 4);
  for (std::size_t i = 0; i < levels.size(); ++i) {
    float* p = pixels->data() + i * 4;
    p[0] = p[1] = p[2] = levels[i];
    p[3] = 1;
  }
  return Image::fromPixels(pixels, pixels->data(), width, height, 32, std::size_t(width) * 16);
}

Image run(const char* name, const coreimage::Parameters& parameters) {
  auto filter = Filter::named(name);
  EXPECT_TRUE(filter) << name;
  for (const auto& [key, value] : parameters) filter->setValue(key, value);
  auto out = filter->outputImage();
  EXPECT_TRUE(out) << name;
  return out ? *out : Image();
}

TEST(MorphologyMinimum, SpreadsDarkPixelsOverADiscOfTheRadius) {
  const int n = 11;
  std::vector<float> levels(n * n, 1.0f);
  levels[5 * n + 5] = 0.25f;  // the centre
  Image in = greyImage(n, n, levels);
  Image out = run("CIMorphologyMinimum", {{coreimage::kInputImageKey, in.clampedToExtent()},
                                          {coreimage::kInputRadiusKey, 2.5}});
  EXPECT_TRUE(out.extent().isInfinite());
  out = out.cropped(in.extent());
  std::vector<float> px = coreimage::renderFloat(out, {0, 0, n, n});
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const double distance = std::hypot(x - 5, y - 5);
      const float expected = distance <= 2.5 ? 0.25f : 1.0f;
      EXPECT_FLOAT_EQ(px[(std::size_t(y) * n + x) * 4], expected) << x << "," << y;
      EXPECT_FLOAT_EQ(px[(std::size_t(y) * n + x) * 4 + 3], 1.0f);
    }
}

// Both inner paths (one channel for white-over-transparent masks, four
// otherwise) against a direct search of the disc, over bands of columns
// that are noisy, one value throughout, or both.
TEST(MorphologyMinimum, MatchesADirectSearchOfTheDisc) {
  const int w = 700, h = 23;
  const double radius = 3.7;
  for (bool mask : {true, false}) {
    auto pixels = std::make_shared<std::vector<float>>(std::size_t(w) * h * 4);
    std::uint32_t state = 12345;
    auto next = [&] { return (state = state * 1664525u + 1013904223u) >> 8 & 0xffff; };
    for (std::size_t i = 0; i < pixels->size(); i += 4) {
      const float a = float(next() % 5) / 4;
      for (int k = 0; k < 3; ++k) (*pixels)[i + k] = mask ? 1.0f : float(next() % 9) / 8;
      (*pixels)[i + 3] = mask ? a : 1.0f;
      const std::size_t column = i / 4 % w;
      if (column >= 250 && column < 560) std::fill_n(pixels->begin() + std::ptrdiff_t(i), 4, 1.0f);
    }
    Image in = Image::fromPixels(pixels, pixels->data(), w, h, 32, std::size_t(w) * 16);
    Image out = run("CIMorphologyMinimum",
                    {{coreimage::kInputImageKey, in.clampedToExtent()}, {coreimage::kInputRadiusKey, radius}});
    std::vector<float> got = coreimage::renderFloat(out, {0, 0, w, h});
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int k = 0; k < 4; ++k) {
          float expected = 1e9f;  // premultiplied minimum over the disc, edges repeated
          for (int dy = -4; dy <= 4; ++dy)
            for (int dx = -4; dx <= 4; ++dx) {
              if (dx * dx + dy * dy > radius * radius) continue;
              const int sx = std::clamp(x + dx, 0, w - 1), sy = std::clamp(h - 1 - (y + dy), 0, h - 1);
              const float* p = pixels->data() + (std::size_t(sy) * w + sx) * 4;
              expected = std::min(expected, k == 3 ? p[3] : p[k] * p[3]);
            }
          const float* g = got.data() + (std::size_t(y) * w + x) * 4;
          const float value = k == 3 ? g[3] : g[k] * g[3];
          ASSERT_NEAR(value, expected, 1e-6) << (mask ? "mask " : "colour ") << x << "," << y << " " << k;
        }
  }
}

TEST(MorphologyMinimum, ErodesFromTheBorderUnlessClampedAndKeepsSmallRadii) {
  const int n = 8;
  Image white = greyImage(n, n, std::vector<float>(n * n, 1.0f));
  Image eroded = run("CIMorphologyMinimum", {{coreimage::kInputImageKey, white}, {coreimage::kInputRadiusKey, 2.0}});
  std::vector<float> px = coreimage::renderFloat(eroded, {0, 0, n, n});
  EXPECT_FLOAT_EQ(px[3], 0.0f);                               // corner: transparent neighbours
  EXPECT_FLOAT_EQ(px[(std::size_t(4) * n + 4) * 4], 1.0f);     // inside
  Image clamped = run("CIMorphologyMinimum",
                      {{coreimage::kInputImageKey, white.clampedToExtent()}, {coreimage::kInputRadiusKey, 2.0}});
  px = coreimage::renderFloat(clamped.cropped(white.extent()), {0, 0, n, n});
  for (std::size_t i = 0; i < px.size(); ++i) EXPECT_FLOAT_EQ(px[i], 1.0f);
  // Below one pixel the disc is the pixel itself; a non-number is refused.
  Image same = run("CIMorphologyMinimum", {{coreimage::kInputImageKey, white}, {coreimage::kInputRadiusKey, 0.5}});
  EXPECT_EQ(same.node(), white.node());
  auto filter = Filter::named("CIMorphologyMinimum");
  filter->setValue(coreimage::kInputImageKey, white);
  filter->setValue(coreimage::kInputRadiusKey, std::nan(""));
  EXPECT_FALSE(filter->outputImage());
}

TEST(RandomGenerator, IsAFixedUniformFieldThatMovesWhenTranslated) {
  Image field = run("CIRandomGenerator", {});
  EXPECT_TRUE(field.extent().isInfinite());
  const PixelRect area{-20, 30, 64, 64};
  std::vector<float> a = coreimage::renderFloat(field, area);
  EXPECT_EQ(a, coreimage::renderFloat(field, area));
  double sum = 0;
  int below = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_GE(a[i], 0.0f);
    ASSERT_LE(a[i], 1.0f);
    sum += a[i];
    below += a[i] < 0.25f;
  }
  EXPECT_NEAR(sum / a.size(), 0.5, 0.02);
  EXPECT_NEAR(double(below) / a.size(), 0.25, 0.02);
  // Components are independent of one another.
  EXPECT_NE(a[0], a[1]);
  EXPECT_NE(a[0], a[4]);
  std::vector<float> moved = coreimage::renderFloat(field.translated(7, -3), {area.x + 7, area.y - 3, 64, 64});
  EXPECT_EQ(a, moved);
}

// Straight RGBA floats, rows top first, as an image.
Image floatImage(int width, int height, std::vector<float> rgba) {
  auto pixels = std::make_shared<std::vector<float>>(std::move(rgba));
  return Image::fromPixels(pixels, pixels->data(), width, height, 32, std::size_t(width) * 16);
}

std::vector<float> blurred(const Image& image, double sigma, int width, int height) {
  Image out = run("CIGaussianBlur", {{coreimage::kInputImageKey, image.clampedToExtent()},
                                     {coreimage::kInputRadiusKey, sigma}});
  return coreimage::renderFloat(out, {0, 0, width, height});
}

// Masks (four equal premultiplied components) and greys (equal colour) are
// blurred a plane at a time; an image whose blue differs takes the general
// path, and its red and alpha must come out the same to the bit. The
// widths span two tiles, the heights are odd, and the lower part of the
// mask is empty so that whole tiles see nothing but zeros.
TEST(GaussianBlur, PlanesOfMasksAndGreysMatchTheFourComponentPath) {
  for (const double sigma : {8.0, 13.7}) {
    const int w = 1100, h = 301;
    std::vector<float> mask(std::size_t(w) * h * 4), maskGeneral(mask.size()), grey(mask.size()),
        greyGeneral(mask.size());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const std::size_t i = (std::size_t(y) * w + x) * 4;
        // Rows top first: the mask covers a wavy band in the top rows only.
        const float a = y < 90 && (x / 7 + y / 5) % 3 != 0 ? float((x * 13 + y * 7) % 256) / 255 : 0.0f;
        const float v = float((x * 31 + y * 17) % 251) / 250;
        const float m[4] = {1, 1, 1, a}, mg[4] = {1, 1, 0.5f, a}, g[4] = {v, v, v, 1}, gg[4] = {v, v, 0.25f, 1};
        std::copy(m, m + 4, &mask[i]);
        std::copy(mg, mg + 4, &maskGeneral[i]);
        std::copy(g, g + 4, &grey[i]);
        std::copy(gg, gg + 4, &greyGeneral[i]);
      }
    const auto planes = blurred(floatImage(w, h, mask), sigma, w, h);
    const auto general = blurred(floatImage(w, h, maskGeneral), sigma, w, h);
    const auto greyPlanes = blurred(floatImage(w, h, grey), sigma, w, h);
    const auto greyReference = blurred(floatImage(w, h, greyGeneral), sigma, w, h);
    ASSERT_EQ(planes.size(), general.size());
    std::size_t differences = 0, nonzero = 0, zeroBelow = 0;
    for (std::size_t i = 0; i < planes.size(); i += 4) {
      differences += planes[i] != general[i] || planes[i + 3] != general[i + 3];
      differences += greyPlanes[i] != greyReference[i] || greyPlanes[i + 3] != greyReference[i + 3];
      differences += planes[i] != planes[i + 1] || planes[i] != planes[i + 2];
      nonzero += planes[i + 3] != 0;
      // renderFloat rows run bottom first: the bottom rows lie far below the band.
      zeroBelow += i / 4 < std::size_t(w) * 100 && planes[i + 3] == 0;
    }
    EXPECT_EQ(differences, 0u) << sigma;
    EXPECT_GT(nonzero, std::size_t(w) * 90);
    EXPECT_EQ(zeroBelow, std::size_t(w) * 100) << sigma;
  }
}

// A plane blurred in memory against the filter over the same grey values,
// edges repeated: both kernels, a plane wider than the column bands and
// taller than the row bands. The filter's tiles each read three sigmas
// around them, the plane is filtered whole, so they may part a little.
TEST(GaussianBlur, APlaneInMemoryIsBlurredAsTheFilterBlursAGreyImage) {
  const int w = 700, h = 150;
  std::vector<float> levels(std::size_t(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      levels[std::size_t(y) * w + x] = (x / 40 + y / 30) % 2 ? float((x * 7 + y * 3) % 100) / 100 : 0.0f;
  const Image image = greyImage(w, h, levels);
  for (const double sigma : {0.8, 3.0, 7.9, 8.0, 25.0}) {
    std::vector<float> plane = levels;
    coreimage::blurPlane(plane.data(), w, h, sigma);
    const std::vector<float> reference = blurred(image, sigma, w, h);
    double worst = 0, interiorWorst = 0;
    const int margin = static_cast<int>(std::ceil(3 * sigma));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        // renderFloat rows run bottom first.
        const double d = std::fabs(plane[std::size_t(y) * w + x] - reference[(std::size_t(h - 1 - y) * w + x) * 4]);
        worst = std::max(worst, d);
        if (x >= margin && x < w - margin && y >= margin && y < h - margin) interiorWorst = std::max(interiorWorst, d);
      }
    EXPECT_LT(interiorWorst, 0.25 / 255) << sigma;
    EXPECT_LT(worst, 1.0 / 255) << sigma;
  }
  // Nothing changes without a usable radius.
  std::vector<float> none = levels;
  coreimage::blurPlane(none.data(), w, h, 0);
  coreimage::blurPlane(none.data(), w, h, std::nan(""));
  EXPECT_EQ(none, levels);
}


// Wide blurs keep a flat picture's level: the recursive filter's gain is 1
// at every deviation (its state would drift by percents in float, and lose
// the picture altogether past a few hundred pixels).
TEST(GaussianBlur, AFlatPictureKeepsItsLevelUnderWideBlurs) {
  const int w = 64, h = 48;
  const Image flat = greyImage(w, h, std::vector<float>(std::size_t(w) * h, 0.6f)).clampedToExtent();
  for (const double sigma : {40.0, 80.0, 400.0}) {
    const Image out = run("CIGaussianBlur", {{coreimage::kInputImageKey, flat}, {coreimage::kInputRadiusKey, sigma}})
                          .cropped(coreimage::Rect::make(0, 0, w, h));
    const std::vector<float> pixels = coreimage::renderFloat(out, PixelRect{0, 0, w, h});
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
      ASSERT_NEAR(pixels[i], 0.6f, 1e-4f) << sigma;
      ASSERT_NEAR(pixels[i + 3], 1.0f, 1e-4f) << sigma;
    }
  }
}

}  // namespace
