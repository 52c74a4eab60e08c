// Comparison of two renders for the coreimage tests.
#pragma once

#include <cmath>

#include "coreimage.h"

namespace coreimage {

// Worst difference of premultiplied components (a nearly clear pixel's
// colour counts little) between two renders of `window`; NaN when either
// holds NaN.
inline double worstPremultipliedDifference(const Image& a, const Image& b, const PixelRect& window) {
  std::vector<float> pa = renderFloat(a, window), pb = renderFloat(b, window);
  double worst = 0;
  for (std::size_t i = 0; i < pa.size(); ++i) {
    const std::size_t p = i - i % 4;
    const double wa = i % 4 == 3 ? 1 : pa[p + 3], wb = i % 4 == 3 ? 1 : pb[p + 3];
    const double d = std::fabs(pa[i] * wa - pb[i] * wb);
    if (!(d <= worst)) worst = d;
  }
  return worst;
}

}  // namespace coreimage
