// webshrink: the web gallery copy of one photo, at most a given size on its
// longer side, on white, as a JPEG.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "imageio.h"

namespace webshrink {

// Decodes over this many pixels are refused: half a gigapixel is more than
// any camera or stitched panorama gives, and far below what a
// decompression bomb declares.
inline constexpr std::uint64_t maxPixels = 500'000'000;
// Memory the decode may hold at its peak (Source::resizedBytes), and the
// largest canvas: the canvas and the picture drawn on it take four bytes a
// pixel each, so with both a run stays under a gigabyte. 32 megapixels is
// far beyond a gallery copy.
inline constexpr std::uint64_t maxDecodeBytes = std::uint64_t{512} << 20;
inline constexpr std::uint64_t maxCanvasPixels = 32'000'000;

inline constexpr double jpegQuality = 0.92;

struct PixelSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// The max-edge argument: a base-10 integer with an optional sign, at least 1;
// 2048 when it is not one.
double parseMaxEdge(std::string_view text);

// The output size for a source of `points`: scaled down (never up) so that
// the longer side is at most maxEdge, each side rounded down but at least 1.
PixelSize targetSize(imageio::PointSize points, double maxEdge);

// Whether the gallery copy was written; on failure the message to print.
struct WriteResult {
  bool ok = true;
  std::string message;
};

// Draws the source, resampled to `target`, over white and writes it to
// `output` as a JPEG, creating the output's directory first.
WriteResult writeGalleryCopy(const imageio::Source& source, PixelSize target,
                             const std::string& output, const std::string& inputPath);

}  // namespace webshrink
