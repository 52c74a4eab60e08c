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
#include <immintrin.h>

#include "filters.h"

namespace coreimage {
namespace {

// The part of c that does not depend on the mode.
inline Pixel4 uncovered(Pixel4 cs, Pixel4 cb, float as, float ab) { return cs * (1 - ab) + cb * (1 - as); }

// Multiply (or screen) two pixels a register: the same operations, lane by
// lane, as one pixel at a time. The two modes of most layers.
template <bool screen>
__attribute__((target("avx2"))) void multiplyOrScreenPairsAvx2(const float* s, float* b, std::size_t pairs) {
  const __m256i alphaLanes = _mm256_setr_epi32(3, 3, 3, 3, 7, 7, 7, 7);
  const __m256 one = _mm256_set1_ps(1);
  for (std::size_t i = 0; i < pairs; ++i, s += 8, b += 8) {
    const __m256 cs = _mm256_loadu_ps(s), cb = _mm256_loadu_ps(b);
    const __m256 as = _mm256_permutevar8x32_ps(cs, alphaLanes), ab = _mm256_permutevar8x32_ps(cb, alphaLanes);
    __m256 mix;
    if constexpr (screen)
      mix = cs * ab + cb * as - cs * cb;
    else
      mix = cs * cb;
    const __m256 c = cs * (one - ab) + cb * (one - as) + mix;
    _mm256_storeu_ps(b, _mm256_blend_ps(c, as + ab - as * ab, 0x88));
  }
}

// Each mix gets the premultiplied pixels and both alphas in every lane and
// returns as·ab·B(Cb, Cs) per colour component, all three at once (the
// alpha lane is replaced). `pairs`, when given, does the same for pairs of
// pixels in wide registers.
template <typename Mix>
void blendRun(const float* s, float* b, std::size_t count, Mix mix,
              void (*pairs)(const float*, float*, std::size_t) = nullptr) {
  if (pairs && hasAvx2()) {
    pairs(s, b, count / 2);
    s += count / 2 * 8;
    b += count / 2 * 8;
    count %= 2;
  }
  for (std::size_t i = 0; i < count; ++i, s += 4, b += 4) {
    const float as = s[3], ab = b[3];
    const Pixel4 cs = loadPixel(s), cb = loadPixel(b);
    Pixel4 c = uncovered(cs, cb, as, ab) + mix(cs, cb, Pixel4{as, as, as, as}, Pixel4{ab, ab, ab, ab});
    c[3] = as + ab - as * ab;
    storePixel(b, c);
  }
}

void multiplyRun(const float* s, float* b, std::size_t n) {
  blendRun(
      s, b, n, [](Pixel4 cs, Pixel4 cb, Pixel4, Pixel4) { return cs * cb; }, multiplyOrScreenPairsAvx2<false>);
}
void screenRun(const float* s, float* b, std::size_t n) {
  blendRun(
      s, b, n, [](Pixel4 cs, Pixel4 cb, Pixel4 as, Pixel4 ab) { return cs * ab + cb * as - cs * cb; },
      multiplyOrScreenPairsAvx2<true>);
}
void overlayRun(const float* s, float* b, std::size_t n) {
  blendRun(s, b, n, [](Pixel4 cs, Pixel4 cb, Pixel4 as, Pixel4 ab) {
    return 2 * cb <= ab ? 2 * cs * cb : as * ab - 2 * (as - cs) * (ab - cb);
  });
}
void darkenRun(const float* s, float* b, std::size_t n) {
  blendRun(s, b, n, [](Pixel4 cs, Pixel4 cb, Pixel4 as, Pixel4 ab) {
    const Pixel4 source = cs * ab, background = cb * as;
    return background < source ? background : source;
  });
}
void subtractRun(const float* s, float* b, std::size_t n) {
  blendRun(s, b, n, [](Pixel4 cs, Pixel4 cb, Pixel4 as, Pixel4 ab) { return cb * as - cs * ab; });
}
// The lighter of the two, in the premultiplied form of CILightenBlendMode.
void lightenRun(const float* s, float* b, std::size_t n) {
  blendRun(s, b, n, [](Pixel4 cs, Pixel4 cb, Pixel4 as, Pixel4 ab) {
    const Pixel4 source = cs * ab, background = cb * as;
    return background > source ? background : source;
  });
}

}  // namespace

PairKernel blendKernelNamed(std::string_view filterName) {
  if (filterName == "CIMultiplyBlendMode") return multiplyRun;
  if (filterName == "CIScreenBlendMode") return screenRun;
  if (filterName == "CIOverlayBlendMode") return overlayRun;
  if (filterName == "CIDarkenBlendMode") return darkenRun;
  if (filterName == "CILightenBlendMode") return lightenRun;
  if (filterName == "CISubtractBlendMode") return subtractRun;
  if (filterName == "CISourceOverCompositing") return sourceOverRun;
  return nullptr;
}

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
