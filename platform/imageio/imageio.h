// Image files: properties, full-size and thumbnail decoding with or without
// the recorded orientation, JPEG and PNG encoding. Built on libvips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace imageio {

// Starts the image library once per process (safe to call repeatedly).
// Programs call it before anything else here; it returns false when the
// library cannot start.
bool initialize();

// What a file records about its first image, before any decoding.
struct Properties {
  std::int64_t pixelWidth = 0;   // as stored, before orientation
  std::int64_t pixelHeight = 0;
  std::optional<double> dpiWidth;   // only when the file records a resolution
  std::optional<double> dpiHeight;
  int bitsPerComponent = 8;  // 8, 16, 32 as stored
  int orientation = 1;       // EXIF orientation 1..8 (1 when absent or invalid)
  bool hasAlpha = false;
  std::string format;        // "jpeg", "png", "tiff", "heif", "webp", ...
};

// A decoded raster: interleaved RGBA, rows top first, no padding.
// 8-bit rasters hold one byte per component; 16-bit rasters one native-endian
// uint16_t per component (stored in `data` as bytes). Alpha is 255 / 65535
// where the file has none. Grey and CMYK images are converted to RGB.
struct Raster {
  std::int64_t width = 0;
  std::int64_t height = 0;
  int bitsPerComponent = 8;  // 8 or 16
  std::vector<std::uint8_t> data;

  std::size_t bytesPerPixel() const { return bitsPerComponent == 16 ? 8 : 4; }
  std::size_t rowBytes() const { return static_cast<std::size_t>(width) * bytesPerPixel(); }
  const std::uint16_t* data16() const { return reinterpret_cast<const std::uint16_t*>(data.data()); }
  std::uint16_t* data16() { return reinterpret_cast<std::uint16_t*>(data.data()); }
};

enum class Orientation {
  applied,  // the recorded orientation is applied: pixels come out upright
  stored,   // the raster as stored in the file
};

struct DecodeLimits {
  // Decoding is refused when width × height exceeds this (decompression
  // bombs); 0 means no limit.
  std::uint64_t maxPixels = 0;
};

// An opened image file. Opening reads only the header.
class Source {
 public:
  // Absent when the file cannot be opened or is not an image in a known format.
  static std::unique_ptr<Source> open(const std::string& path);
  ~Source();
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  const Properties& properties() const { return properties_; }

  // The whole image at full resolution. Absent when decoding fails
  // (truncated or corrupt data, over the pixel limit).
  std::optional<Raster> decode(Orientation orientation, const DecodeLimits& limits = {}) const;

  // The image scaled so that its longer side is at most maxEdge (never
  // enlarged), decoded with shrink-on-load where the format allows and
  // finished with a high-quality (Lanczos) reduction. Never uses an embedded
  // preview.
  std::optional<Raster> thumbnail(int maxEdge, Orientation orientation,
                                  const DecodeLimits& limits = {}) const;

 private:
  struct Impl;
  explicit Source(std::unique_ptr<Impl> impl, Properties properties);
  std::unique_ptr<Impl> impl_;
  Properties properties_;
};

// JPEG with quality on the 0..1 scale, sRGB, no metadata. Alpha is dropped.
std::optional<std::vector<std::uint8_t>> encodeJpeg(const Raster& raster, double quality);

// PNG of the RGB components (alpha dropped) with 8 or 16 bits per component
// and a resolution in dots per inch recorded as pHYs.
std::optional<std::vector<std::uint8_t>> encodePng(const Raster& raster, int bitsPerComponent,
                                                   double dpi);

}  // namespace imageio
