// CIMorphologyMinimum: darkens areas of an image by a circular minimum: each
// premultiplied component becomes the smallest value of that component
// among the pixels whose centres lie within inputRadius (default 0) of the
// pixel's centre. The extent is the input's; outside it the input counts as
// transparent black, so clamp the input to its extent first for an erosion
// that ignores the border.
//
// The disc is taken row by row: the minimum over a row span of half-width
// w + 1 is the minimum of the half-width w spans one pixel to either side,
// so every half-width up to the radius costs one comparison per pixel. Bands
// of a tile whose input is one value throughout are filled, and a tile whose
// four premultiplied components are equal (a mask) is worked as one channel.
#include <algorithm>
#include <cmath>
#include <vector>

#include "filters.h"

namespace coreimage {
namespace {

// Larger radii are taken as this one: the tile buffers grow with the square
// of the radius.
constexpr double kMaximumRadius = 500;

inline Pixel4 minOf(Pixel4 a, Pixel4 b) { return a < b ? a : b; }
inline float minOf(float a, float b) { return a < b ? a : b; }

// From half-width w to w + 1, in place along each row.
template <typename T>
void widenSpans(std::vector<T>& spans, std::size_t width, std::size_t height, std::int64_t w) {
  if (width < 3) return;
  for (std::size_t y = 0; y < height; ++y) {
    T* row = spans.data() + y * width;
    T previous = row[0];
    for (std::size_t x = 1; x + 1 < width; ++x) {
      const T current = row[x];
      // Half-width 0 to 1 needs the centre too; wider spans overlap it.
      const T widened = minOf(previous, row[x + 1]);
      row[x] = w == 0 ? minOf(widened, current) : widened;
      previous = current;
    }
  }
}

// The disc minimum of `spans` (sw × sh values, rows bottom first, already
// holding the source) into `result` (w × h, the source less R on each side).
// `spans` is overwritten.
template <typename T>
void discMinimum(std::vector<T>& spans, std::size_t sw, std::size_t sh, std::int64_t R, double radius,
                 std::vector<T>& result, std::size_t w, std::size_t h, T far) {
  std::fill(result.begin(), result.end(), far);
  const double r2 = radius * radius;
  // Rows by the half-width of their chord.
  std::vector<std::vector<std::int64_t>> rowsOfHalfWidth(static_cast<std::size_t>(R + 1));
  for (std::int64_t dy = -R; dy <= R; ++dy) {
    const auto reach = static_cast<std::int64_t>(std::floor(std::sqrt(std::max(r2 - double(dy * dy), 0.0))));
    rowsOfHalfWidth[static_cast<std::size_t>(std::min(reach, R))].push_back(dy);
  }
  for (std::int64_t halfWidth = 0; halfWidth <= R; ++halfWidth) {
    for (std::int64_t dy : rowsOfHalfWidth[static_cast<std::size_t>(halfWidth)])
      for (std::size_t y = 0; y < h; ++y) {
        const T* row = spans.data() + (y + static_cast<std::size_t>(R + dy)) * sw + R;
        T* acc = result.data() + y * w;
        for (std::size_t x = 0; x < w; ++x) acc[x] = minOf(acc[x], row[x]);
      }
    if (halfWidth == R) break;
    widenSpans(spans, sw, sh, halfWidth);
  }
}

class MorphologyMinimumNode final : public Node {
 public:
  MorphologyMinimumNode(std::shared_ptr<const Node> input, double radius)
      : input_(std::move(input)), radius_(radius), reach_(static_cast<std::int64_t>(std::floor(radius))) {}
  Rect extent() const override { return input_->extent(); }

  void render(const TileView& out) const override {
    const PixelRect domain = out.rect.intersection(pixelDomain(extent(), out.rect));
    clearOutside(out, domain);
    if (domain.isEmpty()) return;
    const std::int64_t R = reach_;
    const PixelRect source{domain.x - R, domain.y - R, domain.width + 2 * R, domain.height + 2 * R};
    TileBuffer buffer = renderToBuffer(*input_, source);
    const std::size_t count = static_cast<std::size_t>(source.width) * static_cast<std::size_t>(source.height);
    float* px = buffer.pixels.data();
    premultiply(px, count);

    const auto sw = static_cast<std::size_t>(source.width), sh = static_cast<std::size_t>(source.height);
    const auto w = static_cast<std::size_t>(domain.width), h = static_cast<std::size_t>(domain.height);
    // Worked in bands of columns: a band whose input window is one value
    // throughout (inside or outside a mask's shape) is filled without the
    // disc passes. The minimum does not depend on the order in which values
    // are compared, so the bands give what the whole tile would.
    const bool grey = isGrey(px, count);
    for (std::size_t x0 = 0; x0 < w; x0 += kBandWidth) {
      const std::size_t bw = std::min(kBandWidth, w - x0), ww = bw + 2 * static_cast<std::size_t>(R);
      auto at = [&](std::size_t y, std::size_t x) { return px + (y * sw + x0 + x) * 4; };
      auto write = [&](auto&& pixelAt) {
        for (std::size_t y = 0; y < h; ++y) {
          float* row = out.row(domain.y + static_cast<std::int64_t>(y)) + (domain.x - out.rect.x + x0) * 4;
          for (std::size_t x = 0; x < bw; ++x) storePixel(row + x * 4, pixelAt(y * bw + x));
          unpremultiply(row, bw);
        }
      };
      if (isUniform(at, ww, sh)) {
        const Pixel4 v = loadPixel(px + x0 * 4);
        write([&](std::size_t) { return v; });
      } else if (grey) {
        // Masks (white over transparent) have four equal premultiplied
        // components: one channel is worked and copied to all four.
        std::vector<float> spans(ww * sh), result(bw * h);
        for (std::size_t y = 0; y < sh; ++y)
          for (std::size_t x = 0; x < ww; ++x) spans[y * ww + x] = at(y, x)[0];
        discMinimum(spans, ww, sh, R, radius_, result, bw, h, 1e30f);
        write([&](std::size_t i) { return Pixel4{result[i], result[i], result[i], result[i]}; });
      } else {
        std::vector<Pixel4> spans(ww * sh), result(bw * h);
        for (std::size_t y = 0; y < sh; ++y)
          for (std::size_t x = 0; x < ww; ++x) spans[y * ww + x] = loadPixel(at(y, x));
        discMinimum(spans, ww, sh, R, radius_, result, bw, h, Pixel4{1e30f, 1e30f, 1e30f, 1e30f});
        write([&](std::size_t i) { return result[i]; });
      }
    }
  }

 private:
  static constexpr std::size_t kBandWidth = 256;
  // Whether the window of width × height pixels that `at(y, x)` addresses
  // holds one value.
  template <typename At>
  static bool isUniform(At at, std::size_t width, std::size_t height) {
    const float* first = at(0, 0);
    for (std::size_t y = 0; y < height; ++y) {
      const float* row = at(y, 0);
      for (std::size_t x = 0; x < width; ++x)
        if (std::memcmp(first, row + x * 4, sizeof(float) * 4) != 0) return false;
    }
    return true;
  }
  static bool isGrey(const float* px, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, px += 4)
      if (px[0] != px[1] || px[0] != px[2] || px[0] != px[3]) return false;
    return true;
  }

  std::shared_ptr<const Node> input_;
  double radius_;
  std::int64_t reach_;
};

}  // namespace

std::optional<Image> morphologyMinimum(const Parameters& p) {
  const Image* input = imageParameter(p, kInputImageKey);
  auto radius = numberParameter(p, kInputRadiusKey, 0);
  if (!input || !radius) return std::nullopt;
  const double r = std::min(std::max(*radius, 0.0), kMaximumRadius);
  if (r < 1) return *input;  // the disc holds only the pixel itself
  return Image(std::make_shared<MorphologyMinimumNode>(input->node(), r));
}

}  // namespace coreimage
