// The per-pixel colour filters, the cube, the histogram and the dissolve.
#include <gtest/gtest.h>

#include <cstring>

#include "coreimage.h"

using namespace coreimage;

namespace {

// A float image of w × h from a list of RGBA pixels, rows top first.
Image imageOf(int w, int h, std::vector<float> rgba) {
  auto pixels = std::make_shared<std::vector<float>>(std::move(rgba));
  return Image::fromPixels(pixels, pixels->data(), w, h, 32, static_cast<std::size_t>(w) * 16);
}

Image pixel(float r, float g, float b, float a = 1) { return imageOf(1, 1, {r, g, b, a}); }

std::vector<float> run(const char* name, Parameters p) {
  auto filter = Filter::named(name);
  EXPECT_TRUE(filter) << name;
  if (!filter) return {};
  for (auto& [k, v] : p) filter->setValue(k, v);
  auto out = filter->outputImage();
  EXPECT_TRUE(out) << name;
  if (!out) return {};
  Rect e = out->extent();
  return renderFloat(*out, {0, 0, static_cast<std::int64_t>(e.width()), static_cast<std::int64_t>(e.height())});
}

Data bytesOf(const std::vector<float>& v) {
  Data d(v.size() * 4);
  std::memcpy(d.data(), v.data(), d.size());
  return d;
}

// A cube of dimension n from f(r, g, b).
Data cubeOf(int n, std::array<float, 3> (*f)(float, float, float)) {
  std::vector<float> v;
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        auto c = f(i / float(n - 1), j / float(n - 1), k / float(n - 1));
        v.insert(v.end(), {c[0], c[1], c[2], 1});
      }
  return bytesOf(v);
}

}  // namespace

TEST(ColourFilters, MatrixClampControlsInvert) {
  auto m = run("CIColorMatrix", {{kInputImageKey, pixel(0.2f, 0.4f, 0.6f)},
                                 {"inputRVector", Vector{{0, 1, 0, 0}}},
                                 {"inputBiasVector", Vector{{0.1, 0, 0, 0}}}});
  EXPECT_NEAR(m[0], 0.5f, 1e-6);
  EXPECT_NEAR(m[1], 0.4f, 1e-6);
  // Only a maximum given: the minimum keeps its default of 0.
  auto c = run("CIColorClamp", {{kInputImageKey, pixel(-0.5f, 0.9f, 1.5f)}, {"inputMaxComponents", Vector{{0.8, 0.8, 0.8, 1}}}});
  EXPECT_EQ(c[0], 0);
  EXPECT_NEAR(c[1], 0.8f, 1e-6);
  EXPECT_NEAR(c[2], 0.8f, 1e-6);
  auto k = run("CIColorControls", {{kInputImageKey, pixel(0.7f, 0.7f, 0.7f)}, {"inputContrast", 1.5}});
  EXPECT_NEAR(k[0], 0.8f, 1e-6);
  auto s = run("CIColorControls", {{kInputImageKey, pixel(1, 0, 0)}, {"inputSaturation", 0.0}});
  EXPECT_NEAR(s[0], 0.2126f, 1e-5);
  EXPECT_NEAR(s[2], 0.2126f, 1e-5);
  auto inv = run("CIColorInvert", {{kInputImageKey, pixel(0.25f, 1, 0, 0.5f)}});
  EXPECT_NEAR(inv[0], 0.75f, 1e-6);
  EXPECT_EQ(inv[3], 0.5f);
}

TEST(ColourFilters, CubeInterpolatesAndChecksItsData) {
  // A non-separable cube (channels swapped) and a separable one.
  Data swap = cubeOf(3, [](float r, float g, float b) { return std::array<float, 3>{b, r, g}; });
  auto out = run("CIColorCube", {{kInputImageKey, pixel(0.1f, 0.6f, 0.9f)}, {"inputCubeDimension", 3.0}, {"inputCubeData", swap}});
  EXPECT_NEAR(out[0], 0.9f, 1e-5);
  EXPECT_NEAR(out[1], 0.1f, 1e-5);
  EXPECT_NEAR(out[2], 0.6f, 1e-5);
  Data square = cubeOf(5, [](float r, float g, float b) { return std::array<float, 3>{r * r, g, 1 - b}; });
  out = run("CIColorCube", {{kInputImageKey, pixel(0.125f, 2.0f, -1)}, {"inputCubeDimension", 5.0}, {"inputCubeData", square}});
  EXPECT_NEAR(out[0], 0.03125f, 1e-5);  // halfway between 0 and 0.0625
  EXPECT_NEAR(out[1], 1, 1e-6);         // inputs clamped to 0..1
  EXPECT_NEAR(out[2], 1, 1e-6);
  // Data of the wrong size, or a dimension out of range: no output.
  auto filter = Filter::named("CIColorCube");
  filter->setValue(kInputImageKey, pixel(0, 0, 0));
  filter->setValue("inputCubeDimension", 4.0);
  filter->setValue("inputCubeData", swap);
  EXPECT_FALSE(filter->outputImage());
  filter->setValue("inputCubeDimension", 1.0);
  filter->setValue("inputCubeData", Data(16));
  EXPECT_FALSE(filter->outputImage());
}

TEST(ColourFilters, AreaHistogramCountsFractions) {
  std::vector<float> px;
  for (int i = 0; i < 4; ++i) px.insert(px.end(), {i < 3 ? 0.0f : 1.0f, 0.5f, 0.999f, 1});
  auto bins = run("CIAreaHistogram", {{kInputImageKey, imageOf(2, 2, px)},
                                      {"inputExtent", Vector{{0, 0, 2, 2}}},
                                      {"inputCount", 256.0},
                                      {kInputScaleKey, 2.0}});
  ASSERT_EQ(bins.size(), 256u * 4);
  EXPECT_NEAR(bins[0], 1.5f, 1e-6);          // three of four red values in bin 0, times 2
  EXPECT_NEAR(bins[255 * 4], 0.5f, 1e-6);    // 1 falls in the last bin
  EXPECT_NEAR(bins[128 * 4 + 1], 2.0f, 1e-6);
  EXPECT_NEAR(bins[255 * 4 + 2], 2.0f, 1e-6);
}

TEST(ColourFilters, DissolveFusedMatchesTwoInputMix) {
  Image base = imageOf(2, 1, {0.2f, 0.4f, 0.6f, 1, 1, 0, 0, 1});
  auto invert = Filter::named("CIColorInvert");
  invert->setValue(kInputImageKey, base);
  Image inverted = *invert->outputImage();
  auto fused = run("CIDissolveTransition", {{kInputImageKey, base}, {"inputTargetImage", inverted}, {"inputTime", 0.25}});
  // A target that is not derived from the image takes the two-input path.
  Image other = imageOf(2, 1, {0.8f, 0.6f, 0.4f, 1, 0, 1, 1, 1});
  auto plain = run("CIDissolveTransition", {{kInputImageKey, base}, {"inputTargetImage", other}, {"inputTime", 0.25}});
  ASSERT_EQ(fused.size(), plain.size());
  for (std::size_t i = 0; i < fused.size(); ++i) EXPECT_NEAR(fused[i], plain[i], 1e-6) << i;
  EXPECT_NEAR(fused[0], 0.2f * 0.75f + 0.8f * 0.25f, 1e-6);
}

TEST(ColourFilters, TemperatureShiftsWhiteBalance) {
  auto warm = run("CITemperatureAndTint", {{kInputImageKey, pixel(0.7f, 0.7f, 0.7f)},
                                           {"inputNeutral", Vector{{6500, 0}}},
                                           {"inputTargetNeutral", Vector{{5200, 0}}}});
  EXPECT_GT(warm[0], 0.72f);
  EXPECT_LT(warm[2], 0.66f);
  auto cool = run("CITemperatureAndTint", {{kInputImageKey, pixel(0.7f, 0.7f, 0.7f)},
                                           {"inputNeutral", Vector{{6500, 0}}},
                                           {"inputTargetNeutral", Vector{{8200, 0}}}});
  EXPECT_LT(cool[0], 0.69f);
  EXPECT_GT(cool[2], 0.72f);
  // The same neutral and target change nothing; black stays black.
  auto same = run("CITemperatureAndTint", {{kInputImageKey, pixel(0.3f, 0.5f, 0.7f)}});
  EXPECT_NEAR(same[0], 0.3f, 1e-6);
  auto black = run("CITemperatureAndTint", {{kInputImageKey, pixel(0, 0, 0)}, {"inputTargetNeutral", Vector{{4000, 20}}}});
  EXPECT_NEAR(black[0], 0, 1e-6);
}

TEST(ColourFilters, PhotoEffectsLooks) {
  Image colour = pixel(0.8f, 0.3f, 0.2f);
  auto mono = run("CIPhotoEffectMono", {{kInputImageKey, colour}});
  EXPECT_EQ(mono[0], mono[1]);
  EXPECT_EQ(mono[1], mono[2]);
  // Noir spreads the tones: darks darker, lights lighter than plain mono.
  auto darkNoir = run("CIPhotoEffectNoir", {{kInputImageKey, pixel(0.25f, 0.25f, 0.25f)}});
  auto lightNoir = run("CIPhotoEffectNoir", {{kInputImageKey, pixel(0.8f, 0.8f, 0.8f)}});
  EXPECT_LT(darkNoir[0], 0.25f);
  EXPECT_GT(lightNoir[0], 0.8f);
  // Fade lifts black; Chrome strengthens colour; Instant warms grey.
  auto fade = run("CIPhotoEffectFade", {{kInputImageKey, pixel(0, 0, 0)}});
  EXPECT_GT(fade[1], 0.05f);
  auto chrome = run("CIPhotoEffectChrome", {{kInputImageKey, colour}});
  EXPECT_GT(chrome[0] - chrome[1], 0.5f);
  auto instant = run("CIPhotoEffectInstant", {{kInputImageKey, pixel(0.6f, 0.6f, 0.6f)}});
  EXPECT_GT(instant[0], instant[2]);
}
