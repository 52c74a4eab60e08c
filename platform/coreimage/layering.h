// One layer mixed over a background in a single pass per tile.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "coreimage.h"

namespace coreimage {

// `layer` mixed over `background` by a blend filter given by its published
// name (a blend mode or CISourceOverCompositing), with the layer's alpha
// first scaled by `opacity` and by the grey level of every image in `keeps`
// (each read as CIBlendWithMask reads its mask: the Rec. 709 luminance of
// its premultiplied colour, clamped to 0..1). The same, to float rounding,
// as CIBlendWithMask over a clear colour (once per keep), CIColorMatrix with
// inputAVector (0, 0, 0, opacity) and the blend filter, without their
// intermediate tiles; the layer is only rendered where its weight is above
// 0. The extent is the union of layer and background. Absent for an
// unknown filter name, a missing image or an opacity outside 0..1.
std::optional<Image> blendedLayer(const Image& layer, const std::vector<Image>& keeps, double opacity,
                                  std::string_view blendFilterName, const Image& background);

// A colour ramp: CIColorMatrix with `gain` on the red, green and blue
// diagonal and `bias` on red, green and blue (alpha kept), then
// CIColorClamp to 0..1.
struct LevelRamp {
  double gain = 1, bias = 0;
};

// `mask` moved by `placement` and cropped to `frame`, then put through
// `ramp` (and cropped to `frame` again) when there is one, its colour
// inverted (CIColorInvert) when `inverted`: that image. When `placement`
// neither turns nor shears it gives its mask levels (as blendedLayer reads
// its keeps) from grey planes of `mask` rather than from four resampled
// channels (with a ramp, only for a mask whose every pixel is grey).
// Absent when `mask` is empty or `placement` cannot be inverted.
std::optional<Image> placedMask(const Image& mask, const Affine& placement, const Rect& frame, bool inverted,
                                const std::optional<LevelRamp>& ramp = std::nullopt);

}  // namespace coreimage
