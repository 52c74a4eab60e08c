// The strip encoder against libjpeg encoding the whole picture at once (via
// vips): the same pixels after decoding, for sizes that end strips and
// blocks anywhere, with and without chroma subsampling.
#include "jpeg_strips.h"

#include <gtest/gtest.h>
#include <vips/vips.h>

#include <cstring>
#include <random>

namespace {

using Bytes = std::vector<std::uint8_t>;

// RGBA noise over a gradient, so that blocks differ and DC values drift.
Bytes pictureRgba(int width, int height) {
  Bytes rgba(std::size_t(width) * height * 4);
  std::mt19937 random(11);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &rgba[(std::size_t(y) * width + x) * 4];
      p[0] = std::uint8_t((x * 255 / width + random() % 40) % 256);
      p[1] = std::uint8_t((y * 255 / height + random() % 40) % 256);
      p[2] = std::uint8_t(random() % 256);
      p[3] = std::uint8_t(random() % 256);  // ignored
    }
  return rgba;
}

imageio::RowSource rowsOf(const Bytes& rgba, int width, int height) {
  imageio::RowSource source{width, height, 8, {}};
  source.produce = [&rgba, width](std::int64_t top, std::int64_t rows, std::uint8_t* destination,
                                  std::size_t rowBytes) {
    for (std::int64_t y = 0; y < rows; ++y)
      std::memcpy(destination + std::size_t(y) * rowBytes, &rgba[std::size_t(top + y) * width * 4],
                  std::size_t(width) * 4);
  };
  return source;
}

Bytes decoded(const void* jpeg, std::size_t size) {
  VipsImage* image = nullptr;
  if (vips_jpegload_buffer(const_cast<void*>(jpeg), size, &image, nullptr) != 0) return {};
  std::size_t length = 0;
  void* pixels = vips_image_write_to_memory(image, &length);
  Bytes out(static_cast<std::uint8_t*>(pixels), static_cast<std::uint8_t*>(pixels) + length);
  g_free(pixels);
  g_object_unref(image);
  return out;
}

// The whole picture encoded in one go by libjpeg, then decoded.
Bytes referencePixels(const Bytes& rgba, int width, int height, int quality) {
  VipsImage* memory = vips_image_new_from_memory(rgba.data(), rgba.size(), width, height, 4, VIPS_FORMAT_UCHAR);
  VipsImage* rgb = nullptr;
  EXPECT_EQ(vips_extract_band(memory, &rgb, 0, "n", 3, nullptr), 0);
  void* jpeg = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(vips_jpegsave_buffer(rgb, &jpeg, &size, "Q", quality, "strip", TRUE, nullptr), 0);
  Bytes out = decoded(jpeg, size);
  g_free(jpeg);
  g_object_unref(rgb);
  g_object_unref(memory);
  return out;
}

int restartMarkers(const Bytes& jpeg) {
  int count = 0;
  for (std::size_t i = 0; i + 1 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] >= 0xD0 && jpeg[i + 1] <= 0xD7) ++count;
  return count;
}

TEST(JpegStrips, DecodeToTheSamePixelsAsOneScan) {
  ASSERT_EQ(VIPS_INIT("jpeg_strips_test"), 0);
  struct Case {
    int width, height, quality, strips;
  } cases[] = {
      {301, 1000, 94, 4},  // full size chroma, a partial last strip
      {129, 513, 75, 3},   // subsampled, 513 = two strips and one row
      {64, 512, 90, 2},    // strips end exactly at the bottom
      {40, 300, 100, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " Q" << c.quality);
    const Bytes rgba = pictureRgba(c.width, c.height);
    auto jpeg = imageio::encodeJpegInStrips(rowsOf(rgba, c.width, c.height), c.quality);
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(restartMarkers(*jpeg), c.strips - 1);
    const Bytes pixels = decoded(jpeg->data(), jpeg->size());
    ASSERT_EQ(pixels.size(), std::size_t(c.width) * c.height * 3);
    EXPECT_TRUE(pixels == referencePixels(rgba, c.width, c.height, c.quality));
  }
}

TEST(JpegStrips, SixteenBitRowsRoundToTheirEightBitValues) {
  const int width = 70, height = 300;
  const Bytes rgba = pictureRgba(width, height);
  Bytes deep(rgba.size() * 2);
  for (std::size_t i = 0; i < rgba.size(); ++i) {
    // Off the exact multiple by up to half a step either way.
    const auto v = static_cast<std::uint16_t>(std::clamp(rgba[i] * 257 + int(i % 257) - 128, 0, 65535));
    std::memcpy(&deep[2 * i], &v, 2);
  }
  imageio::RowSource source{width, height, 16, {}};
  source.produce = [&](std::int64_t top, std::int64_t rows, std::uint8_t* destination, std::size_t rowBytes) {
    for (std::int64_t y = 0; y < rows; ++y)
      std::memcpy(destination + std::size_t(y) * rowBytes, &deep[std::size_t(top + y) * width * 8],
                  std::size_t(width) * 8);
  };
  EXPECT_EQ(imageio::encodeJpegInStrips(source, 94), imageio::encodeJpegInStrips(rowsOf(rgba, width, height), 94));
}

TEST(JpegStrips, AFailingProducerFailsTheEncoding) {
  const Bytes rgba = pictureRgba(50, 900);
  imageio::RowSource source = rowsOf(rgba, 50, 900);
  auto inner = source.produce;
  source.produce = [inner](std::int64_t top, std::int64_t rows, std::uint8_t* destination, std::size_t rowBytes) {
    if (top >= 512) throw std::runtime_error("gone");
    inner(top, rows, destination, rowBytes);
  };
  EXPECT_FALSE(imageio::encodeJpegInStrips(source, 90));
}

TEST(JpegStrips, LayoutRejectsBrokenFiles) {
  const Bytes rgba = pictureRgba(16, 16);
  auto jpeg = imageio::encodeJpegInStrips(rowsOf(rgba, 16, 16), 80);
  ASSERT_TRUE(jpeg);
  auto layout = imageio::jpegLayout(*jpeg);
  ASSERT_TRUE(layout);
  EXPECT_LT(layout->frameHeader, layout->scanHeader);
  EXPECT_EQ(layout->end, jpeg->size() - 2);
  EXPECT_FALSE(imageio::jpegLayout(Bytes(jpeg->begin(), jpeg->end() - 1)));   // no EOI
  EXPECT_FALSE(imageio::jpegLayout(Bytes(jpeg->begin(), jpeg->begin() + 40)));  // cut in the headers
  Bytes longSegment = *jpeg;
  longSegment[4] = 0xFF;  // the first segment's length runs past the end
  EXPECT_FALSE(imageio::jpegLayout(longSegment));
  EXPECT_FALSE(imageio::jpegLayout({0xFF, 0xD8, 0xFF, 0xD9}));  // no frame, no scan
}

}  // namespace
