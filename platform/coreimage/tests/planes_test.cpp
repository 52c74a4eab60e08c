// Plane operations against the filters whose neighbourhoods they share.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

#include "coreimage.h"
#include "planes.h"

namespace {

using coreimage::BytePlane;
using coreimage::FloatPlane;
using coreimage::Image;
using coreimage::Rect;

// A mask-like plane: soft-edged blobs and a few single dark pixels.
BytePlane blobs(int width, int height) {
  BytePlane plane(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const double d = std::min(std::hypot(x - width * 0.3, y - height * 0.4), std::hypot(x - width * 0.75, y - 8.0));
      double v = std::clamp((height * 0.35 - d) / 3, 0.0, 1.0);
      if ((x * 7 + y * 13) % 61 == 0) v *= 0.3;
      plane.row(y)[x] = static_cast<std::uint8_t>(std::lround(v * 255));
    }
  return plane;
}

// The plane as a white mask image (rows top first).
Image maskImage(const BytePlane& plane) {
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(plane.values.size() * 4);
  for (std::size_t i = 0; i < plane.values.size(); ++i) {
    std::uint8_t* p = pixels->data() + i * 4;
    p[0] = p[1] = p[2] = plane.values[i] ? 255 : 0;
    p[3] = plane.values[i];
  }
  return Image::fromPixels(pixels, pixels->data(), plane.width, plane.height, 8, std::size_t(plane.width) * 4);
}

// The alpha a filter gives, rows top first.
std::vector<float> alphaOfFilter(const char* name, const Image& input, double radius, const BytePlane& like) {
  auto filter = coreimage::Filter::named(name);
  EXPECT_TRUE(filter);
  filter->setValue(coreimage::kInputImageKey, input.clampedToExtent());
  filter->setValue(coreimage::kInputRadiusKey, radius);
  const Image out = filter->outputImage()->cropped(Rect::make(0, 0, double(like.width), double(like.height)));
  const std::vector<float> rgba = coreimage::renderFloat(out, {0, 0, like.width, like.height});
  std::vector<float> alpha(like.values.size());
  for (std::int64_t y = 0; y < like.height; ++y)
    for (std::int64_t x = 0; x < like.width; ++x)
      alpha[std::size_t((like.height - 1 - y) * like.width + x)] = rgba[std::size_t((y * like.width + x) * 4 + 3)];
  return alpha;
}

TEST(Planes, DiscMinimumIsTheMorphologyFiltersDiscToTheBit) {
  const BytePlane plane = blobs(300, 150);  // past one block of columns and two of rows
  for (double radius : {1.0, 2.5, 7.3, 21.0}) {
    const BytePlane eroded = coreimage::discMinimum(plane, radius);
    const std::vector<float> expected = alphaOfFilter("CIMorphologyMinimum", maskImage(plane), radius, plane);
    int wrong = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
      wrong += eroded.values[i] != static_cast<std::uint8_t>(std::lround(expected[i] * 255));
    EXPECT_EQ(wrong, 0) << radius;
    EXPECT_LT(*std::min_element(eroded.values.begin(), eroded.values.end()), 10);
  }
  // Below a radius of 1 the disc is the pixel; a disc wider than the plane
  // reaches every pixel of it.
  EXPECT_EQ(coreimage::discMinimum(plane, 0.5).values, plane.values);
  EXPECT_EQ(coreimage::discMinimum(plane, std::nan("")).values, plane.values);
  BytePlane small = blobs(20, 10);
  small.values[37] = 3;
  for (std::uint8_t& v : small.values) v = std::max<std::uint8_t>(v, 3);
  const BytePlane wide = coreimage::discMinimum(small, 40);
  EXPECT_EQ(wide.values, std::vector<std::uint8_t>(small.values.size(), 3));
}

TEST(Planes, GaussianBlurIsTheBlurFiltersCurveWithEdgesRepeated) {
  const BytePlane plane = blobs(260, 140);
  for (double sigma : {1.2, 5.0, 9.0, 30.0}) {  // both the kernel and the recursive filter
    FloatPlane values(plane.width, plane.height);
    for (std::size_t i = 0; i < values.values.size(); ++i) values.values[i] = plane.values[i] / 255.0f;
    coreimage::gaussianBlur(values, sigma);
    const std::vector<float> expected = alphaOfFilter("CIGaussianBlur", maskImage(plane), sigma, plane);
    float worst = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, std::fabs(values.values[i] - expected[i]));
    // The filter's tiles end their windows three deviations out; the plane
    // runs on. The difference is that of the curve's far tail.
    EXPECT_LT(worst, 3e-3f) << sigma;
  }
  // A flat plane keeps its level, even under windows far wider than itself:
  // the recursive filter's gain is 1 at every deviation, large ones too.
  for (double sigma : {9.0, 50.0, 80.0, 400.0, 1500.0}) {
    FloatPlane flat(40, 30, 0.25f);
    coreimage::gaussianBlur(flat, sigma);
    for (float v : flat.values) ASSERT_NEAR(v, 0.25f, 0.25f * 1e-3f) << sigma;
  }
  FloatPlane untouched(5, 5, 0.5f);
  untouched.values[12] = 1;
  const FloatPlane before = untouched;
  coreimage::gaussianBlur(untouched, std::nan(""));
  coreimage::gaussianBlur(untouched, -3);
  EXPECT_EQ(untouched.values, before.values);
}

TEST(Planes, RandomFieldIsTheGeneratorsFieldAnywhere) {
  auto generator = coreimage::Filter::named("CIRandomGenerator");
  ASSERT_TRUE(generator);
  const coreimage::PixelRect area{-37, 5, 50, 20};
  const std::vector<float> rgba = coreimage::renderFloat(*generator->outputImage(), area);
  for (int component : {0, 3}) {
    const FloatPlane field = coreimage::randomField(area, component);
    ASSERT_EQ(field.width, 50);
    ASSERT_EQ(field.height, 20);
    for (std::int64_t row = 0; row < 20; ++row)
      for (std::int64_t x = 0; x < 50; ++x)
        ASSERT_EQ(field.row(row)[x], rgba[std::size_t(((19 - row) * 50 + x) * 4 + component)]) << row << " " << x;
  }
}

TEST(Planes, TwoHalvesCoverEveryItemOnce) {
  for (std::int64_t count : {0, 1, 2, 7}) {
    std::vector<std::atomic<int>> seen(static_cast<std::size_t>(count));
    coreimage::inTwoHalves(count, [&](std::int64_t first, std::int64_t end) {
      for (std::int64_t i = first; i < end; ++i) ++seen[std::size_t(i)];
    });
    for (const auto& s : seen) EXPECT_EQ(s.load(), 1);
  }
}

}  // namespace
