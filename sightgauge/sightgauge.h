// sightgauge: recognition results and pixel measures of one image.
//
// Modes: the default analysis report, the face report (--faces-only), the
// duplicate fingerprints (--matrix30) and the crop proof (--crop-verify).
// Every mode answers on standard output in one piece, or fails with one
// message line on standard error and status 1.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imageio.h"
#include "json.h"

namespace sightgauge {

// ---------------------------------------------------------------------------
// Command line

enum class Mode { analysis, faces, matrix30, cropVerify, usage };

struct Invocation {
  Mode mode = Mode::usage;
  std::string imagePath;  // the image of the one-image modes
};

// Picks the mode from the arguments after the program name. --crop-verify
// in the first place takes the whole command line; its own reader checks
// the rest.
Invocation chooseMode(const std::vector<std::string>& args);

inline constexpr std::string_view usageMessage = "Usage: sightgauge [--matrix30|--faces-only] <image-path>";

// ---------------------------------------------------------------------------
// Failure helper and output writer

// Writes the message and one line feed (none added when the message already
// ends in one) to standard error in a single write, and exits with status 1.
[[noreturn]] void fail(std::string_view message);

// Writes the encoded record in one write, then "\n" in a second one.
void writeOutput(std::string_view encoded);

// A record's compact JSON text, or why it cannot be written.
struct Encoded {
  std::optional<std::string> text;
  std::string problem;  // the description when text is absent
};

// Compact JSON in the record's declared key order with "/" escaped. A
// number that is not finite makes the encoding fail; the problem then names
// the offending member.
Encoded encodeRecord(const json::Value& record);

// The text of a 32-bit value as a JSON number that reads back (narrowed to
// 32 bits) as the same value, in its shortest form.
double shortFloat(float value);

// ---------------------------------------------------------------------------
// Image loading

// Pictures larger than this are refused as undecodable: no camera or
// stitched panorama comes near, while decompression bombs declare far more.
inline constexpr std::uint64_t maxPixels = 250'000'000;

// The path resolved against the current directory, as the decode message
// shows it.
std::string absolutePath(const std::string& path);

// The opened file, or the decode message through fail().
std::unique_ptr<imageio::Source> openImage(const std::string& path);

// The stored raster (orientation not applied), or the decode message.
imageio::Raster decodeStored(const imageio::Source& source, const std::string& path);

// The orientation handed to the recognisers: the file's EXIF orientation,
// 1 (up) when the file records none.
int imageOrientation(const imageio::Properties& properties);

// Width and height of the upright picture: exchanged for orientations 5 to 8.
std::pair<std::int64_t, std::int64_t> orientedSize(std::int64_t width, std::int64_t height, int orientation);

// ---------------------------------------------------------------------------
// Drawing into small bitmaps

// An RGBA bitmap as a zero-filled bitmap context holds it after drawing:
// 8-bit, alpha premultiplied, rows from the top.
struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;  // width × height × 4, zero when drawing failed
};

// The stored image stretched to width × height (aspect not kept) with a
// good-quality reduction straight from the file; absent when the file
// cannot be decoded.
std::optional<Bitmap> drawStored(const imageio::Source& source, int width, int height);

// An all-zero (black) bitmap, which is what a drawing that failed leaves.
Bitmap blackBitmap(int width, int height);

// Premultiplied 8-bit bytes of a raster (8 or 16 bits per component).
std::vector<std::uint8_t> premultipliedBytes(const imageio::Raster& raster);

// A rectangle in whole pixels, origin top-left.
struct PixelRect {
  std::int64_t x = 0, y = 0, width = 0, height = 0;
  bool empty() const { return width <= 0 || height <= 0; }
};

// A rectangle in pixels with fractional edges, origin top-left.
struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
};

// The smallest whole-pixel rectangle holding `rect`, cut to the image's
// bounds; empty when nothing of it lies inside (or it is not finite).
PixelRect integralInside(const Rect& rect, std::int64_t imageWidth, std::int64_t imageHeight);

// Grey levels (Rec. 709 luminance, 0..255) of `region` of the raster drawn
// stretched into a width × height grey bitmap with the best interpolation,
// rows from the top. Absent when the region is empty or the bitmap cannot
// be made.
std::optional<std::vector<std::uint8_t>> drawGrey(const imageio::Raster& raster, const PixelRect& region,
                                                  int width, int height);

// ---------------------------------------------------------------------------
// Pixel profile

struct PixelSwatch {
  std::string hex;
  double weight = 0;
  double hue = 0;
  double saturation = 0;
  double luminance = 0;
};

struct PixelProfile {
  std::vector<PixelSwatch> dominantColors;
  double luminance = 0;
  double saturation = 0;
  double contrast = 0;
  double colorfulness = 0;
  double sharpness = 0;
  double shadowClipping = 0;
  double highlightClipping = 0;
  std::string perceptualHash;
  std::string duplicateMatrix30;
};

// The accumulator behind a swatch. Channels are summed as bytes, exactly.
struct ColorBucket {
  std::int64_t count = 0;
  std::int64_t red = 0, green = 0, blue = 0;
  double hue = 0;  // in turns
  double saturation = 0;
  double luminance = 0;
};

struct Hsv {
  double hue = 0;  // turns, 0 to below 1
  double saturation = 0;
  double value = 0;
};

Hsv hsv(double red, double green, double blue);
double clamp(double value, double lower = 0, double upper = 1);

inline constexpr int profileSide = 64;
inline constexpr int matrixSide = 30;

// The bucket of a pixel: hue sectors 0..11 for chromatic pixels, 12..16
// for the neutral brightness bands.
int bucketIndex(const Hsv& colour);

// Every measure but the grey matrix, from a 64 × 64 premultiplied RGBA
// sample bitmap.
PixelProfile profileOfSamples(const Bitmap& samples);

// The grey matrix of a 30 × 30 sample bitmap, base64.
std::string greyMatrixOfSamples(const Bitmap& samples);

// The whole profile of the stored image. Never fails: a picture that cannot
// be drawn is profiled as black.
PixelProfile pixelProfile(const imageio::Source& source);
std::string duplicateMatrix30(const imageio::Source& source);

json::Value toJson(const PixelProfile& profile);

std::string base64(const std::uint8_t* bytes, std::size_t count);

// ---------------------------------------------------------------------------
// Duplicate fingerprints

struct CropSignature {
  int width = 0;
  int height = 0;
  std::string rgb;  // base64 of width × height × 3 bytes
};

// The tiny upright colour thumbnail; absent when the file gives no thumbnail.
std::optional<CropSignature> cropSignature(const imageio::Source& source);

// The --matrix30 answer object, from the grey matrix's sample bitmap.
json::Value duplicateFingerprints(const imageio::Source& source, const Bitmap& matrixSamples);

// ---------------------------------------------------------------------------
// Crop verification

struct CropRequest {
  std::string big;
  std::string crop;
  double x = 0, y = 0, w = 0, h = 0;
  int rotation = 0;  // -1 when the argument is not an integer
  bool mirrored = false;
};

// The whole command line (starting with "--crop-verify"): absent when the
// count is wrong or a window number does not read completely as a decimal.
std::optional<CropRequest> readCropArguments(const std::vector<std::string>& args);

// A double that the whole text spells (no surrounding spaces).
std::optional<double> readDouble(std::string_view text);
// A decimal integer with an optional sign; -1 for anything else.
int readRotation(std::string_view text);

// Whether the window lies in the picture and the rotation is a quarter-turn one.
bool windowValid(const CropRequest& request);

// The comparison grid for a window of wPixels × hPixels.
std::pair<int, int> comparisonGrid(double windowWidth, double windowHeight);

// The crop's grey grid turned and mirrored onto the big image's window.
std::optional<std::vector<float>> alignedGrayPixels(const imageio::Raster& image, int width, int height,
                                                    int rotation, bool mirrored);

// Normalised cross-correlation in 32-bit arithmetic; absent when either
// side's standard deviation is under 2 grey levels.
std::optional<float> correlation(const float* a, const float* b, std::size_t count);

struct CropVerdict {
  bool matched = false;  // false: no offset gave a correlation
  float ncc = 0;
  double blockAgreement = 0;
  double blockAgreementLoose = 0;
  float worstBlock = 1;
};

// Searches the offsets around the window and compares blocks. The big
// picture and the crop are upright thumbnails; the request has passed
// windowValid(). Absent when the crop's grey grid cannot be made.
std::optional<CropVerdict> compareCrop(const imageio::Raster& big, const imageio::Raster& crop,
                                       const CropRequest& request);

// The answer line, without the line feed.
std::string verdictLine(const CropVerdict& verdict);

// Shortest round-trip decimal text with a decimal point, exponent form
// under 0.0001.
std::string formatNumber(float value);
std::string formatNumber(double value);

// Runs the whole mode and exits.
[[noreturn]] void verifyCrop(const std::vector<std::string>& args);

// ---------------------------------------------------------------------------
// The one-image modes; each writes its answer or fails.

void runMatrix30(const std::string& path);

}  // namespace sightgauge
