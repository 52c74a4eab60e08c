// Internal: the filter table and the helpers that read filter parameters.
#pragma once

#include <optional>
#include <string>

#include "../node.h"

namespace coreimage {

struct Filter::Definition {
  const char* name;
  const char* description;
  std::optional<Image> (*apply)(const Parameters& parameters);
};

// The image under `key`, or none.
const Image* imageParameter(const Parameters& p, std::string_view key);
// A finite number under `key`, `fallback` when unset; absent when set to
// something that is not a finite number.
std::optional<double> numberParameter(const Parameters& p, std::string_view key, double fallback);
std::optional<Point> pointParameter(const Parameters& p, std::string_view key, Point fallback);
std::optional<Color> colorParameter(const Parameters& p, std::string_view key, Color fallback);
// A vector of finite numbers under `key`, `fallback` when unset; absent when
// set to something else. Shorter vectors are padded from `fallback`.
std::optional<std::vector<double>> vectorParameter(const Parameters& p, std::string_view key,
                                                   const std::vector<double>& fallback);
// The bytes under `key`, or none.
const Data* dataParameter(const Parameters& p, std::string_view key);

// Rec. 709 luma of non-premultiplied colour.
inline float luma(const float* px) { return 0.2126f * px[0] + 0.7152f * px[1] + 0.0722f * px[2]; }

// Premultiplies or un-premultiplies the colour of `count` RGBA pixels.
void premultiply(float* rgba, std::size_t count);
void unpremultiply(float* rgba, std::size_t count);

// Multiplies `count` weights by the grey level of mask pixels given
// non-premultiplied: alpha times the Rec. 709 luminance of the colour (the
// luminance of the premultiplied colour, which CIBlendWithMask reads),
// clamped to 0..1, NaN counting as 0.
void scaleByMaskLevels(const float* mask, float* weights, std::size_t count);

// Two images mixed pixel by pixel: the kernel gets runs of premultiplied
// source and background pixels and writes the premultiplied result over the
// background. The extent is the union or the intersection of the two.
using PairKernel = void (*)(const float* source, float* background, std::size_t count);
enum class PairExtent { unionOfBoth, intersection };
std::optional<Image> blendedPair(const Parameters& p, PairKernel kernel, PairExtent rule);
// The kernel of a blend mode or of CISourceOverCompositing by published
// name; none for other names.
PairKernel blendKernelNamed(std::string_view filterName);
// CISourceOverCompositing's kernel: c = cs + cb·(1 − as), alpha alike.
void sourceOverRun(const float* source, float* background, std::size_t count);

// One entry point per filter file.
std::optional<Image> gaussianBlur(const Parameters& p);
std::optional<Image> linearGradient(const Parameters& p);
std::optional<Image> lightenBlendMode(const Parameters& p);
std::optional<Image> multiplyBlendMode(const Parameters& p);
std::optional<Image> screenBlendMode(const Parameters& p);
std::optional<Image> overlayBlendMode(const Parameters& p);
std::optional<Image> darkenBlendMode(const Parameters& p);
std::optional<Image> subtractBlendMode(const Parameters& p);
std::optional<Image> sourceOverCompositing(const Parameters& p);
std::optional<Image> multiplyCompositing(const Parameters& p);
std::optional<Image> additionCompositing(const Parameters& p);
std::optional<Image> blendWithMask(const Parameters& p);
std::optional<Image> lanczosScaleTransform(const Parameters& p);
std::optional<Image> constantColorGenerator(const Parameters& p);
std::optional<Image> colorMatrix(const Parameters& p);
std::optional<Image> colorClamp(const Parameters& p);
std::optional<Image> colorControls(const Parameters& p);
std::optional<Image> colorCube(const Parameters& p);
std::optional<Image> colorInvert(const Parameters& p);
std::optional<Image> areaHistogram(const Parameters& p);
std::optional<Image> dissolveTransition(const Parameters& p);
std::optional<Image> temperatureAndTint(const Parameters& p);
std::optional<Image> photoEffectMono(const Parameters& p);
std::optional<Image> photoEffectNoir(const Parameters& p);
std::optional<Image> photoEffectFade(const Parameters& p);
std::optional<Image> photoEffectInstant(const Parameters& p);
std::optional<Image> photoEffectChrome(const Parameters& p);
std::optional<Image> morphologyMinimum(const Parameters& p);
std::optional<Image> randomGenerator(const Parameters& p);

}  // namespace coreimage
