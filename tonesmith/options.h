// The command line: option lookup, number syntax and the program-wide
// settings computed once at start.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json.h"

namespace tonesmith {

using Arguments = std::vector<std::string>;

// Number syntax: the whole text read by strtod in the C locale, no leading
// white space. NaN is not a usable value anywhere in this program and counts
// as invalid; infinities are numbers (and are clamped where a range applies).
std::optional<double> parseNumber(std::string_view text);
// An optional sign and one or more ASCII digits, within 64 bits.
std::optional<std::int64_t> parseInteger(std::string_view text);
// Standard Base64 with padding; any other character fails.
std::optional<std::string> decodeBase64(std::string_view text);

// Raises x to lo, then lowers it to hi.
double clamp(double x, double lo, double hi);
// d modulo 360 with the sign of d, brought into (-180, 180]; -0 becomes 0.
double wrappedRotation(double degrees);

struct NormalizedRect {
  double x = 0, y = 0, width = 1, height = 1;
};

// Lookups see only the first occurrence of a name, scanning from element 0.
class OptionLookup {
 public:
  explicit OptionLookup(const Arguments& args) : args_(args) {}
  bool flag(std::string_view name) const;
  std::optional<std::size_t> firstIndex(std::string_view name) const;
  std::optional<std::string> optionString(std::string_view name) const;
  std::optional<double> optionDouble(std::string_view name) const;
  std::optional<std::array<double, 3>> optionTriple(std::string_view name) const;
  std::optional<NormalizedRect> optionRect(std::string_view name) const;
  // The "-file" form first (a file that cannot be read falls back to the
  // inline form; one that reads but does not parse is absent), then the
  // inline Base64 form. Only an object or an array is accepted.
  std::optional<json::Value> optionJSON(std::string_view name) const;

 private:
  const Arguments& args_;
};

struct Settings {
  // Flags.
  bool negative = false;
  bool flipHorizontal = false;
  bool measure = false;
  bool reportJson = false;

  // Valued options with settings.
  std::string filmColorProfile = "none";
  double filmColorStrength = 1;
  double saturation = 1;
  std::optional<std::array<double, 3>> negativeFilmLook;
  double negativeFilmSaturation = 1;
  double negativeFilmContrast = 1;

  // Positional arguments.
  std::string inputPath;
  std::string outputPath;
  double brightness = 0;
  double contrastDelta = 0;
  double contrast = 1;
  std::string lut;
  double rotation = 0;

  std::optional<double> requestedFineRotation;
  std::int64_t inferredTurns = 0;
  double fineRotation = 0;
  double orthogonalRotation = 0;

  double cropX = 0, cropY = 0, cropWidth = 1, cropHeight = 1;
  std::int64_t maxOutputEdge = 0;
  double edgeSoftness = 0;
  double negativeInputBrightness = 0;
  double negativeInputContrast = 0;
  double negativeDynamicRange = 1;
  double negativeColorIntensity = 1;
  bool linearTone = false;

  // Options without a setting of their own, read once here and held for the
  // stage that uses them.
  std::optional<NormalizedRect> measureFilmBase;
  std::string negativeProfile = "bw";
  std::array<double, 3> negativeBase = {0.9, 0.65, 0.4};
  std::string negativeBaseMode = "auto";
  std::array<double, 3> negativeResponse = {1.5, 1.5, 1.5};
  std::optional<std::string> negativeSamplesPath;
  std::optional<std::string> emitNegativeSamplesPath;
  std::optional<json::Value> toneCurve;
  std::optional<json::Value> colorCurves;
  std::optional<json::Value> lutLayers;
  std::optional<json::Value> localEffects;
  std::optional<json::Value> imageLayers;
  std::optional<json::Value> printLayout;
  std::string requestedFormat;  // lower-cased, empty when not given
  std::string pngDepth = "auto";
  std::string dpi = "auto";
};

inline constexpr std::size_t kRequiredArgumentCount = 11;

extern const char* const kUsage;

// Computes every setting in order. Requires at least 11 arguments.
Settings computeSettings(const Arguments& args);

}  // namespace tonesmith
