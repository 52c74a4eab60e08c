// The crop proof's argument reader, window rules, grids, correlation and
// answer line.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "sightgauge.h"

namespace {

using namespace sightgauge;

TEST(CropArguments, NumbersReadWhole) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"0.25", 0.25}, {"1", 1.0},          {"+0.5", 0.5},           {"-0.5", -0.5},      {"1e-1", 0.1},
      {".5", 0.5},    {"", std::nullopt},  {" 0.5", std::nullopt}, {"0.5 ", std::nullopt}, {"0.5x", std::nullopt},
      {"0,5", std::nullopt}, {"x", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(readDouble(c.text), c.value) << "'" << c.text << "'";
  // Spelled infinities and NaNs read, and the window rules turn them away.
  EXPECT_TRUE(std::isinf(*readDouble("inf")));
  EXPECT_TRUE(std::isnan(*readDouble("nan")));
}

TEST(CropArguments, RotationIsASignedDecimalInteger) {
  struct Case {
    const char* text;
    int value;
  };
  const Case cases[] = {{"90", 90},   {"+270", 270}, {"-0", 0},          {"0", 0},        {"45", 45},
                        {"ninety", -1}, {"", -1},      {"90.0", -1},       {" 90", -1},     {"+", -1},
                        {"99999999999999999999", -1}, {"4294967386", -1}};
  for (const Case& c : cases) EXPECT_EQ(readRotation(c.text), c.value) << "'" << c.text << "'";
}

std::vector<std::string> line(std::initializer_list<const char*> words) {
  return {words.begin(), words.end()};
}

TEST(CropArguments, CountsAndOptionalOrientation) {
  EXPECT_FALSE(readCropArguments(line({"--crop-verify", "a", "b", "0", "0", "1"})));
  EXPECT_FALSE(readCropArguments(line({"--crop-verify", "a", "b", "0", "0", "1", "1", "0"})));
  EXPECT_FALSE(readCropArguments(line({"--crop-verify", "a", "b", "0", "0", "1", "1", "0", "0", "0"})));
  EXPECT_FALSE(readCropArguments(line({"--crop-verify", "a", "b", "0", "zero", "1", "1"})));

  const auto plain = readCropArguments(line({"--crop-verify", "big.jpg", "crop.jpg", "0.1", "0.2", "0.3", "0.4"}));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->big, "big.jpg");
  EXPECT_EQ(plain->crop, "crop.jpg");
  EXPECT_EQ(plain->x, 0.1);
  EXPECT_EQ(plain->h, 0.4);
  EXPECT_EQ(plain->rotation, 0);
  EXPECT_FALSE(plain->mirrored);

  for (const auto& [word, mirrored] : std::vector<std::pair<const char*, bool>>{
           {"1", true}, {"true", false}, {"yes", false}, {"01", false}, {"0", false}}) {
    const auto turned = readCropArguments(line({"--crop-verify", "a", "b", "0", "0", "1", "1", "270", word}));
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->rotation, 270);
    EXPECT_EQ(turned->mirrored, mirrored) << word;
  }
  // A rotation that does not read is kept for the window check to refuse.
  EXPECT_EQ(readCropArguments(line({"--crop-verify", "a", "b", "0", "0", "1", "1", "left", "0"}))->rotation, -1);
}

TEST(CropArguments, WindowRules) {
  struct Case {
    double x, y, w, h;
    int rotation;
    bool valid;
  };
  const Case cases[] = {
      {0, 0, 1, 1, 0, true},        {0.5, 0, 0.501, 1, 0, true},  {0.5, 0, 0.502, 1, 0, false},
      {0, 0.5, 1, 0.501, 90, true}, {0, 0.5, 1, 0.502, 0, false}, {-0.001, 0, 0.5, 0.5, 0, false},
      {0, 0, 0, 0.5, 0, false},     {0, 0, 0.5, -0.1, 0, false},  {0, 0, 0.5, 0.5, 45, false},
      {0, 0, 0.5, 0.5, -1, false},  {0, 0, 0.5, 0.5, 360, false}, {0, 0, 0.5, 0.5, 180, true},
      {NAN, 0, 0.5, 0.5, 0, false}, {0, 0, INFINITY, 0.5, 0, false},
  };
  for (const Case& c : cases) {
    CropRequest request;
    request.x = c.x;
    request.y = c.y;
    request.w = c.w;
    request.h = c.h;
    request.rotation = c.rotation;
    EXPECT_EQ(windowValid(request), c.valid) << c.x << " " << c.y << " " << c.w << " " << c.h << " " << c.rotation;
  }
}

TEST(CropGrid, LongerSideIs192AndShorterAtLeast24) {
  struct Case {
    double w, h;
    int cw, ch;
  };
  const Case cases[] = {
      {100, 100, 192, 192}, {400, 100, 192, 48}, {2000, 100, 192, 24}, {100, 400, 48, 192},
      {300, 200, 192, 128}, {2, 3, 128, 192},    {193, 100, 192, 99},  // 99.48 rounds down
      {1000, 1, 192, 24},
  };
  for (const Case& c : cases) EXPECT_EQ(comparisonGrid(c.w, c.h), std::make_pair(c.cw, c.ch)) << c.w << "x" << c.h;
}

TEST(Correlation, ScoresAndFlatContent) {
  std::vector<float> ramp(100), inverse(100), shifted(100), flat(100, 80), nearlyFlat(100);
  for (int i = 0; i < 100; ++i) {
    ramp[i] = static_cast<float>(i * 2);
    inverse[i] = static_cast<float>(255 - i * 2);
    shifted[i] = static_cast<float>(i * 2 + 40);
    nearlyFlat[i] = static_cast<float>(100 + (i % 2) * 3);  // σ = 1.5 grey levels
  }
  EXPECT_NEAR(*correlation(ramp.data(), ramp.data(), 100), 1.0f, 1e-6);
  EXPECT_NEAR(*correlation(ramp.data(), shifted.data(), 100), 1.0f, 1e-6);
  EXPECT_NEAR(*correlation(ramp.data(), inverse.data(), 100), -1.0f, 1e-6);
  EXPECT_FALSE(correlation(ramp.data(), flat.data(), 100));
  EXPECT_FALSE(correlation(flat.data(), ramp.data(), 100));
  EXPECT_FALSE(correlation(nearlyFlat.data(), ramp.data(), 100));
  EXPECT_FALSE(correlation(ramp.data(), ramp.data(), 0));
}

// A raster whose grey level at (row, column) is unique, so that the
// aligned grid's sources can be told apart.
imageio::Raster labelled(int width, int height) {
  imageio::Raster raster;
  raster.width = width;
  raster.height = height;
  for (int row = 0; row < height; ++row)
    for (int column = 0; column < width; ++column) {
      const auto level = static_cast<std::uint8_t>(row * width + column);
      raster.data.insert(raster.data.end(), {level, level, level, 255});
    }
  return raster;
}

TEST(CropGrid, RotationsAndMirroringTurnTheCropOntoTheWindow) {
  // The window is 4 wide and 3 high with levels r * 4 + c. Crops made by
  // turning or mirroring it must come back to it.
  const imageio::Raster window = labelled(4, 3);
  auto level = [&](const imageio::Raster& r, int row, int column) {
    return r.data[(static_cast<std::size_t>(row) * r.width + column) * 4];
  };
  auto make = [&](int width, int height, auto sourceOf) {
    imageio::Raster crop;
    crop.width = width;
    crop.height = height;
    for (int row = 0; row < height; ++row)
      for (int column = 0; column < width; ++column) {
        const auto [wr, wc] = sourceOf(row, column);
        const std::uint8_t v = level(window, wr, wc);
        crop.data.insert(crop.data.end(), {v, v, v, 255});
      }
    return crop;
  };
  using RC = std::pair<int, int>;
  struct Case {
    const char* name;
    imageio::Raster crop;
    int rotation;
    bool mirrored;
  };
  const Case cases[] = {
      {"as is", make(4, 3, [](int r, int c) { return RC{r, c}; }), 0, false},
      // Turned a quarter counter-clockwise: crop (r, c) shows window (c, 3 - r).
      {"counter-clockwise", make(3, 4, [](int r, int c) { return RC{c, 3 - r}; }), 90, false},
      // Turned clockwise: crop (r, c) shows window (2 - c, r).
      {"clockwise", make(3, 4, [](int r, int c) { return RC{2 - c, r}; }), 270, false},
      {"half turn", make(4, 3, [](int r, int c) { return RC{2 - r, 3 - c}; }), 180, false},
      {"mirrored", make(4, 3, [](int r, int c) { return RC{r, 3 - c}; }), 0, true},
      // Mirrored, then turned counter-clockwise: the transpose.
      {"mirrored and counter-clockwise", make(3, 4, [](int r, int c) { return RC{c, r}; }), 90, true},
  };
  for (const Case& c : cases) {
    const auto grid = alignedGrayPixels(c.crop, 4, 3, c.rotation, c.mirrored);
    ASSERT_TRUE(grid) << c.name;
    for (int row = 0; row < 3; ++row)
      for (int column = 0; column < 4; ++column)
        EXPECT_EQ((*grid)[row * 4 + column], level(window, row, column)) << c.name << " at " << row << "," << column;
  }
  EXPECT_FALSE(alignedGrayPixels(window, 4, 3, 45, false));
}

TEST(CropAnswer, NumberText) {
  struct Case {
    double value;
    bool single;
    const char* text;
  };
  const Case cases[] = {
      {1.0, true, "1.0"},         {0.0, true, "0.0"},          {0.875, false, "0.875"},
      {0.1, true, "0.1"},         {0.00001, true, "1e-05"},    {-0.000012, true, "-1.2e-05"},
      {0.0001, false, "0.0001"},  {1.0 / 3, false, "0.3333333333333333"}, {1.0 / 3, true, "0.33333334"},
      {-0.5, true, "-0.5"},       {0.99999994, true, "0.99999994"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.single ? formatNumber(static_cast<float>(c.value)) : formatNumber(c.value), c.text) << c.value;

  CropVerdict verdict;
  EXPECT_EQ(verdictLine(verdict), R"({"ncc":0,"blockAgreement":0,"worstBlock":0})");
  verdict.matched = true;
  verdict.ncc = 0.9731f;
  verdict.blockAgreement = 0.875;
  verdict.blockAgreementLoose = 1;
  verdict.worstBlock = 0.5f;
  EXPECT_EQ(verdictLine(verdict), R"({"ncc":0.9731,"blockAgreement":0.875,"blockAgreementLoose":1.0,"worstBlock":0.5})");
}

}  // namespace
