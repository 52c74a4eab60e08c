// The filters by published name, and parameter reading.
#include <algorithm>
#include <cmath>

#include "filters.h"

namespace coreimage {
namespace {

const Filter::Definition kFilters[] = {
    {"CIAdditionCompositing", "adds the premultiplied components of image and background", additionCompositing},
    {"CIAreaHistogram", "per-channel histograms of an area, as a one-row image of bins", areaHistogram},
    {"CIBlendWithMask", "mixes an image over a background by the grey level of a mask", blendWithMask},
    {"CIColorClamp", "clamps every component to a minimum and a maximum", colorClamp},
    {"CIColorControls", "adjusts saturation, brightness and contrast", colorControls},
    {"CIColorCube", "maps colours through a three-dimensional table, interpolated", colorCube},
    {"CIColorInvert", "inverts the colour components", colorInvert},
    {"CIColorMatrix", "multiplies colours by a 4 x 4 matrix and adds a bias", colorMatrix},
    {"CIConstantColorGenerator", "an infinite image of one colour", constantColorGenerator},
    {"CIDarkenBlendMode", "keeps the darker of image and background per component", darkenBlendMode},
    {"CIDissolveTransition", "mixes from an image to a target image by a time fraction", dissolveTransition},
    {"CIGaussianBlur", "spreads pixels by a Gaussian of the given standard deviation", gaussianBlur},
    {"CILanczosScaleTransform", "scales with a Lanczos-windowed sinc kernel", lanczosScaleTransform},
    {"CILightenBlendMode", "keeps the lighter of image and background per component", lightenBlendMode},
    {"CILinearGradient", "a gradient between two colours along the line between two points", linearGradient},
    {"CIMorphologyMinimum", "the smallest value of each component within a circle of the given radius", morphologyMinimum},
    {"CIMultiplyBlendMode", "multiplies image and background colours, never lighter than either", multiplyBlendMode},
    {"CIMultiplyCompositing", "multiplies the premultiplied components of image and background", multiplyCompositing},
    {"CIOverlayBlendMode", "multiplies or screens the image by the background's level", overlayBlendMode},
    {"CIPhotoEffectChrome", "vivid colours with extra contrast, an older slide film", photoEffectChrome},
    {"CIPhotoEffectFade", "washed-out colours with lifted shadows", photoEffectFade},
    {"CIPhotoEffectInstant", "warm, slightly faded instant-print colours", photoEffectInstant},
    {"CIPhotoEffectMono", "plain black and white", photoEffectMono},
    {"CIPhotoEffectNoir", "black and white with strong contrast", photoEffectNoir},
    {"CIRandomGenerator", "an infinite fixed field of uniform random values in every component", randomGenerator},
    {"CIScreenBlendMode", "screens image and background colours, never darker than either", screenBlendMode},
    {"CISourceOverCompositing", "places the image over the background", sourceOverCompositing},
    {"CISubtractBlendMode", "the background minus the image, per component", subtractBlendMode},
    {"CITemperatureAndTint", "white balance from one colour temperature and tint to another", temperatureAndTint},
};

}  // namespace

std::optional<Filter> Filter::named(std::string_view name) {
  for (const auto& definition : kFilters)
    if (name == definition.name) return Filter(&definition);
  return std::nullopt;
}

std::string_view Filter::name() const { return definition_->name; }

void Filter::setValue(std::string_view key, ParameterValue value) {
  values_.insert_or_assign(std::string(key), std::move(value));
}

std::optional<Image> Filter::outputImage() const {
  auto image = definition_->apply(values_);
  if (!image || !image->node()) return std::nullopt;
  return image;
}

std::vector<std::pair<std::string, std::string>> filterNames() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& definition : kFilters) out.emplace_back(definition.name, definition.description);
  return out;
}

const Image* imageParameter(const Parameters& p, std::string_view key) {
  auto it = p.find(key);
  if (it == p.end()) return nullptr;
  const Image* image = std::get_if<Image>(&it->second);
  return image && image->node() ? image : nullptr;
}

std::optional<double> numberParameter(const Parameters& p, std::string_view key, double fallback) {
  auto it = p.find(key);
  if (it == p.end()) return fallback;
  const double* v = std::get_if<double>(&it->second);
  if (!v || !std::isfinite(*v)) return std::nullopt;
  return *v;
}

std::optional<Point> pointParameter(const Parameters& p, std::string_view key, Point fallback) {
  auto it = p.find(key);
  if (it == p.end()) return fallback;
  const Vector* v = std::get_if<Vector>(&it->second);
  if (!v || v->values.size() < 2 || !std::isfinite(v->values[0]) || !std::isfinite(v->values[1]))
    return std::nullopt;
  return Point{v->values[0], v->values[1]};
}

std::optional<Color> colorParameter(const Parameters& p, std::string_view key, Color fallback) {
  auto it = p.find(key);
  if (it == p.end()) return fallback;
  const Color* c = std::get_if<Color>(&it->second);
  if (!c) return std::nullopt;
  return *c;
}

std::optional<std::vector<double>> vectorParameter(const Parameters& p, std::string_view key,
                                                   const std::vector<double>& fallback) {
  auto it = p.find(key);
  if (it == p.end()) return fallback;
  const Vector* v = std::get_if<Vector>(&it->second);
  if (!v) return std::nullopt;
  std::vector<double> out = fallback;
  if (out.size() < v->values.size()) out.resize(v->values.size());
  for (std::size_t i = 0; i < v->values.size(); ++i) {
    if (!std::isfinite(v->values[i])) return std::nullopt;
    out[i] = v->values[i];
  }
  return out;
}

const Data* dataParameter(const Parameters& p, std::string_view key) {
  auto it = p.find(key);
  if (it == p.end()) return nullptr;
  return std::get_if<Data>(&it->second);
}

void premultiply(float* px, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, px += 4) {
    px[0] *= px[3];
    px[1] *= px[3];
    px[2] *= px[3];
  }
}

void unpremultiply(float* px, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, px += 4) {
    float a = px[3];
    if (a > 1e-6f) {
      float inv = 1.0f / a;
      px[0] *= inv;
      px[1] *= inv;
      px[2] *= inv;
    } else {
      px[0] = px[1] = px[2] = px[3] = 0;
    }
  }
}

}  // namespace coreimage
