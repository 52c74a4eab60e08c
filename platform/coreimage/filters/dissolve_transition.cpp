// CIDissolveTransition: uses a dissolve to transition from one image to
// another: with t = inputTime clamped to 0..1 (default 0), the
// premultiplied result is inputImage × (1 − t) + inputTargetImage × t. The
// extent is the union of both extents.
//
// When the target is the image followed only by per-pixel operations (a
// colour look applied at partial opacity), the mix runs inside the same
// fused pass: each run of pixels is copied, the operations run on the copy,
// and the two are mixed, so the image is rendered once.
#include <algorithm>
#include <cstring>

#include "filters.h"

namespace coreimage {
namespace {

inline void mixPixel(float* a, const float* b, float t) {
  float aa = a[3] * (1 - t), ab = b[3] * t;
  float alpha = aa + ab;
  if (alpha <= 1e-6f) {
    a[0] = a[1] = a[2] = a[3] = 0;
    return;
  }
  for (int k = 0; k < 3; ++k) a[k] = (a[k] * aa + b[k] * ab) / alpha;
  a[3] = alpha;
}

class DissolveNode final : public Node {
 public:
  DissolveNode(std::shared_ptr<const Node> from, std::shared_ptr<const Node> to, float t)
      : from_(std::move(from)), to_(std::move(to)), t_(t), extent_(from_->extent().unionWith(to_->extent())) {}
  Rect extent() const override { return extent_; }
  void render(const TileView& out) const override {
    TileBuffer target = renderToBuffer(*to_, out.rect);
    from_->render(out);
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* a = out.row(y);
      const float* b = target.pixel(out.rect.x, y);
      for (std::int64_t x = 0; x < out.rect.width; ++x, a += 4, b += 4) mixPixel(a, b, t_);
    }
  }

 private:
  std::shared_ptr<const Node> from_, to_;
  float t_;
  Rect extent_;
};

}  // namespace

std::optional<Image> dissolveTransition(const Parameters& p) {
  const Image* from = imageParameter(p, kInputImageKey);
  const Image* to = imageParameter(p, "inputTargetImage");
  auto time = numberParameter(p, "inputTime", 0);
  if (!from || !to || !time) return std::nullopt;
  const float t = static_cast<float>(std::clamp(*time, 0.0, 1.0));
  if (t == 0 && from->extent() == to->extent()) return *from;
  if (t == 1 && from->extent() == to->extent()) return *to;
  if (auto operations = pixelOperationsBetween(*from, *to)) {
    auto ops = std::make_shared<const std::vector<Image::PixelOperation>>(std::move(*operations));
    return from->applyingPixelOperation([ops, t](float* px, std::size_t count) {
      thread_local std::vector<float> copy;
      copy.assign(px, px + count * 4);
      for (const auto& op : *ops) op(copy.data(), count);
      const float* b = copy.data();
      for (std::size_t i = 0; i < count; ++i, px += 4, b += 4) mixPixel(px, b, t);
    });
  }
  return Image(std::make_shared<DissolveNode>(from->node(), to->node(), t));
}

}  // namespace coreimage
