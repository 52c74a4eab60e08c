// A layer weighted by masks and an opacity, mixed over a background by a
// blend kernel, in one pass over premultiplied colour.
#include <algorithm>
#include <immintrin.h>

#include "filters.h"
#include "layering.h"

namespace coreimage {
namespace {

using NodePtr = std::shared_ptr<const Node>;

// Columns [x0, x1) and rows [y0, y1) of a tile's weights.
struct Span {
  std::size_t x0, x1, y0, y1;
  bool isEmpty() const { return x0 >= x1 || y0 >= y1; }
};

// The smallest span inside `span` that holds every weight above 0 there.
Span nonzeroSpan(const float* weights, std::size_t stride, const Span& span) {
  Span found{span.x1, span.x0, span.y1, span.y0};
  for (std::size_t y = span.y0; y < span.y1; ++y) {
    const float* row = weights + y * stride;
    std::size_t first = span.x0;
    while (first < span.x1 && !(row[first] > 0)) ++first;
    if (first == span.x1) continue;
    std::size_t last = span.x1;
    while (!(row[last - 1] > 0)) --last;
    found.x0 = std::min(found.x0, first);
    found.x1 = std::max(found.x1, last);
    found.y0 = std::min(found.y0, y);
    found.y1 = y + 1;
  }
  return found;
}

// Each pixel of `f` times its weight; a weight of 0 or less (or NaN)
// clears the pixel, whatever it holds (NaN, infinity).
void weighPixels(float* f, const float* weight, std::size_t n) {
  for (std::size_t x = 0; x < n; ++x)
    storePixel(f + x * 4, weight[x] > 0 ? loadPixel(f + x * 4) * weight[x] : Pixel4{0, 0, 0, 0});
}

// The same, two pixels a register.
__attribute__((target("avx2"))) void weighPixelsAvx2(float* f, const float* weight, std::size_t n) {
  const __m256i pairs = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
  const __m256 zero = _mm256_setzero_ps();
  std::size_t x = 0;
  for (; x + 2 <= n; x += 2) {
    __m128 two = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(weight + x)));
    const __m256 w = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(two), pairs);
    const __m256 kept = _mm256_cmp_ps(w, zero, _CMP_GT_OQ);
    _mm256_storeu_ps(f + x * 4, _mm256_and_ps(_mm256_mul_ps(_mm256_loadu_ps(f + x * 4), w), kept));
  }
  weighPixels(f + x * 4, weight + x, n - x);
}

class LayerBlendNode final : public Node {
 public:
  LayerBlendNode(NodePtr layer, std::vector<NodePtr> keeps, float opacity, PairKernel kernel, NodePtr background)
      : layer_(std::move(layer)), keeps_(std::move(keeps)), background_(std::move(background)), opacity_(opacity),
        kernel_(kernel), extent_(layer_->extent().unionWith(background_->extent())) {}
  Rect extent() const override { return extent_; }
  void render(const TileView& out) const override { mix(out, false); }
  void renderPremultiplied(const TileView& out) const override { mix(out, true); }
  bool prefersPremultiplied() const override { return true; }

 private:
  void mix(const TileView& out, bool premultiplied) const {
    const PixelRect domain = out.rect.intersection(pixelDomain(extent_, out.rect));
    clearOutside(out, domain);
    if (domain.isEmpty()) return;
    const TileView view = out.subview(domain);
    background_->renderPremultiplied(view);
    const PixelRect area = domain.intersection(pixelDomain(layer_->extent(), domain));
    if (!area.isEmpty() && opacity_ > 0) {
      const auto w = static_cast<std::size_t>(area.width), h = static_cast<std::size_t>(area.height);
      // Without masks every weight is the opacity: no plane of them.
      PixelStore weights(keeps_.empty() ? 0 : w * h);
      std::fill_n(weights.data(), weights.size(), opacity_);
      auto rectOf = [&area](const Span& s) {
        return PixelRect{area.x + static_cast<std::int64_t>(s.x0), area.y + static_cast<std::int64_t>(s.y0),
                         static_cast<std::int64_t>(s.x1 - s.x0), static_cast<std::int64_t>(s.y1 - s.y0)};
      };
      // Each mask, and then the layer, renders only over the rows and
      // columns where some weight is still above 0.
      Span span{0, w, 0, h};
      for (const NodePtr& keep : keeps_) {
        if (span.isEmpty()) break;
        // The luminance of premultiplied colour is alpha times that of the
        // colour, which spares premultiplying the (mostly opaque) mask.
        const std::size_t sw = span.x1 - span.x0, sh = span.y1 - span.y0;
        PixelStore levels(sw * sh);
        if (keep->renderMaskLevels(rectOf(span), levels.data())) {
          for (std::size_t y = span.y0; y < span.y1; ++y) {
            float* wt = weights.data() + y * w + span.x0;
            const float* level = levels.data() + (y - span.y0) * sw;
            for (std::size_t x = 0; x < sw; ++x) wt[x] *= level[x];
          }
        } else {
          TileBuffer mask = renderToBuffer(*keep, rectOf(span));
          for (std::size_t y = span.y0; y < span.y1; ++y)
            scaleByMaskLevels(mask.pixels.data() + (y - span.y0) * sw * 4, weights.data() + y * w + span.x0, sw);
        }
        span = nonzeroSpan(weights.data(), w, span);
      }
      if (!span.isEmpty()) {
        const PixelRect box = rectOf(span);
        TileBuffer fg = renderPremultipliedToBuffer(*layer_, box);
        const bool useAvx2 = hasAvx2();
        const std::size_t bw = span.x1 - span.x0;
        for (std::size_t y = span.y0; y < span.y1; ++y) {
          float* f = fg.pixels.data() + (y - span.y0) * bw * 4;
          if (keeps_.empty()) {
            for (std::size_t x = 0; x < bw; ++x) storePixel(f + x * 4, loadPixel(f + x * 4) * opacity_);
          } else {
            // Where the weight is 0 nothing of the layer counts, not even a
            // value that would not vanish when multiplied (NaN, infinity).
            const float* wt = weights.data() + y * w + span.x0;
            (useAvx2 ? weighPixelsAvx2 : weighPixels)(f, wt, bw);
          }
          kernel_(f, view.pixel(box.x, area.y + static_cast<std::int64_t>(y)), bw);
        }
      }
    }
    if (!premultiplied)
      for (std::int64_t y = domain.y; y < domain.maxY(); ++y)
        unpremultiplyPixels(view.pixel(domain.x, y), static_cast<std::size_t>(domain.width));
  }

  NodePtr layer_;
  std::vector<NodePtr> keeps_;
  NodePtr background_;
  float opacity_;
  PairKernel kernel_;
  Rect extent_;
};

}  // namespace

std::optional<Image> blendedLayer(const Image& layer, const std::vector<Image>& keeps, double opacity,
                                  std::string_view blendFilterName, const Image& background) {
  const PairKernel kernel = blendKernelNamed(blendFilterName);
  if (!kernel || !layer.node() || !background.node() || !(opacity >= 0 && opacity <= 1)) return std::nullopt;
  std::vector<NodePtr> keepNodes;
  for (const Image& keep : keeps) {
    if (!keep.node()) return std::nullopt;
    keepNodes.push_back(keep.node());
  }
  return Image(std::make_shared<LayerBlendNode>(layer.node(), std::move(keepNodes), static_cast<float>(opacity), kernel,
                                                background.node()));
}

}  // namespace coreimage
