// CIGaussianBlur: spreads source pixels by an amount given by a Gaussian
// distribution; inputRadius (default 10) is its standard deviation in
// pixels, and the extent grows by three of them on every side.
//
// Small radii convolve with the sampled, normalised kernel; from a standard
// deviation of 8 up, the recursive filter of Young and van Vliet (third
// order, forward and backward) gives the same curve at a cost independent of
// the radius. Colour is blurred premultiplied by alpha. The recursive filter
// skips tiles whose input is transparent throughout and works tiles whose
// colour components are equal (masks, greys) one or two planes at a time,
// to the same bits.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "../bands.h"
#include "../planes.h"
#include "filters.h"

namespace coreimage {
namespace {

constexpr double kRecursiveFrom = 8.0;

// The filter's state is kept in double precision: from a deviation of a
// few tens of pixels B is below 1e-4 and the feedback sums to nearly 1, so
// float state drifts by percents and, past a few hundred pixels, loses the
// signal altogether. The pixels themselves stay float between passes.
struct RecursiveCoefficients {
  double B, b1, b2, b3;  // b1..b3 already divided by b0
};

typedef double Pixel4d __attribute__((vector_size(32)));

RecursiveCoefficients recursiveCoefficients(double sigma) {
  double q = sigma >= 2.5 ? 0.98711 * sigma - 0.96330 : 3.97156 - 4.14554 * std::sqrt(1 - 0.26891 * sigma);
  double q2 = q * q, q3 = q2 * q;
  double b0 = 1.57825 + 2.44413 * q + 1.4281 * q2 + 0.422205 * q3;
  double b1 = 2.44413 * q + 2.85619 * q2 + 1.26661 * q3;
  double b2 = -(1.4281 * q2 + 1.26661 * q3);
  double b3 = 0.422205 * q3;
  return {1 - (b1 + b2 + b3) / b0, b1 / b0, b2 / b0, b3 / b0};
}

// (Macros rather than functions: a 32-byte vector may not cross a function
// boundary in the baseline instruction set.)
#define ORVAN_WIDENED(v) __builtin_convertvector((v), Pixel4d)
#define ORVAN_NARROWED(v) __builtin_convertvector((v), Pixel4)

// Runs the recursive filter along `count` pixels, `step` floats apart, in
// place; the ends continue their edge values.
void recursiveLine(float* data, std::size_t count, std::size_t step, const RecursiveCoefficients& k) {
  if (count == 0) return;
  Pixel4d w1 = ORVAN_WIDENED(loadPixel(data)), w2 = w1, w3 = w1;
  for (std::size_t n = 0; n < count; ++n) {
    float* p = data + n * step;
    Pixel4d w = ORVAN_WIDENED(loadPixel(p)) * k.B + w1 * k.b1 + w2 * k.b2 + w3 * k.b3;
    storePixel(p, ORVAN_NARROWED(w));
    w3 = w2;
    w2 = w1;
    w1 = w;
  }
  Pixel4d y1 = ORVAN_WIDENED(loadPixel(data + (count - 1) * step)), y2 = y1, y3 = y1;
  for (std::size_t n = count; n-- > 0;) {
    float* p = data + n * step;
    Pixel4d y = ORVAN_WIDENED(loadPixel(p)) * k.B + y1 * k.b1 + y2 * k.b2 + y3 * k.b3;
    storePixel(p, ORVAN_NARROWED(y));
    y3 = y2;
    y2 = y1;
    y1 = y;
  }
}

// Both passes of the recursive filter down the columns of `height` rows of
// `n` floats, rowAt(y) giving row y, done a row at a time with the three
// previous rows' outputs kept per column.
template <typename RowAt>
void recursiveColumnsOf(RowAt rowAt, std::size_t n, std::size_t height, const RecursiveCoefficients& k) {
  std::vector<double> w1(n), w2(n), w3(n);
  auto pass = [&](const float* edge, auto&& rows) {
    std::copy(edge, edge + n, w1.begin());
    w2 = w1;
    w3 = w1;
    rows([&](float* row) {
      for (std::size_t i = 0; i < n; ++i) {
        const double w = k.B * row[i] + k.b1 * w1[i] + k.b2 * w2[i] + k.b3 * w3[i];
        row[i] = static_cast<float>(w);
        w3[i] = w2[i];
        w2[i] = w1[i];
        w1[i] = w;
      }
    });
  };
  pass(rowAt(0), [&](auto&& step) {
    for (std::size_t y = 0; y < height; ++y) step(rowAt(y));
  });
  pass(rowAt(height - 1), [&](auto&& step) {
    for (std::size_t y = height; y-- > 0;) step(rowAt(y));
  });
}

void recursiveColumns(float* data, std::size_t n, std::size_t height, const RecursiveCoefficients& k) {
  recursiveColumnsOf([&](std::size_t y) { return data + y * n; }, n, height, k);
}

// Both passes along the rows of a plane (width × height floats), four rows
// at a time, one per register lane; lanes past the last row run on a copy
// of it and are dropped.
void recursiveRowsOfPlane(float* plane, std::size_t width, std::size_t height, const RecursiveCoefficients& k) {
  if (width == 0) return;
  std::vector<float> spare(width);
  for (std::size_t y0 = 0; y0 < height; y0 += 4) {
    float* rows[4];
    for (std::size_t l = 0; l < 4; ++l) {
      if (y0 + l < height) {
        rows[l] = plane + (y0 + l) * width;
      } else {
        std::copy(plane + (height - 1) * width, plane + height * width, spare.begin());
        rows[l] = spare.data();
      }
    }
#define ORVAN_AT(x) (Pixel4d{rows[0][x], rows[1][x], rows[2][x], rows[3][x]})
    auto put = [&](std::size_t x, const Pixel4d& v) {
      for (std::size_t l = 0; l < 4; ++l) rows[l][x] = static_cast<float>(v[l]);
    };
    Pixel4d w1 = ORVAN_AT(0), w2 = w1, w3 = w1;
    for (std::size_t x = 0; x < width; ++x) {
      Pixel4d w = ORVAN_AT(x) * k.B + w1 * k.b1 + w2 * k.b2 + w3 * k.b3;
      put(x, w);
      w3 = w2;
      w2 = w1;
      w1 = w;
    }
    Pixel4d y1 = ORVAN_AT(width - 1), y2 = y1, y3 = y1;
    for (std::size_t x = width; x-- > 0;) {
      Pixel4d y = ORVAN_AT(x) * k.B + y1 * k.b1 + y2 * k.b2 + y3 * k.b3;
      put(x, y);
      y3 = y2;
      y2 = y1;
      y1 = y;
    }
  }
}
#undef ORVAN_AT

// The normalised Gaussian of standard deviation sigma sampled at -reach ..
// reach.
std::vector<float> sampledKernel(double sigma, std::int64_t reach) {
  std::vector<float> kernel(static_cast<std::size_t>(2 * reach + 1));
  double sum = 0;
  for (std::int64_t i = -reach; i <= reach; ++i) {
    double w = std::exp(-static_cast<double>(i * i) / (2 * sigma * sigma));
    kernel[static_cast<std::size_t>(i + reach)] = static_cast<float>(w);
    sum += w;
  }
  for (float& w : kernel) w = static_cast<float>(w / sum);
  return kernel;
}

// How the premultiplied components of a buffer relate, compared bit by bit:
// all zero (transparent black), four equal components (a white mask), equal
// colour components, or anything else.
enum class ChannelLayout { zero, grey, equalColour, general };

ChannelLayout channelLayout(const float* rgba, std::size_t count) {
  bool zero = true, grey = true;
  for (std::size_t i = 0; i < count; ++i, rgba += 4) {
    std::uint32_t b[4];
    std::memcpy(b, rgba, sizeof b);
    if (b[0] != b[1] || b[0] != b[2]) return ChannelLayout::general;
    if (b[0] != b[3]) grey = zero = false;
    else if (b[0] != 0) zero = false;
  }
  return zero ? ChannelLayout::zero : grey ? ChannelLayout::grey : ChannelLayout::equalColour;
}

class GaussianBlurNode final : public Node {
 public:
  GaussianBlurNode(std::shared_ptr<const Node> input, double sigma)
      : input_(std::move(input)), sigma_(sigma), reach_(static_cast<std::int64_t>(std::ceil(3 * sigma))) {
    Rect e = input_->extent();
    extent_ = e.isInfinite() ? Rect::infinite() : e.insetBy(-static_cast<double>(reach_), -static_cast<double>(reach_));
    if (sigma_ < kRecursiveFrom) {
      kernel_ = sampledKernel(sigma_, reach_);
    } else {
      coefficients_ = recursiveCoefficients(sigma_);
    }
  }

  Rect extent() const override { return extent_; }

  void render(const TileView& out) const override {
    PixelRect domain = out.rect.intersection(pixelDomain(extent_, out.rect));
    clearOutside(out, domain);
    if (domain.isEmpty()) return;
    PixelRect roi{domain.x - reach_, domain.y - reach_, domain.width + 2 * reach_, domain.height + 2 * reach_};
    TileBuffer src = renderToBuffer(*input_, roi);
    premultiply(src.pixels.data(), src.pixels.size() / 4);
    const auto rw = static_cast<std::size_t>(roi.width), rh = static_cast<std::size_t>(roi.height);
    const auto dw = static_cast<std::size_t>(domain.width), dh = static_cast<std::size_t>(domain.height);
    const auto r = static_cast<std::size_t>(reach_);
    if (kernel_.empty()) {
      const ChannelLayout layout = channelLayout(src.pixels.data(), rw * rh);
      if (layout == ChannelLayout::zero) {
        // Transparent throughout: the filter keeps every value zero.
        fillTransparent(view(out, domain));
        return;
      }
      if (layout != ChannelLayout::general) {
        recursivePlanes(src.pixels.data(), rw, rh, layout, domain, out);
        return;
      }
      for (std::size_t y = 0; y < rh; ++y) recursiveLine(src.pixels.data() + y * rw * 4, rw, 4, coefficients_);
      // Columns are filtered together, row by row, to keep memory access sequential.
      recursiveColumns(src.pixels.data(), rw * 4, rh, coefficients_);
      for (std::size_t y = 0; y < dh; ++y) {
        const float* s = src.pixels.data() + ((y + r) * rw + r) * 4;
        float* d = out.pixel(domain.x, domain.y + static_cast<std::int64_t>(y));
        std::copy(s, s + dw * 4, d);
        unpremultiply(d, dw);
      }
      return;
    }
    // Horizontal pass over every ROI row, then vertical into the output.
    PixelStore tmp(rh * dw * 4);
    const std::size_t taps = kernel_.size();
    for (std::size_t y = 0; y < rh; ++y) {
      const float* srow = src.pixels.data() + y * rw * 4;
      float* trow = tmp.data() + y * dw * 4;
      for (std::size_t x = 0; x < dw; ++x) {
        float acc[4] = {0, 0, 0, 0};
        const float* s = srow + x * 4;
        for (std::size_t k = 0; k < taps; ++k, s += 4) {
          float w = kernel_[k];
          acc[0] += w * s[0];
          acc[1] += w * s[1];
          acc[2] += w * s[2];
          acc[3] += w * s[3];
        }
        std::copy(acc, acc + 4, trow + x * 4);
      }
    }
    for (std::size_t y = 0; y < dh; ++y) {
      float* d = out.pixel(domain.x, domain.y + static_cast<std::int64_t>(y));
      std::fill_n(d, dw * 4, 0.0f);
      for (std::size_t k = 0; k < taps; ++k) {
        const float w = kernel_[k];
        const float* t = tmp.data() + (y + k) * dw * 4;
        for (std::size_t i = 0; i < dw * 4; ++i) d[i] += w * t[i];
      }
      unpremultiply(d, dw);
    }
  }

 private:
  // The recursive filter over one or two planes of a premultiplied ROI whose
  // colour components are all equal (and equal to alpha for `grey`), then
  // spread back to four components. Each plane value goes through exactly
  // the arithmetic its component would in the four-component path, so the
  // result is the same to the bit at a quarter or half of the work.
  void recursivePlanes(const float* rgba, std::size_t rw, std::size_t rh, ChannelLayout layout,
                       const PixelRect& domain, const TileView& out) const {
    const std::size_t count = rw * rh, planes = layout == ChannelLayout::grey ? 1 : 2;
    PixelStore store(count * planes);
    float* colour = store.data();
    float* alpha = planes == 2 ? colour + count : colour;
    for (std::size_t i = 0; i < count; ++i) colour[i] = rgba[i * 4];
    if (planes == 2)
      for (std::size_t i = 0; i < count; ++i) alpha[i] = rgba[i * 4 + 3];
    for (std::size_t p = 0; p < planes; ++p) {
      float* plane = store.data() + p * count;
      recursiveRowsOfPlane(plane, rw, rh, coefficients_);
      recursiveColumns(plane, rw, rh, coefficients_);
    }
    const auto r = static_cast<std::size_t>(reach_);
    const auto dw = static_cast<std::size_t>(domain.width), dh = static_cast<std::size_t>(domain.height);
    for (std::size_t y = 0; y < dh; ++y) {
      const std::size_t first = (y + r) * rw + r;
      float* d = out.pixel(domain.x, domain.y + static_cast<std::int64_t>(y));
      for (std::size_t x = 0; x < dw; ++x) {
        const float c = colour[first + x];
        storePixel(d + x * 4, Pixel4{c, c, c, alpha[first + x]});
      }
      unpremultiply(d, dw);
    }
  }
  static TileView view(const TileView& out, const PixelRect& r) { return out.subview(r); }

  std::shared_ptr<const Node> input_;
  double sigma_;
  std::int64_t reach_;
  Rect extent_;
  std::vector<float> kernel_;
  RecursiveCoefficients coefficients_{};
};

// The sampled kernel along the rows of a plane, then down its columns,
// edge values repeated; each band of rows reads from a copy of the plane.
void convolvePlane(float* plane, std::size_t width, std::size_t height, double sigma) {
  const auto reach = static_cast<std::int64_t>(std::ceil(3 * sigma));
  const std::vector<float> kernel = sampledKernel(sigma, reach);
  const auto r = static_cast<std::size_t>(reach);
  constexpr std::size_t kBandRows = 32;
  const auto bands = static_cast<std::int64_t>((height + kBandRows - 1) / kBandRows);
  forEachBand(bands, [&](std::int64_t band) {
    std::vector<float> padded(width + 2 * r);
    const std::size_t y0 = static_cast<std::size_t>(band) * kBandRows, y1 = std::min(height, y0 + kBandRows);
    for (std::size_t y = y0; y < y1; ++y) {
      float* row = plane + y * width;
      std::fill_n(padded.begin(), r, row[0]);
      std::copy(row, row + width, padded.begin() + static_cast<std::ptrdiff_t>(r));
      std::fill_n(padded.begin() + static_cast<std::ptrdiff_t>(r + width), r, row[width - 1]);
      for (std::size_t x = 0; x < width; ++x) {
        float acc = 0;
        for (std::size_t k = 0; k < kernel.size(); ++k) acc += kernel[k] * padded[x + k];
        row[x] = acc;
      }
    }
  });
  const std::vector<float> rows(plane, plane + width * height);
  forEachBand(bands, [&](std::int64_t band) {
    const std::size_t y0 = static_cast<std::size_t>(band) * kBandRows, y1 = std::min(height, y0 + kBandRows);
    for (std::size_t y = y0; y < y1; ++y) {
      float* out = plane + y * width;
      std::fill_n(out, width, 0.0f);
      for (std::size_t k = 0; k < kernel.size(); ++k) {
        const auto source = std::clamp<std::int64_t>(static_cast<std::int64_t>(y + k) - reach, 0,
                                                     static_cast<std::int64_t>(height) - 1);
        const float w = kernel[k];
        const float* in = rows.data() + static_cast<std::size_t>(source) * width;
        for (std::size_t x = 0; x < width; ++x) out[x] += w * in[x];
      }
    }
  });
}

}  // namespace

std::vector<float> sampledGaussian(double sigma) {
  return sampledKernel(sigma, static_cast<std::int64_t>(std::ceil(3 * sigma)));
}

void blurPlane(float* plane, std::size_t width, std::size_t height, double sigma) {
  if (!(sigma > 0) || !std::isfinite(sigma) || width == 0 || height == 0) return;
  sigma = std::min(sigma, 2000.0);
  if (sigma < kRecursiveFrom) {
    convolvePlane(plane, width, height, sigma);
    return;
  }
  // The recursive filter runs over the edge values repeated three sigmas
  // out, as the filter's tiles do, so that it settles before the plane's
  // own pixels: rows four at a time (one per register lane), then bands of
  // columns.
  const RecursiveCoefficients k = recursiveCoefficients(sigma);
  const auto pad = static_cast<std::size_t>(std::ceil(3 * sigma));
  constexpr std::size_t kBandRows = 4, kBandColumns = 512;
  forEachBand(static_cast<std::int64_t>((height + kBandRows - 1) / kBandRows), [&](std::int64_t band) {
    const std::size_t y0 = static_cast<std::size_t>(band) * kBandRows, rows = std::min(kBandRows, height - y0);
    const std::size_t paddedWidth = width + 2 * pad;
    std::vector<float> buffer(paddedWidth * rows);
    for (std::size_t y = 0; y < rows; ++y) {
      const float* row = plane + (y0 + y) * width;
      float* b = buffer.data() + y * paddedWidth;
      std::fill_n(b, pad, row[0]);
      std::copy(row, row + width, b + pad);
      std::fill_n(b + pad + width, pad, row[width - 1]);
    }
    recursiveRowsOfPlane(buffer.data(), paddedWidth, rows, k);
    for (std::size_t y = 0; y < rows; ++y) {
      const float* b = buffer.data() + y * paddedWidth + pad;
      std::copy(b, b + width, plane + (y0 + y) * width);
    }
  });
  // Down the columns the plane is worked in place: above its top the
  // repeated edge keeps the forward pass where it starts, so only the rows
  // repeated below the bottom need a buffer.
  forEachBand(static_cast<std::int64_t>((width + kBandColumns - 1) / kBandColumns), [&](std::int64_t band) {
    const std::size_t x0 = static_cast<std::size_t>(band) * kBandColumns, n = std::min(kBandColumns, width - x0);
    std::vector<float> below(n * pad);
    for (std::size_t y = 0; y < pad; ++y) std::copy_n(plane + (height - 1) * width + x0, n, below.data() + y * n);
    recursiveColumnsOf(
        [&](std::size_t y) { return y < height ? plane + y * width + x0 : below.data() + (y - height) * n; }, n,
        height + pad, k);
  });
}

std::optional<Image> gaussianBlur(const Parameters& p) {
  const Image* input = imageParameter(p, kInputImageKey);
  auto radius = numberParameter(p, kInputRadiusKey, 10);
  if (!input || !radius) return std::nullopt;
  // Radii past a few thousand pixels blur any photograph into its mean.
  double sigma = std::min(*radius, 2000.0);
  if (sigma <= 0) return *input;
  return Image(std::make_shared<GaussianBlurNode>(input->node(), sigma));
}

}  // namespace coreimage
