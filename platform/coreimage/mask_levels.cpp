// A mask picture placed upright over a frame, perhaps put through a ramp
// and inverted, whose mask levels come from two planes of the picture
// (alpha and the luminance of premultiplied colour) made once at its own
// resolution: a level is one resampled pair of planes instead of four
// resampled channels. The planes are summed with the weights of the
// four-channel resampling, so the levels are those of the image itself to
// float rounding.
#include <algorithm>
#include <immintrin.h>
#include <mutex>

#include "layering.h"
#include "node.h"

namespace coreimage {
namespace {

using NodePtr = std::shared_ptr<const Node>;

// Larger pictures keep the four-channel path (no planes in memory).
constexpr std::int64_t kMaxPlanePixels = std::int64_t{1} << 23;

struct GreyPlanes {
  PixelRect domain;
  std::vector<float> alpha, luminance;  // rows bottom first
  bool grey = true;  // every pixel's red, green and blue are equal
};

// How a level follows from a pixel's alpha and the luminance of its
// premultiplied colour: the colour may go through a ramp (gain · c + bias,
// clamped to 0..1, which needs grey pixels to act on the luminance) and be
// inverted (1 − c).
struct LevelRule {
  bool inverted = false;
  bool ramped = false;
  float gain = 1, bias = 0;
};

// The sum of the luminance weights: a grey pixel's luminance over its grey.
constexpr float kLuminanceOfWhite = 0.2126f + 0.7152f + 0.0722f;

// The planes of `picture` over its pixel domain, rendered a strip at a time.
std::optional<GreyPlanes> greyPlanesOf(const Node& picture) {
  const Rect extent = picture.extent();
  // Whole pixels only: the planes then hold exactly the pixels the
  // four-channel resampling reads.
  if (extent.isInfinite() || !(extent.integral() == extent)) return std::nullopt;
  GreyPlanes planes;
  planes.domain = pixelsInside(extent);
  const PixelRect& d = planes.domain;
  if (d.isEmpty() || d.width > kMaxPlanePixels / std::max<std::int64_t>(d.height, 1)) return std::nullopt;
  const auto count = static_cast<std::size_t>(d.width) * static_cast<std::size_t>(d.height);
  planes.alpha.resize(count);
  planes.luminance.resize(count);
  constexpr std::int64_t kStrip = 64;
  for (std::int64_t y = d.y; y < d.maxY(); y += kStrip) {
    const PixelRect strip{d.x, y, d.width, std::min(kStrip, d.maxY() - y)};
    const TileBuffer buffer = renderPremultipliedToBuffer(picture, strip);
    const std::size_t first = static_cast<std::size_t>(y - d.y) * static_cast<std::size_t>(d.width);
    const std::size_t n = static_cast<std::size_t>(strip.width) * static_cast<std::size_t>(strip.height);
    const float* p = buffer.pixels.data();
    for (std::size_t i = 0; i < n; ++i, p += 4) {
      planes.alpha[first + i] = p[3];
      planes.luminance[first + i] = 0.2126f * p[0] + 0.7152f * p[1] + 0.0722f * p[2];
      planes.grey = planes.grey && p[0] == p[1] && p[1] == p[2];
    }
  }
  return planes;
}

inline float unitClamped(float v) { return v > 0 ? (v < 1 ? v : 1.0f) : 0.0f; }

// Level x of four filtered rows (alpha, then luminance, `width` apart)
// summed with their weights, by `rule`. Without a ramp that is the
// luminance, or alpha − luminance when inverted (the luminance of 1 − c at
// that alpha); clear pixels (alpha up to 1e-6) give 0.
inline float combinedLevel(const float* const h[4], const float weight[4], std::size_t width, std::size_t x,
                           const LevelRule& rule) {
  const float alpha =
      unitClamped(h[0][x] * weight[0] + h[1][x] * weight[1] + h[2][x] * weight[2] + h[3][x] * weight[3]);
  const float luminance = h[0][width + x] * weight[0] + h[1][width + x] * weight[1] + h[2][width + x] * weight[2] +
                          h[3][width + x] * weight[3];
  if (!(alpha > 1e-6f)) return 0;
  if (!rule.ramped) return unitClamped(rule.inverted ? alpha - luminance : luminance);
  float c = unitClamped(rule.gain * (luminance / (alpha * kLuminanceOfWhite)) + rule.bias);
  if (rule.inverted) c = 1 - c;
  return unitClamped(alpha * c * kLuminanceOfWhite);
}

// Eight columns from `i` of four filtered rows summed with their weights.
__attribute__((target("avx2"))) inline __m256 weightedSum8(const float* const h[4], const __m256 w[4], std::size_t i) {
  __m256 acc = _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(h[0] + i), w[0]), _mm256_mul_ps(_mm256_loadu_ps(h[1] + i), w[1]));
  acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_loadu_ps(h[2] + i), w[2]));
  return _mm256_add_ps(acc, _mm256_mul_ps(_mm256_loadu_ps(h[3] + i), w[3]));
}

__attribute__((target("avx2"))) inline __m256 unitClamped8(__m256 v) {
  // max then min sends NaN to 0, as unitClamped does.
  return _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(1));
}

// The levels of combinedLevel, eight at a time, with the same operations
// lane by lane; returns how many it made.
__attribute__((target("avx2"))) std::size_t combineLevelsAvx2(const float* const h[4], const float weight[4],
                                                             std::size_t width, const LevelRule& rule, float* out) {
  const __m256 w[4] = {_mm256_set1_ps(weight[0]), _mm256_set1_ps(weight[1]), _mm256_set1_ps(weight[2]),
                       _mm256_set1_ps(weight[3])};
  const __m256 one = _mm256_set1_ps(1), least = _mm256_set1_ps(1e-6f), white = _mm256_set1_ps(kLuminanceOfWhite);
  const __m256 gain = _mm256_set1_ps(rule.gain), bias = _mm256_set1_ps(rule.bias);
  std::size_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256 alpha = unitClamped8(weightedSum8(h, w, x));
    const __m256 luminance = weightedSum8(h, w, width + x);
    const __m256 kept = _mm256_cmp_ps(alpha, least, _CMP_GT_OQ);
    __m256 level;
    if (!rule.ramped) {
      level = unitClamped8(rule.inverted ? _mm256_sub_ps(alpha, luminance) : luminance);
    } else {
      // Clear lanes divide by 0; they are dropped below.
      const __m256 grey = _mm256_div_ps(luminance, _mm256_mul_ps(alpha, white));
      __m256 c = unitClamped8(_mm256_add_ps(_mm256_mul_ps(gain, grey), bias));
      if (rule.inverted) c = _mm256_sub_ps(one, c);
      level = unitClamped8(_mm256_mul_ps(_mm256_mul_ps(alpha, c), white));
    }
    _mm256_storeu_ps(out + x, _mm256_and_ps(level, kept));
  }
  return x;
}

class PlacedLevelsNode final : public Node {
 public:
  // `image` is the placed mask itself (ramp and inversion included);
  // `picture` and `inverse` (upright) are its source and the map back to it.
  PlacedLevelsNode(NodePtr image, NodePtr picture, const Affine& inverse, const LevelRule& rule)
      : image_(std::move(image)), picture_(std::move(picture)), inverse_(inverse), rule_(rule) {}

  Rect extent() const override { return image_->extent(); }
  void render(const TileView& out) const override { image_->render(out); }
  void renderPremultiplied(const TileView& out) const override { image_->renderPremultiplied(out); }
  bool prefersPremultiplied() const override { return image_->prefersPremultiplied(); }

  bool renderMaskLevels(const PixelRect& rect, float* levels) const override {
    std::call_once(planesMade_, [this] { planes_ = greyPlanesOf(*picture_); });
    if (!planes_ || (rule_.ramped && !planes_->grey)) return false;
    const auto stride = static_cast<std::size_t>(rect.width);
    std::fill_n(levels, stride * static_cast<std::size_t>(rect.height), 0.0f);
    const PixelRect domain = rect.intersection(pixelDomain(extent(), rect));
    if (domain.isEmpty()) return true;
    const PixelRect& source = planes_->domain;
    const std::vector<BicubicTaps> columns =
        bicubicTapsAlong(domain.x, domain.width, inverse_.a, inverse_.tx, source.x, source.width);
    const std::vector<BicubicTaps> rows =
        bicubicTapsAlong(domain.y, domain.height, inverse_.d, inverse_.ty, source.y, source.height);
    std::int64_t lo = source.height, hi = -1;
    for (const BicubicTaps& t : rows)
      if (t.inside) {
        lo = std::min(lo, t.index[0]);
        hi = std::max(hi, t.index[3]);
      }
    if (hi < lo) return true;
    // Both planes of the source rows read, filtered along the columns.
    const auto width = static_cast<std::size_t>(domain.width);
    const auto lineCount = static_cast<std::size_t>(hi - lo + 1);
    PixelStore lines(lineCount * width * 2);
    const auto sourceWidth = static_cast<std::size_t>(source.width);
    for (std::size_t j = 0; j < lineCount; ++j) {
      const std::size_t at = (static_cast<std::size_t>(lo) + j) * sourceWidth;
      const float* a = planes_->alpha.data() + at;
      const float* l = planes_->luminance.data() + at;
      float* ha = lines.data() + j * width * 2;
      float* hl = ha + width;
      for (std::size_t x = 0; x < width; ++x) {
        const BicubicTaps& t = columns[x];
        if (!t.inside) {
          ha[x] = hl[x] = 0;
          continue;
        }
        ha[x] = a[t.index[0]] * t.weight[0] + a[t.index[1]] * t.weight[1] + a[t.index[2]] * t.weight[2] +
                a[t.index[3]] * t.weight[3];
        hl[x] = l[t.index[0]] * t.weight[0] + l[t.index[1]] * t.weight[1] + l[t.index[2]] * t.weight[2] +
                l[t.index[3]] * t.weight[3];
      }
    }
    const bool useAvx2 = hasAvx2();
    for (std::int64_t y = domain.y; y < domain.maxY(); ++y) {
      const BicubicTaps& r = rows[static_cast<std::size_t>(y - domain.y)];
      if (!r.inside) continue;
      const float* h[4];
      for (int j = 0; j < 4; ++j) h[j] = lines.data() + static_cast<std::size_t>(r.index[j] - lo) * width * 2;
      float* out = levels + static_cast<std::size_t>(y - rect.y) * stride + static_cast<std::size_t>(domain.x - rect.x);
      const std::size_t done = useAvx2 ? combineLevelsAvx2(h, r.weight, width, rule_, out) : 0;
      // Columns outside the picture filtered to alpha 0, so their level is 0.
      for (std::size_t x = done; x < width; ++x) out[x] = combinedLevel(h, r.weight, width, x, rule_);
    }
    return true;
  }

 private:
  NodePtr image_, picture_;
  Affine inverse_;
  LevelRule rule_;
  mutable std::once_flag planesMade_;
  mutable std::optional<GreyPlanes> planes_;
};

}  // namespace

std::optional<Image> placedMask(const Image& mask, const Affine& placement, const Rect& frame, bool inverted,
                                const std::optional<LevelRamp>& ramp) {
  const Image moved = mask.transformed(placement);
  if (!moved.node()) return std::nullopt;
  // The grey planes serve one bicubic resampling that neither turns nor
  // shears; any other placement renders as it is.
  NodePtr picture;
  Affine transform;
  const bool upright = affineResampling(*moved.node(), picture, transform) && transform.b == 0 && transform.c == 0;
  Image result = moved.cropped(frame);
  auto apply = [&result](const char* name, const Parameters& parameters) {
    auto filter = Filter::named(name);
    if (!filter) return false;
    filter->setValue(kInputImageKey, result);
    for (const auto& [key, value] : parameters) filter->setValue(key, value);
    auto output = filter->outputImage();
    if (!output || !output->node()) return false;
    result = *output;
    return true;
  };
  LevelRule rule;
  rule.inverted = inverted;
  if (ramp) {
    rule.ramped = true;
    rule.gain = static_cast<float>(ramp->gain);
    rule.bias = static_cast<float>(ramp->bias);
    const double g = ramp->gain, b = ramp->bias;
    if (!apply("CIColorMatrix", {{"inputRVector", Vector{{g, 0, 0, 0}}},
                                 {"inputGVector", Vector{{0, g, 0, 0}}},
                                 {"inputBVector", Vector{{0, 0, g, 0}}},
                                 {"inputAVector", Vector{{0, 0, 0, 1}}},
                                 {"inputBiasVector", Vector{{b, b, b, 0}}}}) ||
        !apply("CIColorClamp", {{"inputMinComponents", Vector{{0, 0, 0, 0}}},
                                {"inputMaxComponents", Vector{{1, 1, 1, 1}}}}))
      return std::nullopt;
    result = result.cropped(frame);
  }
  if (inverted && !apply("CIColorInvert", {})) return std::nullopt;
  const auto inverse = transform.inverted();
  if (!upright || !inverse) return result;
  return Image(std::make_shared<PlacedLevelsNode>(result.node(), picture, *inverse, rule));
}

}  // namespace coreimage
