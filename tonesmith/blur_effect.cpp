// The "blur" kind: the blurred picture, made through a reduced copy, and
// its blend with the picture through the effect's mask, straight from the
// picture's bytes where it can be.
#include <algorithm>
#include <cmath>
#include <mutex>

#include "local_effects.h"
#include "node.h"
#include "options.h"
#include "planes.h"

namespace tonesmith {

using coreimage::Image;
using coreimage::Rect;

// The reduced copy: the picture's k × k cells lying wholly within the
// padded area, aligned on multiples of k, each the exact mean of its
// premultiplied pixels (read from the 8-bit bytes when the picture hands
// them out), then blurred with the rest of sigma, edges repeated. Worked out
// band by band when first read, so that a render can start on the top of a
// picture still being decoded below.
class ReducedBlur {
 public:
  ReducedBlur(std::shared_ptr<const coreimage::Node> picture, const coreimage::PixelRect& area, int k, double rest)
      : picture_(std::move(picture)), k_(k), kernel_(coreimage::sampledGaussian(rest)) {
    auto floorDiv = [](std::int64_t v, std::int64_t d) { return v >= 0 ? v / d : -((-v + d - 1) / d); };
    firstColumn_ = -floorDiv(-area.x, k);
    firstRow_ = -floorDiv(-area.y, k);
    columns_ = std::max<std::int64_t>(floorDiv(area.maxX(), k) - firstColumn_, 0);
    rows_ = std::max<std::int64_t>(floorDiv(area.maxY(), k) - firstRow_, 0);
    const std::size_t values = static_cast<std::size_t>(columns_ * rows_) * 4;
    across_.resize(values);
    blurred_.resize(values);
    bands_ = (rows_ + kBandRows - 1) / kBandRows;
    acrossDone_ = std::make_unique<std::once_flag[]>(static_cast<std::size_t>(bands_));
    blurredDone_ = std::make_unique<std::once_flag[]>(static_cast<std::size_t>(bands_));
  }
  bool isEmpty() const { return columns_ == 0 || rows_ == 0; }
  int k() const { return k_; }
  std::int64_t firstColumn() const { return firstColumn_; }
  std::int64_t firstRow() const { return firstRow_; }
  std::int64_t columns() const { return columns_; }
  std::int64_t rows() const { return rows_; }
  // Blurred cell row `row` (0 is the bottom one), premultiplied RGBA,
  // worked out first if need be. Safe to call from several threads.
  const float* row(std::int64_t row) const {
    const std::int64_t band = row / kBandRows;
    std::call_once(blurredDone_[static_cast<std::size_t>(band)], [&] { blurBand(band); });
    return blurred_.data() + static_cast<std::size_t>(row * columns_) * 4;
  }

 private:
  static constexpr std::int64_t kBandRows = 4;
  const float* acrossRow(std::int64_t row) const {
    const std::int64_t band = row / kBandRows;
    std::call_once(acrossDone_[static_cast<std::size_t>(band)], [&] { meansOfBand(band); });
    return across_.data() + static_cast<std::size_t>(row * columns_) * 4;
  }
  // The cell means of one band, blurred along the rows.
  void meansOfBand(std::int64_t band) const {
    const std::int64_t first = band * kBandRows, count = std::min(kBandRows, rows_ - first);
    const auto columns = static_cast<std::size_t>(columns_);
    const coreimage::PixelRect region{firstColumn_ * k_, (firstRow_ + first) * k_, columns_ * k_, count * k_};
    std::vector<float> means(columns * static_cast<std::size_t>(count) * 4);
    if (!meansFromBytes(region, count, means)) meansFromFloats(region, count, means);
    const auto reach = static_cast<std::int64_t>(kernel_.size() / 2);
    for (std::int64_t r = 0; r < count; ++r) {
      const float* in = means.data() + static_cast<std::size_t>(r) * columns * 4;
      float* out = across_.data() + static_cast<std::size_t>(first + r) * columns * 4;
      for (std::int64_t c = 0; c < columns_; ++c) {
        float sum[4] = {0, 0, 0, 0};
        for (std::int64_t t = -reach; t <= reach; ++t) {
          const float w = kernel_[static_cast<std::size_t>(t + reach)];
          const float* p = in + static_cast<std::size_t>(std::clamp<std::int64_t>(c + t, 0, columns_ - 1)) * 4;
          for (int i = 0; i < 4; ++i) sum[i] += w * p[i];
        }
        std::copy(sum, sum + 4, out + c * 4);
      }
    }
  }
  // Means of opaque 8-bit pixels: sums down each column of a cell's k rows
  // (a plain run over the bytes), then across its k columns.
  bool meansFromBytes(const coreimage::PixelRect& region, std::int64_t count, std::vector<float>& means) const {
    const std::size_t rowBytes = static_cast<std::size_t>(region.width) * 4;
    std::vector<std::uint8_t> bytes(rowBytes * static_cast<std::size_t>(region.height));
    if (!picture_->readOpaqueBytes(region, bytes.data(), rowBytes)) return false;
    const float scale = 1.0f / (255.0f * static_cast<float>(k_) * static_cast<float>(k_));
    std::vector<std::uint32_t> columnSums(rowBytes);
    for (std::int64_t r = 0; r < count; ++r) {
      std::fill(columnSums.begin(), columnSums.end(), 0);
      // Cell row r from the bottom; the bytes run top first.
      for (int y = 0; y < k_; ++y) {
        const std::uint8_t* px = bytes.data() + static_cast<std::size_t>((count - 1 - r) * k_ + y) * rowBytes;
        for (std::size_t i = 0; i < rowBytes; ++i) columnSums[i] += px[i];
      }
      float* out = means.data() + static_cast<std::size_t>(r * columns_) * 4;
      const std::uint32_t* sum = columnSums.data();
      for (std::int64_t c = 0; c < columns_; ++c, out += 4) {
        std::uint64_t red = 0, green = 0, blue = 0;
        for (int x = 0; x < k_; ++x, sum += 4) {
          red += sum[0];
          green += sum[1];
          blue += sum[2];
        }
        out[0] = static_cast<float>(red) * scale;
        out[1] = static_cast<float>(green) * scale;
        out[2] = static_cast<float>(blue) * scale;
        out[3] = 1;
      }
    }
    return true;
  }
  // Means of rendered pixels, premultiplied.
  void meansFromFloats(const coreimage::PixelRect& region, std::int64_t count, std::vector<float>& means) const {
    const std::vector<float> pixels = coreimage::renderFloat(Image(picture_), region);  // rows bottom first
    const double scale = 1.0 / (static_cast<double>(k_) * k_);
    const auto width = static_cast<std::size_t>(region.width);
    for (std::int64_t r = 0; r < count; ++r)
      for (std::int64_t c = 0; c < columns_; ++c) {
        double sum[4] = {0, 0, 0, 0};
        for (int y = 0; y < k_; ++y) {
          const float* p = pixels.data() + (static_cast<std::size_t>(r * k_ + y) * width + c * k_) * 4;
          for (int x = 0; x < k_; ++x, p += 4) {
            const double a = std::clamp(p[3], 0.0f, 1.0f);
            for (int i = 0; i < 3; ++i) sum[i] += p[i] * a;
            sum[3] += a;
          }
        }
        float* out = means.data() + static_cast<std::size_t>(r * columns_ + c) * 4;
        for (int i = 0; i < 4; ++i) out[i] = static_cast<float>(sum[i] * scale);
      }
  }
  // One band blurred down the columns, edge rows repeated.
  void blurBand(std::int64_t band) const {
    const std::int64_t first = band * kBandRows, count = std::min(kBandRows, rows_ - first);
    const auto reach = static_cast<std::int64_t>(kernel_.size() / 2);
    const auto values = static_cast<std::size_t>(columns_) * 4;
    for (std::int64_t r = first; r < first + count; ++r) {
      float* out = blurred_.data() + static_cast<std::size_t>(r) * values;
      std::fill_n(out, values, 0.0f);
      for (std::int64_t t = -reach; t <= reach; ++t) {
        const float w = kernel_[static_cast<std::size_t>(t + reach)];
        const float* in = acrossRow(std::clamp<std::int64_t>(r + t, 0, rows_ - 1));
        for (std::size_t i = 0; i < values; ++i) out[i] += w * in[i];
      }
    }
  }

  std::shared_ptr<const coreimage::Node> picture_;
  int k_;
  std::vector<float> kernel_;
  std::int64_t firstColumn_ = 0, firstRow_ = 0, columns_ = 0, rows_ = 0, bands_ = 0;
  // Written once per band, under that band's flag.
  mutable std::vector<float> across_, blurred_;
  std::unique_ptr<std::once_flag[]> acrossDone_, blurredDone_;
};

namespace {

// Where a picture pixel's centre falls between two cells (or mask pixels):
// the first of them and the weight of the second.
struct Taps {
  std::int64_t first;
  float weight;
};
// `position` in cells; with `repeatEdges` it is held to 0 .. last, else the
// first index may be -1 or last (a neighbour beyond the edge).
Taps tapsAt(double position, std::int64_t last, bool repeatEdges) {
  const double p = repeatEdges ? std::clamp(position, 0.0, static_cast<double>(last)) : position;
  const double first = std::clamp(std::floor(p), -1.0, static_cast<double>(last));
  return Taps{static_cast<std::int64_t>(first), static_cast<float>(std::clamp(p - first, 0.0, 1.0))};
}

// The blurred picture: the reduced copy enlarged bilinearly, edges repeated.
class ReducedBlurNode final : public coreimage::Node {
 public:
  ReducedBlurNode(std::shared_ptr<const ReducedBlur> reduced, const Rect& extent)
      : reduced_(std::move(reduced)), extent_(extent) {}
  Rect extent() const override { return extent_; }
  void render(const coreimage::TileView& out) const override {
    const coreimage::PixelRect domain = out.rect.intersection(coreimage::pixelsInside(extent_));
    coreimage::clearOutside(out, domain);
    if (domain.isEmpty()) return;
    const ReducedBlur& r = *reduced_;
    std::vector<Taps> across(static_cast<std::size_t>(domain.width));
    for (std::size_t i = 0; i < across.size(); ++i)
      across[i] = tapsAt((static_cast<double>(domain.x) + static_cast<double>(i) + 0.5) / r.k() - 0.5 -
                             static_cast<double>(r.firstColumn()),
                         r.columns() - 1, true);
    for (std::int64_t y = domain.y; y < domain.maxY(); ++y) {
      const Taps down = tapsAt((static_cast<double>(y) + 0.5) / r.k() - 0.5 - static_cast<double>(r.firstRow()),
                               r.rows() - 1, true);
      const float* lower = r.row(down.first);
      const float* upper = r.row(std::min(down.first + 1, r.rows() - 1));
      float* px = out.pixel(domain.x, y);
      for (const Taps& t : across) {
        const std::size_t c0 = static_cast<std::size_t>(t.first) * 4;
        const std::size_t c1 = t.first + 1 < r.columns() ? c0 + 4 : c0;
        for (std::size_t i = 0; i < 4; ++i) {
          const float below = lower[c0 + i] + (lower[c1 + i] - lower[c0 + i]) * t.weight;
          const float above = upper[c0 + i] + (upper[c1 + i] - upper[c0 + i]) * t.weight;
          px[i] = below + (above - below) * down.weight;
        }
        px += 4;
      }
      coreimage::unpremultiplyPixels(out.pixel(domain.x, y), static_cast<std::size_t>(domain.width));
    }
  }

 private:
  std::shared_ptr<const ReducedBlur> reduced_;
  Rect extent_;
};

}  // namespace

// A wide blur through a copy reduced by k, so that the blur's standard
// deviation there is still at least 4 pixels: blurred by the rest of sigma
// at that size and enlarged again. The detail lost in reducing is far finer
// than the blur, so the result matches the full-size blur, and each tile of
// the output no longer needs the picture's pixels several blur radii around
// it. The copy holds exact means of k × k cells, whose own spread,
// (k² − 1) / 12 per axis, is taken off the blur that follows.
std::optional<BlurredPicture> blurredPictureParts(const Image& image, double sigma, const Rect& extent) {
  const double k = std::floor(sigma / 4);
  if (!(k >= 2) || !image.node()) {
    auto blurred = blurredWithinExtent(image, sigma, extent);
    if (!blurred) return std::nullopt;
    return BlurredPicture{*blurred, nullptr};
  }
  // Radii past a few thousand pixels blur any photograph into its mean.
  sigma = std::min(sigma, 2000.0);
  const double cells = std::floor(sigma / 4);
  // The copy takes in the repeated edges as far as the blur reaches, so
  // that it sees the same surroundings as the full-size blur.
  const double reach = std::ceil(3 * sigma + 3 * cells);
  const Image padded = edgeRepeated(image, extent.insetBy(-reach, -reach));
  const double rest = std::sqrt(std::max(sigma * sigma - (cells * cells - 1) / 12, 0.0)) / cells;
  auto reduced = std::make_shared<const ReducedBlur>(padded.node(), coreimage::pixelsInside(padded.extent()),
                                                     static_cast<int>(cells), rest);
  if (reduced->isEmpty()) return std::nullopt;
  return BlurredPicture{Image(std::make_shared<ReducedBlurNode>(reduced, extent)), std::move(reduced)};
}

namespace {

// The blend of the "blur" kind computed from 8-bit bytes: the picture's own,
// mixed with the reduced blurred copy (enlarged bilinearly, edges repeated)
// by the coverage (stretched bilinearly over the picture, transparent
// beyond the mask) times the opacity. Rendering floats goes through
// `general`, the same blend made of filters.
class BlurThroughMaskNode final : public coreimage::Node {
 public:
  BlurThroughMaskNode(std::shared_ptr<const Node> source, std::shared_ptr<const ReducedBlur> blurred,
                      std::shared_ptr<const CoverageCanvas> coverage, const Rect& extent, double opacity,
                      std::shared_ptr<const Node> general)
      : source_(std::move(source)), blurred_(std::move(blurred)), coverage_(std::move(coverage)), extent_(extent),
        opacity_(static_cast<float>(opacity)), general_(std::move(general)) {}
  Rect extent() const override { return general_->extent(); }
  void render(const coreimage::TileView& out) const override { general_->render(out); }
  bool copyPixels(const coreimage::PixelRect& region, coreimage::PixelFormat format, std::uint8_t* destination,
                  std::size_t rowBytes) const override {
    return format == coreimage::PixelFormat::rgba8 && readOpaqueBytes(region, destination, rowBytes);
  }
  bool readOpaqueBytes(const coreimage::PixelRect& region, std::uint8_t* destination,
                       std::size_t rowBytes) const override {
    if (region.isEmpty() || region.intersection(coreimage::pixelsInside(extent_)) != region) return false;
    if (!source_->readOpaqueBytes(region, destination, rowBytes)) return false;
    const CoverageCanvas& mask = *coverage_;
    const ReducedBlur& small = *blurred_;
    // Per column of the region: the two mask columns and the two cells
    // either side of the pixel's centre, with the weight of the second.
    const auto columns = static_cast<std::size_t>(region.width);
    std::vector<Taps> maskTaps(columns), cellTaps(columns);
    const double sx = mask.width / extent_.width(), sy = mask.height / extent_.height();
    for (std::size_t i = 0; i < columns; ++i) {
      const double x = static_cast<double>(region.x + static_cast<std::int64_t>(i)) + 0.5;
      maskTaps[i] = tapsAt((x - extent_.minX) * sx - 0.5, mask.width - 1, false);
      cellTaps[i] = tapsAt(x / small.k() - 0.5 - static_cast<double>(small.firstColumn()), small.columns() - 1, true);
    }
    // The mask columns the region reads (one more either side is
    // transparent), mixed down from the two mask rows about each pixel row.
    const auto firstColumn = static_cast<int>(std::max<std::int64_t>(0, maskTaps.front().first));
    const auto lastColumn = static_cast<int>(std::min<std::int64_t>(mask.width - 1, maskTaps.back().first + 1));
    std::vector<float> maskRow(static_cast<std::size_t>(mask.width) + 3, 0.0f);  // column c at c + 1
    const std::vector<std::uint8_t> noCoverage(static_cast<std::size_t>(mask.width), 0);
    const float weight = opacity_ / 255;
    std::vector<float> cellRow(static_cast<std::size_t>(small.columns()) * 3);
    // The cells the region's columns read.
    const auto firstCell = static_cast<std::size_t>(cellTaps.front().first);
    const auto lastCell = static_cast<std::size_t>(std::min(cellTaps.back().first + 1, small.columns() - 1));
    for (std::int64_t y = region.y; y < region.maxY(); ++y) {
      const double centre = static_cast<double>(y) + 0.5;
      const Taps my = tapsAt((centre - extent_.minY) * sy - 0.5, mask.height - 1, false);
      auto maskBytes = [&](int row) -> const std::uint8_t* {
        if (row < 0 || row >= mask.height) return noCoverage.data();
        return mask.alpha.data() + static_cast<std::size_t>(mask.height - 1 - row) * static_cast<std::size_t>(mask.width);
      };
      const std::uint8_t* below = maskBytes(my.first);
      const std::uint8_t* above = maskBytes(my.first + 1);
      unsigned any = 0;
      for (int c = firstColumn; c <= lastColumn; ++c) any |= below[c] | above[c];
      if (any) {
        const float wy = my.weight;
        for (int c = firstColumn; c <= lastColumn; ++c)
          maskRow[static_cast<std::size_t>(c) + 1] = (below[c] + (above[c] - below[c]) * wy) * weight;
      }
      if (!any) continue;
      // The two cell rows either side, mixed; the copy must be opaque there.
      const Taps cy = tapsAt(centre / small.k() - 0.5 - static_cast<double>(small.firstRow()), small.rows() - 1, true);
      const float* a = small.row(cy.first);
      const float* b = small.row(std::min(cy.first + 1, small.rows() - 1));
      for (std::size_t c = firstCell; c <= lastCell; ++c) {
        // (The kernel's weights sum to 1 only to float rounding.)
        if (a[c * 4 + 3] < 0.999f || b[c * 4 + 3] < 0.999f) return false;
        for (std::size_t k = 0; k < 3; ++k)
          cellRow[c * 3 + k] = (a[c * 4 + k] + (b[c * 4 + k] - a[c * 4 + k]) * cy.weight) * 255;
      }
      std::uint8_t* px = destination + static_cast<std::size_t>(region.maxY() - 1 - y) * rowBytes;
      for (std::size_t i = 0; i < columns; ++i, px += 4) {
        const Taps& mx = maskTaps[i];
        const float* pair = maskRow.data() + (mx.first + 1);
        const float m = pair[0] + (pair[1] - pair[0]) * mx.weight;
        if (!(m > 0)) continue;
        const Taps& cx = cellTaps[i];
        const std::size_t c0 = static_cast<std::size_t>(cx.first) * 3;
        const std::size_t c1 = cx.first + 1 < small.columns() ? c0 + 3 : c0;
        for (std::size_t k = 0; k < 3; ++k) {
          const float blurred = cellRow[c0 + k] + (cellRow[c1 + k] - cellRow[c0 + k]) * cx.weight;
          const float v = px[k] + (blurred - px[k]) * m;
          px[k] = static_cast<std::uint8_t>(std::min(std::max(v, 0.0f), 255.0f) + 0.5f);
        }
      }
    }
    return true;
  }

 private:
  std::shared_ptr<const Node> source_;
  std::shared_ptr<const ReducedBlur> blurred_;
  std::shared_ptr<const CoverageCanvas> coverage_;
  Rect extent_;
  float opacity_;
  std::shared_ptr<const Node> general_;
};

}  // namespace

std::optional<Image> blurredPicture(const Image& image, double sigma, const Rect& extent) {
  auto parts = blurredPictureParts(image, sigma, extent);
  if (!parts) return std::nullopt;
  return parts->image;
}

double blurSigma(const LocalEffect& effect, const Rect& extent) {
  return std::min(extent.width(), extent.height()) * clamp(effect.amount.value_or(12), 1, 40) / 1000;
}

void applyBlur(RenderState& state, const LocalEffect& effect, const std::shared_ptr<const CoverageCanvas>& coverage,
               MaskSize size, const Rect& extent, const std::optional<BlurredPicture>& blurred) {
  if (!blurred || !coverage) return;
  Image mask = coverageImage(coverage);
  const double o = effect.opacity < 0.999 ? effect.opacity : 1;
  if (o < 1) {
    if (auto weakened = filtered("CIColorMatrix", {{coreimage::kInputImageKey, mask},
                                                   {"inputRVector", coreimage::Vector{{o, 0, 0, 0}}},
                                                   {"inputGVector", coreimage::Vector{{0, o, 0, 0}}},
                                                   {"inputBVector", coreimage::Vector{{0, 0, o, 0}}},
                                                   {"inputAVector", coreimage::Vector{{0, 0, 0, 1}}},
                                                   {"inputBiasVector", coreimage::Vector{{0, 0, 0, 0}}}}))
      mask = *weakened;
  }
  auto placed = placeOverPicture(mask, size, extent);
  if (!placed) return;
  auto out = filtered("CIBlendWithMask", {{coreimage::kInputImageKey, blurred->image},
                                          {coreimage::kInputBackgroundImageKey, state.image},
                                          {coreimage::kInputMaskImageKey, *placed}});
  if (!out) return;
  const Image source = state.image.cropped(extent);
  Image effectImage = out->cropped(extent);
  if (blurred->reduced && source.node())
    effectImage = Image(std::make_shared<BlurThroughMaskNode>(source.node(), blurred->reduced, coverage, extent, o,
                                                              effectImage.node()));
  state.image = limitedToCoverage(source, effectImage, CoverageBlocks::of(*coverage, extent));
}

}  // namespace tonesmith
