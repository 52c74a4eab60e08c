// The pixel profile's arithmetic on sample bitmaps whose numbers are worked
// out by hand.
#include <glib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base64_decode.h"
#include "sightgauge.h"

namespace {

using namespace sightgauge;

struct Rgb {
  std::uint8_t r, g, b, a = 255;
};

// A 64 × 64 (or side × side) sample bitmap painted by a function of (row, column).
Bitmap paint(const std::function<Rgb(int, int)>& colourAt, int side = profileSide) {
  Bitmap bitmap = blackBitmap(side, side);
  for (int row = 0; row < side; ++row)
    for (int column = 0; column < side; ++column) {
      const Rgb c = colourAt(row, column);
      std::uint8_t* p = bitmap.rgba.data() + (static_cast<std::size_t>(row) * side + column) * 4;
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
      p[3] = c.a;
    }
  return bitmap;
}

TEST(Hsv, HueSaturationValue) {
  struct Case {
    double r, g, b, hue, saturation, value;
  };
  const Case cases[] = {
      {1, 0, 0, 0, 1, 1},
      {0, 1, 0, 1.0 / 3, 1, 1},
      {0, 0, 1, 2.0 / 3, 1, 1},
      {1, 0, 1, 5.0 / 6, 1, 1},  // magenta: fmod gives -1, a negative hue turns once
      {0.5, 0.5, 0.5, 0, 0, 0.5},
      {0, 0, 0, 0, 0, 0},
      {0.8, 0.4, 0.2, 1.0 / 18, 0.75, 0.8},
  };
  for (const Case& c : cases) {
    const Hsv out = hsv(c.r, c.g, c.b);
    EXPECT_NEAR(out.hue, c.hue, 1e-12) << c.r << "," << c.g << "," << c.b;
    EXPECT_NEAR(out.saturation, c.saturation, 1e-12);
    EXPECT_DOUBLE_EQ(out.value, c.value);
  }
}

TEST(Hsv, BucketsAreTwelveSectorsAndFiveBands) {
  struct Case {
    Hsv colour;
    int bucket;
  };
  const Case cases[] = {
      {{0.0, 1, 1}, 0},          {{1.0 / 3, 1, 1}, 4},   {{2.0 / 3, 1, 1}, 8},
      {{0.999999, 1, 1}, 11},    {{0.5, 0.12, 1}, 6},    // exactly 0.12 is chromatic
      {{0.5, 0.1199999, 1}, 16}, {{0.5, 0, 0.19}, 12},   {{0.5, 0, 0.2}, 13},
      {{0.5, 0, 1.0}, 16},       {{0.5, 0, 0}, 12},
  };
  for (const Case& c : cases) EXPECT_EQ(bucketIndex(c.colour), c.bucket) << c.colour.hue << " " << c.colour.saturation;
}

// Three quarters pure red (left), one quarter pure blue (right).
TEST(Profile, TwoColourSwatchesAndMeasures) {
  const PixelProfile p =
      profileOfSamples(paint([](int, int column) { return column < 48 ? Rgb{255, 0, 0} : Rgb{0, 0, 255}; }));
  ASSERT_EQ(p.dominantColors.size(), 2u);
  const PixelSwatch& red = p.dominantColors[0];
  const PixelSwatch& blue = p.dominantColors[1];
  EXPECT_EQ(red.hex, "#FF0000");
  EXPECT_EQ(red.weight, 0.75);
  EXPECT_EQ(red.hue, 0);
  EXPECT_EQ(red.saturation, 1);
  EXPECT_NEAR(red.luminance, 0.2126, 1e-12);
  EXPECT_EQ(blue.hex, "#0000FF");
  EXPECT_EQ(blue.weight, 0.25);
  EXPECT_NEAR(blue.hue, 240, 1e-9);
  EXPECT_NEAR(blue.luminance, 0.0722, 1e-12);

  // Mean L = 0.75 × 0.2126 + 0.25 × 0.0722; deviations ±0.25·Δ and ∓0.75·Δ
  // with Δ = 0.1404 give σ = Δ·√(0.75·0.25).
  const double delta = 0.2126 - 0.0722;
  EXPECT_NEAR(p.luminance, 0.75 * 0.2126 + 0.25 * 0.0722, 1e-12);
  EXPECT_NEAR(p.contrast, 3 * delta * std::sqrt(0.75 * 0.25), 1e-12);
  EXPECT_EQ(p.saturation, 1);
  EXPECT_EQ(p.colorfulness, 1);
  // One step of Δ per row among 64 × 63 + 63 × 64 steps.
  EXPECT_NEAR(p.sharpness, 64 * delta / 8064 / 0.18, 1e-12);
  EXPECT_EQ(p.shadowClipping, 0);
  EXPECT_EQ(p.highlightClipping, 0);
  // Sampled columns 0..63: red down to 47, so only column 47 > column 55 (bit 6 of each row).
  EXPECT_EQ(p.perceptualHash, "4040404040404040");
}

TEST(Profile, CrushedAndBlownFractions) {
  // Rows 0..15 black, 16..23 level 5 (L 0.0196: crushed), 24..31 level 6
  // (0.0235: not), 32..47 level 249 (0.976: not), 48..55 level 250 (0.9804:
  // blown), 56..63 white.
  const PixelProfile p = profileOfSamples(paint([](int row, int) {
    const std::uint8_t level = row < 16 ? 0 : row < 24 ? 5 : row < 32 ? 6 : row < 48 ? 249 : row < 56 ? 250 : 255;
    return Rgb{level, level, level};
  }));
  EXPECT_EQ(p.shadowClipping, 24.0 / 64);
  EXPECT_EQ(p.highlightClipping, 16.0 / 64);
  // Neutral bands by value: band 0 holds 0, 5 and 6; band 4 holds 249, 250 and 255.
  ASSERT_EQ(p.dominantColors.size(), 2u);
  EXPECT_EQ(p.dominantColors[0].weight, 0.5);
  EXPECT_EQ(p.dominantColors[1].weight, 0.5);
  EXPECT_EQ(p.saturation, 0);
}

TEST(Profile, UniformImages) {
  struct Case {
    Rgb colour;
    std::string hex;
    double luminance, shadow, highlight;
  };
  const Case cases[] = {
      {{255, 255, 255}, "#FFFFFF", 1, 0, 1},
      {{0, 0, 0}, "#000000", 0, 1, 0},
      {{200, 10, 30, 0}, "#000000", 0, 1, 0},  // fully transparent: premultiplied to black
  };
  for (const Case& c : cases) {
    // A straight RGBA raster, premultiplied as drawing into the context leaves it.
    imageio::Raster raster;
    raster.width = raster.height = profileSide;
    for (int i = 0; i < profileSide * profileSide; ++i)
      raster.data.insert(raster.data.end(), {c.colour.r, c.colour.g, c.colour.b, c.colour.a});
    const PixelProfile p = profileOfSamples({profileSide, profileSide, premultipliedBytes(raster)});
    ASSERT_EQ(p.dominantColors.size(), 1u) << c.hex;
    EXPECT_EQ(p.dominantColors[0].hex, c.hex);
    EXPECT_EQ(p.dominantColors[0].weight, 1);
    EXPECT_NEAR(p.luminance, c.luminance, 1e-12);
    EXPECT_EQ(p.shadowClipping, c.shadow);
    EXPECT_EQ(p.highlightClipping, c.highlight);
    EXPECT_EQ(p.contrast, 0);
    EXPECT_EQ(p.sharpness, 0);
    EXPECT_EQ(p.perceptualHash, "0000000000000000");
  }
  const PixelProfile grey = profileOfSamples(paint([](int, int) { return Rgb{128, 128, 128}; }));
  EXPECT_EQ(grey.saturation, 0);
  EXPECT_EQ(grey.dominantColors.at(0).hex, "#808080");
}

TEST(Profile, PrimariesLandInTheirSectors) {
  const PixelProfile p = profileOfSamples(paint([](int, int column) {
    return column < 22 ? Rgb{255, 0, 0} : column < 43 ? Rgb{0, 255, 0} : Rgb{0, 0, 255};
  }));
  ASSERT_EQ(p.dominantColors.size(), 3u);
  std::map<std::string, double> hues;
  for (const auto& swatch : p.dominantColors) hues[swatch.hex] = swatch.hue;
  EXPECT_EQ(hues.at("#FF0000"), 0);
  EXPECT_NEAR(hues.at("#00FF00"), 120, 1e-9);
  EXPECT_NEAR(hues.at("#0000FF"), 240, 1e-9);
  EXPECT_EQ(p.dominantColors[0].hex, "#FF0000");  // 22 columns beat 21
}

TEST(Profile, AtMostFiveSwatchesLargestFirst) {
  // Eight hue sectors in bands of 8 rows, with one more row for each later band.
  const Rgb colours[] = {{255, 0, 0},   {255, 128, 0}, {255, 255, 0}, {0, 255, 0},
                         {0, 255, 255}, {0, 0, 255},   {128, 0, 255}, {255, 0, 128}};
  const PixelProfile p = profileOfSamples(paint([&](int row, int) { return colours[std::min(row / 8, 7)]; }));
  ASSERT_EQ(p.dominantColors.size(), 5u);
  double total = 0;
  for (std::size_t i = 0; i < p.dominantColors.size(); ++i) {
    total += p.dominantColors[i].weight;
    if (i > 0) {
      EXPECT_LE(p.dominantColors[i].weight, p.dominantColors[i - 1].weight);
    }
  }
  EXPECT_EQ(total, 5.0 / 8);
}

TEST(Profile, GradientHashes) {
  const PixelProfile brightening = profileOfSamples(paint([](int, int column) {
    const auto v = static_cast<std::uint8_t>(column * 4);
    return Rgb{v, v, v};
  }));
  const PixelProfile darkening = profileOfSamples(paint([](int, int column) {
    const auto v = static_cast<std::uint8_t>(255 - column * 4);
    return Rgb{v, v, v};
  }));
  EXPECT_EQ(brightening.perceptualHash, "0000000000000000");
  EXPECT_EQ(darkening.perceptualHash, "ffffffffffffffff");
  // Each horizontal step is 4 / 255 and vertical steps are 0.
  EXPECT_NEAR(brightening.sharpness, 64 * 63 * (4 / 255.0) / 8064 / 0.18, 1e-12);
  // Only rows 0, 7, ..., 55 are sampled: a darkening band in row 63 alone changes nothing.
  const PixelProfile lastRow = profileOfSamples(paint([](int row, int column) {
    const auto v = static_cast<std::uint8_t>(row == 63 ? 255 - column * 4 : 100);
    return Rgb{v, v, v};
  }));
  EXPECT_EQ(lastRow.perceptualHash, "0000000000000000");
  // Row 7 darkening alone sets byte 1.
  const PixelProfile row7 = profileOfSamples(paint([](int row, int column) {
    const auto v = static_cast<std::uint8_t>(row == 7 ? 255 - column * 4 : 100);
    return Rgb{v, v, v};
  }));
  EXPECT_EQ(row7.perceptualHash, "000000000000ff00");
}

TEST(GreyMatrix, LuminanceBytesTruncated) {
  const Bitmap samples = paint(
      [](int row, int column) {
        if (row == 0 && column == 0) return Rgb{255, 255, 255};
        if (row == 0 && column == 1) return Rgb{255, 0, 0};  // 54.213 -> 54
        if (row == 0 && column == 2) return Rgb{0, 255, 0};  // 182.376 -> 182
        if (row == 0 && column == 3) return Rgb{0, 0, 255};  // 18.411 -> 18
        return Rgb{10, 20, 30};                              // 2.126 + 14.304 + 2.166 = 18.596 -> 18
      },
      matrixSide);
  const std::string text = greyMatrixOfSamples(samples);
  EXPECT_EQ(text.size(), 1200u);
  const auto bytes = unbase64(text);
  ASSERT_EQ(bytes.size(), 900u);
  EXPECT_EQ(bytes[0], 255);
  EXPECT_EQ(bytes[1], 54);
  EXPECT_EQ(bytes[2], 182);
  EXPECT_EQ(bytes[3], 18);
  EXPECT_EQ(bytes[899], 18);
}

TEST(ShortFloat, ReadsBackAsTheSameFloat) {
  for (float value : {0.1f, 1.0f / 3, -0.7071068f, 1e-20f, 3.4e38f, 0.0f}) {
    const double shortened = shortFloat(value);
    EXPECT_EQ(static_cast<float>(shortened), value);
  }
  EXPECT_EQ(shortFloat(0.1f), 0.1);
}

TEST(Encoding, NonFiniteNumbersFailAndAreNamed) {
  json::Value record = json::Value::object();
  record["ok"] = 1.5;
  record["faces"] = json::Value::array({json::Value::object({{"x", 0.5}, {"sharpness", std::nan("")}})});
  const Encoded bad = encodeRecord(record);
  EXPECT_FALSE(bad.text);
  EXPECT_NE(bad.problem.find("faces[0].sharpness"), std::string::npos) << bad.problem;
  EXPECT_NE(bad.problem.find("nan"), std::string::npos);

  record["faces"][0]["sharpness"] = INFINITY;
  EXPECT_NE(encodeRecord(record).problem.find("inf"), std::string::npos);

  record["faces"][0]["sharpness"] = 2.0;
  record["path"] = "a/b";
  const Encoded good = encodeRecord(record);
  ASSERT_TRUE(good.text);
  EXPECT_EQ(*good.text, R"({"ok":1.5,"faces":[{"x":0.5,"sharpness":2}],"path":"a\/b"})");
}

TEST(ModeChoice, FlagsOnlyInFirstPlaceAndByteForByte) {
  struct Case {
    std::vector<std::string> args;
    Mode mode;
    std::string path;
  };
  const Case cases[] = {
      {{}, Mode::usage, ""},
      {{"a.jpg"}, Mode::analysis, "a.jpg"},
      {{"--matrix30"}, Mode::analysis, "--matrix30"},
      {{"--crop-verify"}, Mode::cropVerify, ""},
      {{"--crop-verify", "a", "b"}, Mode::cropVerify, ""},
      {{"--matrix30", "a.jpg"}, Mode::matrix30, "a.jpg"},
      {{"--faces-only", "a.jpg"}, Mode::faces, "a.jpg"},
      {{"--Matrix30", "a.jpg"}, Mode::usage, ""},
      {{"--matrix30=a.jpg", "b"}, Mode::usage, ""},
      {{"a.jpg", "--matrix30"}, Mode::usage, ""},
      {{"--faces-only", "a.jpg", "b.jpg"}, Mode::usage, ""},
      {{"--matrix", "a.jpg"}, Mode::usage, ""},
  };
  for (const Case& c : cases) {
    const Invocation invocation = chooseMode(c.args);
    EXPECT_EQ(invocation.mode, c.mode) << ::testing::PrintToString(c.args);
    EXPECT_EQ(invocation.imagePath, c.path);
  }
}

TEST(Geometry, IntegralRectanglesInsideTheImage) {
  struct Case {
    Rect rect;
    PixelRect expected;
  };
  const Case cases[] = {
      {{1.5, 2.5, 3, 3}, {1, 2, 4, 4}},           // rounded outward
      {{-3, -3, 10, 10}, {0, 0, 7, 7}},           // cut at the top-left
      {{95.2, 45, 10, 10}, {95, 45, 5, 5}},       // cut at the far edges
      {{100, 0, 5, 5}, {0, 0, 0, 0}},             // wholly outside
      {{NAN, 0, 5, 5}, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const PixelRect got = integralInside(c.rect, 100, 50);
    if (c.expected.empty()) {
      EXPECT_TRUE(got.empty());
      continue;
    }
    EXPECT_EQ(got.x, c.expected.x);
    EXPECT_EQ(got.y, c.expected.y);
    EXPECT_EQ(got.width, c.expected.width);
    EXPECT_EQ(got.height, c.expected.height);
  }
  EXPECT_EQ(orientedSize(40, 30, 6), std::make_pair(std::int64_t{30}, std::int64_t{40}));
  EXPECT_EQ(orientedSize(40, 30, 3), std::make_pair(std::int64_t{40}, std::int64_t{30}));
}

}  // namespace
