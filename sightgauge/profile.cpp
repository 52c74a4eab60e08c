// The pixel profile: colour and quality measures from one 64 × 64 sample
// grid of the stored picture, and the 30 × 30 grey matrix for duplicates.
#include <glib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "sightgauge.h"

namespace sightgauge {

double clamp(double value, double lower, double upper) {
  const double raised = value < lower ? lower : value;
  return raised > upper ? upper : raised;
}

Hsv hsv(double red, double green, double blue) {
  const double maximum = std::max({red, green, blue});
  const double minimum = std::min({red, green, blue});
  const double delta = maximum - minimum;
  Hsv out;
  out.value = maximum;
  out.saturation = maximum == 0 ? 0 : delta / maximum;
  if (delta == 0) return out;
  double h;
  if (red == maximum)
    h = std::fmod((green - blue) / delta, 6.0);
  else if (green == maximum)
    h = (blue - red) / delta + 2;
  else
    h = (red - green) / delta + 4;
  out.hue = h / 6;
  if (out.hue < 0) out.hue += 1;
  return out;
}

namespace {

constexpr int sectorCount = 12;  // chromatic hue sectors of 30°
constexpr int bandCount = 5;     // neutral brightness bands
constexpr int bucketCount = sectorCount + bandCount;
constexpr double chromaticSaturation = 0.12;
constexpr double shadowLevel = 0.02;
constexpr double highlightLevel = 0.98;
constexpr double sharpnessScale = 0.18;
constexpr int swatchCount = 5;

double luminanceOf(double red, double green, double blue) {
  return 0.2126 * red + 0.7152 * green + 0.0722 * blue;
}

// The bucket's mean colour as "#RRGGBB": each byte is trunc(255 × mean).
// The mean is taken from the exact byte sums, so a bucket of one colour
// gives back that colour (summing thousands of k / 255 in floating point
// would land a hair below and truncate one lower).
std::string hexOf(const ColorBucket& bucket) {
  auto byte = [&](std::int64_t sum) { return static_cast<int>(std::min<std::int64_t>(sum / bucket.count, 255)); };
  char text[8];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", byte(bucket.red), byte(bucket.green), byte(bucket.blue));
  return text;
}

// The 64-bit difference hash over eight rows and nine columns of the grid.
std::string differenceHash(const std::vector<double>& grid) {
  std::uint64_t bits = 0;
  for (int r = 0; r < 8; ++r) {
    const int y = r * (profileSide - 1) / 8;
    for (int c = 0; c < 8; ++c) {
      const int x = c * (profileSide - 1) / 8;
      const int next = (c + 1) * (profileSide - 1) / 8;
      if (grid[y * profileSide + x] > grid[y * profileSide + next]) bits |= std::uint64_t{1} << (8 * r + c);
    }
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
  return text;
}

}  // namespace

int bucketIndex(const Hsv& colour) {
  if (colour.saturation >= chromaticSaturation)
    return std::min(static_cast<int>(colour.hue * sectorCount), sectorCount - 1);
  return sectorCount + std::min(static_cast<int>(colour.value * bandCount), bandCount - 1);
}

PixelProfile profileOfSamples(const Bitmap& samples) {
  constexpr int count = profileSide * profileSide;
  std::vector<double> grid(count, 0.0);
  std::array<ColorBucket, bucketCount> buckets{};
  double stepSum = 0, luminanceSum = 0, saturationSum = 0, colourfulSum = 0;
  std::int64_t steps = 0, shadows = 0, highlights = 0;

  // A bitmap that could not be drawn reads as black, like a zero-filled context.
  static const std::vector<std::uint8_t> black(static_cast<std::size_t>(count) * 4, 0);
  const std::uint8_t* pixels =
      samples.rgba.size() >= static_cast<std::size_t>(count) * 4 ? samples.rgba.data() : black.data();
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* pixel = pixels + static_cast<std::size_t>(i) * 4;
    const double r = pixel[0] / 255.0, g = pixel[1] / 255.0, b = pixel[2] / 255.0;
    const Hsv colour = hsv(r, g, b);
    const double luminance = luminanceOf(r, g, b);
    grid[i] = luminance;
    if (luminance <= shadowLevel) ++shadows;
    if (luminance >= highlightLevel) ++highlights;

    ColorBucket& bucket = buckets[bucketIndex(colour)];
    bucket.count += 1;
    bucket.red += pixel[0];
    bucket.green += pixel[1];
    bucket.blue += pixel[2];
    bucket.hue += colour.hue;
    bucket.saturation += colour.saturation;
    bucket.luminance += luminance;

    const int row = i / profileSide, column = i % profileSide;
    if (column > 0) {
      stepSum += std::abs(luminance - grid[i - 1]);
      ++steps;
    }
    if (row > 0) {
      stepSum += std::abs(luminance - grid[i - profileSide]);
      ++steps;
    }
    luminanceSum += luminance;
    saturationSum += colour.saturation;
    colourfulSum += colour.value * colour.saturation;
  }

  PixelProfile profile;
  const double mean = luminanceSum / count;
  double squares = 0;
  for (double luminance : grid) squares += (luminance - mean) * (luminance - mean);
  profile.luminance = clamp(mean);
  profile.saturation = clamp(saturationSum / count);
  profile.contrast = clamp(3 * std::sqrt(squares / count));
  profile.colorfulness = clamp(colourfulSum / count);
  profile.sharpness = clamp(stepSum / static_cast<double>(std::max<std::int64_t>(steps, 1)) / sharpnessScale);
  profile.shadowClipping = static_cast<double>(shadows) / count;
  profile.highlightClipping = static_cast<double>(highlights) / count;

  // Largest buckets first; equal counts keep the bucket order.
  std::vector<int> filled;
  for (int index = 0; index < bucketCount; ++index)
    if (buckets[index].count > 0) filled.push_back(index);
  std::stable_sort(filled.begin(), filled.end(),
                   [&](int a, int b) { return buckets[a].count > buckets[b].count; });
  if (filled.size() > swatchCount) filled.resize(swatchCount);
  for (int index : filled) {
    const ColorBucket& bucket = buckets[index];
    const double n = static_cast<double>(bucket.count);
    profile.dominantColors.push_back({hexOf(bucket), n / count, bucket.hue / n * 360,
                                      bucket.saturation / n, bucket.luminance / n});
  }
  profile.perceptualHash = differenceHash(grid);
  return profile;
}

std::string base64(const std::uint8_t* bytes, std::size_t count) {
  gchar* text = g_base64_encode(bytes, count);
  std::string out = text ? text : "";
  g_free(text);
  return out;
}

std::string greyMatrixOfSamples(const Bitmap& samples) {
  std::vector<std::uint8_t> matrix(static_cast<std::size_t>(samples.width) * samples.height, 0);
  if (samples.rgba.size() < matrix.size() * 4) return base64(matrix.data(), matrix.size());
  for (std::size_t i = 0; i < matrix.size(); ++i) {
    const std::uint8_t* pixel = samples.rgba.data() + i * 4;
    // The Rec. 709 sum in exact integer arithmetic and truncated: white
    // stays 255 (in floating point the weights' products add up just below).
    const int grey = (2126 * pixel[0] + 7152 * pixel[1] + 722 * pixel[2]) / 10000;
    matrix[i] = static_cast<std::uint8_t>(std::clamp(grey, 0, 255));
  }
  return base64(matrix.data(), matrix.size());
}

std::string duplicateMatrix30(const imageio::Source& source) {
  return greyMatrixOfSamples(drawStored(source, matrixSide, matrixSide).value_or(blackBitmap(matrixSide, matrixSide)));
}

PixelProfile pixelProfile(const imageio::Source& source) {
  PixelProfile profile =
      profileOfSamples(drawStored(source, profileSide, profileSide).value_or(blackBitmap(profileSide, profileSide)));
  profile.duplicateMatrix30 = duplicateMatrix30(source);
  return profile;
}

json::Value toJson(const PixelProfile& profile) {
  json::Value swatches = json::Value::array();
  for (const PixelSwatch& swatch : profile.dominantColors) {
    json::Value entry = json::Value::object();
    entry["hex"] = swatch.hex;
    entry["weight"] = swatch.weight;
    entry["hue"] = swatch.hue;
    entry["saturation"] = swatch.saturation;
    entry["luminance"] = swatch.luminance;
    swatches.push_back(std::move(entry));
  }
  json::Value out = json::Value::object();
  out["dominantColors"] = std::move(swatches);
  out["luminance"] = profile.luminance;
  out["saturation"] = profile.saturation;
  out["contrast"] = profile.contrast;
  out["colorfulness"] = profile.colorfulness;
  out["sharpness"] = profile.sharpness;
  out["shadowClipping"] = profile.shadowClipping;
  out["highlightClipping"] = profile.highlightClipping;
  out["perceptualHash"] = profile.perceptualHash;
  out["duplicateMatrix30"] = profile.duplicateMatrix30;
  return out;
}

}  // namespace sightgauge
