// Image layers composited over the picture (after the local effects, before
// the picture is turned and cropped). Every problem skips the layer, or only
// its mask or feather, without a message.
#include "image_layers.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>

#include "colour.h"
#include "imageio.h"
#include "layering.h"
#include "tonesmith.h"

namespace tonesmith {
namespace {

using coreimage::Affine;
using coreimage::Color;
using coreimage::Image;
using coreimage::Parameters;
using coreimage::Rect;
using coreimage::Vector;

// A layer or mask file larger than this is not decoded (a quarter of a
// gigapixel: far beyond any texture, well within memory).
constexpr std::uint64_t kMaxLayerPixels = 250'000'000;
// Memory budget of one layer or mask picture's decode (64 megapixels at 8
// bits), beside the rendered picture's own.
constexpr std::uint64_t kMaxLayerBytes = std::uint64_t{256} << 20;

// The member as a finite number clamped to [lo, hi]; the default when it is
// missing or not a number. Infinities clamp like any large number.
double numberMember(const json::Value& object, const char* key, double fallback, double lo, double hi) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return fallback;
  double v = it->get<double>();
  if (std::isnan(v)) return fallback;
  return clamp(v, lo, hi);
}

std::string stringMember(const json::Value& object, const char* key, const std::string& fallback) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

std::optional<Image> filtered(const char* name, const Parameters& parameters) {
  auto filter = coreimage::Filter::named(name);
  if (!filter) return std::nullopt;
  for (const auto& [key, value] : parameters) filter->setValue(key, value);
  return filter->outputImage();
}

Rect reducedFrame(const Rect& frame, double reduction) {
  return {frame.minX / reduction, frame.minY / reduction, frame.maxX / reduction, frame.maxY / reduction};
}

// A reduced matte of at most this many pixels is rendered once and kept
// (16 bytes a pixel); a larger one stays lazy.
constexpr double kMaxStoredMattePixels = 4'000'000;

// `image` rendered once over the pixels touching `area` and kept as float
// pixels at the same place. Every tile of the picture reads a few pixels of
// a reduced matte, which would otherwise place and blur its part again.
std::optional<Image> stored(const Image& image, const Rect& area) {
  const double minX = std::floor(area.minX), minY = std::floor(area.minY);
  const double width = std::ceil(area.maxX) - minX, height = std::ceil(area.maxY) - minY;
  if (!(width >= 1 && height >= 1 && width * height <= kMaxStoredMattePixels)) return std::nullopt;
  const coreimage::PixelRect rect{static_cast<std::int64_t>(minX), static_cast<std::int64_t>(minY),
                                  static_cast<std::int64_t>(width), static_cast<std::int64_t>(height)};
  const std::vector<float> bottomFirst = coreimage::renderFloat(image, rect);
  // Stored pixels are kept top row first.
  const std::size_t rowFloats = static_cast<std::size_t>(rect.width) * 4;
  auto pixels = std::make_shared<std::vector<float>>(bottomFirst.size());
  for (std::size_t y = 0; y < static_cast<std::size_t>(rect.height); ++y)
    std::copy_n(bottomFirst.data() + y * rowFloats, rowFloats,
                pixels->data() + (static_cast<std::size_t>(rect.height) - 1 - y) * rowFloats);
  Image kept = Image::fromPixels(pixels, pixels->data(), rect.width, rect.height, 32, rowFloats * sizeof(float));
  if (kept.isEmpty()) return std::nullopt;
  return kept.translated(minX, minY);
}

Image transparentFrame(const Rect& frame) { return Image::constantColor({0, 0, 0, 0}).cropped(frame); }

// The layer masked by `mask` (its grey level, 1 keeps the layer) over
// transparent, cropped to the frame.
std::optional<Image> maskedByGrey(const Image& layer, const Image& mask, const Rect& frame) {
  auto out = filtered("CIBlendWithMask", {{coreimage::kInputImageKey, layer},
                                          {coreimage::kInputBackgroundImageKey, transparentFrame(frame)},
                                          {coreimage::kInputMaskImageKey, mask}});
  if (!out) return std::nullopt;
  return out->cropped(frame);
}

// The affine map of the cover fit: the picture's integral extent scaled by
// k about its centre onto the frame's centre.
std::optional<Affine> coverFit(const Image& picture, const Rect& frame) {
  const Rect l = picture.extent().integral();
  if (picture.isEmpty() || l.isInfinite() || !(l.width() > 0 && l.height() > 0)) return std::nullopt;
  const double k = std::max(frame.width() / l.width(), frame.height() / l.height());
  return Affine::translation(-l.minX, -l.minY)
      .then(Affine::scale(k, k))
      .then(Affine::translation(frame.midX() - l.width() * k / 2, frame.midY() - l.height() * k / 2));
}

}  // namespace

std::vector<ImageLayer> readImageLayers(const std::optional<json::Value>& option) {
  std::vector<ImageLayer> layers;
  if (!isArrayOfObjects(option)) return layers;
  for (const json::Value& object : *option) {
    ImageLayer layer;
    layer.path = stringMember(object, "path", "");
    if (layer.path.empty()) continue;
    layer.opacity = numberMember(object, "opacity", 1, 0, 1);
    if (layer.opacity == 0) continue;
    layer.scale = numberMember(object, "scale", 1, 0.25, 4);
    layer.rotation = numberMember(object, "rotation", 0, -180, 180);
    layer.offsetX = numberMember(object, "offsetX", 0, -2, 2);
    layer.offsetY = numberMember(object, "offsetY", 0, -2, 2);
    auto flip = object.find("flipHorizontal");
    layer.flipHorizontal = flip != object.end() && flip->is_boolean() && flip->get<bool>();
    layer.feather = numberMember(object, "feather", 0, 0, 0.25);
    layer.maskPath = stringMember(object, "maskPath", "");
    layer.blendMode = stringMember(object, "blendMode", "normal");
    layers.push_back(std::move(layer));
  }
  return layers;
}

const char* blendFilterName(const std::string& blendMode) {
  if (blendMode == "multiply") return "CIMultiplyBlendMode";
  if (blendMode == "screen") return "CIScreenBlendMode";
  if (blendMode == "overlay") return "CIOverlayBlendMode";
  if (blendMode == "darken") return "CIDarkenBlendMode";
  if (blendMode == "lighten") return "CILightenBlendMode";
  return "CISourceOverCompositing";
}

std::optional<Image> coverFitted(const Image& picture, const Rect& frame) {
  auto fit = coverFit(picture, frame);
  if (!fit) return std::nullopt;
  Image fitted = picture.transformed(*fit);
  if (!fitted.node()) return std::nullopt;
  return fitted.cropped(frame);
}

std::optional<Image> placedLayer(const Image& picture, const Rect& frame, const ImageLayer& layer) {
  auto fit = coverFit(picture, frame);
  if (!fit) return std::nullopt;
  const double dx = layer.offsetX * frame.width(), dy = layer.offsetY * frame.height();
  if (layer.scale == 1 && layer.rotation == 0 && dx == 0 && dy == 0 && !layer.flipHorizontal)
    return coverFitted(picture, frame);
  Affine move = Affine::translation(-frame.midX(), -frame.midY());
  if (layer.flipHorizontal) move = move.then(Affine::scale(-1, 1));
  move = move.then(Affine::rotation(layer.rotation * std::numbers::pi / 180))
             .then(Affine::scale(layer.scale, layer.scale))
             .then(Affine::translation(frame.midX() + dx, frame.midY() + dy));
  // The two maps compose, and the pixels are resampled once, when the crop
  // of the fitted picture to the frame cuts nothing (the picture has the
  // frame's shape) or stays an upright rectangle under the second map.
  const Rect fittedExtent = fit->apply(picture.extent().integral());
  const bool nothingCut = std::fabs(fittedExtent.minX - frame.minX) < 1e-6 &&
                          std::fabs(fittedExtent.minY - frame.minY) < 1e-6 &&
                          std::fabs(fittedExtent.maxX - frame.maxX) < 1e-6 &&
                          std::fabs(fittedExtent.maxY - frame.maxY) < 1e-6;
  if (nothingCut || layer.rotation == 0 || std::fabs(layer.rotation) == 180) {
    Image moved = picture.transformed(fit->then(move));
    if (!moved.node()) return std::nullopt;
    return moved.cropped(nothingCut ? frame : move.apply(frame).intersection(frame));
  }
  auto fitted = coverFitted(picture, frame);
  if (!fitted) return std::nullopt;
  Image moved = fitted->transformed(move);
  if (!moved.node()) return std::nullopt;
  return moved.cropped(frame);
}

double featherRadius(const Rect& frame, double fraction) {
  return std::max(fraction * std::min(frame.width(), frame.height()), 2.0) / 2.5;
}

double matteReduction(double radius) {
  const double reduction = std::floor(radius / 4);
  return reduction >= 2 ? reduction : 1;
}

std::optional<Image> featherMatte(const Image& layer, const Rect& frame, double fraction,
                                  const std::optional<Image>& reduced) {
  namespace ci = coreimage;
  const double radius = featherRadius(frame, fraction);
  const double reduction = reduced ? matteReduction(radius) : 1;
  const Rect matteFrame = reduced ? reducedFrame(frame, reduction) : frame;
  const Image& matteLayer = reduced ? *reduced : layer;
  // The layer over transparent across the whole frame, so the matte is 0
  // wherever the frame holds no layer, not only where the layer is clear.
  auto spread = filtered("CISourceOverCompositing", {{ci::kInputImageKey, matteLayer},
                                                     {ci::kInputBackgroundImageKey, transparentFrame(matteFrame)}});
  if (!spread) return std::nullopt;
  auto matte = filtered("CIColorMatrix", {{ci::kInputImageKey, spread->cropped(matteFrame)},
                                          {"inputRVector", Vector{{0, 0, 0, 1}}},
                                          {"inputGVector", Vector{{0, 0, 0, 1}}},
                                          {"inputBVector", Vector{{0, 0, 0, 1}}},
                                          {"inputAVector", Vector{{0, 0, 0, 0}}},
                                          {"inputBiasVector", Vector{{0, 0, 0, 1}}}});
  if (!matte) return std::nullopt;
  // Outside the frame the matte is 1, so the frame's own borders do not fade.
  auto bounded = filtered("CISourceOverCompositing", {{ci::kInputImageKey, matte->cropped(matteFrame)},
                                                      {ci::kInputBackgroundImageKey, Image::constantColor({1, 1, 1, 1})}});
  if (!bounded) return std::nullopt;
  auto blurred = filtered("CIGaussianBlur", {{ci::kInputImageKey, *bounded}, {ci::kInputRadiusKey, radius / reduction}});
  if (!blurred) return std::nullopt;
  Affine enlargement;
  if (reduced) {
    // The enlargement's taps reach two reduced pixels beyond the frame.
    if (auto kept = stored(*blurred, matteFrame.insetBy(-3, -3))) *blurred = *kept;
    enlargement = Affine::scale(reduction, reduction);
  }
  // 2v − 1, clamped: the blurred boundary (0.5) becomes 0, so the fade lies
  // inside.
  return ci::placedMask(*blurred, enlargement, frame, false, ci::LevelRamp{2, -1});
}

Image featheredLayerEdges(const Image& layer, const Rect& frame, double fraction, const std::optional<Image>& reduced) {
  auto matte = featherMatte(layer, frame, fraction, reduced);
  if (!matte) return layer;
  auto faded = maskedByGrey(layer, *matte, frame);
  return faded ? *faded : layer;
}

Image compositedLayer(const Image& image, const Rect& frame, const Image& picture, const std::optional<Image>& mask,
                      const ImageLayer& layer) {
  namespace ci = coreimage;
  auto placed = placedLayer(picture, frame, layer);
  if (!placed) return image;
  // The grey levels that keep the layer: the feather's matte and the
  // inverted mask. The layer is masked by both, faded by the opacity and
  // blended in one pass.
  std::vector<Image> keeps;
  if (layer.feather > 0) {
    // A wide fade is smooth at the scale of its radius: its matte comes from
    // the layer placed on a frame reduced to a quarter radius per pixel.
    const double reduction = matteReduction(featherRadius(frame, layer.feather));
    std::optional<Image> reduced;
    if (reduction > 1) reduced = placedLayer(picture, reducedFrame(frame, reduction), layer);
    if (auto matte = featherMatte(*placed, frame, layer.feather, reduced)) keeps.push_back(*matte);
  }
  if (mask) {
    // White hides the layer: the inverted mask keeps it.
    if (auto fit = coverFit(*mask, frame))
      if (auto inverted = ci::placedMask(*mask, *fit, frame, true)) keeps.push_back(*inverted);
  }
  auto blended = ci::blendedLayer(*placed, keeps, layer.opacity, blendFilterName(layer.blendMode), image.cropped(frame));
  if (!blended) return image;
  return blended->cropped(frame);
}

std::optional<Image> openLayerPicture(const std::string& path) {
  auto source = imageio::Source::open(path);
  if (!source) return std::nullopt;
  std::optional<imageio::Raster> raster;
  try {
    raster = source->decode(imageio::Orientation::applied, {.maxPixels = kMaxLayerPixels, .maxBytes = kMaxLayerBytes});
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  if (!raster || raster->width < 1 || raster->height < 1) return std::nullopt;
  auto pixels = std::make_shared<imageio::Raster>(std::move(*raster));
  Image image = Image::fromPixels(pixels, pixels->data.data(), pixels->width, pixels->height,
                                  pixels->bitsPerComponent, pixels->rowBytes());
  if (image.isEmpty()) return std::nullopt;
  return image;
}

void applyImageLayers(RenderState& state) {
  const std::vector<ImageLayer> layers = readImageLayers(settings().imageLayers);
  if (layers.empty()) return;
  const Rect frame = state.image.extent().integral();
  if (state.image.isEmpty() || frame.isInfinite()) return;
  for (const ImageLayer& layer : layers) {
    auto picture = openLayerPicture(layer.path);
    if (!picture) continue;
    std::optional<Image> mask;
    if (!layer.maskPath.empty()) mask = openLayerPicture(layer.maskPath);
    state.image = compositedLayer(state.image, frame, *picture, mask, layer);
  }
}

}  // namespace tonesmith
