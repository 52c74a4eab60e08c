// Decoding in two parts against the plain decode: the same pixels for each
// chroma layout and for RGB-coded JPEGs, and damage still fails.
#include "jpeg_parts.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <vips/vips.h>

#include <fstream>
#include <random>

#include "imageio.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string tempPath(const std::string& name) {
  return "/tmp/jpeg_parts_test." + std::to_string(::getpid()) + "." + name;
}

// A noisy gradient saved as JPEG with the given chroma subsampling.
std::string writeJpeg(const std::string& name, int width, int height, const char* subsample, bool rgb = false) {
  Bytes rgbBytes(std::size_t(width) * height * 3);
  std::mt19937 random(5);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &rgbBytes[(std::size_t(y) * width + x) * 3];
      p[0] = std::uint8_t((x * 255 / width + random() % 50) % 256);
      p[1] = std::uint8_t((y * 255 / height + random() % 50) % 256);
      p[2] = std::uint8_t((x + y + random() % 30) % 256);
    }
  VipsImage* image = vips_image_new_from_memory_copy(rgbBytes.data(), rgbBytes.size(), width, height, 3,
                                                     VIPS_FORMAT_UCHAR);
  const std::string path = tempPath(name);
  void* buffer = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(vips_jpegsave_buffer(image, &buffer, &size, "Q", 85, "subsample_mode",
                                 std::string(subsample) == "on" ? VIPS_FOREIGN_SUBSAMPLE_ON : VIPS_FOREIGN_SUBSAMPLE_OFF,
                                 nullptr),
            0);
  g_object_unref(image);
  Bytes file(static_cast<std::uint8_t*>(buffer), static_cast<std::uint8_t*>(buffer) + size);
  g_free(buffer);
  if (rgb) {
    // An Adobe marker saying the components are stored untransformed turns
    // the same data into an RGB-coded file: other pixels, decoded either way.
    const std::uint8_t adobe[] = {0xFF, 0xEE, 0x00, 0x0E, 'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 0};
    file.insert(file.begin() + 2, adobe, adobe + sizeof adobe);
  }
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  return path;
}

Bytes inParts(const std::string& path) {
  auto source = imageio::Source::open(path);
  if (!source) return {};
  auto pending = source->decodeInBackground(imageio::Orientation::applied, {}, true);
  if (!pending || !pending->finish()) return {};
  return Bytes(pending->data(), pending->data() + pending->rowBytes() * std::size_t(pending->height()));
}

Bytes plain(const std::string& path) {
  auto source = imageio::Source::open(path);
  auto raster = source ? source->decode(imageio::Orientation::applied) : std::nullopt;
  return raster ? raster->data : Bytes{};
}

TEST(JpegParts, SameRowsAsAPlainDecode) {
  ASSERT_TRUE(imageio::initialize());
  struct Case {
    int width, height;
    const char* subsample;
    bool rgb;
  } cases[] = {{333, 517, "on", false}, {256, 400, "off", false}, {95, 130, "on", false}, {200, 300, "off", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.subsample << (c.rgb ? " rgb" : ""));
    const std::string path = writeJpeg("same.jpg", c.width, c.height, c.subsample, c.rgb);
    ASSERT_TRUE(imageio::splittableJpeg(path, c.width, c.height));
    const Bytes expected = plain(path);
    ASSERT_EQ(expected.size(), std::size_t(c.width) * c.height * 4);
    EXPECT_TRUE(inParts(path) == expected);
    ::unlink(path.c_str());
  }
}

TEST(JpegParts, DamageFailsEitherPart) {
  ASSERT_TRUE(imageio::initialize());
  const std::string path = writeJpeg("damaged.jpg", 300, 600, "on");
  std::ifstream in(path, std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  // Cut in the lower part, then in the upper part.
  for (double keep : {0.9, 0.3}) {
    SCOPED_TRACE(keep);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(double(file.size()) * keep));
    auto source = imageio::Source::open(path);
    ASSERT_TRUE(source);
    auto pending = source->decodeInBackground(imageio::Orientation::applied, {}, true);
    ASSERT_TRUE(pending);
    EXPECT_FALSE(pending->finish());
  }
  ::unlink(path.c_str());
}

TEST(JpegParts, OnlyFilesThatSplitExactly) {
  ASSERT_TRUE(imageio::initialize());
  const std::string path = writeJpeg("size.jpg", 120, 90, "off");
  EXPECT_TRUE(imageio::splittableJpeg(path, 120, 90));
  EXPECT_FALSE(imageio::splittableJpeg(path, 120, 91));  // not the size opened
  EXPECT_FALSE(imageio::splittableJpeg(tempPath("missing.jpg"), 120, 90));
  // A progressive file is read in full before its first row anyway.
  VipsImage* image = nullptr;
  ASSERT_EQ(vips_jpegload(path.c_str(), &image, nullptr), 0);
  const std::string progressive = tempPath("progressive.jpg");
  ASSERT_EQ(vips_jpegsave(image, progressive.c_str(), "interlace", TRUE, nullptr), 0);
  g_object_unref(image);
  EXPECT_FALSE(imageio::splittableJpeg(progressive, 120, 90));
  EXPECT_EQ(imageio::jpegSplitRow(1000) % 16, 0);
  ::unlink(path.c_str());
  ::unlink(progressive.c_str());
}

}  // namespace
