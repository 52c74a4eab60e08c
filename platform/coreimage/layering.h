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

}  // namespace coreimage
