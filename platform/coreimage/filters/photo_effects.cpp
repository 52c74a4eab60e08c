// The photo-effect presets: fixed looks with no parameters but the input
// image. Each works on non-premultiplied colour, keeps alpha, and clamps
// its result to 0..1. y is the Rec. 709 luma of the input.
//
// CIPhotoEffectMono: plain black and white: (y, y, y).
// CIPhotoEffectNoir: black and white with strong contrast, as a film-noir
//   print: y clamped, then 70 % of the smooth S-curve y²(3 − 2y) mixed with
//   30 % of y, then stretched about 0.5 by 1.15 and slightly darkened
//   (power 1.1).
// CIPhotoEffectFade: washed-out colour: saturation 0.65, then the tones
//   squeezed into 0.08 .. 0.92 (lifted blacks, dimmed whites), with a faint
//   warm cast (+0.01 red, −0.01 blue).
// CIPhotoEffectInstant: an instant print: saturation 0.85, tones squeezed
//   into 0.05 .. 0.95, a warm yellow cast (red × 1.06, green × 1.01, blue ×
//   0.9 + 0.04).
// CIPhotoEffectChrome: vivid slide film: saturation 1.3, contrast 1.12 about
//   0.5.
#include <algorithm>
#include <cmath>

#include "filters.h"

namespace coreimage {
namespace {

inline float unit(float v) { return v > 0 ? (v < 1 ? v : 1) : 0; }

inline void saturate(float* px, float s) {
  float y = luma(px);
  for (int k = 0; k < 3; ++k) px[k] = y + (px[k] - y) * s;
}

template <typename Look>
std::optional<Image> withLook(const Parameters& p, Look look) {
  const Image* input = imageParameter(p, kInputImageKey);
  if (!input) return std::nullopt;
  return input->applyingPixelOperation([look](float* px, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, px += 4) {
      look(px);
      for (int k = 0; k < 3; ++k) px[k] = unit(px[k]);
    }
  });
}

}  // namespace

std::optional<Image> photoEffectMono(const Parameters& p) {
  return withLook(p, [](float* px) { px[0] = px[1] = px[2] = luma(px); });
}

std::optional<Image> photoEffectNoir(const Parameters& p) {
  return withLook(p, [](float* px) {
    float y = unit(luma(px));
    float s = y * y * (3 - 2 * y);
    float v = unit((0.7f * s + 0.3f * y - 0.5f) * 1.15f + 0.5f);
    px[0] = px[1] = px[2] = std::pow(v, 1.1f);
  });
}

std::optional<Image> photoEffectFade(const Parameters& p) {
  return withLook(p, [](float* px) {
    saturate(px, 0.65f);
    for (int k = 0; k < 3; ++k) px[k] = 0.08f + 0.84f * unit(px[k]);
    px[0] += 0.01f;
    px[2] -= 0.01f;
  });
}

std::optional<Image> photoEffectInstant(const Parameters& p) {
  return withLook(p, [](float* px) {
    saturate(px, 0.85f);
    for (int k = 0; k < 3; ++k) px[k] = 0.05f + 0.9f * unit(px[k]);
    px[0] *= 1.06f;
    px[1] *= 1.01f;
    px[2] = px[2] * 0.9f + 0.04f;
  });
}

std::optional<Image> photoEffectChrome(const Parameters& p) {
  return withLook(p, [](float* px) {
    saturate(px, 1.3f);
    for (int k = 0; k < 3; ++k) px[k] = (px[k] - 0.5f) * 1.12f + 0.5f;
  });
}

}  // namespace coreimage
