#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <numbers>

#include "coreimage.h"
#include "node.h"
#include "pixel_compare.h"

using namespace coreimage;

namespace {

// A float image of w × h whose pixel (x, y) (y up) has value f(x, y) in red,
// x in green, y in blue.
Image makeImage(int w, int h, float (*f)(int, int)) {
  auto pixels = std::make_shared<std::vector<float>>(static_cast<std::size_t>(w * h * 4));
  for (int row = 0; row < h; ++row) {
    int y = h - 1 - row;  // rows are stored top first
    for (int x = 0; x < w; ++x) {
      float* p = pixels->data() + (row * w + x) * 4;
      p[0] = f(x, y);
      p[1] = static_cast<float>(x);
      p[2] = static_cast<float>(y);
      p[3] = 1;
    }
  }
  return Image::fromPixels(pixels, pixels->data(), w, h, 32, static_cast<std::size_t>(w) * 16);
}

struct Rendered {
  PixelRect rect;
  std::vector<float> px;
  const float* at(std::int64_t x, std::int64_t y) const {
    return px.data() + ((y - rect.y) * rect.width + (x - rect.x)) * 4;
  }
};

Rendered renderAll(const Image& image) {
  Rect e = image.extent().integral();
  PixelRect r{static_cast<std::int64_t>(e.minX), static_cast<std::int64_t>(e.minY),
              static_cast<std::int64_t>(e.width()), static_cast<std::int64_t>(e.height())};
  return {r, renderFloat(image, r)};
}

Image filtered(const char* name, Parameters p) {
  auto filter = Filter::named(name);
  EXPECT_TRUE(filter) << name;
  for (auto& [k, v] : p) filter->setValue(k, v);
  auto out = filter->outputImage();
  EXPECT_TRUE(out) << name;
  return out ? *out : Image();
}

float constantHalf(int, int) { return 0.5f; }
float index(int x, int y) { return static_cast<float>(x + 10 * y); }

}  // namespace

TEST(CoreImageGeometry, IntegralSnapsRoundingNoiseButKeepsRealFractions) {
  EXPECT_EQ(Rect::make(0, 0, 2048.0000000001, 1365.33).integral(), Rect::make(0, 0, 2048, 1366));
  EXPECT_EQ(Rect::make(-1e-13, 0.2, 10, 10).integral(), Rect::make(0, 0, 10, 11));
  EXPECT_TRUE(Rect::infinite().integral().isInfinite());
  EXPECT_EQ(pixelsInside(Rect::make(0.4, 0, 2.2, 1)), (PixelRect{0, 0, 3, 1}));  // centres 0.5 to 2.5 inside
  EXPECT_EQ(pixelsInside(Rect::make(0.6, 0, 1.8, 1)), (PixelRect{1, 0, 1, 1}));  // only 1.5
}

TEST(CoreImageGeometry, QuarterTurnsAndMirrorMovePixelsExactly) {
  Image src = makeImage(3, 2, index);
  // Clockwise quarter turn: the rotation by -90° in the y-up system.
  Image turned = src.transformed(Affine::rotation(-std::numbers::pi / 2)).movedToOrigin();
  EXPECT_EQ(turned.extent(), Rect::make(0, 0, 2, 3));
  Rendered r = renderAll(turned);
  // Clockwise: the top-left pixel (0, 1) of the source lands at the top-right (1, 2).
  EXPECT_EQ(r.at(1, 2)[0], index(0, 1));
  EXPECT_EQ(r.at(0, 0)[0], index(2, 0));  // bottom-right goes to bottom-left
  for (std::int64_t y = 0; y < 3; ++y)
    for (std::int64_t x = 0; x < 2; ++x) EXPECT_EQ(r.at(x, y)[3], 1.0f);

  Image back = turned.transformed(Affine::rotation(std::numbers::pi / 2)).movedToOrigin();
  Rendered b = renderAll(back);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(b.at(x, y)[0], index(x, y));

  Image mirrored = src.transformed(Affine::scale(-1, 1)).movedToOrigin();
  EXPECT_EQ(mirrored.extent(), Rect::make(0, 0, 3, 2));
  Rendered m = renderAll(mirrored);
  EXPECT_EQ(m.at(0, 0)[0], index(2, 0));
  EXPECT_EQ(m.at(2, 1)[0], index(0, 1));
}

TEST(CoreImageGeometry, FineRotationResamplesOnceAndKeepsInteriorValues) {
  Image src = makeImage(200, 100, constantHalf);
  const double theta = 2.5 * std::numbers::pi / 180;
  Image rotated = src.transformed(Affine::rotation(theta));
  Rect e = rotated.extent();
  EXPECT_NEAR(e.width(), 200 * std::cos(theta) + 100 * std::sin(theta), 1e-9);
  EXPECT_NEAR(e.height(), 200 * std::sin(theta) + 100 * std::cos(theta), 1e-9);
  // Rotating back composes into one transform: the identity, so no resampling blur.
  Image back = rotated.movedToOrigin().translated(e.minX, e.minY).transformed(Affine::rotation(-theta));
  Rendered b = renderAll(back);
  EXPECT_EQ(b.rect, (PixelRect{0, 0, 200, 100}));
  EXPECT_EQ(b.at(37, 81)[1], 37.0f);
  // Inside the rotated picture a constant stays constant and opaque.
  Rendered r = renderAll(rotated.movedToOrigin());
  const float* centre = r.at(r.rect.width / 2, r.rect.height / 2);
  EXPECT_NEAR(centre[0], 0.5f, 1e-5);
  EXPECT_NEAR(centre[3], 1.0f, 1e-5);
  // Corners of the bounding box lie outside the picture.
  EXPECT_EQ(r.at(0, 0)[3], 0.0f);
}

TEST(CoreImageGeometry, CropAndClampToExtent) {
  Image src = makeImage(4, 4, index);
  Image crop = src.cropped(Rect::make(1, 1, 2, 2));
  EXPECT_EQ(crop.extent(), Rect::make(1, 1, 2, 2));
  Rendered c = renderAll(crop.clampedToExtent().cropped(Rect::make(-2, -2, 8, 8)));
  EXPECT_EQ(c.at(-2, -2)[0], index(1, 1));  // corner repeats the nearest pixel
  EXPECT_EQ(c.at(5, 2)[0], index(2, 2));
  EXPECT_EQ(c.at(1, 2)[0], index(1, 2));
  // Outside a crop the image is transparent.
  std::vector<float> outside = renderFloat(crop, {0, 0, 1, 1});
  EXPECT_EQ(outside[3], 0.0f);
}

TEST(CoreImageFilters, UnknownNameAndMissingInputs) {
  EXPECT_FALSE(Filter::named("CINoSuchFilter"));
  auto blur = Filter::named("CIGaussianBlur");
  ASSERT_TRUE(blur);
  EXPECT_FALSE(blur->outputImage());  // no input image
  blur->setValue(kInputImageKey, makeImage(2, 2, constantHalf));
  blur->setValue(kInputRadiusKey, std::nan(""));
  EXPECT_FALSE(blur->outputImage());
  EXPECT_GE(filterNames().size(), 6u);
}

TEST(CoreImageFilters, GaussianBlurMatchesTheGaussianAtSmallAndLargeRadii) {
  for (double sigma : {2.0, 12.0}) {
    // A vertical line of 1 on 0: the blurred row is the sampled Gaussian.
    const int w = 241, h = 9;
    auto pixels = std::make_shared<std::vector<float>>(static_cast<std::size_t>(w * h * 4), 0.0f);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) (*pixels)[(y * w + x) * 4 + 3] = 1;
      (*pixels)[(y * w + 120) * 4] = 1;
    }
    Image line = Image::fromPixels(pixels, pixels->data(), w, h, 32, w * 16).clampedToExtent();
    Image blurred = filtered("CIGaussianBlur", {{kInputImageKey, line}, {kInputRadiusKey, sigma}});
    std::vector<float> row = renderFloat(blurred, {0, 4, w, 1});
    double peak = 1 / (std::sqrt(2 * std::numbers::pi) * sigma), sum = 0;
    for (int x = 0; x < w; ++x) {
      double expected = peak * std::exp(-(x - 120) * (x - 120) / (2 * sigma * sigma));
      EXPECT_NEAR(row[x * 4], expected, 0.03 * peak) << "sigma " << sigma << " x " << x;
      sum += row[x * 4];
    }
    EXPECT_NEAR(sum, 1.0, 0.01);
  }
  Image finite = makeImage(10, 10, constantHalf);
  Image grown = filtered("CIGaussianBlur", {{kInputImageKey, finite}, {kInputRadiusKey, 2.0}});
  EXPECT_EQ(grown.extent(), Rect::make(-6, -6, 22, 22));
}

TEST(CoreImageFilters, LanczosScaleKeepsFlatAreasAndEdges) {
  Image src = makeImage(600, 400, constantHalf);
  Image small = filtered("CILanczosScaleTransform",
                         {{kInputImageKey, src}, {kInputScaleKey, 2048.0 / 6000.0}, {kInputAspectRatioKey, 1.0}});
  EXPECT_EQ(small.extent(), Rect::make(0, 0, 205, 137));  // 204.8 × 136.5 made integral
  Rendered r = renderAll(small);
  for (std::int64_t y : {std::int64_t{0}, r.rect.height - 1})
    for (std::int64_t x : {std::int64_t{0}, r.rect.width / 2, r.rect.width - 1}) {
      EXPECT_NEAR(r.at(x, y)[0], 0.5f, 1e-5) << x << "," << y;
      EXPECT_NEAR(r.at(x, y)[3], 1.0f, 1e-5);
    }
  // A one-pixel checkerboard halved averages out to grey (no aliasing).
  Image checker = makeImage(64, 64, [](int x, int y) { return static_cast<float>((x + y) % 2); });
  Image half = filtered("CILanczosScaleTransform", {{kInputImageKey, checker}, {kInputScaleKey, 0.25}});
  Rendered h = renderAll(half);
  EXPECT_NEAR(h.at(8, 8)[0], 0.5f, 0.02f);
  // The aspect ratio stretches x only.
  Image wide = filtered("CILanczosScaleTransform",
                        {{kInputImageKey, src}, {kInputScaleKey, 0.5}, {kInputAspectRatioKey, 2.0}});
  EXPECT_EQ(wide.extent(), Rect::make(0, 0, 600, 200));
}

TEST(CoreImageFilters, BlendsAndGradient) {
  Image dark = Image::constantColor({0.2f, 0.8f, 0.1f, 1});
  Image light = Image::constantColor({0.6f, 0.3f, 0.1f, 1});
  Rect box = Rect::make(0, 0, 4, 1);
  Image lighter = filtered("CILightenBlendMode", {{kInputImageKey, dark}, {kInputBackgroundImageKey, light}});
  std::vector<float> l = renderFloat(lighter.cropped(box), {0, 0, 1, 1});
  EXPECT_FLOAT_EQ(l[0], 0.6f);
  EXPECT_FLOAT_EQ(l[1], 0.8f);

  Image ramp = filtered("CILinearGradient", {{"inputPoint0", Vector{{0, 0}}},
                                             {"inputPoint1", Vector{{4, 0}}},
                                             {"inputColor0", Color{1, 1, 1, 1}},
                                             {"inputColor1", Color{0, 0, 0, 1}}});
  std::vector<float> g = renderFloat(ramp, {-1, 0, 6, 1});
  EXPECT_FLOAT_EQ(g[0 * 4], 1.0f);          // before the first point
  EXPECT_FLOAT_EQ(g[2 * 4], 1 - 1.5f / 4);  // pixel 1, centre 1.5
  EXPECT_FLOAT_EQ(g[5 * 4], 0.0f);          // beyond the second point

  Image mixed = filtered("CIBlendWithMask", {{kInputImageKey, dark},
                                             {kInputBackgroundImageKey, light},
                                             {kInputMaskImageKey, ramp}});
  std::vector<float> m = renderFloat(mixed.cropped(box), {0, 0, 4, 1});
  float w0 = 1 - 0.5f / 4;
  EXPECT_NEAR(m[0], 0.2f * w0 + 0.6f * (1 - w0), 1e-6);
}

TEST(CoreImageRender, QuantizesPremultipliedRowsTopFirstAndMapsNaNToZero) {
  auto pixels = std::make_shared<std::vector<float>>(std::vector<float>{
      1.0f, 0.5f, std::nanf(""), 1.0f,  // top row
      2.0f, -1.0f, 0.25f, 0.5f});      // bottom row, half transparent
  Image image = Image::fromPixels(pixels, pixels->data(), 1, 2, 32, 16);
  std::uint8_t out8[8];
  render(image, {0, 0, 1, 2}, PixelFormat::rgba8, out8, 4);
  EXPECT_EQ(out8[0], 255);
  EXPECT_EQ(out8[1], 128);
  EXPECT_EQ(out8[2], 0);
  EXPECT_EQ(out8[4], 128);  // 1 (clamped) × alpha 0.5
  EXPECT_EQ(out8[5], 0);
  EXPECT_EQ(out8[6], 32);
  EXPECT_EQ(out8[7], 128);
  std::uint16_t out16[8];
  render(image, {0, 0, 1, 2}, PixelFormat::rgba16, reinterpret_cast<std::uint8_t*>(out16), 8);
  EXPECT_EQ(out16[1], 32768);
  EXPECT_EQ(out16[3], 65535);
}

TEST(CoreImageRender, EightAndSixteenBitSourcesRoundTripExactly) {
  auto bytes = std::make_shared<std::vector<std::uint8_t>>();
  for (int i = 0; i < 256; ++i) bytes->insert(bytes->end(), {static_cast<std::uint8_t>(i), 0, 255, 255});
  std::vector<std::uint8_t> back(bytes->size());
  render(Image::fromPixels(bytes, bytes->data(), 256, 1, 8, 1024), {0, 0, 256, 1}, PixelFormat::rgba8, back.data(),
         1024);
  EXPECT_EQ(back, *bytes);
  // The same through the float path (a translucent pixel rules out the direct copy).
  (*bytes)[3] = 254;
  (*bytes)[0] = 0;
  render(Image::fromPixels(bytes, bytes->data(), 256, 1, 8, 1024).translated(0.5, 0).translated(-0.5, 0),
         {0, 0, 256, 1}, PixelFormat::rgba8, back.data(), 1024);
  (*bytes)[2] = 254;  // blue 255 premultiplied by 254/255
  EXPECT_EQ(back, *bytes);
  auto words = std::make_shared<std::vector<std::uint16_t>>();
  for (int i = 0; i < 65536; i += 7) words->insert(words->end(), {static_cast<std::uint16_t>(i), 1, 65534, 65535});
  const auto n = static_cast<std::int64_t>(words->size() / 4);
  std::vector<std::uint16_t> back16(words->size());
  render(Image::fromPixels(words, words->data(), n, 1, 16, n * 8), {0, 0, n, 1}, PixelFormat::rgba16,
         reinterpret_cast<std::uint8_t*>(back16.data()), n * 8);
  EXPECT_EQ(back16, *words);
}

TEST(CoreImageRender, PixelOperationsRunInOrderAndOnlyInsideTheExtent) {
  Image src = makeImage(3, 1, constantHalf);
  Image out = src.applyingPixelOperation([](float* p, std::size_t n) {
                   for (std::size_t i = 0; i < n; ++i) p[i * 4] += 0.25f;
                 }).applyingPixelOperation([](float* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) p[i * 4] *= 2;
  });
  std::vector<float> r = renderFloat(out, {-1, 0, 5, 1});
  EXPECT_FLOAT_EQ(r[4], 1.5f);  // (0.5 + 0.25) × 2, not 0.5 × 2 + 0.25
  EXPECT_EQ(r[0], 0.0f);        // outside stays transparent
  EXPECT_EQ(r[16], 0.0f);
}

TEST(CoreImageRender, BandsServeThinStripsFromSeveralThreadsLikeOneRender) {
  Image src = makeImage(300, 517, index).transformed(Affine::rotation(0.1)).movedToOrigin();
  Rect e = src.extent().integral();
  PixelRect bounds{0, 0, static_cast<std::int64_t>(e.width()), static_cast<std::int64_t>(e.height())};
  const std::size_t rowBytes = static_cast<std::size_t>(bounds.width) * 4;
  std::vector<std::uint8_t> whole(rowBytes * static_cast<std::size_t>(bounds.height));
  render(src, bounds, PixelFormat::rgba8, whole.data(), rowBytes);

  BandRenderer bands(src, bounds, PixelFormat::rgba8, 64);
  std::vector<std::uint8_t> strips(whole.size(), 0);
  std::atomic<std::int64_t> next{0};
  auto worker = [&] {
    for (std::int64_t top = next.fetch_add(16); top < bounds.height; top = next.fetch_add(16))
      bands.renderRows(top, std::min<std::int64_t>(16, bounds.height - top),
                       strips.data() + static_cast<std::size_t>(top) * rowBytes, rowBytes);
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(strips, whole);
}

// The band after the one being read renders ahead on another thread; a
// reader that stops early (a failed encode) leaves it to the destructor.
TEST(CoreImageRender, BandsRenderAheadAndStopCleanly) {
  Image src = makeImage(200, 300, index).applyingPixelOperation([](float* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) p[i * 4 + 1] *= 0.5f;
  });
  PixelRect bounds{0, 0, 200, 300};
  const std::size_t rowBytes = 200 * 4;
  std::vector<std::uint8_t> whole(rowBytes * 300);
  render(src, bounds, PixelFormat::rgba8, whole.data(), rowBytes);
  for (std::int64_t stopAt : {300, 40}) {
    BandRenderer bands(src, bounds, PixelFormat::rgba8, 32);
    std::vector<std::uint8_t> rows(whole.size(), 0);
    for (std::int64_t top = 0; top < stopAt; top += 8)
      bands.renderRows(top, 8, rows.data() + static_cast<std::size_t>(top) * rowBytes, rowBytes);
    EXPECT_TRUE(std::equal(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(stopAt) * rowBytes, whole.begin()))
        << stopAt;
  }
}

// Whole bands asked for out of order, from two threads, render straight into
// the readers' rows, and none is rendered twice: not even ahead, after its
// rows were handed out.
TEST(CoreImageRender, WholeBandsRenderOnceInAnyOrder) {
  auto processed = std::make_shared<std::atomic<std::size_t>>(0);
  Image src = makeImage(200, 300, index).applyingPixelOperation([processed](float* p, std::size_t n) {
    *processed += n;
    for (std::size_t i = 0; i < n; ++i) p[i * 4] *= 0.25f;
  });
  PixelRect bounds{0, 0, 200, 300};
  const std::size_t rowBytes = 200 * 4;
  std::vector<std::uint8_t> whole(rowBytes * 300);
  render(src, bounds, PixelFormat::rgba8, whole.data(), rowBytes);
  ASSERT_EQ(processed->exchange(0), 200u * 300);
  {
    BandRenderer bands(src, bounds, PixelFormat::rgba8, 32);
    std::vector<std::uint8_t> rows(whole.size(), 0);
    std::atomic<int> next{9};
    auto worker = [&] {
      for (int band = next--; band >= 0; band = next--) {
        const std::int64_t top = band * 32, count = std::min<std::int64_t>(32, 300 - top);
        bands.renderRows(top, count, rows.data() + static_cast<std::size_t>(top) * rowBytes, rowBytes);
      }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(rows, whole);
  }
  EXPECT_EQ(processed->load(), 200u * 300);
}

// Pictures with varied colour and alpha: the resampling works on premultiplied
// pixels, so a clear pixel must not bleed its colour into its neighbours.
Image makeRandomImage(int w, int h, unsigned seed) {
  auto pixels = std::make_shared<std::vector<float>>(static_cast<std::size_t>(w * h * 4));
  std::uint32_t state = seed * 2654435761u + 1;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / 16777216.0f;
  };
  for (float& v : *pixels) v = next();
  for (std::size_t i = 3; i < pixels->size(); i += 16) (*pixels)[i] = 0;  // some clear pixels
  return Image::fromPixels(pixels, pixels->data(), w, h, 32, static_cast<std::size_t>(w) * 16);
}

TEST(CoreImageGeometry, UprightScalesResampleLikeTheGeneralBicubicLoop) {
  struct Case {
    double sx, sy, tx, ty;
  };
  // Enlargements, reductions, flips and fractional moves, far and near the edges.
  const Case cases[] = {{2, 2, 0, 0},        {2.7, 1.3, 0.25, -3.6}, {0.3, 0.45, 5.5, 2.2},
                        {-1.6, 1, 80.3, 0},  {1, -0.8, 0, 40.7},     {-0.5, -2.25, 31.9, 101.1},
                        {1, 1, 0.5, 0.5},    {3.9, 0.26, -7, 1e-3}};
  unsigned seed = 1;
  for (const Case& c : cases) {
    Image src = makeRandomImage(53, 41, seed++);
    const Affine transform{c.sx, 0, 0, c.sy, c.tx, c.ty};
    Image fast = src.transformed(transform), general = transformedByGeneralLoop(src, transform);
    ASSERT_EQ(fast.extent().integral().width(), general.extent().integral().width());
    // The whole extent and a window cutting through it (its own source region).
    Rendered whole = renderAll(general);
    std::vector<PixelRect> windows = {whole.rect,
                                      {whole.rect.x + whole.rect.width / 3, whole.rect.y + 1, whole.rect.width / 2 + 1,
                                       whole.rect.height / 3 + 2}};
    // Premultiplied, so that a nearly clear pixel's colour counts little.
    for (const PixelRect& window : windows)
      EXPECT_LT(worstPremultipliedDifference(fast, general, window), 2e-6)
          << "scale " << c.sx << " × " << c.sy << " move " << c.tx << ", " << c.ty;
  }
}

// Catmull-Rom weight of a tap at distance t from the sample position.
double catmullRom(double t) {
  t = std::fabs(t);
  if (t < 1) return (1.5 * t - 2.5) * t * t + 1;
  if (t < 2) return ((-0.5 * t + 2.5) * t - 4) * t + 2;
  return 0;
}

TEST(CoreImageGeometry, TurnedImagesResampleLikeAPixelByPixelBicubic) {
  // Large enough that the output spans several tiles and source blocks.
  const int w = 300, h = 200;
  Image src = makeRandomImage(w, h, 7);
  Rendered source = renderAll(src);
  const Affine transform = Affine::rotation(0.21).then(Affine::scale(1.3, 1.3)).then(Affine::translation(3.7, -2.2));
  const Affine inverse = *transform.inverted();
  Rendered turned = renderAll(src.transformed(transform));
  ASSERT_GT(turned.rect.width, 300);
  ASSERT_GT(turned.rect.height, 300);
  double worst = 0;
  for (std::int64_t y = turned.rect.y; y < turned.rect.maxY(); ++y)
    for (std::int64_t x = turned.rect.x; x < turned.rect.maxX(); ++x) {
      Point q = inverse.apply(Point{x + 0.5, y + 0.5});
      // Only where the pixel centre falls on the source: the extent is the
      // mapped source's bounding box, so the kernel's reach past it is cut.
      if (q.x < 0 || q.y < 0 || q.x > w || q.y > h) continue;
      const double u = q.x - 0.5, v = q.y - 0.5;
      const auto iu = static_cast<std::int64_t>(std::floor(u)), iv = static_cast<std::int64_t>(std::floor(v));
      double want[4] = {0, 0, 0, 0};
      for (std::int64_t sy = iv - 1; sy <= iv + 2; ++sy)
        for (std::int64_t sx = iu - 1; sx <= iu + 2; ++sx) {
          if (sx < 0 || sy < 0 || sx >= w || sy >= h) continue;
          const float* p = source.at(sx, sy);
          const double k = catmullRom(u - static_cast<double>(sx)) * catmullRom(v - static_cast<double>(sy));
          for (int c = 0; c < 3; ++c) want[c] += k * p[c] * p[3];
          want[3] += k * p[3];
        }
      const double alpha = std::clamp(want[3], 0.0, 1.0);
      const float* got = turned.at(x, y);
      // Premultiplied, so that a nearly clear pixel's colour counts little.
      for (int c = 0; c < 3; ++c)
        worst = std::max(worst, std::fabs(double(got[c]) * got[3] - (alpha > 1e-6 ? want[c] : 0)));
      worst = std::max(worst, std::fabs(double(got[3]) - (alpha > 1e-6 ? alpha : 0)));
    }
  EXPECT_LT(worst, 1e-4);
}

// The same colours with every alpha 1: opaque sources take shortcuts of
// their own (alpha 1 without division where every tap is inside).
Image makeOpaqueRandomImage(int w, int h, unsigned seed) {
  Rendered r = renderAll(makeRandomImage(w, h, seed));
  auto pixels = std::make_shared<std::vector<float>>(static_cast<std::size_t>(w * h * 4));
  for (int row = 0; row < h; ++row)
    for (int x = 0; x < w; ++x) {
      float* p = pixels->data() + (static_cast<std::size_t>(row) * w + x) * 4;
      std::copy_n(r.at(x, h - 1 - row), 3, p);
      p[3] = 1;
    }
  return Image::fromPixels(pixels, pixels->data(), w, h, 32, static_cast<std::size_t>(w) * 16);
}

TEST(CoreImageGeometry, FastPathsMatchTheReferenceLoopAtOddSizesAndEdges) {
  // Tiny and odd sources, where most output pixels have taps past the
  // source's border, turns that put the walk at every angle, and upright
  // scales; translucent and opaque sources; a window that starts inside the
  // extent reads its own source patch.
  struct Case {
    int w, h;
    double radians, scale;
  };
  const Case cases[] = {{1, 1, 0.3, 3.1},  {7, 5, 0.21, 1.0}, {13, 3, -1.1, 2.3}, {2, 9, 2.9, 0.7},
                        {31, 17, 0.05, 4.2}, {29, 23, 0, 2.0}, {9, 40, 0, 0.6},    {61, 7, 0, 5.3}};
  unsigned seed = 11;
  for (const Case& c : cases)
    for (bool opaque : {false, true}) {
      Image src = opaque ? makeOpaqueRandomImage(c.w, c.h, seed) : makeRandomImage(c.w, c.h, seed);
      ++seed;
      const Affine transform =
          Affine::rotation(c.radians).then(Affine::scale(c.scale, c.scale * 1.1)).then(Affine::translation(0.3, -4.6));
      Image fast = src.transformed(transform), reference = transformedByGeneralLoop(src, transform);
      Rendered whole = renderAll(reference);
      const PixelRect inner{whole.rect.x + whole.rect.width / 4, whole.rect.y + whole.rect.height / 3,
                            whole.rect.width / 2 + 1, whole.rect.height / 2 + 1};
      for (const PixelRect& window : {whole.rect, inner})
        EXPECT_LT(worstPremultipliedDifference(fast, reference, window), 1e-5)
            << c.w << " × " << c.h << " turned " << c.radians << " scale " << c.scale << (opaque ? " opaque" : "");
    }
}
