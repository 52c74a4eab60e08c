// Porter-Duff style compositing of an image over a background, and the pixel
// loop shared with the blend modes.
//
// CISourceOverCompositing: places the input image over the background:
// with premultiplied colour, c = cs + cb·(1 − as), a = as + ab·(1 − as).
//
// CIMultiplyCompositing: multiplies the colour components of the two images:
// every premultiplied component, alpha included, is cs·cb; outside either
// image the result is transparent, so the extent is their intersection.
//
// CIAdditionCompositing: adds the colour components of the two images, a
// brightening effect: c = cs + cb (premultiplied, not clamped),
// a = min(as + ab, 1).
//
// All three take inputImage and inputBackgroundImage; the extent is the
// union of both, except for the product. See also: CIBlendWithMask and the
// blend modes.
#include <algorithm>

#include "filters.h"

namespace coreimage {
namespace {

using NodePtr = std::shared_ptr<const Node>;

class PairNode final : public Node {
 public:
  PairNode(NodePtr source, NodePtr background, PairKernel kernel, PairExtent rule)
      : source_(std::move(source)), background_(std::move(background)), kernel_(kernel),
        opaqueSourceHides_(kernel == sourceOverRun),
        extent_(rule == PairExtent::intersection ? source_->extent().intersection(background_->extent())
                                                 : source_->extent().unionWith(background_->extent())) {}
  Rect extent() const override { return extent_; }
  // A source that can copy its pixels straight out is opaque and untouched:
  // over it nothing of the background shows. Where the source cannot reach,
  // only the background does.
  bool copyPixels(const PixelRect& region, PixelFormat format, std::uint8_t* destination,
                  std::size_t rowBytes) const override {
    if (!opaqueSourceHides_) return false;
    if (!touchesSource(region)) return background_->copyPixels(region, format, destination, rowBytes);
    const Rect source = source_->extent();
    if (source.isInfinite() || region.intersection(pixelsInside(source)) != region) return false;
    return source_->copyPixels(region, format, destination, rowBytes);
  }
  void render(const TileView& out) const override { mix(out, false); }
  void renderPremultiplied(const TileView& out) const override { mix(out, true); }
  bool prefersPremultiplied() const override { return true; }

 private:
  // The kernel over premultiplied inputs; the result stays premultiplied
  // when `premultiplied` is true.
  void mix(const TileView& out, bool premultiplied) const {
    PixelRect domain = out.rect.intersection(pixelDomain(extent_, out.rect));
    clearOutside(out, domain);
    if (domain.isEmpty()) return;
    TileView view = out.subview(domain);
    const auto width = static_cast<std::size_t>(domain.width);
    if (opaqueSourceHides_ && !touchesSource(domain)) {
      // Source over with no source here: the background as it is (the
      // kernel would add zero and multiply by one).
      background_->renderPremultiplied(view);
      if (!premultiplied)
        for (std::int64_t y = domain.y; y < domain.maxY(); ++y) unpremultiplyPixels(view.pixel(domain.x, y), width);
      return;
    }
    TileBuffer source = renderPremultipliedToBuffer(*source_, domain);
    if (opaqueSourceHides_ && opaqueThroughout(source)) {
      // Nothing of the background shows through: it is not rendered (and
      // opaque colour is its own premultiplied form).
      for (std::int64_t y = domain.y; y < domain.maxY(); ++y)
        std::copy_n(source.pixel(domain.x, y), width * 4, view.pixel(domain.x, y));
      return;
    }
    background_->renderPremultiplied(view);
    for (std::int64_t y = domain.y; y < domain.maxY(); ++y) {
      float* b = view.pixel(domain.x, y);
      const float* s = source.pixels.data() + static_cast<std::size_t>(y - domain.y) * width * 4;
      kernel_(s, b, width);
      if (!premultiplied) unpremultiplyPixels(b, width);
    }
  }

  // Whether any pixel of `region` may hold something of the source.
  bool touchesSource(const PixelRect& region) const {
    const Rect source = source_->extent();
    return source.isInfinite() || !region.intersection(pixelsTouching(source)).isEmpty();
  }

  static bool opaqueThroughout(const TileBuffer& tile) {
    for (std::size_t i = 3; i < tile.pixels.size(); i += 4)
      if (tile.pixels.data()[i] != 1) return false;
    return true;
  }

  NodePtr source_, background_;
  PairKernel kernel_;
  bool opaqueSourceHides_;
  Rect extent_;
};

void componentMultiply(const float* s, float* b, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, s += 4, b += 4) storePixel(b, loadPixel(s) * loadPixel(b));
}

void componentAdd(const float* s, float* b, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, s += 4, b += 4) {
    storePixel(b, loadPixel(s) + loadPixel(b));
    b[3] = std::min(b[3], 1.0f);
  }
}

}  // namespace

void sourceOverRun(const float* s, float* b, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i, s += 4, b += 4) {
    Pixel4 cs = loadPixel(s), cb = loadPixel(b);
    storePixel(b, cs + cb * (1 - s[3]));
  }
}

std::optional<Image> blendedPair(const Parameters& p, PairKernel kernel, PairExtent rule) {
  const Image* source = imageParameter(p, kInputImageKey);
  const Image* background = imageParameter(p, kInputBackgroundImageKey);
  if (!source || !background) return std::nullopt;
  return Image(std::make_shared<PairNode>(source->node(), background->node(), kernel, rule));
}

std::optional<Image> sourceOverCompositing(const Parameters& p) {
  return blendedPair(p, sourceOverRun, PairExtent::unionOfBoth);
}
std::optional<Image> multiplyCompositing(const Parameters& p) {
  return blendedPair(p, componentMultiply, PairExtent::intersection);
}
std::optional<Image> additionCompositing(const Parameters& p) {
  return blendedPair(p, componentAdd, PairExtent::unionOfBoth);
}

}  // namespace coreimage
