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

#include "filters.h"

namespace coreimage {
namespace {

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
      for (std::int64_t x = 0; x < out.rect.width; ++x, b += 4, c += 4) {
        float as = c[3], ab = b[3];
        for (int k = 0; k < 3; ++k) {
          float cs = c[k] * as, cb = b[k] * ab;
          float v = std::max(cs * ab, cb * as) + cs * (1 - ab) + cb * (1 - as);
          b[k] = v;
        }
        float a = as + ab - as * ab;
        b[3] = a;
      }
      unpremultiply(out.row(y), static_cast<std::size_t>(out.rect.width));
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
  void render(const TileView& out) const override {
    PixelRect domain = out.rect.intersection(pixelDomain(extent_, out.rect));
    clearOutside(out, domain);
    if (domain.isEmpty()) return;
    TileView view = out.subview(domain);
    // The mask decides first: where it is 0 or 1 throughout the tile, only
    // one of the two images is rendered at all.
    TileBuffer mask = renderToBuffer(*mask_, domain);
    bool allZero = true, allOne = true;
    std::vector<float> weights(static_cast<std::size_t>(domain.width * domain.height));
    for (std::size_t i = 0; i < weights.size(); ++i) {
      const float* m = mask.pixels.data() + i * 4;
      float v = std::clamp((0.2126f * m[0] + 0.7152f * m[1] + 0.0722f * m[2]) * m[3], 0.0f, 1.0f);
      weights[i] = v;
      allZero = allZero && v == 0;
      allOne = allOne && v == 1;
    }
    if (allZero) {
      background_->render(view);
      return;
    }
    if (allOne) {
      image_->render(view);
      return;
    }
    TileBuffer fg = renderToBuffer(*image_, domain);
    background_->render(view);
    std::size_t i = 0;
    for (std::int64_t y = domain.y; y < domain.maxY(); ++y) {
      float* b = view.row(y);
      const float* f = fg.pixel(domain.x, y);
      for (std::int64_t x = 0; x < domain.width; ++x, ++i, b += 4, f += 4) {
        float m = weights[i];
        float ab = b[3], af = f[3];
        float a = af * m + ab * (1 - m);
        for (int k = 0; k < 3; ++k) b[k] = f[k] * af * m + b[k] * ab * (1 - m);
        b[3] = a;
      }
      unpremultiply(view.row(y), static_cast<std::size_t>(domain.width));
    }
  }

 private:
  NodePtr image_, background_, mask_;
  Rect extent_;
};

}  // namespace

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
