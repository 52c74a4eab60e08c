// The "scratches" effect composited over the picture. The two layers are
// limited to the ragged area at the mask's resolution, where all three are
// greys: the streaks (the shade layer through the ragged mask, over black)
// and the marks (the highlight layer's alpha through it) become two values
// of one small guide image, stretched over the picture once. One pass per
// picture pixel then mixes the faded picture in through the streaks and
// lays the white marks over it.
#include <memory>
#include <vector>

#include "node.h"
#include "scratches.h"

namespace tonesmith {

using coreimage::Image;
using coreimage::Rect;

namespace {

// The faded picture: CIColorControls with saturation 0.08, brightness 0.18
// and contrast 0.78.
constexpr float kFadedSaturation = 0.08f, kFadedContrast = 0.78f;
constexpr float kFadedOffset = (0.18f - 0.5f) * kFadedContrast + 0.5f;

// The guide at the mask's resolution, opaque: red the streaks' grey (the
// shade layer's level times the ragged mask), green the marks' alpha (the
// highlight layer's alpha times the ragged mask), read from the layers'
// bytes. Made tile by tile as the stretched guide is read, so only the
// parts of the mask that reach a changed picture pixel are ever worked.
class ScratchGuideNode final : public coreimage::Node {
 public:
  ScratchGuideNode(std::shared_ptr<const ScratchLayers> layers, const MaterializedMask& ragged, MaskSize size)
      : layers_(std::move(layers)), ragged_(ragged.pixels), size_(size) {}
  Rect extent() const override { return Rect::make(0, 0, size_.width, size_.height); }
  void render(const coreimage::TileView& out) const override {
    const coreimage::PixelRect domain = out.rect.intersection({0, 0, size_.width, size_.height});
    coreimage::clearOutside(out, domain);
    if (domain.isEmpty()) return;
    const std::size_t rowBytes = static_cast<std::size_t>(size_.width) * 4;
    for (std::int64_t y = domain.y; y < domain.maxY(); ++y) {
      // The mask and the layers run top first.
      const auto top = static_cast<int>(size_.height - 1 - y);
      const std::uint8_t* r = ragged_->data() + static_cast<std::size_t>(top) * rowBytes +
                              static_cast<std::size_t>(domain.x) * 4 + 3;
      const std::uint8_t* s = layers_->shade.row(top) + domain.x;
      const std::uint8_t* h = layers_->highlight.row(top) + domain.x;
      float* g = out.pixel(domain.x, y);
      for (std::int64_t x = 0; x < domain.width; ++x, r += 4, g += 4) {
        const float m = coreimage::componentOfByte(*r);
        coreimage::storePixel(
            g, coreimage::Pixel4{coreimage::componentOfByte(s[x]) * m, coreimage::componentOfByte(h[x]) * m, 0, 1});
      }
    }
  }

 private:
  std::shared_ptr<const ScratchLayers> layers_;
  std::shared_ptr<const std::vector<std::uint8_t>> ragged_;
  MaskSize size_;
};

// The picture with the faded picture mixed in through the streaks (the
// guide's red) and the white marks (alpha the guide's green) laid over it:
// CIColorControls, CIBlendWithMask and CISourceOverCompositing in one pass.
class ScratchCompositeNode final : public coreimage::Node {
 public:
  ScratchCompositeNode(std::shared_ptr<const Node> picture, std::shared_ptr<const Node> guide, const Rect& extent)
      : picture_(std::move(picture)), guide_(std::move(guide)), extent_(extent) {}
  Rect extent() const override { return extent_; }
  void render(const coreimage::TileView& out) const override {
    const coreimage::PixelRect domain = out.rect.intersection(coreimage::pixelDomain(extent_, out.rect));
    coreimage::clearOutside(out, domain);
    if (domain.isEmpty()) return;
    const coreimage::TileView view = out.subview(domain);
    picture_->render(view);
    const coreimage::TileBuffer guide = coreimage::renderToBuffer(*guide_, domain);
    for (std::int64_t y = domain.y; y < domain.maxY(); ++y) {
      float* px = view.pixel(domain.x, y);
      const float* g = guide.pixel(domain.x, y);
      for (std::int64_t x = 0; x < domain.width; ++x, px += 4, g += 4) {
        const float streaks = coreimage::unitComponent(g[0]), marks = coreimage::unitComponent(g[1]);
        if (streaks == 0 && marks == 0) continue;
        const float alpha = px[3];
        if (!(alpha > 1e-6f)) {
          // Only the marks show over a transparent picture.
          coreimage::storePixel(px, coreimage::Pixel4{1, 1, 1, marks});
          continue;
        }
        const coreimage::Pixel4 colour = coreimage::loadPixel(px);
        const float luma = 0.2126f * px[0] + 0.7152f * px[1] + 0.0722f * px[2];
        const coreimage::Pixel4 faded = (luma + (colour - luma) * kFadedSaturation) * kFadedContrast + kFadedOffset;
        const coreimage::Pixel4 base = faded * streaks + colour * (1 - streaks);
        coreimage::Pixel4 mixed;
        if (alpha == 1) {
          mixed = marks + base * (1 - marks);
          mixed[3] = 1;
        } else {
          // White over the base, premultiplied, then divided out again.
          const float outAlpha = marks + alpha * (1 - marks);
          mixed = (marks + base * (alpha * (1 - marks))) * (1 / outAlpha);
          mixed[3] = outAlpha;
        }
        coreimage::storePixel(px, mixed);
      }
    }
  }

 private:
  std::shared_ptr<const Node> picture_, guide_;
  Rect extent_;
};

}  // namespace

void applyScratches(RenderState& state, const LocalEffect& effect, const MaterializedMask& mask, MaskSize size,
                    std::future<std::optional<ScratchLayers>> layers) {
  const Rect extent = state.image.extent().integral();
  const MaterializedMask ragged = raggedAreaMask(effect, mask, size);
  std::optional<ScratchLayers> drawn = layers.get();
  if (!drawn || drawn->shade.width() != size.width || drawn->shade.height() != size.height ||
      drawn->highlight.width() != size.width || drawn->highlight.height() != size.height)
    return;
  const Image guide(
      std::make_shared<ScratchGuideNode>(std::make_shared<const ScratchLayers>(std::move(*drawn)), ragged, size));
  // Stretched over the picture like the coverage mask.
  auto placed = placeOverPicture(guide, size, extent);
  if (!placed) return;
  const Image picture = state.image.cropped(extent);
  const Image out(std::make_shared<ScratchCompositeNode>(picture.node(), placed->node(), extent));
  // Where the ragged mask is zero the streaks and the marks are too, so the
  // picture shows through unchanged.
  state.image = limitedToCoverage(picture, out, CoverageBlocks::of(ragged, size, extent));
}

}  // namespace tonesmith
