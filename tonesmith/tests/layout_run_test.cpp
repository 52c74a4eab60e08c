// End-to-end runs of image layers and the print layout through the program.
#include <gtest/gtest.h>

#include <unistd.h>
#include <vips/vips.h>

#include <filesystem>
#include <fstream>

#include "imageio.h"
#include "json.h"
#include "tool_run.h"

namespace fs = std::filesystem;

namespace {

class LayoutRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(imageio::initialize());
    char name[] = "/tmp/tonesmith-layout-XXXXXX";
    ASSERT_TRUE(mkdtemp(name));
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  ToolRun run(const std::string& in, const std::string& out, std::vector<std::string> options) const {
    std::vector<std::string> args{std::string(ORVAN_BIN_DIR) + "/tonesmith", in, out, "0", "0", "", "0", "0", "0", "1", "1"};
    args.insert(args.end(), options.begin(), options.end());
    return runTool(std::move(args), dir_);
  }

  std::string file(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }

  // A flat 8-bit PNG picture.
  std::string flat(const std::string& name, int w, int h, std::array<unsigned char, 3> c) const {
    std::vector<unsigned char> px(static_cast<std::size_t>(w) * h * 3);
    for (std::size_t i = 0; i < px.size(); i += 3) std::copy(c.begin(), c.end(), px.begin() + static_cast<long>(i));
    VipsImage* image = vips_image_new_from_memory_copy(px.data(), px.size(), w, h, 3, VIPS_FORMAT_UCHAR);
    std::string f = path(name);
    EXPECT_EQ(vips_image_write_to_file(image, f.c_str(), nullptr), 0);
    g_object_unref(image);
    return f;
  }

  static imageio::Raster decoded(const std::string& f) {
    auto source = imageio::Source::open(f);
    EXPECT_TRUE(source) << f;
    if (!source) return {};
    auto raster = source->decode(imageio::Orientation::stored);
    return raster ? *raster : imageio::Raster{};
  }

  static std::array<int, 3> rgb(const imageio::Raster& r, std::int64_t x, std::int64_t yFromTop) {
    const std::uint8_t* p = r.data.data() + static_cast<std::size_t>(yFromTop) * r.rowBytes() + static_cast<std::size_t>(x) * 4;
    return {p[0], p[1], p[2]};
  }

  std::string dir_;
};

}  // namespace

TEST_F(LayoutRun, LayersWithModesMasksAndBrokenInput) {
  const std::string in = flat("base.png", 60, 40, {200, 100, 50});
  const std::string layer = flat("layer.png", 30, 20, {128, 128, 128});
  const std::string white = flat("white.png", 6, 4, {255, 255, 255});
  // A missing layer is skipped and the next one still applies.
  const std::string layers = file("layers.json", R"([{"path": ")" + path("missing.png") + R"("},
      {"path": ")" + layer + R"(", "blendMode": "multiply"}])");
  ToolRun r = run(in, path("out.png"), {"--image-layers-file", layers});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  auto px = rgb(decoded(path("out.png")), 30, 20);
  EXPECT_NEAR(px[0], 100, 1);
  EXPECT_NEAR(px[1], 50, 1);
  EXPECT_NEAR(px[2], 25, 1);

  // An all-white mask hides the layer; a mask that does not open is ignored.
  const std::string masked = file("masked.json", R"([{"path": ")" + layer + R"(", "maskPath": ")" + white + R"("}])");
  r = run(in, path("masked.png"), {"--image-layers-file", masked});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(rgb(decoded(path("masked.png")), 10, 10), (std::array<int, 3>{200, 100, 50}));
  const std::string noMask = file("nomask.json", R"([{"path": ")" + layer + R"(", "maskPath": "/nonexistent.png"}])");
  r = run(in, path("nomask.png"), {"--image-layers-file", noMask});
  EXPECT_EQ(rgb(decoded(path("nomask.png")), 10, 10), (std::array<int, 3>{128, 128, 128}));

  // Malformed JSON, wrong shapes and absurd numbers never fail the run.
  for (const std::string& text : {std::string("[{\"path\": "), std::string("[1, 2]"), std::string("{}"),
                                 R"([{"path": ")" + layer + R"(", "scale": 1e308, "rotation": -1e308, "offsetX": 1e400,
                                     "feather": 1e308, "opacity": 1e-320}])"}) {
    r = run(in, path("odd.png"), {"--image-layers-file", file("odd.json", text)});
    EXPECT_EQ(r.status, 0) << text << r.err;
    EXPECT_EQ(r.err, "") << text;
  }
}

TEST_F(LayoutRun, PrintLayoutReportAndResolution) {
  const std::string in = flat("photo.png", 300, 200, {10, 200, 30});
  const std::string layout = file("layout.json", R"({"widthCm": 10, "heightCm": 10, "layout": "mat", "fit": "contain",
      "marginCm": 1, "marginColor": "#FF8000"})");
  ToolRun r = run(in, path("print.png"), {"--print-layout-file", layout, "--report-json", "--dpi", "300"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto report = json::parse(r.out);
  ASSERT_TRUE(report) << r.out;
  // dpi = floor(300 / (8 / 2.54)) = 95: canvas floor(10 / 2.54 × 95) = 374,
  // picture 299 × 199 (resampled), mat floor(95 / 2.54 + 0.5) = 37.
  EXPECT_EQ((*report)["dpi"], 95);
  EXPECT_EQ((*report)["width"], 374);
  EXPECT_EQ((*report)["height"], 374);
  EXPECT_EQ((*report)["photoWidth"], 299);
  EXPECT_EQ((*report)["photoHeight"], 199);
  EXPECT_EQ((*report)["photoSourceWidth"], 300);
  EXPECT_EQ((*report)["marginColor"], "#ff8000");
  for (const char* key : {"dpi", "photoWidth", "photoHeight", "photoSourceWidth", "photoSourceHeight", "frameWidthCm",
                          "frameHeightCm", "layout", "marginCm", "marginColor", "fit", "cropScale", "cropX", "cropY",
                          "outputPath", "format", "bitDepth", "sourceDpi"})
    EXPECT_TRUE(report->contains(key)) << key;
  auto source = imageio::Source::open(path("print.png"));
  ASSERT_TRUE(source);
  ASSERT_TRUE(source->properties().dpiWidth);
  EXPECT_NEAR(*source->properties().dpiWidth, 95, 0.1);
  auto pixels = decoded(path("print.png"));
  EXPECT_EQ(rgb(pixels, 5, 5), (std::array<int, 3>{255, 128, 0}));
  EXPECT_EQ(rgb(pixels, 187, 187), (std::array<int, 3>{10, 200, 30}));
  EXPECT_EQ(rgb(pixels, 187, 80), (std::array<int, 3>{255, 128, 0}));  // above the picture, inside the mat

  // Cover on a full bleed frame: JPEG keeps dpi 0 in the report.
  r = run(in, path("bleed.jpg"), {"--print-layout-file", file("bleed.json", R"({"widthCm": 15, "heightCm": 10})"),
                                  "--report-json"});
  ASSERT_EQ(r.status, 0) << r.err;
  report = json::parse(r.out);
  ASSERT_TRUE(report);
  EXPECT_EQ((*report)["dpi"], 50);  // the layout's entry replaces the writer's 0
  EXPECT_EQ((*report)["layout"], "bleed");
  EXPECT_EQ((*report)["marginColor"], "#ffffff");

  // Not an object: no layout, no entries.
  r = run(in, path("plain.png"), {"--print-layout-file", file("array.json", "[1]"), "--report-json"});
  ASSERT_EQ(r.status, 0) << r.err;
  report = json::parse(r.out);
  EXPECT_FALSE(report->contains("photoWidth"));
  EXPECT_EQ((*report)["dpi"], 300);
}

TEST_F(LayoutRun, RefusesToEnlarge) {
  const std::string in = flat("tiny.png", 3, 3, {90, 90, 90});
  ToolRun r = run(in, path("big.png"),
                  {"--print-layout-file", file("big.json", R"({"widthCm": 200, "heightCm": 200})")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Print layout would upscale image content\n");
  EXPECT_FALSE(fs::exists(path("big.png")));
}
