// The routines behind the colour stages: colour cubes and the .cube file
// format, tone curves, the tone measurement, pixel sampling, the negative
// samples file and the film-base estimate. They take their inputs as
// arguments (never the settings), so they can be tested on their own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "coreimage.h"
#include "json.h"
#include "options.h"

namespace tonesmith {

struct RenderState;

// A colour table of dimension³ entries of red, green, blue, alpha, red
// index fastest; entry (i, j, k) is the output for (i, j, k)/(dimension − 1).
struct ColorCube {
  int dimension = 0;
  std::vector<float> data;
};

// A cube whose entry (i, j, k) is entry(i, j, k) with alpha 1. Large cubes
// are filled on several threads at once, so `entry` must only read shared state.
ColorCube makeColorCube(int dimension, const std::function<std::array<double, 3>(int, int, int)>& entry);
coreimage::Data cubeBytes(const ColorCube& cube);

// Cubes that need no pixels (looks, .cube files) are built on another
// thread while the input decodes. Each job is keyed; a key seen before is
// not built again. cubeBuiltAhead waits for the job of that key and gives
// its result (rethrowing what it threw), or null when there was no such job.
void buildCubesAhead(std::vector<std::pair<std::string, std::function<std::optional<ColorCube>()>>> jobs);
const std::optional<ColorCube>* cubeBuiltAhead(const std::string& key);

enum class CubeOutcome { applied, unavailable, noImage };
// CIColorCube with the cube on state.image; the output replaces it.
CubeOutcome applyColorCube(RenderState& state, const ColorCube& cube);

// A .cube colour table from its text; absent when it is not UTF-8, has no
// size of at least 2, or does not hold exactly size³ rows.
std::optional<ColorCube> parseCube(std::string_view text);
// The same from a file; absent when it cannot be read.
std::optional<ColorCube> cubeData(const std::string& path);

// A tone curve through points sorted by x; below the second point the first
// segment extends, beyond the last point the last y holds.
struct ToneCurve {
  std::vector<std::pair<double, double>> points;
  double operator()(double t) const;
};
// Absent when fewer than two usable points.
std::optional<ToneCurve> toneCurveSampler(const json::Value& points);
// The members red, green and blue that are arrays of objects.
std::vector<std::pair<std::string, json::Value>> channelCurvePoints(const std::optional<json::Value>& json);
// True for an array whose every element is an object.
bool isArrayOfObjects(const std::optional<json::Value>& value);

struct TonePercentiles {
  double black = 0, mid = 0, white = 0;
};
// The 0.5 %, 50 % and 99.5 % points of a luma-weighted 256-bin histogram.
std::optional<TonePercentiles> luminancePercentiles(const coreimage::Image& image);
// The adaptive contrast curve for contrast change d.
double toneMap(double x, double black, double white, double mid, double d);

// Component values of one pixel as stored, each in [0, 1].
struct RGBSample {
  double r = 0, g = 0, b = 0;
  bool operator==(const RGBSample&) const = default;
};

double srgbToLinear(double v);
double linearToSrgb(double v);
double percentileOfSorted(const std::vector<double>& sorted, double p);
double percentile(std::vector<double> values, double p);
std::optional<RGBSample> medianRGB(const std::vector<RGBSample>& samples);

// A copy of an image reduced to a longest edge of at most maxEdge, as float
// RGBA rows top first; sampled by normalized rectangles (y upward).
struct ReducedCopy {
  std::int64_t width = 0, height = 0;
  std::vector<float> pixels;
};
ReducedCopy reducedCopy(const coreimage::Image& image, double maxEdge);

// A faster way to the reduced copy of the decoded input: the file decoded
// again straight at width × height (shrink-on-load), while the full-size
// decode goes on. Set at start for formats that decode reduced for less;
// it gives nothing when that decode fails.
using InputReducer = std::function<std::optional<ReducedCopy>(std::int64_t width, std::int64_t height)>;
void setInputReducer(InputReducer reducer);
// reducedCopy of `input`, the decoded input image, through the reducer when
// one is set and the copy is smaller than the input.
ReducedCopy reducedInputCopy(const coreimage::Image& input, double maxEdge);
std::vector<RGBSample> samplesInside(const ReducedCopy& copy, const std::optional<NormalizedRect>& rect);
std::vector<RGBSample> rgbSamples(const coreimage::Image& image, const std::optional<NormalizedRect>& rect,
                                  double maxEdge);

struct NegativeSamples {
  std::vector<RGBSample> samples, edgeSamples;
};
// The samples file: counts and triples as little-endian 32-bit floats.
std::optional<NegativeSamples> parseNegativeSamples(const std::uint8_t* bytes, std::size_t size);
std::optional<NegativeSamples> loadNegativeSamples(const std::string& path);
std::string encodeNegativeSamples(const std::vector<RGBSample>& samples, const std::vector<RGBSample>& edgeSamples);
bool writeNegativeSamples(const std::string& path, const std::vector<RGBSample>& samples,
                          const std::vector<RGBSample>& edgeSamples);

// The median of the brightest quarter of the border when it is plausibly
// unexposed film base; the fallback otherwise.
RGBSample robustAutomaticFilmBase(const std::vector<RGBSample>& edgeSamples, RGBSample fallback);

// Optical density statistics of one channel relative to the base.
struct DensityRange {
  double lo = 0, hi = 0.03, mid = 0;
};
std::array<DensityRange, 3> densityStatistics(const std::vector<RGBSample>& samples,
                                              const std::array<double, 3>& baseLinear, double dynamicRange);
// Per-channel exponents of the conversion, clamped to [0.35, 2.8].
std::array<double, 3> channelExponents(std::string_view profile, const std::array<double, 3>& response,
                                       const std::array<DensityRange, 3>& ranges);
// The 64-point conversion cube.
ColorCube colorNegativeCube(const std::array<double, 3>& baseLinear, const std::array<DensityRange, 3>& ranges,
                            const std::array<double, 3>& exponents, double dynamicRange, double colorIntensity);

// The film colour profile cube (N = 64) and the C200 stock chroma.
std::optional<ColorCube> filmColorProfileCube(std::string_view profile, double strength);
double c200StockChromaGain(double r, double g, double b);
ColorCube c200StockChromaCube();

}  // namespace tonesmith
