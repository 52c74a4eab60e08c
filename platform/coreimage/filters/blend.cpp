// Blending of two or three images, computed on premultiplied colour.
//
// CILightenBlendMode: creates composite samples by choosing the lighter of
// source and background: with premultiplied colours,
//   c = max(cs·ab, cb·as) + cs·(1 − ab) + cb·(1 − as),  a = as + ab − as·ab.
// The extent is the union of both.
//
// CIBlendWithMask: uses values from a greyscale mask to interpolate between
// an image and the background: m = the mask's luminance (Rec. 709 weights of
// its premultiplied colour, clamped to 0..1), result = image·m +
// background·(1 − m). The extent is the union of image and background.
#include <algorithm>
#include <immintrin.h>

#include "filters.h"

namespace coreimage {
namespace {

// The grey level of one mask pixel (non-premultiplied): alpha times the
// Rec. 709 luminance of the colour, which is the luminance of the
// premultiplied colour, clamped to 0..1 (NaN counts as 0).
inline float maskLevel(const float* m) {
  const float v = m[3] * (0.2126f * m[0] + 0.7152f * m[1] + 0.0722f * m[2]);
  return v > 0 ? (v < 1 ? v : 1.0f) : 0.0f;
}

// Eight levels at a time, with the operations of maskLevel lane by lane.
__attribute__((target("avx2"))) void scaleByMaskLevelsAvx2(const float* m, float* weights, std::size_t eights) {
  const __m256 luma = _mm256_setr_ps(0.2126f, 0.7152f, 0.0722f, 0, 0.2126f, 0.7152f, 0.0722f, 0);
  const __m256 colour = _mm256_castsi256_ps(_mm256_setr_epi32(-1, -1, -1, 0, -1, -1, -1, 0));
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const __m256i alphas = _mm256_setr_epi32(3, 7, 11, 15, 19, 23, 27, 31);
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1);
  for (std::size_t i = 0; i < eights; ++i, m += 32, weights += 8) {
    __m256 p[4];
    for (int k = 0; k < 4; ++k) p[k] = _mm256_and_ps(_mm256_mul_ps(_mm256_loadu_ps(m + k * 8), luma), colour);
    // (r·0.2126 + g·0.7152) + (b·0.0722 + 0), in the order of maskLevel.
    const __m256 sums = _mm256_hadd_ps(_mm256_hadd_ps(p[0], p[1]), _mm256_hadd_ps(p[2], p[3]));
    const __m256 level = _mm256_mul_ps(_mm256_i32gather_ps(m, alphas, 4), _mm256_permutevar8x32_ps(sums, order));
    const __m256 clamped = _mm256_min_ps(_mm256_max_ps(level, zero), one);
    _mm256_storeu_ps(weights, _mm256_mul_ps(_mm256_loadu_ps(weights), clamped));
  }
}


inline Pixel4 maxPixel(Pixel4 a, Pixel4 b) { return a > b ? a : b; }

using NodePtr = std::shared_ptr<const Node>;

class LightenNode final : public Node {
 public:
  LightenNode(NodePtr source, NodePtr background)
      : source_(std::move(source)), background_(std::move(background)),
        extent_(source_->extent().unionWith(background_->extent())) {}
  Rect extent() const override { return extent_; }
  void render(const TileView& out) const override {
    TileBuffer s = renderToBuffer(*source_, out.rect);
    background_->render(out);
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* b = out.row(y);
      const float* c = s.pixel(out.rect.x, y);
      bool opaque = true;
      for (std::int64_t x = 0; x < out.rect.width; ++x, b += 4, c += 4) {
        float as = c[3], ab = b[3];
        if (as == 1 && ab == 1) {
          storePixel(b, maxPixel(loadPixel(b), loadPixel(c)));
          continue;
        }
        opaque = false;
        for (int k = 0; k < 3; ++k) {
          float cs = c[k] * as, cb = b[k] * ab;
          float v = std::max(cs * ab, cb * as) + cs * (1 - ab) + cb * (1 - as);
          b[k] = v;
        }
        float a = as + ab - as * ab;
        b[3] = a;
      }
      if (!opaque) unpremultiply(out.row(y), static_cast<std::size_t>(out.rect.width));
    }
  }

 private:
  NodePtr source_, background_;
  Rect extent_;
};

class BlendWithMaskNode final : public Node {
 public:
  BlendWithMaskNode(NodePtr image, NodePtr background, NodePtr mask)
      : image_(std::move(image)), background_(std::move(background)), mask_(std::move(mask)),
        extent_(image_->extent().unionWith(background_->extent())) {}
  Rect extent() const override { return extent_; }
  // Where the mask cannot reach, its level is 0 and only the background shows.
  bool copyPixels(const PixelRect& region, PixelFormat format, std::uint8_t* destination,
                  std::size_t rowBytes) const override {
    if (touchesMask(region)) return false;
    return background_->copyPixels(region, format, destination, rowBytes);
  }
  void render(const TileView& out) const override { blend(out, false); }
  void renderPremultiplied(const TileView& out) const override { blend(out, true); }
  bool prefersPremultiplied() const override { return true; }

 private:
  // The mix, with the result's colour premultiplied when `premultiplied`.
  void blend(const TileView& out, bool premultiplied) const {
    PixelRect domain = out.rect.intersection(pixelDomain(extent_, out.rect));
    clearOutside(out, domain);
    if (domain.isEmpty()) return;
    TileView view = out.subview(domain);
    if (!touchesMask(domain)) {
      // Outside the mask's extent its level is 0: the background shows.
      if (premultiplied)
        background_->renderPremultiplied(view);
      else
        background_->render(view);
      return;
    }
    // The mask decides first: the image is rendered only over the runs of
    // columns where the mask is above 0 somewhere, and the background is
    // skipped where the mask is 1 throughout.
    TileBuffer mask = renderToBuffer(*mask_, domain);
    const auto w = static_cast<std::size_t>(domain.width), h = static_cast<std::size_t>(domain.height);
    PixelStore weights(w * h);
    std::fill_n(weights.data(), w * h, 1.0f);
    scaleByMaskLevels(mask.pixels.data(), weights.data(), w * h);
    std::vector<char> columnUsed(w, 0);
    bool allOne = true;
    for (std::size_t y = 0, i = 0; y < h; ++y)
      for (std::size_t x = 0; x < w; ++x, ++i) {
        const float v = weights[i];
        columnUsed[x] |= v > 0;
        allOne = allOne && v == 1;
      }
    if (allOne) {
      if (premultiplied)
        image_->renderPremultiplied(view);
      else
        image_->render(view);
      return;
    }
    // Over a clear background the result is the image with its alpha scaled
    // by the mask: what the mix gives, to float rounding.
    const bool clearBackground = background_->isClear();
    if (clearBackground)
      fillTransparent(view);
    else if (premultiplied)
      background_->renderPremultiplied(view);
    else
      background_->render(view);
    for (std::size_t first = 0; first < w;) {
      if (!columnUsed[first]) {
        ++first;
        continue;
      }
      std::size_t last = first;
      while (last < w && columnUsed[last]) ++last;
      PixelRect run{domain.x + static_cast<std::int64_t>(first), domain.y, static_cast<std::int64_t>(last - first),
                    domain.height};
      TileBuffer fg = renderToBuffer(*image_, run);
      for (std::size_t y = 0; y < h; ++y) {
        float* b = view.pixel(run.x, domain.y + static_cast<std::int64_t>(y));
        const float* f = fg.pixel(run.x, domain.y + static_cast<std::int64_t>(y));
        const float* m = weights.data() + y * w + first;
        for (std::size_t x = 0; x < last - first; ++x, b += 4, f += 4) {
          float mv = m[x];
          if (mv == 0) continue;
          float ab = b[3], af = f[3];
          float a = af * mv + ab * (1 - mv);
          Pixel4 c;
          if (premultiplied) {
            // b is premultiplied already.
            c = loadPixel(f) * (af * mv) + loadPixel(b) * (1 - mv);
          } else if (!(a > 1e-6f)) {
            c = Pixel4{0, 0, 0, 0};
            a = 0;
          } else if (clearBackground) {
            c = loadPixel(f);
          } else {
            const float inverse = 1 / a;
            c = (loadPixel(f) * (af * mv) + loadPixel(b) * (ab * (1 - mv))) * inverse;
          }
          c[3] = a;
          storePixel(b, c);
        }
      }
      first = last;
    }
  }

  // Whether any pixel of `region` may have a mask level above 0.
  bool touchesMask(const PixelRect& region) const {
    const Rect mask = mask_->extent();
    return mask.isInfinite() || !region.intersection(pixelsTouching(mask)).isEmpty();
  }

  NodePtr image_, background_, mask_;
  Rect extent_;
};

}  // namespace

void scaleByMaskLevels(const float* m, float* weights, std::size_t count) {
  std::size_t i = 0;
  if (hasAvx2()) {
    scaleByMaskLevelsAvx2(m, weights, count / 8);
    i = count / 8 * 8;
  }
  for (; i < count; ++i) weights[i] *= maskLevel(m + i * 4);
}

std::optional<Image> lightenBlendMode(const Parameters& p) {
  const Image* source = imageParameter(p, kInputImageKey);
  const Image* background = imageParameter(p, kInputBackgroundImageKey);
  if (!source || !background) return std::nullopt;
  return Image(std::make_shared<LightenNode>(source->node(), background->node()));
}

std::optional<Image> blendWithMask(const Parameters& p) {
  const Image* image = imageParameter(p, kInputImageKey);
  const Image* background = imageParameter(p, kInputBackgroundImageKey);
  const Image* mask = imageParameter(p, kInputMaskImageKey);
  if (!image || !background || !mask) return std::nullopt;
  return Image(std::make_shared<BlendWithMaskNode>(image->node(), background->node(), mask->node()));
}

}  // namespace coreimage
