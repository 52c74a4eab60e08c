// End-to-end runs of the tonesmith binary on pictures made here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "imageio.h"
#include "tool_run.h"
#include "json.h"

namespace fs = std::filesystem;

namespace {

class TonesmithRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(imageio::initialize());
    char name[] = "/tmp/tonesmith-render-XXXXXX";
    ASSERT_TRUE(mkdtemp(name));
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  ToolRun run(std::vector<std::string> args) const {
    args.insert(args.begin(), std::string(ORVAN_BIN_DIR) + "/tonesmith");
    return runTool(std::move(args), dir_);
  }

  // The ten positional arguments with a given rotation and crop.
  static std::vector<std::string> positional(const std::string& in, const std::string& out,
                                             const std::string& rotation = "0",
                                             std::vector<std::string> crop = {"0", "0", "1", "1"}) {
    std::vector<std::string> a{in, out, "0", "0", "", rotation};
    a.insert(a.end(), crop.begin(), crop.end());
    return a;
  }

  // An 8-bit RGB picture of w × h whose pixel (x, y) (y down) is f(x, y).
  std::string makePicture(const std::string& name, int w, int h,
                          const std::function<std::array<unsigned char, 3>(int, int)>& f,
                          int orientation = 0, int bits = 8) const {
    std::vector<unsigned short> px16(static_cast<std::size_t>(w * h * 3));
    std::vector<unsigned char> px8(px16.size());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        auto c = f(x, y);
        for (int k = 0; k < 3; ++k) {
          px8[(y * w + x) * 3 + k] = c[k];
          px16[(y * w + x) * 3 + k] = static_cast<unsigned short>(c[k] * 257 + 3);
        }
      }
    VipsImage* image =
        bits == 16 ? vips_image_new_from_memory_copy(px16.data(), px16.size() * 2, w, h, 3, VIPS_FORMAT_USHORT)
                   : vips_image_new_from_memory_copy(px8.data(), px8.size(), w, h, 3, VIPS_FORMAT_UCHAR);
    if (bits == 16) image->Type = VIPS_INTERPRETATION_RGB16;
    if (orientation) vips_image_set_int(image, "orientation", orientation);
    std::string file = path(name);
    int rc = vips_image_write_to_file(image, file.c_str(), nullptr);
    g_object_unref(image);
    EXPECT_EQ(rc, 0) << vips_error_buffer();
    return file;
  }

  std::string makeFlat(const std::string& name, int w, int h, unsigned char v = 200) const {
    return makePicture(name, w, h, [v](int, int) { return std::array<unsigned char, 3>{v, v, v}; });
  }

  static imageio::Raster decodeStored(const std::string& file) {
    auto source = imageio::Source::open(file);
    EXPECT_TRUE(source) << file;
    if (!source) return {};
    auto raster = source->decode(imageio::Orientation::stored);
    EXPECT_TRUE(raster) << file;
    return raster ? *raster : imageio::Raster{};
  }

  static std::array<int, 3> rgb(const imageio::Raster& r, std::int64_t x, std::int64_t y) {
    const std::uint8_t* p = r.data.data() + static_cast<std::size_t>(y) * r.rowBytes() + static_cast<std::size_t>(x) * 4;
    return {p[0], p[1], p[2]};
  }

  static json::Value report(const ToolRun& r) {
    auto v = json::parse(r.out);
    EXPECT_TRUE(v) << r.out;
    return v ? *v : json::Value();
  }

  std::string dir_;
};

// A 4 × 2 picture whose pixels are all distinct: red grows to the right,
// green downward.
std::array<unsigned char, 3> quadrant(int x, int y) {
  return {static_cast<unsigned char>(40 + 60 * x), static_cast<unsigned char>(40 + 150 * y), 128};
}

}  // namespace

TEST_F(TonesmithRun, UsageAndReadFailures) {
  ToolRun r = run({"a", "b", "0", "0", "", "0", "0", "0", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("Usage: tonesmith <input-image> <output-jpeg|png> <brightness:-1..3>", 0), 0u);
  EXPECT_EQ(r.err.back(), '\n');
  EXPECT_TRUE(r.err.ends_with("[--flip-horizontal] [--edge-softness 0..1] [--measure]\n")) << r.err;

  r = run(positional(path("missing.jpg"), path("o.jpg")));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot read image: " + path("missing.jpg") + "\n");
  EXPECT_EQ(r.out, "");

  std::ofstream(path("garbage.jpg")) << "this is not a picture at all";
  r = run(positional(path("garbage.jpg"), path("o.jpg")));
  EXPECT_EQ(r.err, "Cannot read image: " + path("garbage.jpg") + "\n");

  // A JPEG cut in half keeps a valid header but cannot be decoded.
  std::string whole = makePicture("whole.jpg", 300, 200, quadrant);
  std::string bytes = slurp(whole);
  std::ofstream(path("cut.jpg"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
  r = run(positional(path("cut.jpg"), path("o.jpg")));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot decode image pixels: " + path("cut.jpg") + "\n");
  EXPECT_FALSE(fs::exists(path("o.jpg")));
}

TEST_F(TonesmithRun, FormatChoiceAndReport) {
  std::string in = makeFlat("flat.jpg", 60, 40);
  // Upper-case extension with no --output-format writes PNG.
  ToolRun r = run(positional(in, path("out/a.PNG")));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, path("out/a.PNG") + "\n");
  EXPECT_EQ(slurp(path("out/a.PNG")).substr(1, 3), "PNG");
  // --output-format wins over the name, in any case.
  r = run([&] {
    auto a = positional(in, path("b.png"));
    a.insert(a.end(), {"--output-format", "jpg"});
    return a;
  }());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(path("b.png")).substr(0, 2), "\xFF\xD8");
  auto a = positional(in, path("c.jpg"));
  a.insert(a.end(), {"--output-format", "PNG", "--report-json"});
  r = run(a);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(path("c.jpg")).substr(1, 3), "PNG");
  json::Value rep = report(r);
  EXPECT_EQ(rep["format"], "png");
  EXPECT_EQ(rep["dpi"], 300);

  // JPEG report: every key, sorted, "/" escaped, bitDepth 8, dpi 0.
  a = positional(in, path("d.jpg"));
  a.push_back("--report-json");
  r = run(a);
  ASSERT_EQ(r.status, 0) << r.err;
  auto source = imageio::Source::open(in);
  ASSERT_TRUE(source);
  auto dpi = json::write(json::Value(source->properties().dpiWidth.value_or(0)));
  std::string escaped = path("d.jpg");
  for (std::size_t i = 0; (i = escaped.find('/', i)) != std::string::npos; i += 2) escaped.insert(i, "\\");
  EXPECT_EQ(r.out, "{\"bitDepth\":8,\"dpi\":0,\"format\":\"jpeg\",\"height\":40,\"outputPath\":\"" + escaped +
                       "\",\"sourceBitDepth\":8,\"sourceDpi\":" + *dpi + ",\"sourceHeight\":40,\"sourceWidth\":60,\"width\":60}\n");
}

TEST_F(TonesmithRun, PngDepthAndResolution) {
  std::string deep = makePicture("deep.tif", 30, 20, quadrant, 0, 16);
  auto a = positional(deep, path("deep.png"));
  a.insert(a.end(), {"--report-json"});
  ToolRun r = run(a);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(report(r)["bitDepth"], 16);
  EXPECT_EQ(report(r)["sourceBitDepth"], 16);
  auto source = imageio::Source::open(path("deep.png"));
  ASSERT_TRUE(source);
  EXPECT_EQ(source->properties().bitsPerComponent, 16);
  // 16-bit values pass through unchanged.
  auto raster = source->decode(imageio::Orientation::stored);
  ASSERT_TRUE(raster);
  EXPECT_EQ(raster->data16()[0], 40 * 257 + 3);

  std::string flat = makeFlat("flat.jpg", 30, 20);
  const std::vector<std::pair<std::string, double>> dpis = {
      {"0", 300}, {"-5", 300}, {"auto", 300}, {"0.5", 1}, {"250000", 100000}, {"600", 600}};
  for (const auto& [text, expected] : dpis) {
    a = positional(flat, path("r.png"));
    a.insert(a.end(), {"--dpi", text, "--report-json"});
    r = run(a);
    ASSERT_EQ(r.status, 0) << r.err;
    json::Value rep = report(r);
    EXPECT_EQ(rep["dpi"].get<double>(), expected) << text;
    EXPECT_EQ(rep["bitDepth"], 8);
    auto written = imageio::Source::open(path("r.png"));
    ASSERT_TRUE(written);
    EXPECT_NEAR(written->properties().dpiWidth.value_or(0), expected, expected * 1e-3) << text;
  }
  a = positional(flat, path("s.png"));
  a.insert(a.end(), {"--png-depth", "16", "--report-json"});
  EXPECT_EQ(report(run(a))["bitDepth"], 16);
}

TEST_F(TonesmithRun, SizeLimitNeverEnlarges) {
  std::string in = makeFlat("wide.png", 600, 400);
  auto sized = [&](const std::string& edge) {
    auto a = positional(in, path("o.png"));
    a.insert(a.end(), {edge, "--report-json"});
    json::Value rep = report(run(a));
    return std::make_pair(rep["width"].get<int>(), rep["height"].get<int>());
  };
  EXPECT_EQ(sized("200"), std::make_pair(200, 134));  // 133.33 rounded up by the integral extent
  EXPECT_EQ(sized("1000"), std::make_pair(600, 400));
  EXPECT_EQ(sized("0"), std::make_pair(600, 400));
  EXPECT_EQ(sized("-5"), std::make_pair(600, 400));
  // Flat colour stays flat right up to the borders.
  imageio::Raster small = decodeStored(path("o.png"));
  sized("200");
  small = decodeStored(path("o.png"));
  EXPECT_EQ(rgb(small, 0, 0), (std::array<int, 3>{200, 200, 200}));
  EXPECT_EQ(rgb(small, 199, 133), (std::array<int, 3>{200, 200, 200}));
}

TEST_F(TonesmithRun, OrientationTagsComeOutUpright) {
  // The upright picture is `quadrant`, 4 × 2; each orientation stores it so
  // that applying the tag restores it.
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const bool swapped = orientation >= 5;
    const int sw = swapped ? 2 : 4, sh = swapped ? 4 : 2;
    // Stored pixel (sx, sy) shows upright pixel (ux, uy).
    auto stored = [orientation](int sx, int sy) {
      int ux = 0, uy = 0;
      switch (orientation) {
        case 1: ux = sx, uy = sy; break;
        case 2: ux = 3 - sx, uy = sy; break;
        case 3: ux = 3 - sx, uy = 1 - sy; break;
        case 4: ux = sx, uy = 1 - sy; break;
        case 5: ux = sy, uy = sx; break;
        case 6: ux = 3 - sy, uy = sx; break;
        case 7: ux = 3 - sy, uy = 1 - sx; break;
        case 8: ux = sy, uy = 1 - sx; break;
      }
      return quadrant(ux, uy);
    };
    std::string in = makePicture("o" + std::to_string(orientation) + ".tif", sw, sh, stored, orientation);
    ToolRun r = run(positional(in, path("up.png")));
    ASSERT_EQ(r.status, 0) << r.err;
    imageio::Raster up = decodeStored(path("up.png"));
    ASSERT_EQ(up.width, 4) << orientation;
    ASSERT_EQ(up.height, 2) << orientation;
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 4; ++x) {
        auto q = quadrant(x, y);
        EXPECT_EQ(rgb(up, x, y), (std::array<int, 3>{q[0], q[1], q[2]})) << "orientation " << orientation;
      }
  }
}

TEST_F(TonesmithRun, QuarterTurnsMirrorAndCrop) {
  std::string in = makePicture("q.png", 4, 2, quadrant);
  auto turned = [&](const std::string& rotation, std::vector<std::string> extra = {},
                    std::vector<std::string> crop = {"0", "0", "1", "1"}) {
    auto a = positional(in, path("t.png"), rotation, crop);
    a.insert(a.end(), extra.begin(), extra.end());
    ToolRun r = run(a);
    EXPECT_EQ(r.status, 0) << r.err;
    return decodeStored(path("t.png"));
  };
  auto expectPixel = [&](const imageio::Raster& r, int x, int y, int ux, int uy) {
    auto q = quadrant(ux, uy);
    EXPECT_EQ(rgb(r, x, y), (std::array<int, 3>{q[0], q[1], q[2]})) << x << "," << y;
  };
  // Clockwise: the top-left corner goes to the top-right.
  imageio::Raster cw = turned("90");
  ASSERT_EQ(cw.width, 2);
  ASSERT_EQ(cw.height, 4);
  expectPixel(cw, 1, 0, 0, 0);
  expectPixel(cw, 0, 0, 0, 1);
  expectPixel(cw, 0, 3, 3, 1);
  // -90 and 270 are the same counter-clockwise turn.
  for (const char* ccwText : {"-90", "270"}) {
    imageio::Raster ccw = turned(ccwText);
    ASSERT_EQ(ccw.width, 2);
    expectPixel(ccw, 0, 3, 0, 0);
    expectPixel(ccw, 1, 0, 3, 1);
  }
  imageio::Raster half = turned("180");
  expectPixel(half, 0, 0, 3, 1);
  // Mirror, then the crop is taken on the mirrored picture: the left half
  // now shows what was on the right.
  imageio::Raster mirrored = turned("0", {"--flip-horizontal"}, {"0", "0", "0.5", "1"});
  ASSERT_EQ(mirrored.width, 2);
  expectPixel(mirrored, 0, 0, 3, 0);
  expectPixel(mirrored, 1, 1, 2, 1);
  // crop-y 0 with crop-height 0.5 keeps the top half.
  imageio::Raster top = turned("0", {}, {"0", "0", "1", "0.5"});
  ASSERT_EQ(top.height, 1);
  expectPixel(top, 2, 0, 2, 0);
  // A quarter turn and then a crop of the turned picture.
  imageio::Raster turnedCrop = turned("90", {}, {"0", "0.5", "1", "0.5"});
  ASSERT_EQ(turnedCrop.height, 2);
  expectPixel(turnedCrop, 1, 0, 2, 0);
}

TEST_F(TonesmithRun, StraighteningCropsAwayTheEmptyCorners) {
  std::string in = makeFlat("flat.png", 400, 300, 230);
  auto a = positional(in, path("s.png"), "92.5");
  a.push_back("--report-json");
  ToolRun r = run(a);
  ASSERT_EQ(r.status, 0) << r.err;
  json::Value rep = report(r);
  int w = rep["width"], h = rep["height"];
  // The quarter turn makes it 300 × 400; straightening keeps that aspect.
  EXPECT_NEAR(static_cast<double>(w) / h, 0.75, 0.01);
  EXPECT_LT(h, 400);
  EXPECT_GT(h, 340);
  imageio::Raster s = decodeStored(path("s.png"));
  for (auto [x, y] : {std::pair<int, int>{0, 0}, {w - 1, 0}, {0, h - 1}, {w - 1, h - 1}})
    EXPECT_GE(rgb(s, x, y)[0], 225) << "corner " << x << "," << y;

  // A square turned by 45° keeps a square of about side / √2.
  std::string square = makeFlat("square.png", 200, 200);
  a = positional(square, path("sq.png"), "45");
  a.insert(a.end(), {"--fine-rotation", "45", "--report-json"});
  rep = report(run(a));
  EXPECT_NEAR(rep["width"].get<double>(), 200 / std::sqrt(2.0), 2.0);
  EXPECT_EQ(rep["width"], rep["height"]);

  // Fine rotations at or below 0.0001° do nothing.
  a = positional(square, path("tiny.png"));
  a.insert(a.end(), {"--fine-rotation", "0.00005", "--orthogonal-rotation", "0", "--report-json"});
  EXPECT_EQ(report(run(a))["width"], 200);
}

// An orthogonal rotation within 0.0001° of zero (as the rotation rule
// leaves it for a tiny fine rotation) turns nothing: the picture keeps its
// size and no empty row or column appears at its border.
TEST_F(TonesmithRun, TinyOrthogonalRotationsAreNone) {
  std::string in = makeFlat("flat.png", 120, 80, 230);
  const std::vector<std::vector<std::string>> cases = {
      {"0", "--fine-rotation", "0.00005"},
      {"0", "--fine-rotation", "-0.0001"},
      {"0", "--orthogonal-rotation", "0.00009"},
      {"0.00005"},
  };
  for (const auto& c : cases) {
    auto a = positional(in, path("t.png"), c[0]);
    a.insert(a.end(), c.begin() + 1, c.end());
    a.push_back("--report-json");
    ToolRun r = run(a);
    ASSERT_EQ(r.status, 0) << r.err;
    json::Value rep = report(r);
    EXPECT_EQ(rep["width"], 120) << c.back();
    EXPECT_EQ(rep["height"], 80) << c.back();
    imageio::Raster t = decodeStored(path("t.png"));
    int dark = 0;
    for (std::int64_t x = 0; x < t.width; ++x) dark += rgb(t, x, 0)[0] < 225 || rgb(t, x, t.height - 1)[0] < 225;
    for (std::int64_t y = 0; y < t.height; ++y) dark += rgb(t, 0, y)[0] < 225 || rgb(t, t.width - 1, y)[0] < 225;
    EXPECT_EQ(dark, 0) << c.back();
  }
}

TEST_F(TonesmithRun, GeometryFailures) {
  std::string strip = makeFlat("strip.png", 400, 1);
  ToolRun r = run(positional(strip, path("x.png"), "3"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Auto-crop after fine rotation is empty\n");
  EXPECT_EQ(r.out, "");
  std::string small = makeFlat("small.png", 10, 10);
  r = run(positional(small, path("x.png"), "0", {"0", "0", "0.02", "1"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Crop rectangle is empty\n");
  EXPECT_FALSE(fs::exists(path("x.png")));
}

TEST_F(TonesmithRun, SoftEdgesBlendOnlyTheBorder) {
  // Vertical stripes of 0 and 255, two pixels wide.
  std::string in = makePicture("stripes.png", 300, 200, [](int x, int) {
    unsigned char v = (x / 2) % 2 ? 255 : 0;
    return std::array<unsigned char, 3>{v, v, v};
  });
  auto a = positional(in, path("soft.png"));
  a.insert(a.end(), {"--edge-softness", "1"});
  ToolRun r = run(a);
  ASSERT_EQ(r.status, 0) << r.err;
  imageio::Raster soft = decodeStored(path("soft.png"));
  // Band 12 px: the border is blurred to grey, the middle is untouched.
  int edge = rgb(soft, 1, 100)[0];
  EXPECT_GT(edge, 60);
  EXPECT_LT(edge, 200);
  EXPECT_EQ(rgb(soft, 150, 100)[0], 255);
  EXPECT_EQ(rgb(soft, 152, 100)[0], 0);
}

TEST_F(TonesmithRun, OutputsAreReplacedWholeOrNotAtAll) {
  std::string in = makeFlat("flat.png", 50, 50);
  // Replacing an existing file, through a directory created on the way.
  std::string png = path("new/dir/out.png"), jpg = path("new/dir/out.jpg");
  ASSERT_EQ(run(positional(in, png)).status, 0);
  ASSERT_EQ(run(positional(in, jpg)).status, 0);
  std::string other = makeFlat("other.png", 20, 20);
  ASSERT_EQ(run(positional(other, png)).status, 0);
  ASSERT_EQ(run(positional(other, jpg)).status, 0);
  EXPECT_EQ(decodeStored(png).width, 20);
  EXPECT_EQ(decodeStored(jpg).width, 20);
  for (const auto& entry : fs::directory_iterator(path("new/dir")))
    EXPECT_TRUE(entry.path().filename() == "out.png" || entry.path().filename() == "out.jpg") << entry.path();

  // A directory that cannot be made: the parent is a regular file.
  std::ofstream(path("blocker")) << "x";
  ToolRun r = run(positional(in, path("blocker/sub/out.jpg")));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Cannot write JPEG: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  EXPECT_EQ(r.out, "");
  r = run(positional(in, path("blocker/sub/out.png")));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Cannot write PNG: ", 0), 0u) << r.err;

  // An output path that is a directory is left alone.
  fs::create_directory(path("taken.png"));
  r = run(positional(in, path("taken.png")));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Cannot write PNG: ", 0), 0u) << r.err;
  EXPECT_TRUE(fs::is_directory(path("taken.png")));
  EXPECT_FALSE(fs::exists(path(".taken.png.partial")));
}

TEST_F(TonesmithRun, OnlyRegularFilesAreReplacedAndTemporariesNeverFollowLinks) {
  std::string in = makeFlat("flat.png", 40, 30);
  ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
  // A device node needs root; /dev/null's numbers make it harmless.
  const bool device = ::mknod(path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  for (const std::string name : {"pipe", "null"}) {
    if (name == "null" && !device) continue;
    for (const std::string format : {"png", "jpg"}) {
      auto args = positional(in, path(name));
      args.insert(args.end(), {"--output-format", format});
      const ToolRun r = run(args);
      EXPECT_EQ(r.status, 1) << name << format;
      EXPECT_EQ(r.err, std::string(format == "png" ? "Cannot write PNG: " : "Cannot write JPEG: ") + "Cannot write " +
                           path(name) + ": Not a regular file\n");
      struct stat info;
      ASSERT_EQ(::lstat(path(name).c_str(), &info), 0);
      EXPECT_TRUE(name == "pipe" ? S_ISFIFO(info.st_mode) : S_ISCHR(info.st_mode)) << name;
    }
  }

  // A link planted under the PNG's temporary name: what it points to is
  // left alone, the output is a regular file and no temporary remains.
  std::ofstream(path("victim")) << "precious";
  ASSERT_EQ(::symlink(path("victim").c_str(), path(".out.png.partial").c_str()), 0);
  ASSERT_EQ(run(positional(in, path("out.png"))).status, 0);
  EXPECT_EQ(slurp(path("victim")), "precious");
  EXPECT_EQ(decodeStored(path("out.png")).width, 40);
  EXPECT_FALSE(fs::exists(fs::symlink_status(path(".out.png.partial"))));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path("out.png"))));

  // An output that is a link to a picture: the picture is replaced, the link stays.
  ASSERT_EQ(::symlink("out.png", path("link.png").c_str()), 0);
  ASSERT_EQ(run(positional(makeFlat("small.png", 8, 6), path("link.png"))).status, 0);
  EXPECT_TRUE(fs::is_symlink(path("link.png")));
  EXPECT_EQ(decodeStored(path("out.png")).width, 8);
}
