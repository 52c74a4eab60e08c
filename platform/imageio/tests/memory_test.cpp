// Decodes in bytes: what a decode holds is told before it starts and kept
// to the caller's budget; files whose data ends early fail before their
// memory is committed.
#include "imageio.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <vips/vips.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "picture_bombs.h"

namespace {

namespace fs = std::filesystem;
using imageio::Orientation;
using imageio::Source;

class MemoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(imageio::initialize()); }
  void SetUp() override {
    char pattern[] = "/tmp/imageio_memory_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // A 64 × 32 RGB gradient saved by vips as `name` (with saver options).
  std::string picture(const std::string& name, bool sixteen = false, int orientation = 0) {
    std::vector<std::uint16_t> samples;
    for (int i = 0; i < 64 * 32 * 3; ++i) samples.push_back(static_cast<std::uint16_t>(i * 7 % 65536));
    VipsImage* raw = vips_image_new_from_memory_copy(samples.data(), samples.size() * 2, 64, 32, 3, VIPS_FORMAT_USHORT);
    VipsImage* image = nullptr;
    if (sixteen) {
      vips_copy(raw, &image, "interpretation", VIPS_INTERPRETATION_RGB16, nullptr);
    } else {
      VipsImage* shifted = nullptr;
      vips_rshift_const1(raw, &shifted, 8, nullptr);
      vips_cast(shifted, &image, VIPS_FORMAT_UCHAR, nullptr);
      g_object_unref(shifted);
    }
    g_object_unref(raw);
    if (orientation) vips_image_set_int(image, VIPS_META_ORIENTATION, orientation);
    const std::string path = dir_ + "/" + name;
    EXPECT_EQ(vips_image_write_to_file(image, path.c_str(), nullptr), 0) << vips_error_buffer();
    g_object_unref(image);
    return path.substr(0, path.find('['));
  }

  std::string dir_;
};

TEST_F(MemoryTest, DecodeBytesCountTheRasterAndTheDecodersWholePictureBuffers) {
  constexpr std::uint64_t pixels = 64 * 32;
  struct Case {
    const char* name;
    std::string file;
    Orientation orientation;
    bool sixteen;           // the raster's depth
    std::uint64_t buffers;  // the decoder's, per pixel
    bool turned;            // a copy to turn it upright
  };
  const std::vector<Case> cases = {
      {"baseline JPEG", picture("b.jpg[Q=80]"), Orientation::applied, false, 0, false},
      {"progressive JPEG, 4:2:0 coefficients", picture("p.jpg[Q=80,interlace]"), Orientation::applied, false, 3, false},
      {"progressive JPEG, 4:4:4 coefficients", picture("f.jpg[Q=95,interlace,subsample-mode=off]"),
       Orientation::applied, false, 6, false},
      {"plain PNG", picture("p.png"), Orientation::applied, false, 0, false},
      {"interlaced 16-bit PNG, its whole image", picture("i.png[interlace]", true), Orientation::applied, true, 6,
       false},
      {"16-bit TIFF", picture("s.tif", true), Orientation::applied, true, 0, false},
      {"turned JPEG", picture("t.jpg", false, 6), Orientation::applied, false, 0, true},
      {"turned JPEG, as stored", picture("u.jpg", false, 6), Orientation::stored, false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto source = Source::open(c.file);
    ASSERT_TRUE(source);
    const std::uint64_t depth = c.sixteen ? 8 : 4;
    const std::uint64_t decode = pixels * (depth + c.buffers + (c.turned ? 3 : 0));
    EXPECT_EQ(source->decodeBytes(c.orientation), decode);
    // The budget is inclusive.
    EXPECT_TRUE(source->decode(c.orientation, {.maxBytes = decode}));
    EXPECT_FALSE(source->decode(c.orientation, {.maxBytes = decode - 1}));
    EXPECT_FALSE(source->decodeInBackground(c.orientation, {.maxBytes = decode - 1}, true));
    // A thumbnail of full size is a decode; a smaller one holds its raster,
    // the decoder's buffers and, to turn it, a copy of the raster.
    EXPECT_EQ(source->thumbnailBytes(64, c.orientation), decode);
    EXPECT_EQ(source->resizedBytes(64, 32, Orientation::stored), source->decodeBytes(Orientation::stored));
    const std::uint64_t small = 16 * 8 * depth * (c.turned ? 2 : 1) + pixels * c.buffers;
    EXPECT_EQ(source->thumbnailBytes(16, c.orientation), small);
    EXPECT_TRUE(source->thumbnail(16, c.orientation, {.maxBytes = small}));
    EXPECT_FALSE(source->thumbnail(16, c.orientation, {.maxBytes = small - 1}));
  }
}

TEST_F(MemoryTest, HugeClaimsAreTooExpensiveWhateverTheData) {
  // 15000 × 15000 16-bit RGB, interlaced: the whole image (1.35 GB) must be
  // held even for a thumbnail. 300000 × 1 is cheap.
  const std::string interlaced =
      picture_bombs::put(dir_ + "/i.png", picture_bombs::pngClaiming(15000, 15000, 16, 2, true, true));
  auto source = Source::open(interlaced);
  ASSERT_TRUE(source);
  EXPECT_EQ(source->thumbnailBytes(256, Orientation::applied), 256ull * 256 * 8 + 15000ull * 15000 * 6);
  EXPECT_EQ(source->decodeBytes(Orientation::applied), 15000ull * 15000 * (8 + 6));
  const std::string wide = picture_bombs::put(dir_ + "/w.png", picture_bombs::pngClaiming(300000, 1, 8, 0, false, true));
  EXPECT_EQ(Source::open(wide)->thumbnailBytes(1000, Orientation::applied), 1000ull * 1 * 4);
}

// A field of /proc/self/status in kilobytes ("VmHWM", "VmRSS"); -1 when
// it cannot be read.
long statusKilobytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// How far the resident set rose above where it stood while `work` ran, in
// kilobytes: the peak is reset first (Linux 4.0 and later).
long growthKilobytes(const std::function<void()>& work) {
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = statusKilobytes("VmRSS");
  work();
  return statusKilobytes("VmHWM") - before;
}

TEST_F(MemoryTest, DataThatEndsEarlyFailsBeforeItsMemoryIsCommitted) {
  // A JPEG whose frame header claims 8000 × 8000 and whose data stops after
  // the scan header: 256 MB of raster for the two-part decode.
  VipsImage* black = nullptr;
  ASSERT_EQ(vips_black(&black, 16, 16, "bands", 3, nullptr), 0);
  void* buffer = nullptr;
  std::size_t size = 0;
  ASSERT_EQ(vips_jpegsave_buffer(black, &buffer, &size, "strip", TRUE, nullptr), 0);
  g_object_unref(black);
  std::vector<std::uint8_t> jpeg(static_cast<std::uint8_t*>(buffer), static_cast<std::uint8_t*>(buffer) + size);
  g_free(buffer);
  for (std::size_t i = 2; i + 9 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = jpeg[i + 7] = 8000 >> 8;
      jpeg[i + 6] = jpeg[i + 8] = 8000 & 0xFF;
    }
  for (std::size_t i = 2; i + 3 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
      jpeg.resize(i + 2 + (jpeg[i + 2] << 8 | jpeg[i + 3]));
      break;
    }
  std::vector<std::string> files = picture_bombs::bombs(dir_);
  files.push_back(picture_bombs::put(dir_ + "/cut.jpg", jpeg));
  if (statusKilobytes("VmHWM") < 0) GTEST_SKIP() << "no peak memory figure in /proc";
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    auto source = Source::open(file);
    ASSERT_TRUE(source);
    EXPECT_GE(source->properties().pixelWidth, 8000);
    // No budget: only the data check stands between these and gigabytes.
    const long growth = growthKilobytes([&] {
      auto pending = source->decodeInBackground(Orientation::applied, {}, true);
      EXPECT_FALSE(pending && pending->finish());
      pending.reset();
      EXPECT_FALSE(source->decode(Orientation::applied));
      EXPECT_FALSE(source->thumbnail(500, Orientation::applied));
      EXPECT_FALSE(source->resized(700, 700, Orientation::applied));
    });
    EXPECT_LT(growth, 64 * 1024);
  }
}

}  // namespace
