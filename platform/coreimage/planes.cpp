// Plane operations: the disc minimum and the Gaussian blur on whole
// single-channel planes. (The random field lives with CIRandomGenerator.)
#include "planes.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>

namespace coreimage {
namespace {

constexpr double kMaximumMinimumRadius = 500;
constexpr double kMaximumSigma = 2000;
constexpr double kRecursiveFrom = 8.0;

// Eight lanes of one recursive step: eight rows filtered side by side.
typedef float Lanes8 __attribute__((vector_size(32)));
constexpr std::int64_t kLanes = 8;

// The coefficients of Young and van Vliet's third-order recursive Gaussian,
// b1 … b3 divided by b0, rounded to float as the blur filter uses them.
struct RecursiveCoefficients {
  float B, b1, b2, b3;
};

RecursiveCoefficients recursiveCoefficients(double sigma) {
  const double q = sigma >= 2.5 ? 0.98711 * sigma - 0.96330 : 3.97156 - 4.14554 * std::sqrt(1 - 0.26891 * sigma);
  const double q2 = q * q, q3 = q2 * q;
  const double b0 = 1.57825 + 2.44413 * q + 1.4281 * q2 + 0.422205 * q3;
  const double b1 = 2.44413 * q + 2.85619 * q2 + 1.26661 * q3;
  const double b2 = -(1.4281 * q2 + 1.26661 * q3);
  const double b3 = 0.422205 * q3;
  return {static_cast<float>(1 - (b1 + b2 + b3) / b0), static_cast<float>(b1 / b0), static_cast<float>(b2 / b0),
          static_cast<float>(b3 / b0)};
}

// Both recursive passes along rows first … end - 1, eight at a time. Each
// line runs on past its end through `pad` copies of its last value, so the
// backward pass starts where the repeated edge has settled it.
void recursiveRows(FloatPlane& plane, std::int64_t first, std::int64_t end, const RecursiveCoefficients& k,
                   std::size_t pad) {
  const auto width = static_cast<std::size_t>(plane.width);
  std::vector<Lanes8> line(width + pad);
  for (std::int64_t y0 = first; y0 < end; y0 += kLanes) {
    float* rows[kLanes];
    for (std::int64_t l = 0; l < kLanes; ++l) rows[l] = plane.row(std::min(y0 + l, end - 1));
    for (std::size_t x = 0; x < width; ++x)
      for (std::int64_t l = 0; l < kLanes; ++l) line[x][l] = rows[l][x];
    std::fill(line.begin() + static_cast<std::ptrdiff_t>(width), line.end(), line[width - 1]);
    Lanes8 w1 = line[0], w2 = w1, w3 = w1;
    for (Lanes8& v : line) {
      const Lanes8 w = v * k.B + w1 * k.b1 + w2 * k.b2 + w3 * k.b3;
      v = w;
      w3 = w2;
      w2 = w1;
      w1 = w;
    }
    Lanes8 y1 = line.back(), y2 = y1, y3 = y1;
    for (std::size_t x = line.size(); x-- > 0;) {
      const Lanes8 v = line[x] * k.B + y1 * k.b1 + y2 * k.b2 + y3 * k.b3;
      line[x] = v;
      y3 = y2;
      y2 = y1;
      y1 = v;
    }
    for (std::int64_t l = 0; l < kLanes && y0 + l < end; ++l)
      for (std::size_t x = 0; x < width; ++x) rows[l][x] = line[x][l];
  }
}

// Both recursive passes down columns first … end - 1, a row at a time, the
// three previous outputs kept per column; like the rows, the columns run on
// through `pad` copies of the last row.
void recursiveColumns(FloatPlane& plane, std::int64_t first, std::int64_t end, const RecursiveCoefficients& k,
                      std::size_t pad) {
  const auto n = static_cast<std::size_t>(end - first);
  const auto height = static_cast<std::size_t>(plane.height);
  auto at = [&](std::size_t y) { return plane.row(static_cast<std::int64_t>(y)) + first; };
  std::vector<float> w1(at(0), at(0) + n), w2(w1), w3(w1), last(at(height - 1), at(height - 1) + n);
  std::vector<float> tail(pad * n);
  auto step = [&](const float* in, float* out) {
    for (std::size_t i = 0; i < n; ++i) {
      const float w = k.B * in[i] + k.b1 * w1[i] + k.b2 * w2[i] + k.b3 * w3[i];
      out[i] = w;
      w3[i] = w2[i];
      w2[i] = w1[i];
      w1[i] = w;
    }
  };
  for (std::size_t y = 0; y < height; ++y) step(at(y), at(y));
  for (std::size_t t = 0; t < pad; ++t) step(last.data(), tail.data() + t * n);
  const float* end0 = pad ? tail.data() + (pad - 1) * n : at(height - 1);
  std::copy(end0, end0 + n, w1.begin());
  w2 = w1;
  w3 = w1;
  for (std::size_t t = pad; t-- > 0;) step(tail.data() + t * n, tail.data() + t * n);
  for (std::size_t y = height; y-- > 0;) step(at(y), at(y));
}

// The sampled, normalised kernel of `sigma` reaching `reach` each way.
std::vector<float> sampledKernel(double sigma, std::int64_t reach) {
  std::vector<double> w(static_cast<std::size_t>(2 * reach + 1));
  double sum = 0;
  for (std::int64_t i = -reach; i <= reach; ++i) {
    w[static_cast<std::size_t>(i + reach)] = std::exp(-static_cast<double>(i * i) / (2 * sigma * sigma));
    sum += w[static_cast<std::size_t>(i + reach)];
  }
  std::vector<float> kernel(w.size());
  for (std::size_t i = 0; i < w.size(); ++i) kernel[i] = static_cast<float>(w[i] / sum);
  return kernel;
}

// The kernel along each row, then down each column, edges repeated.
void convolve(FloatPlane& plane, double sigma, std::int64_t reach) {
  const std::vector<float> kernel = sampledKernel(sigma, reach);
  const auto width = static_cast<std::size_t>(plane.width), r = static_cast<std::size_t>(reach);
  inTwoHalves(plane.height, [&](std::int64_t first, std::int64_t end) {
    std::vector<float> padded(width + 2 * r);
    for (std::int64_t y = first; y < end; ++y) {
      float* row = plane.row(y);
      std::fill_n(padded.begin(), r, row[0]);
      std::copy(row, row + width, padded.begin() + static_cast<std::ptrdiff_t>(r));
      std::fill_n(padded.begin() + static_cast<std::ptrdiff_t>(r + width), r, row[width - 1]);
      for (std::size_t x = 0; x < width; ++x) {
        float acc = 0;
        for (std::size_t t = 0; t < kernel.size(); ++t) acc += kernel[t] * padded[x + t];
        row[x] = acc;
      }
    }
  });
  const FloatPlane input = plane;
  inTwoHalves(plane.height, [&](std::int64_t first, std::int64_t end) {
    for (std::int64_t y = first; y < end; ++y) {
      float* out = plane.row(y);
      std::fill_n(out, width, 0.0f);
      for (std::size_t t = 0; t < kernel.size(); ++t) {
        const std::int64_t from = std::clamp<std::int64_t>(y - reach + static_cast<std::int64_t>(t), 0,
                                                           plane.height - 1);
        const float* in = input.row(from);
        const float w = kernel[t];
        for (std::size_t x = 0; x < width; ++x) out[x] += w * in[x];
      }
    }
  });
}

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
  std::optional<std::thread> second;
  std::exception_ptr failure;
  if (middle > 0) {
    try {
      second.emplace([&] {
        try {
          work(middle, count);
        } catch (...) {
          failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
    }
  }
  try {
    work(0, second ? middle : count);
    if (!second && middle > 0) work(middle, count);
  } catch (...) {
    if (second) second->join();
    throw;
  }
  if (second) second->join();
  if (failure) std::rethrow_exception(failure);
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
  sigma = std::min(sigma, kMaximumSigma);
  if (!(sigma > 0) || plane.width <= 0 || plane.height <= 0) return;
  const auto reach = static_cast<std::int64_t>(std::ceil(3 * sigma));
  if (sigma < kRecursiveFrom) {
    convolve(plane, sigma, reach);
    return;
  }
  const RecursiveCoefficients k = recursiveCoefficients(sigma);
  const auto pad = static_cast<std::size_t>(reach);
  inTwoHalves((plane.height + kLanes - 1) / kLanes, [&](std::int64_t first, std::int64_t end) {
    recursiveRows(plane, first * kLanes, std::min(end * kLanes, plane.height), k, pad);
  });
  inTwoHalves(plane.width, [&](std::int64_t first, std::int64_t end) { recursiveColumns(plane, first, end, k, pad); });
}

}  // namespace coreimage
