// End-to-end runs of the colour stages and the measurement modes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "colour.h"
#include "tool_run.h"
#include "imageio.h"

namespace fs = std::filesystem;

namespace {

std::string base64(const std::string& in) {
  static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    std::uint32_t v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    out += table[(v >> 18) & 63];
    out += table[(v >> 12) & 63];
    out += i + 1 < in.size() ? table[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? table[v & 63] : '=';
  }
  return out;
}

class ColourRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(imageio::initialize());
    char name[] = "/tmp/tonesmith-colour-XXXXXX";
    ASSERT_TRUE(mkdtemp(name));
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Runs tonesmith on `in` writing out.png with brightness, contrast and lut, plus extra options.
  ToolRun run(const std::string& in, std::vector<std::string> extra, const std::string& brightness = "0",
              const std::string& contrast = "0", const std::string& lut = "") const {
    std::vector<std::string> args{std::string(ORVAN_BIN_DIR) + "/tonesmith", in, path("out.png"), brightness,
                                  contrast, lut, "0", "0", "0", "1", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return runTool(std::move(args), dir_);
  }

  // An 8-bit RGB PNG of w × h whose pixel (x, y) (y down) is f(x, y).
  std::string makePicture(const std::string& name, int w, int h,
                          const std::function<std::array<unsigned char, 3>(int, int)>& f) const {
    std::vector<unsigned char> px(static_cast<std::size_t>(w * h * 3));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        auto c = f(x, y);
        std::copy(c.begin(), c.end(), px.begin() + (y * w + x) * 3);
      }
    VipsImage* image = vips_image_new_from_memory_copy(px.data(), px.size(), w, h, 3, VIPS_FORMAT_UCHAR);
    std::string file = path(name);
    EXPECT_EQ(vips_image_write_to_file(image, file.c_str(), nullptr), 0);
    g_object_unref(image);
    return file;
  }
  std::string makeFlat(const std::string& name, unsigned char v) const {
    return makePicture(name, 40, 30, [v](int, int) { return std::array<unsigned char, 3>{v, v, v}; });
  }

  std::array<int, 3> outputPixel(int x, int y) const {
    auto source = imageio::Source::open(path("out.png"));
    EXPECT_TRUE(source);
    auto raster = source->decode(imageio::Orientation::stored);
    EXPECT_TRUE(raster);
    const std::uint8_t* p = raster->data.data() + static_cast<std::size_t>(y) * raster->rowBytes() + x * 4;
    return {p[0], p[1], p[2]};
  }

  std::string cubeFile(const std::string& name, std::size_t rows) const {
    std::string text = "LUT_3D_SIZE 17\n";
    for (std::size_t i = 0; i < rows; ++i) {
      int r = static_cast<int>(i % 17), g = static_cast<int>(i / 17 % 17), b = static_cast<int>(i / 289);
      // Red and blue swapped.
      text += std::to_string(b / 16.0) + " " + std::to_string(g / 16.0) + " " + std::to_string(r / 16.0) + "\n";
    }
    std::ofstream(path(name)) << text;
    return path(name);
  }

  std::string dir_;
};

}  // namespace

TEST_F(ColourRun, MeasurementsOfBlackAndGrey) {
  ToolRun r = run(makeFlat("black.png", 0), {"--measure"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"black\":0.00000,\"mid\":0.00000,\"white\":0.00000,\"range\":0.00000}\n");
  std::string grey = makeFlat("grey.png", 128);
  r = run(grey, {"--measure"});
  EXPECT_EQ(r.out, "{\"black\":0.50196,\"mid\":0.50196,\"white\":0.50196,\"range\":0.00000}\n");
  EXPECT_EQ(r.err, "");
  // The film base wins over --measure; an invalid rectangle is absent.
  r = run(grey, {"--measure", "--measure-film-base", "0.99", "0.99", "0.5", "0.5"});
  EXPECT_EQ(r.out, "{\"r\":0.501961,\"g\":0.501961,\"b\":0.501961}\n");
  r = run(grey, {"--measure-film-base", "0", "0", "1", "x", "--measure"});
  EXPECT_EQ(r.out.rfind("{\"black\":", 0), 0u);
  EXPECT_FALSE(fs::exists(path("out.png")));
  // The bottom tenth of a picture white above and black below.
  std::string halves = makePicture("halves.png", 40, 40, [](int, int y) {
    unsigned char v = y < 20 ? 255 : 0;
    return std::array<unsigned char, 3>{v, v, v};
  });
  r = run(halves, {"--measure-film-base", "0", "0", "1", "0.1"});
  EXPECT_EQ(r.out, "{\"r\":0.000000,\"g\":0.000000,\"b\":0.000000}\n");
}

TEST_F(ColourRun, BrightnessAndContrastFallbackOnAFlatHistogram) {
  // Values 0.4 .. 0.43: white − black ≤ 0.05, so contrast 1.5 is a plain stretch about 0.5.
  std::string narrow = makePicture("narrow.png", 40, 30, [](int x, int) {
    unsigned char v = static_cast<unsigned char>(102 + x % 8);
    return std::array<unsigned char, 3>{v, v, v};
  });
  ToolRun r = run(narrow, {}, "0", "0.5");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(outputPixel(0, 0)[0], static_cast<int>(std::lround(((102 / 255.0) - 0.5) * 1.5 * 255 + 127.5)));
  r = run(narrow, {}, "-1");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(outputPixel(3, 3), (std::array<int, 3>{0, 0, 0}));
  // Adaptive contrast on a real spread darkens a shadow tone.
  std::string ramp = makePicture("ramp.png", 256, 4, [](int x, int) {
    unsigned char v = static_cast<unsigned char>(x);
    return std::array<unsigned char, 3>{v, v, v};
  });
  r = run(ramp, {}, "0", "0.8");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LT(outputPixel(30, 1)[0], 28);
  EXPECT_GT(outputPixel(225, 1)[0], 227);
}

TEST_F(ColourRun, CubeFilesAndLayers) {
  std::string in = makePicture("c.png", 20, 10, [](int, int) { return std::array<unsigned char, 3>{200, 100, 0}; });
  ToolRun r = run(in, {}, "0", "0", cubeFile("good.cube", 4913));
  ASSERT_EQ(r.status, 0) << r.err;
  auto px = outputPixel(1, 1);
  EXPECT_NEAR(px[0], 0, 1);
  EXPECT_NEAR(px[2], 200, 1);
  std::string bad = cubeFile("bad.cube", 4912);
  r = run(in, {}, "0", "0", bad);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Unknown LUT preset or invalid .cube file: " + bad + "\n");
  EXPECT_EQ(r.out, "");
  r = run(in, {}, "0", "0", "no-such-preset");
  EXPECT_EQ(r.err, "Unknown LUT preset or invalid .cube file: no-such-preset\n");

  // A half-strength mono layer replaces the positional LUT.
  r = run(in, {"--lut-layers", base64(R"([{"lut":"MONO","opacity":0.5}])")}, "0", "0", bad);
  ASSERT_EQ(r.status, 0) << r.err;
  double y = 0.2126 * 200 + 0.7152 * 100;
  px = outputPixel(0, 0);
  EXPECT_NEAR(px[0], (200 + y) / 2, 1.5);
  EXPECT_NEAR(px[2], (0 + y) / 2, 1.5);
  // A disabled layer does nothing at all; an empty array uses the positional LUT.
  r = run(in, {"--lut-layers", base64(R"([{"lut":"mono","enabled":false}])")}, "0", "0", bad);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(outputPixel(0, 0), (std::array<int, 3>{200, 100, 0}));
  r = run(in, {"--lut-layers", base64("[]")}, "0", "0", "negative");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(outputPixel(0, 0), (std::array<int, 3>{55, 155, 255}));
  // Raw JSON instead of Base64 counts as absent.
  r = run(in, {"--tone-curve", R"([{"x":0,"y":1},{"x":1,"y":0}])"});
  EXPECT_EQ(outputPixel(0, 0), (std::array<int, 3>{200, 100, 0}));
  r = run(in, {"--tone-curve", base64(R"([{"x":0,"y":1},{"x":1,"y":0}])")});
  EXPECT_EQ(outputPixel(0, 0), (std::array<int, 3>{55, 155, 255}));
}

TEST_F(ColourRun, NegativeSamplesFileAndConversion) {
  // An orange border around a darker frame.
  std::string scan = makePicture("scan.png", 120, 80, [](int x, int y) {
    bool border = x < 12 || x >= 108 || y < 8 || y >= 72;
    return border ? std::array<unsigned char, 3>{217, 140, 89}
                  : std::array<unsigned char, 3>{static_cast<unsigned char>(60 + x), 50, 40};
  });
  std::string samples = path("roll.samples");
  ToolRun r = run(scan, {"--negative", "--negative-profile", "color-auto", "--emit-negative-samples", samples});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(path("out.png")));
  auto loaded = tonesmith::loadNegativeSamples(samples);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->samples.size(), 120u * 80);
  // Strip edges at 0.9 of the height land a hair below a whole row: the
  // top strip has 7 rows and the side strips 65.
  EXPECT_EQ(loaded->edgeSamples.size(), 120u * 8 + 120u * 7 + 12u * 65 * 2);

  r = run(scan, {"--negative", "--negative-profile", "color-auto"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto fromScan = outputPixel(60, 40);
  // The border (the film base) turns dark, at the soft lower limit; the
  // denser frame turns bright.
  auto border = outputPixel(2, 2);
  for (int c = 0; c < 3; ++c) EXPECT_LT(border[c] + 60, fromScan[c]) << c;
  r = run(scan, {"--negative", "--negative-profile", "color-auto", "--negative-samples", samples});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(outputPixel(60, 40), fromScan);
  // Colour intensity 0 gives grey.
  r = run(scan, {"--negative", "--negative-profile", "fujifilm-200", "--negative-color-intensity", "0",
                 "--negative-film-look", "1", "1", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto grey = outputPixel(60, 40);
  EXPECT_NEAR(grey[0], grey[1], 1);
  EXPECT_NEAR(grey[1], grey[2], 1);
  // "bw" ignores the samples file options and only inverts.
  r = run(scan, {"--negative", "--emit-negative-samples", path("unused.samples")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(path("unused.samples")));
  EXPECT_EQ(outputPixel(2, 2), (std::array<int, 3>{38, 115, 166}));
  r = run(scan, {"--negative", "--negative-profile", "color-auto", "--emit-negative-samples", dir_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot write negative samples: " + dir_ + "\n");
}

TEST_F(ColourRun, NegativeSamplesOfALargeTurnedJpegMatchItsUprightPicture) {
  // 1200 × 800 upright: orange on the left third, blue-grey elsewhere, a
  // red square near the top right. Stored turned a quarter (orientation 6)
  // as a JPEG, whose samples come from a reduced decode, and upright as a
  // PNG, whose samples come from the full decode.
  auto colour = [](int x, int y) {
    if (x > 900 && x < 1100 && y > 100 && y < 300) return std::array<unsigned char, 3>{200, 30, 30};
    return x < 400 ? std::array<unsigned char, 3>{217, 140, 89} : std::array<unsigned char, 3>{90, 110, 130};
  };
  std::string upright = makePicture("upright.png", 1200, 800, colour);
  // Orientation 6 shows the stored rows as columns from the right: stored
  // (x, y) is upright (1199 - y, x).
  std::vector<unsigned char> px(800 * 1200 * 3);
  for (int y = 0; y < 1200; ++y)
    for (int x = 0; x < 800; ++x) {
      auto c = colour(1199 - y, x);
      std::copy(c.begin(), c.end(), px.begin() + (y * 800 + x) * 3);
    }
  VipsImage* image = vips_image_new_from_memory_copy(px.data(), px.size(), 800, 1200, 3, VIPS_FORMAT_UCHAR);
  vips_image_set_int(image, VIPS_META_ORIENTATION, 6);
  std::string turned = path("turned.jpg");
  ASSERT_EQ(vips_jpegsave(image, turned.c_str(), "Q", 98, nullptr), 0);
  g_object_unref(image);

  std::array<std::optional<tonesmith::NegativeSamples>, 2> loaded;
  int i = 0;
  for (const std::string& in : {upright, turned}) {
    std::string samples = path("s" + std::to_string(i));
    ToolRun r = run(in, {"--negative", "--negative-profile", "color-auto", "--emit-negative-samples", samples});
    ASSERT_EQ(r.status, 0) << r.err;
    loaded[i++] = tonesmith::loadNegativeSamples(samples);
  }
  ASSERT_TRUE(loaded[0] && loaded[1]);
  ASSERT_EQ(loaded[0]->samples.size(), 384u * 256);
  ASSERT_EQ(loaded[1]->samples.size(), loaded[0]->samples.size());
  ASSERT_EQ(loaded[1]->edgeSamples.size(), loaded[0]->edgeSamples.size());
  // Away from the colour edges the two copies agree closely.
  int compared = 0;
  for (std::size_t y = 0; y < 256; y += 5)
    for (std::size_t x = 0; x < 384; x += 5) {
      const std::size_t k = y * 384 + x;
      const int ux = static_cast<int>(x * 1200 / 384), uy = static_cast<int>(y * 800 / 256);
      if (std::abs(ux - 400) < 20 || std::abs(ux - 900) < 20 || std::abs(ux - 1100) < 20 ||
          std::abs(uy - 100) < 20 || std::abs(uy - 300) < 20)
        continue;
      const auto &a = loaded[0]->samples[k], &b = loaded[1]->samples[k];
      EXPECT_NEAR(a.r, b.r, 0.02) << x << "," << y;
      EXPECT_NEAR(a.g, b.g, 0.02) << x << "," << y;
      EXPECT_NEAR(a.b, b.b, 0.02) << x << "," << y;
      ++compared;
    }
  EXPECT_GT(compared, 2500);
}
