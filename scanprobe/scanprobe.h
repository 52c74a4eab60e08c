// scanprobe: whether a film scan is a negative (and of which kind), judged
// from statistics of its interior, and where the film frame lies in it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imageio.h"
#include "vision.h"

namespace scanprobe {

inline constexpr std::int64_t defaultMaxEdge = 1600;
inline constexpr std::int64_t smallestMaxEdge = 320;
inline constexpr std::int64_t smallestSide = 9;  // of the analysed image

// Files declaring more pixels than this are refused before decoding
// (decompression bombs): a gigapixel is beyond any film scanner.
inline constexpr std::uint64_t maxSourcePixels = 1'000'000'000;
// The analysed image is at most this many pixels (1.6 GB of RGBA); a larger
// --max-edge on a large file fails as an image that cannot be decoded
// instead of running the machine out of memory.
inline constexpr std::uint64_t maxAnalysedPixels = 400'000'000;

struct Settings {
  std::string inputPath;
  std::int64_t maxEdge = defaultMaxEdge;
};

// The command line without the program name. Absent when it is empty. The
// first argument is the input path whatever it looks like; only the first
// "--max-edge" counts, and only when a decimal integer follows it.
std::optional<Settings> parseArguments(const std::vector<std::string>& arguments);

// The analysed image: 8-bit RGBA, alpha premultiplied and last, rows top
// first, 4 × width bytes a row.
struct Bitmap {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::vector<std::uint8_t> pixels;
};

// The thumbnail as such a bitmap (16-bit components rounded to 8 bits, colour
// premultiplied by alpha), reusing its storage. Absent when the sizes do not
// make a bitmap.
std::optional<Bitmap> rasterise(imageio::Raster&& thumbnail);

// Sums over the middle 60 % of the image in each direction.
struct InteriorStatistics {
  std::int64_t insetX = 0, insetY = 0;
  double sumR = 0, sumG = 0, sumB = 0, sumSaturation = 0;
  std::array<std::int64_t, 256> luminanceHistogram{};
  std::int64_t interiorCount = 0;
};

InteriorStatistics measureInterior(const Bitmap& bitmap);

// The luminance below which the fraction p of the interior lies, 0..1.
double percentile(const InteriorStatistics& statistics, double p);

// The negative decision, unrounded.
struct NegativeEvidence {
  bool isNegative = false;
  std::string kind = "positive";  // "positive", "color-mask" or "bw-fog"
  double confidence = 0;
  double redToBlue = 1;
  double black = 0;
  double white = 0;
  double range = 0;
  double saturation = 0;  // mean saturation of the interior
};

NegativeEvidence judgeNegative(const InteriorStatistics& statistics);

struct FrameEvidence {
  bool found = false;
  std::string source = "none";  // "vision-rectangle", "luminance-bbox" or "none"
  double confidence = 0;
  double x = 0, y = 0;           // top-left corner, fractions, origin top-left
  double width = 1, height = 1;  // fractions
  double angleDegrees = 0;
};

// The rectangle request for film frames.
vision::RectanglesRequest frameRequest();

// The frame from the rectangle detector's observations on an image of
// width × height pixels: the observation with the largest bounding box, when
// that box is more than 0.3 wide and high.
std::optional<FrameEvidence> rectangleFromVision(const std::vector<vision::RectangleObservation>& observations,
                                                 std::int64_t width, std::int64_t height);

// The bounding box of whatever differs from the image's border.
std::optional<FrameEvidence> rectangleFromLuminance(const Bitmap& bitmap);

struct ScanAnalysis {
  NegativeEvidence negative;
  FrameEvidence frame;
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
};

// v rounded to n decimals, halves away from zero.
double roundTo(double v, int decimals);

// The report as one line of compact JSON with sorted keys (no line feed).
// Absent when it cannot be encoded (a number that is not finite).
std::optional<std::string> encodeReport(const ScanAnalysis& analysis);

}  // namespace scanprobe
