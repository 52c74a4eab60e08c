// Image files: properties, full-size and thumbnail decoding with or without
// the recorded orientation, JPEG and PNG encoding. Built on libvips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace imageio {

class PendingRaster;
class ColourConversion;

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
//
// Colours come out in sRGB: a picture with an embedded ICC profile (RGB,
// grey or CMYK, 8 or 16 bits) is converted with lcms2, relative
// colorimetric with black-point compensation. Untagged and sRGB-tagged
// pictures are taken as they are, at no cost, and so is a picture whose
// profile is damaged or does not fit it (CMYK without a usable profile gets
// a generic CMYK conversion).
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

// A zeroed raster of the given size (8 or 16 bits per component), its
// memory on huge pages where the system has them, so that a full-size
// picture commits in a few dozen page faults rather than tens of thousands.
// Throws std::bad_alloc when memory runs out.
Raster zeroedRaster(std::int64_t width, std::int64_t height, int bitsPerComponent = 8);

enum class Orientation {
  applied,  // the recorded orientation is applied: pixels come out upright
  stored,   // the raster as stored in the file
};

struct DecodeLimits {
  // Decoding is refused when width × height exceeds this (decompression
  // bombs); 0 means no limit.
  std::uint64_t maxPixels = 0;
  // Decoding is refused, before any pixel memory is set aside, when the
  // memory it would hold at its peak (Source::decodeBytes and its
  // siblings) exceeds this many bytes; 0 means no limit.
  std::uint64_t maxBytes = 0;
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

  // The memory, in bytes, that decode, thumbnail and resized (with the
  // same arguments) hold at their peak, told from the header alone so that
  // a caller can budget before it decodes: the raster returned (width ×
  // height × 4 components × 1 or 2 bytes), plus the whole-picture buffers
  // the file's decoder keeps on the way: every DCT coefficient of a
  // progressive JPEG (2 bytes each), the whole image of an interlaced PNG
  // (stored components × bytes per sample), HEIF planes and their
  // conversion, WebP and other whole frames, and the stored picture copied
  // to turn it upright when the orientation is applied. Streaming decoders
  // (baseline JPEG, plain PNG, TIFF) add nothing; libvips' few strip
  // buffers are not counted. decodeInBackground holds what decode holds.
  std::uint64_t decodeBytes(Orientation orientation) const;
  std::uint64_t thumbnailBytes(int maxEdge, Orientation orientation) const;
  std::uint64_t resizedBytes(std::int64_t width, std::int64_t height, Orientation orientation) const;

  // The whole image at full resolution. Absent when decoding fails
  // (truncated or corrupt data, over the pixel or byte limit). A PNG too
  // short for the picture its header declares fails at once, before any
  // pixel memory is set aside.
  std::optional<Raster> decode(Orientation orientation, const DecodeLimits& limits = {}) const;

  // The same decode, run on a thread of its own: the raster's rows become
  // readable top first as they are decoded, so work on the top of the
  // picture can start before the bottom is in. Absent when decoding cannot
  // start (over the pixel limit, unreadable file, no memory); a failure
  // later on is told by PendingRaster::finish.
  // With `wholePictureFirst` the caller waits for the whole picture
  // before it reads any row: a JPEG is then decoded in two parts on two
  // threads (the same pixels, rows no longer arrive strictly top first).
  std::shared_ptr<PendingRaster> decodeInBackground(Orientation orientation, const DecodeLimits& limits = {},
                                                    bool wholePictureFirst = false) const;

  // The image scaled so that its longer side is at most maxEdge (never
  // enlarged), decoded with shrink-on-load where the format allows and
  // finished with a high-quality (Lanczos) reduction. Never uses an embedded
  // preview.
  std::optional<Raster> thumbnail(int maxEdge, Orientation orientation,
                                  const DecodeLimits& limits = {}) const;

  // The image resampled to exactly width × height pixels (the upright sides
  // when the orientation is applied), larger or smaller than stored, each
  // axis on its own. Reductions use shrink-on-load where the format allows
  // and finish with Lanczos; an unchanged size is a plain decode. Never uses
  // an embedded preview.
  std::optional<Raster> resized(std::int64_t width, std::int64_t height, Orientation orientation,
                                const DecodeLimits& limits = {}) const;

 private:
  struct Impl;
  explicit Source(std::unique_ptr<Impl> impl, Properties properties);
  static std::shared_ptr<PendingRaster> decodeInParts(std::vector<std::uint8_t> file, std::int64_t width,
                                                      std::int64_t height,
                                                      std::shared_ptr<const ColourConversion> conversion);
  std::unique_ptr<Impl> impl_;
  Properties properties_;
};

// An image's size in points (1/72 inch), as image loaders report it: the
// pixel size scaled by 72 over the recorded resolution, or the pixel size
// when the file records none. With the orientation applied the sides are the
// upright ones.
struct PointSize {
  double width = 0;
  double height = 0;
};
PointSize sizeInPoints(const Properties& properties, Orientation orientation);

// A full-size RGBA raster (layout as Raster) being filled by a background
// decode. Destroying it waits for the decode to end.
class PendingRaster {
 public:
  ~PendingRaster();
  PendingRaster(const PendingRaster&) = delete;
  PendingRaster& operator=(const PendingRaster&) = delete;

  std::int64_t width() const { return width_; }
  std::int64_t height() const { return height_; }
  int bitsPerComponent() const { return bits_; }
  std::size_t rowBytes() const { return static_cast<std::size_t>(width_) * (bits_ == 16 ? 8 : 4); }
  // The pixels; row r may be read once waitForRows(r + 1) has returned.
  const std::uint8_t* data() const { return data_.get(); }

  // Blocks until the first `rows` rows are decoded or the decode has ended
  // (rows never decoded then stay undefined; finish tells).
  void waitForRows(std::int64_t rows) const;
  // Blocks until the decode has ended; true when every row was decoded.
  bool finish() const;

 private:
  friend class Source;
  struct Progress;
  PendingRaster(std::int64_t width, std::int64_t height, int bits, std::unique_ptr<std::uint8_t[]> data);
  std::int64_t width_, height_;
  int bits_;
  std::unique_ptr<std::uint8_t[]> data_;
  std::unique_ptr<Progress> progress_;
};

// Fills `rows` rows starting at row `top` (0 is the top row) with RGBA pixels
// (8-bit, or 16-bit native uint16_t per component) at `destination`, with
// `rowBytes` between the starts of consecutive rows. Called from several
// threads at once, for disjoint strips, in any order, and only for rows in
// [0, height). The encoders below read top to bottom and ask for each row
// once. An exception thrown by the producer makes the encoding fail.
using RowProducer = std::function<void(std::int64_t top, std::int64_t rows,
                                       std::uint8_t* destination, std::size_t rowBytes)>;

// An image whose rows are produced while it is being encoded, so that
// producing later strips overlaps with compressing earlier ones.
struct RowSource {
  std::int64_t width = 0, height = 0;
  int bitsPerComponent = 8;  // 8 or 16
  RowProducer produce;
};

// The encoders give nothing, without calling the producer, for an empty
// image, one with more pixels than this, or a side over 10 000 000 pixels
// (65 500 for JPEG). They also give nothing when encoding fails.
inline constexpr std::uint64_t maxEncodePixels = std::uint64_t{1} << 32;

// JPEG with quality on the 0..1 scale, tagged sRGB with a compact ICC
// profile and no other metadata. Alpha is dropped; 16-bit components are
// rounded to 8 bits.
std::optional<std::vector<std::uint8_t>> encodeJpeg(const RowSource& source, double quality);
std::optional<std::vector<std::uint8_t>> encodeJpeg(const Raster& raster, double quality);

// PNG of the RGB components (alpha dropped) with 8 or 16 bits per component
// (16 -> 8 rounds to nearest, 8 -> 16 replicates the byte), tagged sRGB
// (sRGB chunk, with gAMA and cHRM), and a resolution in dots per inch
// recorded as pHYs; no other metadata.
std::optional<std::vector<std::uint8_t>> encodePng(const RowSource& source, int bitsPerComponent,
                                                   double dpi);
std::optional<std::vector<std::uint8_t>> encodePng(const Raster& raster, int bitsPerComponent,
                                                   double dpi);

}  // namespace imageio
