// Image layers: pictures from files composited over the working image, each
// fitted to cover the frame, placed, feathered, masked and blended.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "coreimage.h"
#include "json.h"

namespace tonesmith {

// One layer object with defaults applied and every number clamped.
struct ImageLayer {
  std::string path;
  double opacity = 1;
  double scale = 1;
  double rotation = 0;  // degrees, counter-clockwise in the y-up system
  double offsetX = 0;   // fractions of the frame's width and height
  double offsetY = 0;
  bool flipHorizontal = false;
  double feather = 0;  // fraction of the frame's shorter side
  std::string maskPath;
  std::string blendMode = "normal";
};

// The layers of an --image-layers value, in order: none unless it is an
// array of objects. Layers without a path or with opacity 0 are left out.
std::vector<ImageLayer> readImageLayers(const std::optional<json::Value>& option);

// The published filter name of a blend mode ("multiply" -> CIMultiplyBlendMode);
// anything unknown composites normally (CISourceOverCompositing).
const char* blendFilterName(const std::string& blendMode);

// `picture` scaled about its centre to cover `frame`, cropped to it; absent
// when the picture is empty.
std::optional<coreimage::Image> coverFitted(const coreimage::Image& picture, const coreimage::Rect& frame);

// The layer picture fitted to the frame and moved by the layer's flip,
// rotation, scale and offsets about the frame's centre, cropped to it.
std::optional<coreimage::Image> placedLayer(const coreimage::Image& picture, const coreimage::Rect& frame,
                                            const ImageLayer& layer);

// The blur radius of a feather: f × the frame's shorter side (at least 2) / 2.5.
double featherRadius(const coreimage::Rect& frame, double fraction);
// The factor by which a feather matte of that radius may be computed
// reduced: a quarter of the radius in whole pixels, or 1 below 2.
double matteReduction(double radius);

// The layer faded towards the edges of its own opaque area (not the frame's
// borders) over f × the frame's shorter side; unchanged when a step fails.
// `reduced`, when given, is the same layer placed on the frame reduced by
// matteReduction: the matte is then blurred at that size and enlarged.
// featherMatte gives the grey matte of that fade over the frame (1 keeps
// the layer, 0 hides it), absent when a step fails.
std::optional<coreimage::Image> featherMatte(const coreimage::Image& layer, const coreimage::Rect& frame,
                                             double fraction, const std::optional<coreimage::Image>& reduced);
coreimage::Image featheredLayerEdges(const coreimage::Image& layer, const coreimage::Rect& frame, double fraction,
                                     const std::optional<coreimage::Image>& reduced = std::nullopt);

// `image` with one layer composited over it. `picture` and `mask` are the
// decoded layer and mask files (the mask absent when it did not open).
// Returns `image` unchanged when the layer is skipped.
coreimage::Image compositedLayer(const coreimage::Image& image, const coreimage::Rect& frame,
                                 const coreimage::Image& picture, const std::optional<coreimage::Image>& mask,
                                 const ImageLayer& layer);

// A layer or mask file decoded upright; absent when it cannot be read.
std::optional<coreimage::Image> openLayerPicture(const std::string& path);

}  // namespace tonesmith
