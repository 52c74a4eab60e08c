// CILanczosScaleTransform: produces a high-quality, scaled version of a
// source image: inputScale (default 1) scales both axes, inputAspectRatio
// (default 1) additionally stretches x. Each output pixel is the normalised
// sum of source pixels weighted by the Lanczos kernel with three lobes,
// sinc(x)·sinc(x/3) for |x| < 3, widened by the reduction factor when
// shrinking. Source pixels beyond the edge repeat the edge pixel, so borders
// keep their colour. The extent is the scaled extent made integral.
#include <cmath>
#include <numbers>

#include "filters.h"

namespace coreimage {
namespace {

constexpr double kLobes = 3;

double lanczos(double x) {
  x = std::fabs(x);
  if (x < 1e-12) return 1;
  if (x >= kLobes) return 0;
  double px = std::numbers::pi * x;
  return kLobes * std::sin(px) * std::sin(px / kLobes) / (px * px);
}

// Taps of one output line: for output index o, weights over source indices
// first[o] .. first[o] + count[o] - 1, with source indices clamped to the
// source domain.
struct Taps {
  std::vector<std::int64_t> first;
  std::vector<int> count;
  std::vector<std::size_t> offset;
  std::vector<float> weights;
  std::int64_t low = 0, high = 0;  // source range touched (inclusive, exclusive)
};

Taps makeTaps(std::int64_t outStart, std::int64_t outCount, double scale, std::int64_t srcStart,
              std::int64_t srcEnd, bool clampSource) {
  Taps t;
  const double shrink = std::min(scale, 1.0);
  const double support = kLobes / shrink;
  t.low = INT64_MAX;
  t.high = INT64_MIN;
  for (std::int64_t o = 0; o < outCount; ++o) {
    double centre = (static_cast<double>(outStart + o) + 0.5) / scale;  // in source coordinates
    auto lo = static_cast<std::int64_t>(std::floor(centre - support));
    auto hi = static_cast<std::int64_t>(std::ceil(centre + support));
    if (clampSource) {
      lo = std::clamp(lo, srcStart, srcEnd - 1);
      hi = std::clamp(hi, srcStart, srcEnd - 1);
    }
    t.first.push_back(lo);
    t.offset.push_back(t.weights.size());
    double sum = 0;
    std::size_t begin = t.weights.size();
    // Weights of clamped-away source pixels fall on the edge pixel.
    std::vector<double> w(static_cast<std::size_t>(hi - lo + 1), 0.0);
    auto rawLo = static_cast<std::int64_t>(std::floor(centre - support));
    auto rawHi = static_cast<std::int64_t>(std::ceil(centre + support));
    for (std::int64_t i = rawLo; i <= rawHi; ++i) {
      double weight = lanczos((static_cast<double>(i) + 0.5 - centre) * shrink);
      if (weight == 0) continue;
      std::int64_t j = clampSource ? std::clamp(i, srcStart, srcEnd - 1) : i;
      if (j < lo || j > hi) continue;
      w[static_cast<std::size_t>(j - lo)] += weight;
      sum += weight;
    }
    for (double v : w) t.weights.push_back(static_cast<float>(sum != 0 ? v / sum : 0));
    t.count.push_back(static_cast<int>(t.weights.size() - begin));
    t.low = std::min(t.low, lo);
    t.high = std::max(t.high, hi + 1);
  }
  return t;
}

class LanczosScaleNode final : public Node {
 public:
  LanczosScaleNode(std::shared_ptr<const Node> input, double sx, double sy)
      : input_(std::move(input)), sx_(sx), sy_(sy) {
    Rect e = input_->extent();
    extent_ = e.isInfinite() ? Rect::infinite() : Affine::scale(sx, sy).apply(e).integral();
  }
  Rect extent() const override { return extent_; }

  void render(const TileView& out) const override {
    PixelRect domain = out.rect.intersection(pixelDomain(extent_, out.rect));
    clearOutside(out, domain);
    if (domain.isEmpty()) return;
    Rect inputExtent = input_->extent();
    bool finite = !inputExtent.isInfinite();
    PixelRect src = finite ? pixelsInside(inputExtent) : PixelRect{};
    if (finite && src.isEmpty()) {
      fillTransparent(view(out, domain));
      return;
    }
    Taps tx = makeTaps(domain.x, domain.width, sx_, src.x, src.maxX(), finite);
    Taps ty = makeTaps(domain.y, domain.height, sy_, src.y, src.maxY(), finite);
    PixelRect roi{tx.low, ty.low, tx.high - tx.low, ty.high - ty.low};
    const auto dw = static_cast<std::size_t>(domain.width);
    const auto rh = static_cast<std::size_t>(roi.height);
    // Horizontal pass over the ROI rows, then vertical into the output. The
    // ROI is read in strips of about a million pixels, top strip first (the
    // order in which a decode delivers rows), so that no float copy of a
    // large source exists.
    PixelStore tmp(rh * dw * 4);
    // One row of premultiplied source pixels through the horizontal taps.
    auto horizontal = [&](std::int64_t sy, const float* srow) {
      float* trow = tmp.data() + static_cast<std::size_t>(sy - roi.y) * dw * 4;
      for (std::size_t o = 0; o < dw; ++o) {
        const float* w = tx.weights.data() + tx.offset[o];
        const float* s = srow + static_cast<std::size_t>(tx.first[o] - roi.x) * 4;
        Pixel4 acc = {0, 0, 0, 0};
        for (int k = 0; k < tx.count[o]; ++k, s += 4) acc += w[k] * loadPixel(s);
        storePixel(trow + o * 4, acc);
      }
    };
    float byteValues[256];
    for (int v = 0; v < 256; ++v) byteValues[v] = componentOfByte(static_cast<std::uint8_t>(v));
    const std::int64_t strip = std::max<std::int64_t>(32, (std::int64_t{1} << 20) / std::max<std::int64_t>(roi.width, 1));
    const std::size_t rowValues = static_cast<std::size_t>(roi.width) * 4;
    std::vector<std::uint8_t> bytes;
    std::vector<float> row(rowValues);
    for (std::int64_t top = roi.maxY(); top > roi.y; top -= strip) {
      const PixelRect part{roi.x, top - std::min(strip, top - roi.y), roi.width, std::min(strip, top - roi.y)};
      bytes.resize(rowValues * static_cast<std::size_t>(part.height));
      if (input_->readOpaqueBytes(part, bytes.data(), rowValues)) {
        // Opaque: premultiplying changes nothing.
        for (std::int64_t sy = part.y; sy < part.maxY(); ++sy) {
          const std::uint8_t* srow = bytes.data() + static_cast<std::size_t>(part.maxY() - 1 - sy) * rowValues;
          for (std::size_t i = 0; i < rowValues; ++i) row[i] = byteValues[srow[i]];
          horizontal(sy, row.data());
        }
        continue;
      }
      TileBuffer in = renderToBuffer(*input_, part);
      premultiply(in.pixels.data(), in.pixels.size() / 4);
      for (std::int64_t sy = part.y; sy < part.maxY(); ++sy) horizontal(sy, in.pixel(roi.x, sy));
    }
    for (std::int64_t o = 0; o < domain.height; ++o) {
      float* d = out.pixel(domain.x, domain.y + o);
      std::fill_n(d, dw * 4, 0.0f);
      const float* w = ty.weights.data() + ty.offset[static_cast<std::size_t>(o)];
      const std::size_t first = static_cast<std::size_t>(ty.first[static_cast<std::size_t>(o)] - roi.y);
      for (int k = 0; k < ty.count[static_cast<std::size_t>(o)]; ++k) {
        const float* t = tmp.data() + (first + static_cast<std::size_t>(k)) * dw * 4;
        const float wk = w[k];
        for (std::size_t i = 0; i < dw * 4; ++i) d[i] += wk * t[i];
      }
      for (std::size_t i = 0; i < dw; ++i) d[i * 4 + 3] = std::clamp(d[i * 4 + 3], 0.0f, 1.0f);
      unpremultiply(d, dw);
    }
  }

 private:
  static TileView view(const TileView& out, const PixelRect& r) { return out.subview(r); }
  std::shared_ptr<const Node> input_;
  double sx_, sy_;
  Rect extent_;
};

}  // namespace

std::optional<Image> lanczosScaleTransform(const Parameters& p) {
  const Image* input = imageParameter(p, kInputImageKey);
  auto scale = numberParameter(p, kInputScaleKey, 1);
  auto aspect = numberParameter(p, kInputAspectRatioKey, 1);
  if (!input || !scale || !aspect || *scale <= 0 || *aspect <= 0) return std::nullopt;
  double sx = *scale * *aspect, sy = *scale;
  // Below these factors the kernel would span more source than any picture
  // has (or, for an endless input, an unbounded region).
  double least = input->extent().isInfinite() ? 1e-2 : 1e-4;
  if (sx < least || sy < least || sx > 1e4 || sy > 1e4) return std::nullopt;
  if (sx == 1 && sy == 1) return *input;
  return Image(std::make_shared<LanczosScaleNode>(input->node(), sx, sy));
}

}  // namespace coreimage
