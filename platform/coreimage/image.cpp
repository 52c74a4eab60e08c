// The Image value and its geometric operations: sources, constant colours,
// crops, affine transforms, edge clamping and fused per-pixel operations.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <sys/mman.h>

#include "node.h"

namespace coreimage {
namespace {

// Free buffers of this thread, at most a handful, each with its capacity.
struct BufferPool {
  std::vector<std::pair<std::size_t, float*>> free;
  ~BufferPool() {
    for (auto& [capacity, data] : free) delete[] data;
  }
};
thread_local BufferPool pool;
constexpr std::size_t kPooledBuffers = 12;

}  // namespace

PixelStore::PixelStore(std::size_t count) : data_(nullptr), size_(count), capacity_(0) {
  // Best fit among pooled buffers that are not much larger than needed.
  std::size_t best = pool.free.size();
  for (std::size_t i = 0; i < pool.free.size(); ++i) {
    std::size_t c = pool.free[i].first;
    if (c >= count && c <= count * 2 + 4096 && (best == pool.free.size() || c < pool.free[best].first)) best = i;
  }
  if (best < pool.free.size()) {
    capacity_ = pool.free[best].first;
    data_ = pool.free[best].second;
    pool.free.erase(pool.free.begin() + static_cast<std::ptrdiff_t>(best));
  } else {
    capacity_ = count;
    data_ = new float[count == 0 ? 1 : count];
  }
}

PixelStore::~PixelStore() {
  if (!data_) return;
  if (pool.free.size() >= kPooledBuffers) {
    // Drop the smallest so that large tiles stay cached.
    auto smallest = std::min_element(pool.free.begin(), pool.free.end());
    if (smallest->first >= capacity_) {
      delete[] data_;
      return;
    }
    delete[] smallest->second;
    pool.free.erase(smallest);
  }
  pool.free.emplace_back(capacity_, data_);
}

void fillTransparent(const TileView& view) {
  for (std::int64_t y = view.rect.y; y < view.rect.maxY(); ++y)
    std::fill_n(view.row(y), static_cast<std::size_t>(view.rect.width) * 4, 0.0f);
}

void clearOutside(const TileView& view, const PixelRect& keep) {
  PixelRect inner = view.rect.intersection(keep);
  if (inner.isEmpty()) {
    fillTransparent(view);
    return;
  }
  for (std::int64_t y = view.rect.y; y < view.rect.maxY(); ++y) {
    float* row = view.row(y);
    if (y < inner.y || y >= inner.maxY()) {
      std::fill_n(row, static_cast<std::size_t>(view.rect.width) * 4, 0.0f);
      continue;
    }
    std::fill_n(row, static_cast<std::size_t>(inner.x - view.rect.x) * 4, 0.0f);
    float* tail = row + static_cast<std::size_t>(inner.maxX() - view.rect.x) * 4;
    std::fill_n(tail, static_cast<std::size_t>(view.rect.maxX() - inner.maxX()) * 4, 0.0f);
  }
}

TileBuffer renderToBuffer(const Node& node, const PixelRect& rect) {
  TileBuffer buffer(rect);
  if (!rect.isEmpty()) node.render(buffer.view());
  return buffer;
}

void renderWithin(const Node& node, const TileView& out, const PixelRect& domain) {
  PixelRect inner = out.rect.intersection(domain);
  clearOutside(out, inner);
  if (!inner.isEmpty()) node.render(out.subview(inner));
}

namespace {

using NodePtr = std::shared_ptr<const Node>;

// Decoded pixels, rows top first, converted to float on demand.
class SourceNode final : public Node {
 public:
  SourceNode(std::shared_ptr<const void> owner, const void* pixels, std::int64_t width, std::int64_t height,
             int bits, std::size_t rowBytes, Image::RowGate rowsReady)
      : owner_(std::move(owner)),
        rowsReady_(std::move(rowsReady)),
        pixels_(static_cast<const std::uint8_t*>(pixels)),
        width_(width),
        height_(height),
        bits_(bits),
        rowBytes_(rowBytes) {}

  Rect extent() const override {
    return Rect::make(0, 0, static_cast<double>(width_), static_cast<double>(height_));
  }

  bool copyPixels(const PixelRect& region, PixelFormat format, std::uint8_t* destination,
                  std::size_t rowBytes) const override {
    const int bits = format == PixelFormat::rgba16 ? 16 : 8;
    if (bits != bits_ || region.intersection({0, 0, width_, height_}) != region || region.isEmpty()) return false;
    if (rowsReady_) rowsReady_(height_ - region.y);
    const std::size_t pixelBytes = bits == 16 ? 8 : 4, length = static_cast<std::size_t>(region.width) * pixelBytes;
    // Only opaque pixels pass unchanged: others need premultiplying.
    for (std::int64_t y = region.y; y < region.maxY(); ++y) {
      const std::uint8_t* src = pixels_ + static_cast<std::size_t>(height_ - 1 - y) * rowBytes_ +
                                static_cast<std::size_t>(region.x) * pixelBytes;
      bool opaque = true;
      if (bits == 8) {
        for (std::size_t i = 3; i < length; i += 4) opaque &= src[i] == 255;
      } else {
        const auto* s16 = reinterpret_cast<const std::uint16_t*>(src);
        for (std::size_t i = 3; i < length / 2; i += 4) opaque &= s16[i] == 65535;
      }
      if (!opaque) return false;
    }
    for (std::int64_t y = region.y; y < region.maxY(); ++y)
      std::memcpy(destination + static_cast<std::size_t>(region.maxY() - 1 - y) * rowBytes,
                  pixels_ + static_cast<std::size_t>(height_ - 1 - y) * rowBytes_ +
                      static_cast<std::size_t>(region.x) * pixelBytes,
                  length);
    return true;
  }

  // One pass: each row is copied, then checked (a translucent row ends it).
  bool readOpaqueBytes(const PixelRect& region, std::uint8_t* destination, std::size_t rowBytes) const override {
    if (bits_ != 8 || region.intersection({0, 0, width_, height_}) != region || region.isEmpty()) return false;
    if (rowsReady_) rowsReady_(height_ - region.y);
    const std::size_t length = static_cast<std::size_t>(region.width) * 4;
    for (std::int64_t y = region.y; y < region.maxY(); ++y) {
      std::uint8_t* row = destination + static_cast<std::size_t>(region.maxY() - 1 - y) * rowBytes;
      std::memcpy(row, pixels_ + static_cast<std::size_t>(height_ - 1 - y) * rowBytes_ + static_cast<std::size_t>(region.x) * 4,
                  length);
      bool opaque = true;
      for (std::size_t i = 3; i < length; i += 4) opaque &= row[i] == 255;
      if (!opaque) return false;
    }
    return true;
  }

  void render(const TileView& out) const override {
    PixelRect inner = out.rect.intersection({0, 0, width_, height_});
    clearOutside(out, inner);
    if (inner.isEmpty()) return;
    // The highest row of the region is the lowest in top-first storage.
    if (rowsReady_) rowsReady_(height_ - inner.y);
    const std::size_t n = static_cast<std::size_t>(inner.width) * 4;
    for (std::int64_t y = inner.y; y < inner.maxY(); ++y) {
      const std::uint8_t* src = pixels_ + static_cast<std::size_t>(height_ - 1 - y) * rowBytes_;
      float* dst = out.pixel(inner.x, y);
      if (bits_ == 8) {
        const std::uint8_t* s = src + static_cast<std::size_t>(inner.x) * 4;
        for (std::size_t i = 0; i < n; ++i) dst[i] = s[i] * (1.0f / 255.0f);
      } else if (bits_ == 16) {
        const std::uint16_t* s = reinterpret_cast<const std::uint16_t*>(src) + static_cast<std::size_t>(inner.x) * 4;
        for (std::size_t i = 0; i < n; ++i) dst[i] = s[i] * (1.0f / 65535.0f);
      } else {
        std::memcpy(dst, src + static_cast<std::size_t>(inner.x) * 16, n * sizeof(float));
      }
    }
  }

 private:
  std::shared_ptr<const void> owner_;
  Image::RowGate rowsReady_;
  const std::uint8_t* pixels_;
  std::int64_t width_, height_;
  int bits_;
  std::size_t rowBytes_;
};

class ConstantNode final : public Node {
 public:
  explicit ConstantNode(Color c) : color_(c) {}
  Rect extent() const override { return Rect::infinite(); }
  void render(const TileView& out) const override {
    const float px[4] = {color_.r, color_.g, color_.b, color_.a};
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* row = out.row(y);
      for (std::int64_t x = 0; x < out.rect.width; ++x) std::memcpy(row + x * 4, px, sizeof px);
    }
  }

 private:
  Color color_;
};

class CropNode final : public Node {
 public:
  CropNode(NodePtr input, const Rect& rect) : input_(std::move(input)), extent_(input_->extent().intersection(rect)) {}
  Rect extent() const override { return extent_; }
  void render(const TileView& out) const override {
    renderWithin(*input_, out, pixelDomain(extent_, out.rect));
  }
  bool copyPixels(const PixelRect& region, PixelFormat format, std::uint8_t* destination,
                  std::size_t rowBytes) const override {
    if (extent_.isInfinite() || region.intersection(pixelsInside(extent_)) != region) return false;
    return input_->copyPixels(region, format, destination, rowBytes);
  }
  bool readOpaqueBytes(const PixelRect& region, std::uint8_t* destination, std::size_t rowBytes) const override {
    if (extent_.isInfinite() || region.intersection(pixelsInside(extent_)) != region) return false;
    return input_->readOpaqueBytes(region, destination, rowBytes);
  }
  const NodePtr& input() const { return input_; }

 private:
  NodePtr input_;
  Rect extent_;
};

// Keys' cubic convolution kernel with a = -0.5 (Catmull-Rom): interpolating,
// so samples at pixel centres return the pixels themselves.
inline void cubicWeights(float f, float w[4]) {
  const float a = -0.5f;
  auto outer = [a](float t) { return ((a * t - 5 * a) * t + 8 * a) * t - 4 * a; };
  auto inner = [a](float t) { return ((a + 2) * t - (a + 3)) * t * t + 1; };
  w[0] = outer(1 + f);
  w[1] = inner(f);
  w[2] = inner(1 - f);
  w[3] = outer(2 - f);
}

class AffineNode final : public Node {
 public:
  AffineNode(NodePtr input, const Affine& transform, const Affine& inverse, bool separable = true)
      : input_(std::move(input)), transform_(transform), inverse_(inverse) {
    extent_ = transform_.apply(input_->extent());
    auto unit = [](double v) { return v == 0 || v == 1 || v == -1; };
    auto whole = [](double v) { return v == std::round(v); };
    exact_ = unit(transform_.a) && unit(transform_.b) && unit(transform_.c) && unit(transform_.d) &&
             whole(transform_.tx) && whole(transform_.ty);
    translationOnly_ = exact_ && transform_.a == 1 && transform_.b == 0 && transform_.c == 0 && transform_.d == 1;
    separable_ = separable && transform_.b == 0 && transform_.c == 0;
  }

  Rect extent() const override { return extent_; }
  const NodePtr& input() const { return input_; }
  const Affine& transform() const { return transform_; }
  bool exact() const { return exact_; }

  bool copyPixels(const PixelRect& region, PixelFormat format, std::uint8_t* destination,
                  std::size_t rowBytes) const override {
    if (!translationOnly_) return false;
    auto dx = static_cast<std::int64_t>(transform_.tx), dy = static_cast<std::int64_t>(transform_.ty);
    return input_->copyPixels({region.x - dx, region.y - dy, region.width, region.height}, format, destination,
                              rowBytes);
  }
  bool readOpaqueBytes(const PixelRect& region, std::uint8_t* destination, std::size_t rowBytes) const override {
    if (!translationOnly_) return false;
    auto dx = static_cast<std::int64_t>(transform_.tx), dy = static_cast<std::int64_t>(transform_.ty);
    return input_->readOpaqueBytes({region.x - dx, region.y - dy, region.width, region.height}, destination,
                                   rowBytes);
  }

  void render(const TileView& out) const override {
    PixelRect domain = out.rect.intersection(pixelDomain(extent_, out.rect));
    if (domain.isEmpty()) {
      fillTransparent(out);
      return;
    }
    if (translationOnly_) {
      // Whole-pixel move: the input renders straight into the output.
      auto dx = static_cast<std::int64_t>(transform_.tx), dy = static_cast<std::int64_t>(transform_.ty);
      TileView shifted = out;
      shifted.rect.x -= dx;
      shifted.rect.y -= dy;
      input_->render(shifted);
      return;
    }
    clearOutside(out, domain);
    if (exact_) {
      PixelRect roi = pixelsInside(inverse_.apply(Rect::make(static_cast<double>(domain.x), static_cast<double>(domain.y),
                                                             static_cast<double>(domain.width),
                                                             static_cast<double>(domain.height))));
      TileBuffer src = renderToBuffer(*input_, roi);
      for (std::int64_t y = domain.y; y < domain.maxY(); ++y) {
        float* dst = out.pixel(domain.x, y);
        for (std::int64_t x = domain.x; x < domain.maxX(); ++x, dst += 4) {
          Point q = inverse_.apply(Point{x + 0.5, y + 0.5});
          auto sx = static_cast<std::int64_t>(std::floor(q.x)), sy = static_cast<std::int64_t>(std::floor(q.y));
          sx = std::clamp(sx, roi.x, roi.maxX() - 1);
          sy = std::clamp(sy, roi.y, roi.maxY() - 1);
          std::memcpy(dst, src.pixel(sx, sy), 4 * sizeof(float));
        }
      }
      return;
    }
    if (separable_) {
      resampleBicubic(domain, out);
      return;
    }
    // A rotated tile reads the source over its turned bounding box; blocks
    // of kSourceBlock × kSourceBlock output pixels read far less margin than
    // a long, flat tile does, and their sources stay in cache.
    for (std::int64_t by = domain.y; by < domain.maxY(); by += kSourceBlock)
      for (std::int64_t bx = domain.x; bx < domain.maxX(); bx += kSourceBlock) {
        PixelRect block{bx, by, std::min(kSourceBlock, domain.maxX() - bx), std::min(kSourceBlock, domain.maxY() - by)};
        resampleBicubic(block, out.subview(block));
      }
  }

 private:
  static constexpr std::int64_t kSourceBlock = 128;

  // Bicubic resampling of premultiplied pixels over `domain`, which `out`
  // covers exactly or contains.
  void resampleBicubic(const PixelRect& domain, const TileView& out) const {
    Rect outRect = Rect::make(static_cast<double>(domain.x), static_cast<double>(domain.y),
                              static_cast<double>(domain.width), static_cast<double>(domain.height));
    Rect back = inverse_.apply(outRect);
    PixelRect roi = pixelsTouching(back.insetBy(-2, -2));
    PixelRect inputDomain = pixelDomain(input_->extent(), roi);
    roi = roi.intersection(inputDomain.isEmpty() ? roi : inputDomain);
    if (roi.isEmpty()) {
      fillTransparent(out);
      return;
    }
    TileBuffer src = renderToBuffer(*input_, roi);
    premultiplyPixels(src.pixels.data(), src.pixels.size() / 4);
    if (separable_) {
      resampleSeparably(src, domain, out);
      return;
    }
    const std::int64_t rw = roi.width, rh = roi.height;
    const float* base = src.pixels.data();
    const std::size_t rowFloats = static_cast<std::size_t>(rw) * 4;
    // Output blocks of 32 × 32 read a small patch of the source each, which
    // stays in cache whatever the angle of the walk through it.
    constexpr std::int64_t kBlock = 32;
    for (std::int64_t by = domain.y; by < domain.maxY(); by += kBlock)
    for (std::int64_t bx = domain.x; bx < domain.maxX(); bx += kBlock)
    for (std::int64_t y = by; y < std::min(by + kBlock, domain.maxY()); ++y) {
      float* dst = out.pixel(bx, y);
      Point q = inverse_.apply(Point{bx + 0.5, y + 0.5});
      for (std::int64_t x = bx; x < std::min(bx + kBlock, domain.maxX()); ++x, dst += 4) {
        // Continuous position in the ROI's pixel grid (pixel centres at integers).
        double u = q.x - 0.5 - static_cast<double>(roi.x), v = q.y - 0.5 - static_cast<double>(roi.y);
        q.x += inverse_.a;
        q.y += inverse_.b;
        if (!(u > -3 && v > -3 && u < static_cast<double>(rw) + 2 && v < static_cast<double>(rh) + 2)) {
          std::fill_n(dst, 4, 0.0f);
          continue;
        }
        // floor() of values above -3 by truncation of a shifted value.
        const auto iu = static_cast<std::int64_t>(u + 4) - 4, iv = static_cast<std::int64_t>(v + 4) - 4;
        float wx[4], wy[4];
        cubicWeights(static_cast<float>(u - static_cast<double>(iu)), wx);
        cubicWeights(static_cast<float>(v - static_cast<double>(iv)), wy);
        Pixel4 acc = {0, 0, 0, 0};
        if (iu >= 1 && iv >= 1 && iu + 2 < rw && iv + 2 < rh) {
          const float* p = base + static_cast<std::size_t>(iv - 1) * rowFloats + static_cast<std::size_t>(iu - 1) * 4;
          for (int j = 0; j < 4; ++j, p += rowFloats) {
            Pixel4 row = loadPixel(p) * wx[0] + loadPixel(p + 4) * wx[1] + loadPixel(p + 8) * wx[2] +
                         loadPixel(p + 12) * wx[3];
            acc += row * wy[j];
          }
        } else {
          for (int j = 0; j < 4; ++j) {
            std::int64_t sy = iv - 1 + j;
            if (sy < 0 || sy >= rh) continue;
            Pixel4 row = {0, 0, 0, 0};
            for (int i = 0; i < 4; ++i) {
              std::int64_t sx = iu - 1 + i;
              if (sx < 0 || sx >= rw) continue;
              row += loadPixel(base + static_cast<std::size_t>(sy) * rowFloats + static_cast<std::size_t>(sx) * 4) * wx[i];
            }
            acc += row * wy[j];
          }
        }
        storeUnpremultiplied(dst, acc);
      }
    }
  }

  static void storeUnpremultiplied(float* dst, Pixel4 acc) {
    float alpha = std::clamp(acc[3], 0.0f, 1.0f);
    if (alpha > 1e-6f) {
      acc *= 1.0f / alpha;
      acc[3] = alpha;
      storePixel(dst, acc);
    } else {
      std::fill_n(dst, 4, 0.0f);
    }
  }

  // The four taps of one output column or row: source indices (clamped into
  // the source, with weight 0 where the tap falls outside it) and weights;
  // `inside` is false where the whole output pixel falls outside.
  struct Taps {
    std::int64_t index[4];
    float weight[4];
    bool inside;
  };

  // Taps for output positions first, first + 1, … along one axis, where the
  // source position of output pixel centre p is scale · p + offset and the
  // source holds `size` pixels starting at `origin`.
  static std::vector<Taps> tapsAlong(std::int64_t first, std::int64_t count, double scale, double offset,
                                     std::int64_t origin, std::int64_t size) {
    std::vector<Taps> taps(static_cast<std::size_t>(count));
    for (std::int64_t k = 0; k < count; ++k) {
      Taps& t = taps[static_cast<std::size_t>(k)];
      double u = scale * (static_cast<double>(first + k) + 0.5) + offset - 0.5 - static_cast<double>(origin);
      t.inside = u > -3 && u < static_cast<double>(size) + 2;
      if (!t.inside) continue;
      const auto iu = static_cast<std::int64_t>(u + 4) - 4;
      cubicWeights(static_cast<float>(u - static_cast<double>(iu)), t.weight);
      for (int i = 0; i < 4; ++i) {
        std::int64_t s = iu - 1 + i;
        if (s < 0 || s >= size) t.weight[i] = 0;
        t.index[i] = std::clamp<std::int64_t>(s, 0, size - 1);
      }
    }
    return taps;
  }

  // Bicubic resampling without rotation or shear as two one-dimensional
  // passes: each source row is filtered horizontally once for all output
  // columns, then the filtered rows are combined vertically. The sums are
  // those of the two-dimensional loop, term by term.
  void resampleSeparably(const TileBuffer& src, const PixelRect& domain, const TileView& out) const {
    const PixelRect& roi = src.rect;
    const std::vector<Taps> columns = tapsAlong(domain.x, domain.width, inverse_.a, inverse_.tx, roi.x, roi.width);
    const std::vector<Taps> rows = tapsAlong(domain.y, domain.height, inverse_.d, inverse_.ty, roi.y, roi.height);
    // The source rows any output row reads.
    std::int64_t lo = roi.height, hi = -1;
    for (const Taps& t : rows)
      if (t.inside) {
        lo = std::min(lo, t.index[0]);
        hi = std::max(hi, t.index[3]);
      }
    if (hi < lo) {
      fillTransparent(out);
      return;
    }
    const std::size_t width = static_cast<std::size_t>(domain.width), lineFloats = width * 4;
    PixelStore lines(static_cast<std::size_t>(hi - lo + 1) * lineFloats);
    for (std::int64_t sy = lo; sy <= hi; ++sy) {
      const float* line = src.pixels.data() + static_cast<std::size_t>(sy) * static_cast<std::size_t>(roi.width) * 4;
      float* h = lines.data() + static_cast<std::size_t>(sy - lo) * lineFloats;
      for (std::size_t x = 0; x < width; ++x) {
        const Taps& t = columns[x];
        if (!t.inside) continue;
        Pixel4 v = loadPixel(line + t.index[0] * 4) * t.weight[0] + loadPixel(line + t.index[1] * 4) * t.weight[1] +
                   loadPixel(line + t.index[2] * 4) * t.weight[2] + loadPixel(line + t.index[3] * 4) * t.weight[3];
        storePixel(h + x * 4, v);
      }
    }
    for (std::int64_t y = domain.y; y < domain.maxY(); ++y) {
      const Taps& r = rows[static_cast<std::size_t>(y - domain.y)];
      float* dst = out.pixel(domain.x, y);
      if (!r.inside) {
        std::fill_n(dst, lineFloats, 0.0f);
        continue;
      }
      const float* h[4];
      for (int j = 0; j < 4; ++j) h[j] = lines.data() + static_cast<std::size_t>(r.index[j] - lo) * lineFloats;
      for (std::size_t x = 0; x < width; ++x, dst += 4) {
        if (!columns[x].inside) {
          std::fill_n(dst, 4, 0.0f);
          continue;
        }
        Pixel4 acc = {0, 0, 0, 0};
        for (int j = 0; j < 4; ++j) acc += loadPixel(h[j] + x * 4) * r.weight[j];
        storeUnpremultiplied(dst, acc);
      }
    }
  }

  NodePtr input_;
  Affine transform_, inverse_;
  Rect extent_;
  bool exact_ = false;
  bool translationOnly_ = false;
  bool separable_ = false;
};

class ClampNode final : public Node {
 public:
  explicit ClampNode(NodePtr input) : input_(std::move(input)), domain_(pixelsInside(input_->extent())) {}
  Rect extent() const override { return Rect::infinite(); }
  void render(const TileView& out) const override {
    if (domain_.isEmpty()) {
      fillTransparent(out);
      return;
    }
    PixelRect inner = out.rect.intersection(domain_);
    if (inner == out.rect) {
      input_->render(out);
      return;
    }
    auto cx = [&](std::int64_t x) { return std::clamp(x, domain_.x, domain_.maxX() - 1); };
    auto cy = [&](std::int64_t y) { return std::clamp(y, domain_.y, domain_.maxY() - 1); };
    std::int64_t x0 = cx(out.rect.x), x1 = cx(out.rect.maxX() - 1);
    std::int64_t y0 = cy(out.rect.y), y1 = cy(out.rect.maxY() - 1);
    TileBuffer src = renderToBuffer(*input_, {x0, y0, x1 - x0 + 1, y1 - y0 + 1});
    for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y) {
      float* dst = out.row(y);
      std::int64_t sy = cy(y);
      for (std::int64_t x = out.rect.x; x < out.rect.maxX(); ++x, dst += 4)
        std::memcpy(dst, src.pixel(cx(x), sy), 4 * sizeof(float));
    }
  }

 private:
  NodePtr input_;
  PixelRect domain_;
};

// Outputs of a chain of per-pixel operations for opaque 8-bit colours,
// worked out the first time each colour is met. A picture holds far fewer
// distinct colours than pixels, so most pixels cost one table read instead
// of the whole chain, and the results are those of the float path bit for
// bit: the chain runs on exactly the floats the source would give.
class ColourMemo {
 public:
  static constexpr std::size_t kColours = std::size_t{1} << 24;
  ColourMemo() {
    // Fresh anonymous pages read as zero and are committed as colours are
    // met; huge pages spare most of the page faults of a random walk.
    void* memory = ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return;
    ::madvise(memory, kBytes, MADV_HUGEPAGE);
    entries_ = static_cast<std::uint32_t*>(memory);
    const std::uint8_t mark[4] = {255, 0, 0, 0};
    std::memcpy(&mark_, mark, sizeof mark_);
    for (std::uint32_t v = 0; v < 256; ++v)
      for (int bit = 0; bit < 8; ++bit) spread_[v] |= ((v >> bit) & 1u) << (3 * bit);
  }
  ~ColourMemo() {
    if (entries_) ::munmap(entries_, kBytes);
  }
  ColourMemo(const ColourMemo&) = delete;
  ColourMemo& operator=(const ColourMemo&) = delete;
  bool usable() const { return entries_ != nullptr; }

  // Replaces the opaque source pixels of `rows` rows of `width` pixels by
  // the chain's output as premultiplied 8-bit RGBA.
  template <typename Chain>
  void translate(std::uint8_t* pixels, std::size_t rowBytes, std::size_t width, std::size_t rows,
                 const Chain& chain) const {
    thread_local std::vector<float> missed;
    thread_local std::vector<std::pair<std::uint32_t, std::uint8_t*>> places;
    missed.clear();
    places.clear();
    for (std::size_t y = 0; y < rows; ++y) {
      std::uint8_t* px = pixels + y * rowBytes;
      for (std::size_t x = 0; x < width; ++x, px += 4) {
        const std::uint32_t key = spread_[px[0]] | spread_[px[1]] << 1 | spread_[px[2]] << 2;
        const std::uint32_t known = std::atomic_ref<std::uint32_t>(entries_[key]).load(std::memory_order_relaxed);
        if (known != 0) {
          const std::uint32_t value = known ^ mark_;
          std::memcpy(px, &value, sizeof value);
          continue;
        }
        missed.insert(missed.end(), {componentOfByte(px[0]), componentOfByte(px[1]), componentOfByte(px[2]), 1.0f});
        places.emplace_back(key, px);
      }
    }
    if (places.empty()) return;
    chain(missed.data(), places.size());
    for (std::size_t i = 0; i < places.size(); ++i) {
      std::uint8_t* px = places[i].second;
      quantizePixel8(missed.data() + i * 4, px);
      std::uint32_t value;
      std::memcpy(&value, px, sizeof value);
      // Two threads meeting a new colour at once both store the same value.
      std::atomic_ref<std::uint32_t>(entries_[places[i].first]).store(value ^ mark_, std::memory_order_relaxed);
    }
  }

 private:
  static constexpr std::size_t kBytes = kColours * sizeof(std::uint32_t);
  // Entries hold the output XOR mark_, so 0 is a colour not yet met: the
  // mark (red 255, alpha 0) is no premultiplied output.
  std::uint32_t* entries_ = nullptr;
  std::uint32_t mark_ = 0;
  // The bits of a component spread three apart: colours are kept in Morton
  // order, so the similar colours of neighbouring pixels share cache lines.
  std::uint32_t spread_[256] = {};
};

// Pictures below this many pixels render through float: filling the
// table would cost about as much as the chain itself.
constexpr double kMemoPixels = 1 << 20;

// A chain of per-pixel operations applied row by row in one pass. The
// operations are shared between the chains built from one another, so a
// chain can tell which of its operations another chain already has.
using SharedOperation = std::shared_ptr<const Image::PixelOperation>;

class PixelOperationNode final : public Node {
 public:
  PixelOperationNode(NodePtr input, std::vector<SharedOperation> operations)
      : input_(std::move(input)), operations_(std::move(operations)) {}
  Rect extent() const override { return input_->extent(); }
  const NodePtr& input() const { return input_; }
  const std::vector<SharedOperation>& operations() const { return operations_; }

  void render(const TileView& out) const override {
    input_->render(out);
    PixelRect domain = out.rect.intersection(pixelDomain(input_->extent(), out.rect));
    if (domain.isEmpty()) return;
    for (std::int64_t y = domain.y; y < domain.maxY(); ++y) {
      float* row = out.pixel(domain.x, y);
      for (const auto& op : operations_) (*op)(row, static_cast<std::size_t>(domain.width));
    }
  }

  // 8-bit output of an opaque 8-bit source goes through the colour memo.
  bool copyPixels(const PixelRect& region, PixelFormat format, std::uint8_t* destination,
                  std::size_t rowBytes) const override {
    if (format != PixelFormat::rgba8 || region.isEmpty()) return false;
    const ColourMemo* memo = colourMemo();
    if (!memo || !input_->readOpaqueBytes(region, destination, rowBytes)) return false;
    memo->translate(destination, rowBytes, static_cast<std::size_t>(region.width),
                    static_cast<std::size_t>(region.height), [this](float* rgba, std::size_t count) {
                      for (const auto& op : operations_) (*op)(rgba, count);
                    });
    return true;
  }

 private:
  const ColourMemo* colourMemo() const {
    std::call_once(memoOnce_, [this] {
      Rect e = input_->extent();
      if (e.isInfinite() || !(e.width() * e.height() >= kMemoPixels)) return;
      auto memo = std::make_unique<ColourMemo>();
      if (memo->usable()) memo_ = std::move(memo);
    });
    return memo_.get();
  }

  NodePtr input_;
  std::vector<SharedOperation> operations_;
  mutable std::once_flag memoOnce_;
  mutable std::unique_ptr<ColourMemo> memo_;
};

}  // namespace

Image::Image() = default;
Image::Image(std::shared_ptr<const Node> node) : node_(std::move(node)) {}

Image Image::fromPixels(std::shared_ptr<const void> owner, const void* pixels, std::int64_t width,
                        std::int64_t height, int bitsPerComponent, std::size_t rowBytes, RowGate rowsReady) {
  if (width <= 0 || height <= 0 || pixels == nullptr ||
      (bitsPerComponent != 8 && bitsPerComponent != 16 && bitsPerComponent != 32))
    return Image();
  return Image(std::make_shared<SourceNode>(std::move(owner), pixels, width, height, bitsPerComponent, rowBytes,
                                            std::move(rowsReady)));
}

Image Image::constantColor(Color color) { return Image(std::make_shared<ConstantNode>(color)); }

Rect Image::extent() const { return node_ ? node_->extent() : Rect{}; }
bool Image::isEmpty() const { return !node_ || node_->extent().isEmpty(); }

Image Image::transformed(const Affine& transform) const {
  if (!node_) return *this;
  if (transform.isIdentity()) return *this;
  NodePtr input = node_;
  Affine combined = transform;
  // Consecutive transforms compose into one, so the pixels are resampled once.
  if (auto inner = std::dynamic_pointer_cast<const AffineNode>(node_)) {
    input = inner->input();
    combined = inner->transform().then(transform);
    auto snap = [](double& v) {
      double r = std::round(v);
      if (std::fabs(v - r) < 1e-9) v = r;
    };
    for (double* v : {&combined.a, &combined.b, &combined.c, &combined.d, &combined.tx, &combined.ty}) snap(*v);
    if (combined.isIdentity()) return Image(input);
  }
  auto inverse = combined.inverted();
  if (!inverse) return Image();
  return Image(std::make_shared<AffineNode>(std::move(input), combined, *inverse));
}

Image transformedByGeneralLoop(const Image& image, const Affine& transform) {
  auto inverse = transform.inverted();
  if (!image.node() || !inverse) return Image();
  return Image(std::make_shared<AffineNode>(image.node(), transform, *inverse, false));
}

Image Image::movedToOrigin() const {
  Rect e = extent();
  if (isEmpty() || e.isInfinite()) return *this;
  return translated(-e.minX, -e.minY);
}

Image Image::cropped(const Rect& rect) const {
  if (!node_) return *this;
  if (auto inner = std::dynamic_pointer_cast<const CropNode>(node_))
    return Image(std::make_shared<CropNode>(inner->input(), inner->extent().intersection(rect)));
  return Image(std::make_shared<CropNode>(node_, rect));
}

Image Image::clampedToExtent() const {
  if (!node_ || extent().isInfinite()) return *this;
  // Edge extension commutes with moves that map pixels onto pixels; pushing
  // it below them lets a following transform compose with theirs.
  if (auto inner = std::dynamic_pointer_cast<const AffineNode>(node_); inner && inner->exact())
    return Image(inner->input()).clampedToExtent().transformed(inner->transform());
  return Image(std::make_shared<ClampNode>(node_));
}

Image Image::applyingPixelOperation(PixelOperation operation) const {
  if (!node_) return *this;
  auto shared = std::make_shared<const PixelOperation>(std::move(operation));
  if (auto inner = std::dynamic_pointer_cast<const PixelOperationNode>(node_)) {
    auto operations = inner->operations();
    operations.push_back(std::move(shared));
    return Image(std::make_shared<PixelOperationNode>(inner->input(), std::move(operations)));
  }
  return Image(std::make_shared<PixelOperationNode>(node_, std::vector<SharedOperation>{std::move(shared)}));
}

std::optional<std::vector<Image::PixelOperation>> pixelOperationsBetween(const Image& from, const Image& to) {
  if (!from.node() || !to.node()) return std::nullopt;
  if (from.node() == to.node()) return std::vector<Image::PixelOperation>{};
  auto target = std::dynamic_pointer_cast<const PixelOperationNode>(to.node());
  if (!target) return std::nullopt;
  std::size_t common = 0;
  if (from.node() != target->input()) {
    auto start = std::dynamic_pointer_cast<const PixelOperationNode>(from.node());
    if (!start || start->input() != target->input() || start->operations().size() > target->operations().size())
      return std::nullopt;
    for (; common < start->operations().size(); ++common)
      if (start->operations()[common] != target->operations()[common]) return std::nullopt;
  }
  std::vector<Image::PixelOperation> rest;
  for (std::size_t i = common; i < target->operations().size(); ++i) rest.push_back(*target->operations()[i]);
  return rest;
}

}  // namespace coreimage
