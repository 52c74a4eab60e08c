// Plane operations: the disc minimum and the Gaussian blur on whole
// single-channel planes. (The random field lives with CIRandomGenerator.)
#include "planes.h"

#include "bands.h"

#include <algorithm>
#include <cmath>

namespace coreimage {
namespace {

constexpr double kMaximumMinimumRadius = 500;

// The disc minimum over blocks of output; a block whose input window holds
// one value is filled with it.
constexpr std::int64_t kBlockRows = 64, kBlockColumns = 256;

class DiscMinimum {
 public:
  DiscMinimum(const BytePlane& in, double radius)
      : in_(in), reach_(static_cast<std::int64_t>(std::floor(radius))),
        rowsOfHalfWidth_(static_cast<std::size_t>(reach_ + 1)) {
    // Rows of the disc by the half-width of their chord.
    const double r2 = radius * radius;
    for (std::int64_t dy = -reach_; dy <= reach_; ++dy) {
      const auto half = static_cast<std::int64_t>(std::floor(std::sqrt(std::max(r2 - double(dy * dy), 0.0))));
      rowsOfHalfWidth_[static_cast<std::size_t>(std::min(half, reach_))].push_back(dy);
    }
  }

  void block(BytePlane& out, std::int64_t x0, std::int64_t y0) const {
    const std::int64_t R = reach_;
    const std::int64_t bw = std::min(kBlockColumns, in_.width - x0), bh = std::min(kBlockRows, in_.height - y0);
    const std::int64_t ww = bw + 2 * R, wh = bh + 2 * R;
    // The input window, edges repeated: one value throughout when the part
    // of the plane it repeats is.
    const std::int64_t left = std::max<std::int64_t>(x0 - R, 0), right = std::min(x0 + bw + R, in_.width);
    const std::int64_t top = std::max<std::int64_t>(y0 - R, 0), bottom = std::min(y0 + bh + R, in_.height);
    const std::uint8_t first = in_.row(top)[left];
    std::uint8_t differs = 0;
    for (std::int64_t y = top; y < bottom; ++y) {
      const std::uint8_t* src = in_.row(y);
      for (std::int64_t x = left; x < right; ++x) differs |= static_cast<std::uint8_t>(src[x] ^ first);
    }
    if (!differs) {
      for (std::int64_t y = 0; y < bh; ++y) std::fill_n(out.row(y0 + y) + x0, bw, first);
      return;
    }
    std::vector<std::uint8_t> spans(static_cast<std::size_t>(ww * wh)), widened(spans.size());
    const std::int64_t leftRepeats = left - (x0 - R), rightRepeats = (x0 + bw + R) - right;
    for (std::int64_t y = 0; y < wh; ++y) {
      const std::uint8_t* src = in_.row(std::clamp<std::int64_t>(y0 - R + y, 0, in_.height - 1));
      std::uint8_t* dst = spans.data() + y * ww;
      std::fill_n(dst, leftRepeats, src[left]);
      std::copy(src + left, src + right, dst + leftRepeats);
      std::fill_n(dst + leftRepeats + (right - left), rightRepeats, src[right - 1]);
    }
    std::vector<std::uint8_t> result(static_cast<std::size_t>(bw * bh), 255);
    for (std::int64_t half = 0; half <= R; ++half) {
      for (std::int64_t dy : rowsOfHalfWidth_[static_cast<std::size_t>(half)])
        for (std::int64_t y = 0; y < bh; ++y) {
          const std::uint8_t* src = spans.data() + (y + R + dy) * ww + R;
          std::uint8_t* acc = result.data() + y * bw;
          for (std::int64_t x = 0; x < bw; ++x) acc[x] = std::min(acc[x], src[x]);
        }
      if (half == R) break;
      // From half-width `half` to half + 1: the spans one pixel to either
      // side (and the centre, going from 0 to 1). The outermost columns
      // stay; the block reads none that this leaves wrong.
      for (std::int64_t y = 0; y < wh; ++y) {
        const std::uint8_t* s = spans.data() + y * ww;
        std::uint8_t* d = widened.data() + y * ww;
        d[0] = s[0];
        d[ww - 1] = s[ww - 1];
        if (half == 0)
          for (std::int64_t x = 1; x + 1 < ww; ++x) d[x] = std::min(std::min(s[x - 1], s[x + 1]), s[x]);
        else
          for (std::int64_t x = 1; x + 1 < ww; ++x) d[x] = std::min(s[x - 1], s[x + 1]);
      }
      spans.swap(widened);
    }
    for (std::int64_t y = 0; y < bh; ++y) std::copy_n(result.data() + y * bw, bw, out.row(y0 + y) + x0);
  }

 private:
  const BytePlane& in_;
  std::int64_t reach_;
  std::vector<std::vector<std::int64_t>> rowsOfHalfWidth_;
};

}  // namespace

void inTwoHalves(std::int64_t count, const std::function<void(std::int64_t, std::int64_t)>& work) {
  if (count <= 0) return;
  const std::int64_t middle = count / 2;
  if (middle == 0) {
    work(0, count);
    return;
  }
  forEachBand(2, [&](std::int64_t half) { half == 0 ? work(0, middle) : work(middle, count); });
}

BytePlane discMinimum(const BytePlane& plane, double radius) {
  const double r = std::min(radius, kMaximumMinimumRadius);
  if (!(r >= 1) || plane.width <= 0 || plane.height <= 0) return plane;  // the disc holds only the pixel itself
  BytePlane out(plane.width, plane.height);
  const DiscMinimum minimum(plane, r);
  const std::int64_t bandRows = (plane.height + kBlockRows - 1) / kBlockRows;
  inTwoHalves(bandRows, [&](std::int64_t first, std::int64_t end) {
    for (std::int64_t band = first; band < end; ++band)
      for (std::int64_t x0 = 0; x0 < plane.width; x0 += kBlockColumns) minimum.block(out, x0, band * kBlockRows);
  });
  return out;
}

void gaussianBlur(FloatPlane& plane, double sigma) {
  if (plane.width <= 0 || plane.height <= 0) return;
  blurPlane(plane.values.data(), static_cast<std::size_t>(plane.width), static_cast<std::size_t>(plane.height), sigma);
}

}  // namespace coreimage
