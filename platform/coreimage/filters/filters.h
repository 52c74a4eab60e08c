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

// One entry point per filter file.
std::optional<Image> gaussianBlur(const Parameters& p);
std::optional<Image> linearGradient(const Parameters& p);
std::optional<Image> lightenBlendMode(const Parameters& p);
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

}  // namespace coreimage
