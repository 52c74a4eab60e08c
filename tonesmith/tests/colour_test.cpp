// The routines behind the colour stages, on values made here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "colour.h"

using namespace tonesmith;

namespace {

std::string cubeText(int size, std::size_t rows, const char* row = "0.5 0.25 1") {
  std::string text = "TITLE \"test\"\n# comment\nDOMAIN_MIN 0 0 0\nLUT_3D_SIZE " + std::to_string(size) + "\n";
  for (std::size_t i = 0; i < rows; ++i) text += std::string(row) + "\r\n";
  return text;
}

std::string floats(std::initializer_list<float> values) {
  std::string out;
  for (float v : values) out.append(reinterpret_cast<const char*>(&v), 4);
  return out;
}

std::optional<NegativeSamples> parse(const std::string& bytes) {
  return parseNegativeSamples(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// A float image of w × h whose pixel (x, yFromTop) is f(x, yFromTop).
coreimage::Image picture(int w, int h, const std::function<RGBSample(int, int)>& f) {
  auto px = std::make_shared<std::vector<float>>();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      RGBSample s = f(x, y);
      px->insert(px->end(), {float(s.r), float(s.g), float(s.b), 1});
    }
  return coreimage::Image::fromPixels(px, px->data(), w, h, 32, static_cast<std::size_t>(w) * 16);
}

}  // namespace

TEST(CubeFile, SizeAndRowCountRules) {
  auto cube = parseCube(cubeText(17, 4913));
  ASSERT_TRUE(cube);
  EXPECT_EQ(cube->dimension, 17);
  EXPECT_EQ(cube->data.size(), 4913u * 4);
  EXPECT_FALSE(parseCube(cubeText(17, 4912)));
  EXPECT_FALSE(parseCube(cubeText(17, 4914)));
  // A one-dimensional table has no LUT_3D_SIZE line; a size of 1 is too small.
  EXPECT_FALSE(parseCube("LUT_1D_SIZE 8\n0 0 0\n1 1 1\n"));
  EXPECT_FALSE(parseCube(cubeText(1, 1)));
  // A huge declared size is refused by its row count, without allocating.
  EXPECT_FALSE(parseCube(cubeText(100000, 8)));
  EXPECT_FALSE(parseCube(cubeText(2097152, 8)));
  // A later size line replaces an earlier one; bad rows are skipped.
  auto later = parseCube("LUT_3D_SIZE 3\nlut_3d_size 2\n" + std::string("0 x 1\n1 1\n") + cubeText(2, 8).substr(40));
  EXPECT_TRUE(later);
  // Not UTF-8.
  EXPECT_FALSE(parseCube(cubeText(2, 8) + "\xff\n"));
}

TEST(CubeFile, ValuesAreClampedAndKeptInOrder) {
  std::string text = "LUT_3D_SIZE 2\n1.2 -0.1 0.5 extra\n";
  for (int i = 1; i < 8; ++i) text += "\t0.1\t0.2  0.3\n";
  auto cube = parseCube(text);
  ASSERT_TRUE(cube);
  EXPECT_EQ(cube->data[0], 1.0f);
  EXPECT_EQ(cube->data[1], 0.0f);
  EXPECT_EQ(cube->data[2], 0.5f);
  EXPECT_EQ(cube->data[3], 1.0f);
  EXPECT_FLOAT_EQ(cube->data[4], 0.1f);
}

TEST(ToneCurves, SamplerExtendsTheFirstSegmentAndHoldsTheLast) {
  auto curve = toneCurveSampler(json::Value::parse(R"([{"x":0.8,"y":0.9},{"x":0.2,"y":0.3},{"x":"0.5","y":0}])"));
  ASSERT_TRUE(curve);
  EXPECT_EQ(curve->points.size(), 2u);  // the point with a string x is dropped
  EXPECT_NEAR((*curve)(0.1), 0.2, 1e-12);
  EXPECT_NEAR((*curve)(0.0), 0.1, 1e-12);
  EXPECT_NEAR((*curve)(0.5), 0.6, 1e-12);
  EXPECT_NEAR((*curve)(0.9), 0.9, 1e-12);
  EXPECT_FALSE(toneCurveSampler(json::Value::parse(R"([{"x":0.5,"y":0.5}])")));
  auto lift = toneCurveSampler(json::Value::parse(R"([{"x":0,"y":0.1},{"x":1,"y":0.9}])"));
  EXPECT_NEAR((*lift)(0.5), 0.5, 1e-12);
  EXPECT_NEAR((*lift)(0), 0.1, 1e-12);
  // Channel curves keep only arrays of objects.
  auto channels = channelCurvePoints(json::Value::parse(R"({"red":[{"x":0,"y":1}],"green":[1,2],"blue":"x"})"));
  ASSERT_EQ(channels.size(), 1u);
  EXPECT_EQ(channels[0].first, "red");
  EXPECT_TRUE(channelCurvePoints(json::Value::parse("[1]")).empty());
}

TEST(ToneCurves, ToneMapFlattensAndStretches) {
  EXPECT_NEAR(toneMap(1, 0.1, 0.9, 0.4, -0.5), 0.7, 1e-12);
  EXPECT_NEAR(toneMap(0, 0.1, 0.9, 0.4, -0.5), 0.2, 1e-12);
  // More contrast: black and white move out, the mid tone stays in order.
  EXPECT_NEAR(toneMap(0.1, 0.1, 0.9, 0.5, 1), 0, 1e-12);
  EXPECT_NEAR(toneMap(0.9, 0.1, 0.9, 0.5, 1), 1, 1e-12);
  EXPECT_LT(toneMap(0.3, 0.1, 0.9, 0.5, 1), toneMap(0.3, 0.1, 0.9, 0.5, 0.2));
}

TEST(Percentiles, FlatAndEmptyPictures) {
  auto grey = luminancePercentiles(picture(8, 6, [](int, int) { return RGBSample{0.5, 0.5, 0.5}; }));
  ASSERT_TRUE(grey);
  EXPECT_EQ(grey->black, grey->white);
  EXPECT_NEAR(grey->mid, 128 / 255.0, 1e-12);
  EXPECT_FALSE(luminancePercentiles(picture(1, 6, [](int, int) { return RGBSample{}; })));
}

TEST(NegativeSamples, RoundTripAndRejection) {
  std::vector<RGBSample> samples{{0.1, 0.2, 0.3}, {1, 0.5, 0}}, edges{{0.25, 0.5, 0.75}};
  std::string bytes = encodeNegativeSamples(samples, edges);
  EXPECT_EQ(bytes.size(), 4u * (2 + 3 * 3));
  auto back = parse(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->edgeSamples, edges);
  EXPECT_NEAR(back->samples[0].g, 0.2, 1e-7);
  // One sample and no second count: rejected. Second count 0: accepted.
  EXPECT_FALSE(parse(floats({1, 0.1f, 0.2f, 0.3f})));
  EXPECT_TRUE(parse(floats({1, 0.1f, 0.2f, 0.3f, 0})));
  EXPECT_FALSE(parse(floats({0, 0})));
  EXPECT_FALSE(parse(floats({-1, 0})));
  EXPECT_FALSE(parse(floats({NAN, 0})));
  EXPECT_FALSE(parse(floats({1e30f, 0})));
  EXPECT_FALSE(parse(floats({2, 0.1f, 0.2f, 0.3f, 0})));
  EXPECT_FALSE(parse(bytes.substr(0, 7)));
  EXPECT_FALSE(parse(bytes + "x"));
  // Values outside [0, 1] or NaN are brought into range; trailing data ignored.
  auto odd = parse(floats({1.9f, NAN, 2, -1, 0, 7}));
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->samples[0], (RGBSample{0, 1, 0}));
}

TEST(FilmBase, UniformOrangeBorderVersusFallback) {
  const RGBSample orange{0.85, 0.55, 0.35}, fallback{0.9, 0.65, 0.4};
  auto scan = picture(200, 150, [&](int x, int y) {
    bool border = x < 20 || x >= 180 || y < 15 || y >= 135;
    return border ? orange : RGBSample{0.3, 0.2, 0.1};
  });
  ReducedCopy copy = reducedCopy(scan, 384);
  std::vector<RGBSample> edges;
  for (NormalizedRect strip : {NormalizedRect{0, 0, 1, 0.1}, NormalizedRect{0, 0.9, 1, 0.1},
                               NormalizedRect{0, 0.1, 0.1, 0.8}, NormalizedRect{0.9, 0.1, 0.1, 0.8}}) {
    auto part = samplesInside(copy, strip);
    edges.insert(edges.end(), part.begin(), part.end());
  }
  RGBSample base = robustAutomaticFilmBase(edges, fallback);
  EXPECT_NEAR(base.r, 0.85, 1e-6);
  EXPECT_NEAR(base.g, 0.55, 1e-6);
  EXPECT_NEAR(base.b, 0.35, 1e-6);
  // 63 samples always fall back; so do a blue of exactly 0.04 and a wide spread.
  EXPECT_EQ(robustAutomaticFilmBase(std::vector<RGBSample>(63, orange), fallback), fallback);
  EXPECT_EQ(robustAutomaticFilmBase(std::vector<RGBSample>(64, {0.85, 0.55, 0.04}), fallback), fallback);
  std::vector<RGBSample> spread;
  // Equal luminance throughout, red alternating 0.9 and 0.2.
  for (int i = 0; i < 64; ++i) {
    double r = i % 2 ? 0.9 : 0.2;
    spread.push_back({r, (0.6 - 0.2126 * r - 0.0722 * 0.3) / 0.7152, 0.3});
  }
  EXPECT_EQ(robustAutomaticFilmBase(spread, fallback), fallback);
}

TEST(FilmBase, SamplesInsideMeasureUpward) {
  // Top half white, bottom half black: the bottom tenth is black.
  auto scan = picture(40, 40, [](int, int y) { return y < 20 ? RGBSample{1, 1, 1} : RGBSample{0, 0, 0}; });
  auto bottom = rgbSamples(scan, NormalizedRect{0, 0, 1, 0.1}, 512);
  ASSERT_EQ(bottom.size(), 40u * 4);
  EXPECT_EQ(*medianRGB(bottom), (RGBSample{0, 0, 0}));
  auto top = rgbSamples(scan, NormalizedRect{0.98, 0.98, 0.02, 0.02}, 512);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0], (RGBSample{1, 1, 1}));
}

TEST(ColorNegative, ExponentsByProfileAndResponse) {
  std::array<DensityRange, 3> ranges{{{0, 1, 0.3}, {0, 1, 0.5}, {0, 1, 0.6}}};
  auto automatic = channelExponents("fujifilm-200", {1.5, 1.5, 1.5}, ranges);
  EXPECT_NEAR(automatic[1], 1, 1e-12);
  EXPECT_NEAR(automatic[0], std::log(0.5) / std::log(0.3), 1e-12);
  EXPECT_NEAR(automatic[2], std::log(0.5) / std::log(0.6), 1e-12);
  EXPECT_EQ(channelExponents("color-auto", {3, 1, 2}, ranges), automatic);
  auto manual = channelExponents("fujifilm-200", {1.5, 1.6, 1.5}, ranges);
  EXPECT_NEAR(manual[0], 1.6 / 1.5, 1e-12);
  EXPECT_NEAR(manual[1], 1, 1e-12);
  EXPECT_NEAR(manual[2], 1.6 / 1.5, 1e-12);
  EXPECT_NEAR(channelExponents("other", {0.2, 4, 4}, ranges)[0], 2.8, 1e-12);
}

TEST(ColorNegative, DensityStatisticsAndGreyAtZeroIntensity) {
  auto empty = densityStatistics({}, {0.5, 0.5, 0.5}, 1);
  EXPECT_EQ(empty[0].lo, 0);
  EXPECT_EQ(empty[0].hi, 0.03);
  std::vector<RGBSample> samples;
  for (int i = 0; i < 1000; ++i) samples.push_back({i / 999.0 * 0.8, 0.4, 0.2});
  std::array<double, 3> base{srgbToLinear(0.85), srgbToLinear(0.55), srgbToLinear(0.35)};
  auto ranges = densityStatistics(samples, base, 0);
  EXPECT_GT(ranges[0].hi, ranges[0].lo);
  EXPECT_NEAR(ranges[1].hi, ranges[1].lo + 0.03, 1e-12);  // a constant channel gets the minimum span
  ColorCube grey = colorNegativeCube(base, ranges, {1, 1, 1}, 1, 0);
  ColorCube colour = colorNegativeCube(base, ranges, {1, 1, 1}, 1, 1);
  bool coloured = false;
  for (std::size_t e = 0; e < grey.data.size(); e += 4) {
    ASSERT_EQ(grey.data[e], grey.data[e + 1]);
    ASSERT_EQ(grey.data[e + 1], grey.data[e + 2]);
    coloured = coloured || colour.data[e] != colour.data[e + 2];
  }
  EXPECT_TRUE(coloured);
  // Thin negative (at the base) is dark, dense negative bright.
  EXPECT_LT(colour.data[(63 * 64 * 64 + 63 * 64 + 63) * 4 + 1], colour.data[1]);
}

TEST(FilmLooks, ProfilesAndStockChroma) {
  EXPECT_FALSE(filmColorProfileCube("Kodak-Gold-200", 1));
  EXPECT_FALSE(filmColorProfileCube("kodak-gold-200", 0.0001));
  auto fuji = filmColorProfileCube("fujifilm-200", 1);
  auto kodak = filmColorProfileCube("kodak-gold-200", 1);
  ASSERT_TRUE(fuji && kodak);
  std::size_t light = (50 * 64 * 64 + 50 * 64 + 50) * 4;
  EXPECT_NEAR(fuji->data[light], fuji->data[light + 2], 1e-6);
  EXPECT_GT(kodak->data[light], kodak->data[light + 1]);
  EXPECT_LT(kodak->data[light + 2], kodak->data[light + 1]);
  EXPECT_EQ(c200StockChromaGain(0.5, 0.5, 0.5), 1);
  EXPECT_EQ(c200StockChromaGain(0, 0, 0), 1);
  double green = c200StockChromaGain(0.2, 0.8, 0.25);
  EXPECT_GT(green, c200StockChromaGain(0.8, 0.2, 0.25));
  EXPECT_LE(green, 1.65);
  EXPECT_GT(green, 1.4);
  ColorCube c200 = c200StockChromaCube();
  std::size_t g = (10 * 32 * 32 + 10 * 32 + 10) * 4;
  EXPECT_NEAR(c200.data[g], 10 / 31.0, 1e-6);
  EXPECT_NEAR(c200.data[g + 2], 10 / 31.0, 1e-6);
}

// Large cubes are filled on several threads: every entry still lands at
// (k·N + j)·N + i, red fastest, alpha 1.
TEST(ColourCubes, EveryEntryInPlaceWhateverTheSize) {
  for (int n : {2, 40}) {
    ColorCube cube = makeColorCube(n, [](int i, int j, int k) {
      return std::array<double, 3>{i / 100.0, j / 1000.0, k / 10000.0};
    });
    ASSERT_EQ(cube.data.size(), static_cast<std::size_t>(n * n * n * 4));
    std::size_t wrong = 0;
    for (int k = 0; k < n; ++k)
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
          const float* e = cube.data.data() + ((static_cast<std::size_t>(k) * n + j) * n + i) * 4;
          wrong += e[0] != float(i / 100.0) || e[1] != float(j / 1000.0) || e[2] != float(k / 10000.0) || e[3] != 1;
        }
    EXPECT_EQ(wrong, 0u) << n;
  }
}

TEST(ColourCubes, BuiltAheadByKeyOnceAndFailuresCarried) {
  int builds = 0;
  auto two = [&builds] {
    ++builds;
    return std::optional<ColorCube>(makeColorCube(2, [](int i, int, int) { return std::array<double, 3>{i * 0.5, 0, 0}; }));
  };
  buildCubesAhead({{"test two", two}, {"test none", [] { return std::optional<ColorCube>(); }},
                   {"test throws", []() -> std::optional<ColorCube> { throw std::bad_alloc(); }}});
  buildCubesAhead({{"test two", two}});  // already there: not built again
  EXPECT_EQ(cubeBuiltAhead("test unknown"), nullptr);
  const std::optional<ColorCube>* built = cubeBuiltAhead("test two");
  ASSERT_TRUE(built && *built);
  EXPECT_EQ((*built)->dimension, 2);
  EXPECT_FLOAT_EQ((*built)->data[4], 0.5f);
  EXPECT_EQ(builds, 1);
  ASSERT_NE(cubeBuiltAhead("test none"), nullptr);
  EXPECT_FALSE(*cubeBuiltAhead("test none"));
  EXPECT_THROW(cubeBuiltAhead("test throws"), std::bad_alloc);
}
