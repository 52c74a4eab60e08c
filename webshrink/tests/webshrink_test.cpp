#include "webshrink.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vips/vips.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using webshrink::parseMaxEdge;
using webshrink::PixelSize;
using webshrink::targetSize;

std::pair<std::int64_t, std::int64_t> pair(PixelSize size) { return {size.width, size.height}; }

TEST(SizeRules, MaxEdgeArgument) {
  EXPECT_EQ(parseMaxEdge("2048"), 2048);
  EXPECT_EQ(parseMaxEdge("+300"), 300);
  EXPECT_EQ(parseMaxEdge("0"), 1);
  EXPECT_EQ(parseMaxEdge("-5"), 1);
  for (const char* text : {"", "12.5", " 100", "100 ", "1e3", "0x10", "+", "-", "99999999999999999999"})
    EXPECT_EQ(parseMaxEdge(text), 2048) << "'" << text << "'";
}

TEST(SizeRules, ScaledDownNeverUpAndNeverBelowOnePixel) {
  EXPECT_EQ(pair(targetSize({4000, 3000}, 2048)), std::make_pair(2048L, 1536L));
  EXPECT_EQ(pair(targetSize({4000, 3000}, 5000)), std::make_pair(4000L, 3000L));
  EXPECT_EQ(pair(targetSize({3000, 10}, 100)), std::make_pair(100L, 1L));
  EXPECT_EQ(pair(targetSize({500, 500}, parseMaxEdge("0"))), std::make_pair(1L, 1L));
  // A 4000 × 3000 file at 300 dpi is 960 × 720 points.
  EXPECT_EQ(pair(targetSize({960, 720}, 2048)), std::make_pair(960L, 720L));
  EXPECT_EQ(pair(targetSize({333.9, 100.5}, 2048)), std::make_pair(333L, 100L));
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string quoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

std::string slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class WebshrinkRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(VIPS_INIT("webshrink_test"), 0);
    vips_cache_set_max(0);  // files are rewritten under the same name
  }
  void SetUp() override {
    char pattern[] = "/tmp/webshrink_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  Outcome run(const std::vector<std::string>& args) {
    std::string command = quoted(std::string(ORVAN_BIN_DIR) + "/webshrink");
    for (const auto& arg : args) command += " " + quoted(arg);
    command += " >" + quoted(dir_ + "/stdout") + " 2>" + quoted(dir_ + "/stderr");
    Outcome result;
    const int status = std::system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(dir_ + "/stdout");
    result.err = slurp(dir_ + "/stderr");
    return result;
  }

  // A solid image with `bands` (3 or 4) of the given value, saved by vips
  // with saver options in `name` ("x.png", "x.jpg[Q=90]").
  std::string image(const std::string& name, int width, int height, int bands, int value,
                    double dpi = 0, int orientation = 0) {
    std::vector<std::uint8_t> samples(std::size_t(width) * height * bands, std::uint8_t(value));
    VipsImage* raw = vips_image_new_from_memory_copy(samples.data(), samples.size(), width, height,
                                                     bands, VIPS_FORMAT_UCHAR);
    VipsImage* image = nullptr;
    EXPECT_EQ(vips_copy(raw, &image, "interpretation", VIPS_INTERPRETATION_sRGB, "xres",
                        (dpi ? dpi : 72) / 25.4, "yres", (dpi ? dpi : 72) / 25.4, nullptr),
              0);
    g_object_unref(raw);
    if (orientation) vips_image_set_int(image, VIPS_META_ORIENTATION, orientation);
    const std::string path = dir_ + "/" + name;
    EXPECT_EQ(vips_image_write_to_file(image, path.c_str(), nullptr), 0);
    g_object_unref(image);
    return path.substr(0, path.find('['));
  }

  std::string dir_;
};

struct Loaded {
  int width = 0, height = 0;
  double average = 0;
  bool exif = false;
};

Loaded load(const std::string& path) {
  Loaded loaded;
  VipsImage* image = vips_image_new_from_file(path.c_str(), nullptr);
  if (!image) return loaded;
  loaded.width = image->Xsize;
  loaded.height = image->Ysize;
  vips_avg(image, &loaded.average, nullptr);
  loaded.exif = vips_image_get_typeof(image, VIPS_META_EXIF_NAME) != 0;
  g_object_unref(image);
  return loaded;
}

TEST_F(WebshrinkRun, SizeFollowsPointsAndOutputIsExactlyTheJson) {
  const std::string at72 = image("a72.png", 400, 300, 3, 90, 72);
  const std::string at300 = image("a300.png", 400, 300, 3, 90, 300);
  const std::string out = dir_ + "/new/nested/out.jpg";
  Outcome r = run({at72, out, "200"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, R"({"height":150,"width":200})");
  EXPECT_EQ(r.err, "");
  Loaded made = load(out);
  EXPECT_EQ(std::make_pair(made.width, made.height), std::make_pair(200, 150));
  EXPECT_NEAR(made.average, 90, 2);

  // 400 × 300 pixels at 300 dpi are 96 × 72 points: that is the output.
  r = run({at300, out, "2048"});
  EXPECT_EQ(r.out, R"({"height":72,"width":96})");
  EXPECT_EQ(std::make_pair(load(out).width, load(out).height), std::make_pair(96, 72));

  // Not a number: 2048, so nothing is enlarged; 0: one pixel.
  EXPECT_EQ(run({at72, out, "abc"}).out, R"({"height":300,"width":400})");
  const std::string square = image("sq.png", 50, 50, 3, 90);
  EXPECT_EQ(run({square, out, "0"}).out, R"({"height":1,"width":1})");
  EXPECT_EQ(std::make_pair(load(out).width, load(out).height), std::make_pair(1, 1));
}

TEST_F(WebshrinkRun, TransparencyBecomesWhiteAndNoMetadataIsCopied) {
  const std::string clear = image("clear.png", 64, 48, 4, 0);
  const std::string out = dir_ + "/white.jpg";
  ASSERT_EQ(run({clear, out, "32"}).status, 0);
  EXPECT_NEAR(load(out).average, 255, 1);

  // A portrait JPEG recording orientation 6 comes out upright, without EXIF.
  const std::string turned = image("turned.jpg", 120, 80, 3, 128, 0, 6);
  Outcome r = run({turned, out, "60"});
  EXPECT_EQ(r.out, R"({"height":60,"width":40})");
  Loaded made = load(out);
  EXPECT_EQ(std::make_pair(made.width, made.height), std::make_pair(40, 60));
  EXPECT_FALSE(made.exif);
}

TEST_F(WebshrinkRun, FailuresPrintTheirMessageOnly) {
  Outcome r = run({"a", "b"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Usage: webshrink <input-image> <output-jpeg> <max-edge>\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(run({"a", "b", "1", "2"}).err, "Usage: webshrink <input-image> <output-jpeg> <max-edge>\n");

  r = run({dir_ + "/missing.png", dir_ + "/o.jpg", "100"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot read image: " + dir_ + "/missing.png\n");
  EXPECT_EQ(run({dir_, dir_ + "/o.jpg", "100"}).err, "Cannot read image: " + dir_ + "\n");

  // A truncated JPEG is not an image that can be read.
  const std::string whole = image("whole.jpg", 300, 200, 3, 100);
  const std::string data = slurp(whole);
  std::ofstream(dir_ + "/cut.jpg", std::ios::binary).write(data.data(), std::streamsize(data.size() / 2));
  EXPECT_EQ(run({dir_ + "/cut.jpg", dir_ + "/o.jpg", "100"}).err,
            "Cannot read image: " + dir_ + "/cut.jpg\n");

  // A directory where the output goes; an existing file is replaced whole.
  fs::create_directory(dir_ + "/taken.jpg");
  r = run({whole, dir_ + "/taken.jpg", "100"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot create JPEG destination\n");
  EXPECT_EQ(r.out, "");
  std::ofstream(dir_ + "/old.jpg") << "old";
  EXPECT_EQ(run({whole, dir_ + "/old.jpg", "100"}).status, 0);
  EXPECT_EQ(load(dir_ + "/old.jpg").width, 100);
}

TEST_F(WebshrinkRun, OnlyRegularFilesAreReplaced) {
  const std::string in = image("in.png", 40, 30, 3, 90);
  ASSERT_EQ(::mkfifo((dir_ + "/pipe").c_str(), 0600), 0);
  // A device node needs root; /dev/null's numbers make it harmless.
  const bool device = ::mknod((dir_ + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  for (const std::string name : {"pipe", "null"}) {
    if (name == "null" && !device) continue;
    const Outcome r = run({in, dir_ + "/" + name, "100"});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.err, "Cannot create JPEG destination\n") << name;
    EXPECT_EQ(r.out, "");
    struct stat info;
    ASSERT_EQ(::lstat((dir_ + "/" + name).c_str(), &info), 0);
    EXPECT_TRUE(name == "pipe" ? S_ISFIFO(info.st_mode) : S_ISCHR(info.st_mode)) << name;
  }
  // A link to a picture: the picture is replaced, the link stays.
  std::ofstream(dir_ + "/old.jpg") << "old";
  fs::create_symlink("old.jpg", dir_ + "/link.jpg");
  EXPECT_EQ(run({in, dir_ + "/link.jpg", "100"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir_ + "/link.jpg"));
  EXPECT_EQ(load(dir_ + "/old.jpg").width, 40);
}

}  // namespace
