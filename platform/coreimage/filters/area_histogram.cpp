// CIAreaHistogram: returns a one-row image holding the histograms of the
// red, green, blue and alpha components over an area of the input.
// inputExtent (x, y, width, height; required) is the area, inputCount
// (1 to 2048, default 64) the number of bins, inputScale (default 1) a
// factor on every bin. Each component value, clamped to 0..1, falls in bin
// floor(v × count) (1 in the last bin); bin i of the output image, pixel
// (i, 0), holds in each component the fraction of the area's pixels that
// fell in it, times the scale. The output extent is (0, 0, count, 1).
//
// The histogram is counted once, on first render, in bands of rows spread
// over the cores, top band first; no copy of the whole area is kept.
#include <algorithm>
#include <cstdint>
#include <cmath>
#include <mutex>
#include <thread>

#include "filters.h"

namespace coreimage {
namespace {

class AreaHistogramNode final : public Node {
 public:
  AreaHistogramNode(std::shared_ptr<const Node> input, PixelRect area, int count, double scale)
      : input_(std::move(input)), area_(area), count_(count), scale_(scale) {}
  Rect extent() const override { return Rect::make(0, 0, count_, 1); }

  void render(const TileView& out) const override {
    std::call_once(once_, [this] { count(); });
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* px = out.row(y);
      for (std::int64_t x = out.rect.x; x < out.rect.maxX(); ++x, px += 4)
        for (int c = 0; c < 4; ++c)
          px[c] = y == 0 && x >= 0 && x < count_ ? bins_[static_cast<std::size_t>(x) * 4 + c] : 0.0f;
    }
  }

 private:
  void count() const {
    const auto n = static_cast<std::size_t>(count_);
    bins_.assign(n * 4, 0.0f);
    if (area_.isEmpty()) return;
    constexpr std::int64_t kBand = 64;
    const std::int64_t bands = (area_.height + kBand - 1) / kBand;
    const float bins = static_cast<float>(count_);
    auto binOf = [&](float value) {
      float v = value > 0 ? (value < 1 ? value : 1) : 0;
      return std::min(static_cast<std::size_t>(v * bins), n - 1);
    };
    // Opaque 8-bit sources are counted on their bytes, each byte value
    // falling in the bin its float value falls in.
    std::size_t byteBins[256];
    for (int v = 0; v < 256; ++v) byteBins[v] = binOf(componentOfByte(static_cast<std::uint8_t>(v)));
    std::vector<std::vector<std::uint64_t>> partial;
    std::mutex lock;
    std::int64_t next = 0;
    auto worker = [&] {
      std::vector<std::uint64_t> counts(n * 4, 0);
      std::vector<std::uint8_t> bytes;
      for (;;) {
        std::int64_t band;
        {
          std::lock_guard<std::mutex> guard(lock);
          band = next++;
        }
        if (band >= bands) break;
        // Bands from the top down, the order in which a decode delivers rows.
        const std::int64_t top = area_.maxY() - band * kBand, rows = std::min(kBand, top - area_.y);
        PixelRect rect{area_.x, top - rows, area_.width, rows};
        const std::size_t pixels = static_cast<std::size_t>(rect.width) * static_cast<std::size_t>(rect.height);
        bytes.resize(pixels * 4);
        if (input_->readOpaqueBytes(rect, bytes.data(), static_cast<std::size_t>(rect.width) * 4)) {
          // Every alpha is 255.
          const std::uint8_t* px = bytes.data();
          for (std::size_t i = 0; i < pixels; ++i, px += 4)
            for (std::size_t c = 0; c < 3; ++c) ++counts[byteBins[px[c]] * 4 + c];
          counts[byteBins[255] * 4 + 3] += pixels;
          continue;
        }
        TileBuffer buffer = renderToBuffer(*input_, rect);
        const float* px = buffer.pixels.data();
        for (std::size_t i = 0; i < pixels; ++i, px += 4)
          for (std::size_t c = 0; c < 4; ++c) ++counts[binOf(px[c]) * 4 + c];
      }
      std::lock_guard<std::mutex> guard(lock);
      partial.push_back(std::move(counts));
    };
    unsigned threads = std::clamp<unsigned>(std::thread::hardware_concurrency(), 1u, 8u);
    threads = static_cast<unsigned>(std::min<std::int64_t>(threads, bands));
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (auto& t : pool) t.join();
    const double total = static_cast<double>(area_.width) * static_cast<double>(area_.height);
    for (std::size_t i = 0; i < n * 4; ++i) {
      std::uint64_t sum = 0;
      for (const auto& counts : partial) sum += counts[i];
      bins_[i] = static_cast<float>(static_cast<double>(sum) / total * scale_);
    }
  }

  std::shared_ptr<const Node> input_;
  PixelRect area_;
  int count_;
  double scale_;
  mutable std::once_flag once_;
  mutable std::vector<float> bins_;
};

}  // namespace

std::optional<Image> areaHistogram(const Parameters& p) {
  const Image* input = imageParameter(p, kInputImageKey);
  auto area = vectorParameter(p, "inputExtent", {});
  auto count = numberParameter(p, "inputCount", 64);
  auto scale = numberParameter(p, kInputScaleKey, 1);
  if (!input || !area || area->size() < 4 || !count || !scale) return std::nullopt;
  if (*count < 1 || *count > 2048) return std::nullopt;
  Rect rect = Rect::make((*area)[0], (*area)[1], (*area)[2], (*area)[3]);
  if (rect.isEmpty() || rect.isInfinite()) return std::nullopt;
  PixelRect pixels = pixelsInside(rect);
  if (pixels.isEmpty()) return std::nullopt;
  return Image(std::make_shared<AreaHistogramNode>(input->node(), pixels, static_cast<int>(*count), *scale));
}

}  // namespace coreimage
