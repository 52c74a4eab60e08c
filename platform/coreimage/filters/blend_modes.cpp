// The separable blend modes of the PDF imaging model, on premultiplied
// colour. With B(Cb, Cs) the mode's mix of non-premultiplied background and
// source colour, each colour component is
//   c = as·ab·B(Cb, Cs) + cs·(1 − ab) + cb·(1 − as),  a = as + ab − as·ab,
// so where only one image has cover it shows unchanged. Results are not
// clamped. Each takes inputImage (the source) and inputBackgroundImage; the
// extent is the union of both.
//
// CIMultiplyBlendMode: B = Cs·Cb, never lighter than either.
// CIScreenBlendMode:   B = Cs + Cb − Cs·Cb, never darker than either.
// CIOverlayBlendMode:  multiplies or screens by the background:
//                      B = 2·Cs·Cb when Cb ≤ 0.5, else 1 − 2·(1 − Cs)·(1 − Cb).
// CIDarkenBlendMode:   B = min(Cs, Cb).
// CISubtractBlendMode: B = Cb − Cs, the background minus the source.
// See also: CILightenBlendMode (blend.cpp), the compositing operators.
#include <algorithm>

#include "filters.h"

namespace coreimage {
namespace {

// The part of c that does not depend on the mode.
inline Pixel4 uncovered(Pixel4 cs, Pixel4 cb, float as, float ab) { return cs * (1 - ab) + cb * (1 - as); }

template <typename Mix>
void blendRun(const float* s, float* b, std::size_t count, Mix mix) {
  for (std::size_t i = 0; i < count; ++i, s += 4, b += 4) {
    const float as = s[3], ab = b[3];
    Pixel4 cs = loadPixel(s), cb = loadPixel(b);
    Pixel4 c = uncovered(cs, cb, as, ab);
    for (int k = 0; k < 3; ++k) c[k] += mix(cs[k], cb[k], as, ab);
    c[3] = as + ab - as * ab;
    storePixel(b, c);
  }
}

// Each mix returns as·ab·B(Cb, Cs) from the premultiplied components.
void multiplyRun(const float* s, float* b, std::size_t n) {
  blendRun(s, b, n, [](float cs, float cb, float, float) { return cs * cb; });
}
void screenRun(const float* s, float* b, std::size_t n) {
  blendRun(s, b, n, [](float cs, float cb, float as, float ab) { return cs * ab + cb * as - cs * cb; });
}
void overlayRun(const float* s, float* b, std::size_t n) {
  blendRun(s, b, n, [](float cs, float cb, float as, float ab) {
    return 2 * cb <= ab ? 2 * cs * cb : as * ab - 2 * (as - cs) * (ab - cb);
  });
}
void darkenRun(const float* s, float* b, std::size_t n) {
  blendRun(s, b, n, [](float cs, float cb, float as, float ab) { return std::min(cs * ab, cb * as); });
}
void subtractRun(const float* s, float* b, std::size_t n) {
  blendRun(s, b, n, [](float cs, float cb, float as, float ab) { return cb * as - cs * ab; });
}

}  // namespace

std::optional<Image> multiplyBlendMode(const Parameters& p) {
  return blendedPair(p, multiplyRun, PairExtent::unionOfBoth);
}
std::optional<Image> screenBlendMode(const Parameters& p) { return blendedPair(p, screenRun, PairExtent::unionOfBoth); }
std::optional<Image> overlayBlendMode(const Parameters& p) {
  return blendedPair(p, overlayRun, PairExtent::unionOfBoth);
}
std::optional<Image> darkenBlendMode(const Parameters& p) { return blendedPair(p, darkenRun, PairExtent::unionOfBoth); }
std::optional<Image> subtractBlendMode(const Parameters& p) {
  return blendedPair(p, subtractRun, PairExtent::unionOfBoth);
}

}  // namespace coreimage
