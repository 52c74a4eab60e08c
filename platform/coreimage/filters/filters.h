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

}  // namespace coreimage
