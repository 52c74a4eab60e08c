#include "sharestamp.h"

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
using namespace sharestamp;

std::string repeat(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

TEST(Texts, CutsCountGraphemeClusters) {
  const std::string accented = "e\u0301";  // one character, two code points
  WatermarkText text = cutTexts(repeat("a", 60), "site.org", repeat(accented, 400));
  EXPECT_EQ(text.title, repeat("a", 48));
  EXPECT_EQ(text.callToAction, repeat(accented, 320));
  text = cutTexts(repeat("\U0001F1F5\U0001F1F1", 50) + "x", "d", "");
  EXPECT_EQ(text.title, repeat("\U0001F1F5\U0001F1F1", 48));

  EXPECT_EQ(callToActionFontSize(repeat("x", 72)), 17);
  EXPECT_EQ(callToActionFontSize(repeat("x", 73)), 15);
  EXPECT_EQ(callToActionFontSize(repeat(accented, 72)), 17);  // 144 code points
}

TEST(Texts, DomainCheck) {
  EXPECT_TRUE(namesDomain(cutTexts("t", "site.org", "Read more on site.org today")));
  EXPECT_FALSE(namesDomain(cutTexts("t", "", "anything")));
  EXPECT_FALSE(namesDomain(cutTexts("t", "SITE.ORG", "Read more on site.org")));
  // The cut comes first: a domain after the 320th character is not there.
  EXPECT_FALSE(namesDomain(cutTexts("t", "site.org", repeat("x", 320) + "site.org")));
  EXPECT_TRUE(namesDomain(cutTexts("t", "site.org", repeat("x", 312) + "site.org")));
}

// Titles and calls to action in any script are drawn with real glyphs, not
// boxes: colour emoji, Chinese, Japanese and Korean, Arabic, Hebrew and
// Devanagari, alone and mixed, in both plaque styles.
TEST(Texts, EveryScriptHasAFont) {
  const std::vector<std::pair<std::string, std::string>> samples = {
      {"emoji", "\U0001F600\U0001F44D\U0001F3FD \U0001F1F5\U0001F1F1 \u2764\uFE0F \U0001F468\u200D\U0001F469\u200D\U0001F467"},
      {"Chinese", "\u4F60\u597D\uFF0C\u4E16\u754C \u6444\u5F71"},
      {"Japanese", "\u5199\u771F\u3068\u3072\u3089\u304C\u306A \u30AB\u30BF\u30AB\u30CA"},
      {"Korean", "\uC0AC\uC9C4 \uD55C\uAD6D\uC5B4"},
      {"Arabic", "\u0645\u0631\u062D\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645"},
      {"Hebrew", "\u05E9\u05DC\u05D5\u05DD \u05E2\u05D5\u05DC\u05DD"},
      {"Devanagari", "\u0928\u092E\u0938\u094D\u0924\u0947 \u0926\u0941\u0928\u093F\u092F\u093E"},
  };
  std::string mixed = "Photos";
  for (const auto& [script, text] : samples) mixed += " " + text;
  std::vector<std::pair<std::string, std::string>> all = samples;
  all.push_back({"mixed", mixed});
  for (const auto& [script, text] : all)
    for (const graphics::TextStyle& style : {titleStyle(), callToActionStyle(text)}) {
      const graphics::TextLayout layout(text, style, titleRect.width);
      EXPECT_EQ(layout.unknownGlyphCount(), 0) << script << " at " << style.font.pixelSize;
    }
}

TEST(Geometry, CanvasSizeAndPhotoPlacement) {
  auto size = [](double w, double h) {
    const graphics::Size s = canvasSizeFor({w, h});
    return std::make_pair(s.width, s.height);
  };
  EXPECT_EQ(size(4000, 3000), std::make_pair(1080.0, 810.0));
  EXPECT_EQ(size(6000, 2000), std::make_pair(1080.0, 565.0));
  EXPECT_EQ(size(1080, 1920), std::make_pair(1080.0, 1350.0));
  EXPECT_EQ(size(1000, 1000), std::make_pair(1080.0, 1080.0));

  auto rect = [](graphics::Rect r) { return std::vector<double>{r.x, r.y, r.width, r.height}; };
  EXPECT_EQ(rect(aspectFit({4000, 3000}, {0, 0, 1080, 810})), (std::vector<double>{0, 0, 1080, 810}));
  EXPECT_EQ(rect(aspectFit({6000, 2000}, {0, 0, 1080, 565})),
            (std::vector<double>{0, 102.5, 1080, 360}));
  EXPECT_EQ(rect(aspectFit({1080, 1920}, {0, 0, 1080, 1350})),
            (std::vector<double>{160.3125, 0, 759.375, 1350}));
  // A 300 × 100 logo: 66 × 22, centred vertically in the mark square.
  EXPECT_EQ(rect(aspectFit({300, 100}, markRect)), (std::vector<double>{160, 73, 66, 22}));
  EXPECT_EQ(rect(plaqueRect), (std::vector<double>{142, 32, 796, 104}));
}

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

struct Outcome {
  int status = -1;
  std::string out, err;
};

// The decoded output, rows top first, for probing by canvas coordinates.
struct Output {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
  // (x, y) with y from the bottom, as the layout is written.
  std::array<int, 3> at(int x, int yFromBottom) const {
    const std::size_t i = (std::size_t(height - 1 - yFromBottom) * width + x) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
};

class Stamp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(VIPS_INIT("sharestamp_test"), 0);
    vips_cache_set_max(0);
  }
  void SetUp() override {
    char pattern[] = "/tmp/sharestamp_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  Outcome run(const std::vector<std::string>& args) {
    std::string command = quoted(std::string(ORVAN_BIN_DIR) + "/sharestamp");
    for (const auto& arg : args) command += " " + quoted(arg);
    command += " >" + quoted(dir_ + "/stdout") + " 2>" + quoted(dir_ + "/stderr");
    Outcome result;
    const int status = std::system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(dir_ + "/stdout");
    result.err = slurp(dir_ + "/stderr");
    return result;
  }

  std::string solid(const std::string& name, int width, int height, std::array<int, 3> colour) {
    std::vector<std::uint8_t> samples;
    for (int i = 0; i < width * height; ++i) samples.insert(samples.end(), colour.begin(), colour.end());
    VipsImage* raw = vips_image_new_from_memory_copy(samples.data(), samples.size(), width, height, 3,
                                                     VIPS_FORMAT_UCHAR);
    VipsImage* image = nullptr;
    vips_copy(raw, &image, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
    g_object_unref(raw);
    const std::string path = dir_ + "/" + name;
    EXPECT_EQ(vips_image_write_to_file(image, path.c_str(), nullptr), 0);
    g_object_unref(image);
    return path;
  }

  Output load(const std::string& path) {
    Output output;
    VipsImage* image = vips_image_new_from_file(path.c_str(), nullptr);
    if (!image) return output;
    output.width = image->Xsize;
    output.height = image->Ysize;
    std::size_t size = 0;
    void* pixels = vips_image_write_to_memory(image, &size);
    output.rgb.assign(static_cast<std::uint8_t*>(pixels), static_cast<std::uint8_t*>(pixels) + size);
    g_free(pixels);
    g_object_unref(image);
    return output;
  }

  std::string dir_;
};

const std::string title = "Morning coffee";
const std::string domain = "example.com";
const std::string cta = "Read more on example.com";

void expectNear(std::array<int, 3> actual, std::array<int, 3> expected, int tolerance) {
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

TEST_F(Stamp, CanvasSizesAndPhotoPlacement) {
  const std::array<int, 3> photo{200, 200, 200}, background{10, 10, 10};
  struct Case {
    int width, height, canvasHeight;
  };
  for (const Case c : {Case{400, 300, 810}, Case{600, 200, 565}, Case{270, 480, 1350}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const std::string in = solid("in.png", c.width, c.height, photo);
    const std::string out = dir_ + "/made/out.jpg";
    const Outcome r = run({in, out, title, domain, cta});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out + "\n");
    EXPECT_EQ(r.err, "");
    const Output o = load(out);
    EXPECT_EQ(std::make_pair(o.width, o.height), std::make_pair(1080, c.canvasHeight));
    expectNear(o.at(540, o.height / 2), photo, 3);
    if (c.width == 600) {  // photo 1080 × 360 from y 102.5: bands above and below
      expectNear(o.at(540, o.height - 5), background, 4);
      expectNear(o.at(1070, 50), background, 4);
      expectNear(o.at(1070, 460), photo, 4);
    } else if (c.width == 270) {  // photo 759.375 wide from x 160.3: bands at the sides
      expectNear(o.at(80, 700), background, 4);
      expectNear(o.at(1000, 700), background, 4);
      expectNear(o.at(200, 700), photo, 4);
    } else {
      expectNear(o.at(3, 3), photo, 4);
    }
  }
}

TEST_F(Stamp, PlaqueMarkAndTextStayInsideThePlaque) {
  const std::string in = solid("black.png", 400, 300, {0, 0, 0});
  const std::string out = dir_ + "/out.jpg";
  ASSERT_EQ(run({in, out, title, domain, cta, dir_ + "/no-logo.png"}).status, 0);
  Output o = load(out);
  expectNear(o.at(168, 80), {186, 92, 41}, 8);  // the fallback mark
  int textPixels = 0, strayPixels = 0;
  for (int y = 0; y < o.height; ++y)
    for (int x = 0; x < o.width; ++x) {
      if (o.at(x, y)[0] < 128) continue;
      const bool inMark = x >= 160 && x < 226 && y >= 51 && y < 117;
      const bool inText = x >= 248 && x < 900 && y >= 58 && y < 120;
      if (inText) ++textPixels;
      else if (!inMark) ++strayPixels;
    }
  EXPECT_GT(textPixels, 1000);
  EXPECT_EQ(strayPixels, 0);

  // A 300 × 100 logo is drawn 66 × 22 in the middle of the mark square.
  const std::string logo = solid("logo.png", 300, 100, {0, 255, 0});
  ASSERT_EQ(run({in, out, title, domain, cta, logo}).status, 0);
  o = load(out);
  expectNear(o.at(193, 84), {0, 255, 0}, 6);
  EXPECT_LT(o.at(193, 65)[1], 60);  // below the logo: the plaque
  EXPECT_LT(o.at(168, 80)[0], 60);  // no fallback mark
}

TEST_F(Stamp, AnyTextIsCutAndDrawn) {
  const std::string in = solid("in.jpg", 300, 300, {90, 120, 150});
  const std::string rtl = "\u05E9\u05DC\u05D5\u05DD \u0645\u0631\u062D\u0628\u0627 ";
  const std::string emoji = "\U0001F468\u200D\U0001F469\u200D\U0001F467\U0001F1F5\U0001F1F1\u2615";
  const std::string combining = "Cafe\u0301 Z\u0351\u0352\u0353\u0354a\u0301\u0302\u0303";
  for (const std::string& text : {rtl + emoji + combining, repeat(combining, 30), repeat(rtl, 40),
                                  std::string("bad \xff\xfe bytes")}) {
    const Outcome r = run({in, dir_ + "/t.jpg", text, domain, domain + " " + text});
    EXPECT_EQ(r.status, 0) << r.err;
  }
}

TEST_F(Stamp, FailuresInTheirOrder) {
  const std::string usage =
      "Usage: sharestamp <input-image> <output-jpeg> <watermark-title> <wordpress-domain> "
      "<call-to-action> [logo-path]\n";
  Outcome r = run({"a", "b", "c", "d"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, usage);
  EXPECT_EQ(r.out, "");
  const std::string domainMessage = "The WordPress watermark must contain its destination domain\n";
  const std::string missing = dir_ + "/missing.jpg";
  EXPECT_EQ(run({missing, dir_ + "/o.jpg", title, "", cta}).err, domainMessage);
  EXPECT_EQ(run({missing, dir_ + "/o.jpg", title, "Example.com", cta}).err, domainMessage);
  r = run({missing, dir_ + "/o.jpg", title, domain, cta});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot read image: " + missing + "\n");

  const std::string in = solid("in.png", 40, 30, {1, 2, 3});
  fs::create_directory(dir_ + "/taken.jpg");
  r = run({in, dir_ + "/taken.jpg", title, domain, cta});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Cannot write JPEG: ", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
  // Extra arguments after the logo are ignored.
  EXPECT_EQ(run({in, dir_ + "/o.jpg", title, domain, cta, "", "extra"}).status, 0);
}

TEST_F(Stamp, OnlyRegularFilesAreReplaced) {
  const std::string in = solid("in.png", 40, 30, {1, 2, 3});
  ASSERT_EQ(::mkfifo((dir_ + "/pipe").c_str(), 0600), 0);
  // A device node needs root; /dev/null's numbers make it harmless.
  const bool device = ::mknod((dir_ + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  for (const std::string name : {"pipe", "null"}) {
    if (name == "null" && !device) continue;
    const std::string out = dir_ + "/" + name;
    const Outcome r = run({in, out, title, domain, cta});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.err, "Cannot write JPEG: Cannot write " + out + ": Not a regular file\n");
    EXPECT_EQ(r.out, "");
    struct stat info;
    ASSERT_EQ(::lstat(out.c_str(), &info), 0);
    EXPECT_TRUE(name == "pipe" ? S_ISFIFO(info.st_mode) : S_ISCHR(info.st_mode)) << name;
  }
}

}  // namespace
