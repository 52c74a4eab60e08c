// The Image value and its geometric operations: sources, constant colours,
// crops, affine transforms, edge clamping and fused per-pixel operations.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <immintrin.h>
#include <limits>
#include <mutex>
#include <new>
#include <sys/mman.h>

#include "node.h"

namespace coreimage {
namespace {

// Tiles of a megabyte or more are aligned to 2 MiB and asked to use huge
// pages: a fresh tile then commits in a fault or two, not hundreds.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
bool onHugePages(std::size_t count) { return count * sizeof(float) >= (std::size_t{1} << 20); }

float* allocateFloats(std::size_t count) {
  if (!onHugePages(count)) return new float[count == 0 ? 1 : count];
  const std::size_t bytes = (count * sizeof(float) + kHugePage - 1) / kHugePage * kHugePage;
  void* memory = ::operator new(bytes, std::align_val_t{kHugePage});
  ::madvise(memory, bytes, MADV_HUGEPAGE);
  return static_cast<float*>(memory);
}

void releaseFloats(float* data, std::size_t count) {
  if (onHugePages(count))
    ::operator delete(data, std::align_val_t{kHugePage});
  else
    delete[] data;
}

// Free buffers of this thread, at most a handful, each with its capacity.
struct BufferPool {
  std::vector<std::pair<std::size_t, float*>> free;
  ~BufferPool() {
    for (auto& [capacity, data] : free) releaseFloats(data, capacity);
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
    data_ = allocateFloats(count);
  }
}

PixelStore::~PixelStore() {
  if (!data_) return;
  if (pool.free.size() >= kPooledBuffers) {
    // Drop the smallest so that large tiles stay cached.
    auto smallest = std::min_element(pool.free.begin(), pool.free.end());
    if (smallest->first >= capacity_) {
      releaseFloats(data_, capacity_);
      return;
    }
    releaseFloats(smallest->second, smallest->first);
    pool.free.erase(smallest);
  }
  pool.free.emplace_back(capacity_, data_);
}

bool hasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return has;
}

namespace {

// Two pixels a register: the same multiplications and divisions as one
// pixel at a time.
__attribute__((target("avx2"))) bool premultiplyAvx2(float* p, std::size_t pairs) {
  const __m256i alphaLanes = _mm256_setr_epi32(3, 3, 3, 3, 7, 7, 7, 7);
  const __m256 ones = _mm256_set1_ps(1);
  bool opaque = true;
  for (std::size_t i = 0; i < pairs; ++i, p += 8) {
    const __m256 v = _mm256_loadu_ps(p);
    // Opaque pixels stay as they are.
    if ((_mm256_movemask_ps(_mm256_cmp_ps(v, ones, _CMP_EQ_OQ)) & 0x88) == 0x88) continue;
    opaque = false;
    const __m256 factor = _mm256_blend_ps(_mm256_permutevar8x32_ps(v, alphaLanes), ones, 0x88);
    _mm256_storeu_ps(p, _mm256_mul_ps(v, factor));
  }
  return opaque;
}

__attribute__((target("avx2"))) void unpremultiplyAvx2(float* p, std::size_t pairs) {
  const __m256i alphaLanes = _mm256_setr_epi32(3, 3, 3, 3, 7, 7, 7, 7);
  const __m256 ones = _mm256_set1_ps(1), least = _mm256_set1_ps(1e-6f);
  for (std::size_t i = 0; i < pairs; ++i, p += 8) {
    const __m256 v = _mm256_loadu_ps(p);
    if ((_mm256_movemask_ps(_mm256_cmp_ps(v, ones, _CMP_EQ_OQ)) & 0x88) == 0x88) continue;
    const __m256 alpha = _mm256_permutevar8x32_ps(v, alphaLanes);
    const __m256 kept = _mm256_cmp_ps(alpha, least, _CMP_GT_OQ);
    const __m256 factor = _mm256_blend_ps(_mm256_div_ps(ones, alpha), ones, 0x88);
    _mm256_storeu_ps(p, _mm256_and_ps(_mm256_mul_ps(v, factor), kept));
  }
}

__attribute__((target("avx2"))) void clearFaintAvx2(float* p, std::size_t pairs) {
  const __m256i alphaLanes = _mm256_setr_epi32(3, 3, 3, 3, 7, 7, 7, 7);
  const __m256 least = _mm256_set1_ps(1e-6f);
  for (std::size_t i = 0; i < pairs; ++i, p += 8) {
    const __m256 v = _mm256_loadu_ps(p);
    const __m256 kept = _mm256_cmp_ps(_mm256_permutevar8x32_ps(v, alphaLanes), least, _CMP_GT_OQ);
    if (_mm256_movemask_ps(kept) == 0xff) continue;
    _mm256_storeu_ps(p, _mm256_and_ps(v, kept));
  }
}

__attribute__((target("avx2"))) void componentsOfBytesAvx2(const std::uint8_t* s, float* dst, std::size_t eights) {
  const __m256 scale = _mm256_set1_ps(1.0f / 255.0f);
  for (std::size_t i = 0; i < eights; ++i, s += 8, dst += 8) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s));
    _mm256_storeu_ps(dst, _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes)), scale));
  }
}

// `count` 8-bit components as floats (byte × (1/255)), eight at a time
// where the processor allows.
void componentsOfBytes(const std::uint8_t* s, float* dst, std::size_t count) {
  std::size_t i = 0;
  if (hasAvx2()) {
    componentsOfBytesAvx2(s, dst, count / 8);
    i = count / 8 * 8;
  }
  for (; i < count; ++i) dst[i] = s[i] * (1.0f / 255.0f);
}

}  // namespace

bool premultiplyPixels(float* p, std::size_t count) {
  bool opaque = true;
  if (hasAvx2()) {
    opaque = premultiplyAvx2(p, count / 2);
    p += count / 2 * 8;
    count %= 2;
  }
  for (std::size_t i = 0; i < count; ++i, p += 4) {
    const float a = p[3];
    opaque = opaque && a == 1;
    storePixel(p, loadPixel(p) * Pixel4{a, a, a, 1});
  }
  return opaque;
}

void unpremultiplyPixels(float* p, std::size_t count) {
  if (hasAvx2()) {
    unpremultiplyAvx2(p, count / 2);
    p += count / 2 * 8;
    count %= 2;
  }
  for (std::size_t i = 0; i < count; ++i, p += 4) {
    const float alpha = p[3];
    if (alpha > 1e-6f) {
      Pixel4 v = loadPixel(p) * (1.0f / alpha);
      v[3] = alpha;
      storePixel(p, v);
    } else {
      storePixel(p, Pixel4{0, 0, 0, 0});
    }
  }
}

void clearFaintPixels(float* p, std::size_t count) {
  if (hasAvx2()) {
    clearFaintAvx2(p, count / 2);
    p += count / 2 * 8;
    count %= 2;
  }
  for (std::size_t i = 0; i < count; ++i, p += 4)
    if (!(p[3] > 1e-6f)) storePixel(p, Pixel4{0, 0, 0, 0});
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

TileBuffer renderPremultipliedToBuffer(const Node& node, const PixelRect& rect) {
  TileBuffer buffer(rect);
  if (!rect.isEmpty()) node.renderPremultiplied(buffer.view());
  return buffer;
}

void Node::renderPremultiplied(const TileView& out) const {
  render(out);
  for (std::int64_t y = out.rect.y; y < out.rect.maxY(); ++y)
    premultiplyPixels(out.row(y), static_cast<std::size_t>(out.rect.width));
}

void renderWithin(const Node& node, const TileView& out, const PixelRect& domain) {
  PixelRect inner = out.rect.intersection(domain);
  clearOutside(out, inner);
  if (!inner.isEmpty()) node.render(out.subview(inner));
}

namespace {

using NodePtr = std::shared_ptr<const Node>;

// Decoded pixels, rows top first, converted to float on demand.
// True when each of `count` 8-bit RGBA pixels has alpha 255. The AND of
// all the pixels' words keeps the alpha byte at 255 only then, a loop the
// compiler runs many pixels a step.
bool opaqueBytePixels(const std::uint8_t* p, std::size_t count) {
  // Byte 3 of a pixel is its alpha: the high byte of a little-endian word.
  constexpr int alphaShift = std::endian::native == std::endian::little ? 24 : 0;
  std::uint32_t all = 0xffffffffu;
  for (std::size_t x = 0; x < count; ++x) {
    std::uint32_t pixel;
    std::memcpy(&pixel, p + x * 4, sizeof pixel);
    all &= pixel;
  }
  return ((all >> alphaShift) & 0xff) == 0xff;
}

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
        opaque = opaqueBytePixels(src, static_cast<std::size_t>(region.width));
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

  // Only a source decoded whole lends its bytes: its alphas are checked
  // once, all of them.
  bool lendOpaqueBytes(const PixelRect& region, const std::uint8_t*& bottomRow, std::ptrdiff_t& stride) const override {
    if (bits_ != 8 || rowsReady_ || region.intersection({0, 0, width_, height_}) != region || region.isEmpty())
      return false;
    std::call_once(opaqueChecked_, [this] {
      bool opaque = true;
      for (std::int64_t y = 0; y < height_ && opaque; ++y)
        opaque = opaqueBytePixels(pixels_ + static_cast<std::size_t>(y) * rowBytes_, static_cast<std::size_t>(width_));
      opaque_ = opaque;
    });
    if (!opaque_) return false;
    bottomRow = pixels_ + static_cast<std::size_t>(height_ - 1 - region.y) * rowBytes_ + static_cast<std::size_t>(region.x) * 4;
    stride = -static_cast<std::ptrdiff_t>(rowBytes_);
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
      if (!opaqueBytePixels(row, static_cast<std::size_t>(region.width))) return false;
    }
    return true;
  }

  // Rows whose stored alphas are all at the maximum are left as they are.
  void renderPremultiplied(const TileView& out) const override {
    render(out);
    const PixelRect inner = out.rect.intersection({0, 0, width_, height_});
    const auto width = static_cast<std::size_t>(inner.width);
    for (std::int64_t y = inner.y; y < inner.maxY(); ++y) {
      const std::uint8_t* src = pixels_ + static_cast<std::size_t>(height_ - 1 - y) * rowBytes_;
      bool opaque = bits_ != 32;
      if (bits_ == 8) {
        const std::uint8_t* s = src + static_cast<std::size_t>(inner.x) * 4;
        opaque = opaqueBytePixels(s, width);
      } else if (bits_ == 16) {
        const std::uint16_t* s = reinterpret_cast<const std::uint16_t*>(src) + static_cast<std::size_t>(inner.x) * 4;
        for (std::size_t i = 3; i < width * 4; i += 4) opaque &= s[i] == 65535;
      }
      if (!opaque) premultiplyPixels(out.pixel(inner.x, y), width);
    }
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
        componentsOfBytes(src + static_cast<std::size_t>(inner.x) * 4, dst, n);
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
  mutable std::once_flag opaqueChecked_;
  mutable bool opaque_ = false;
};

class ConstantNode final : public Node {
 public:
  explicit ConstantNode(Color c) : color_(c) {}
  Rect extent() const override { return Rect::infinite(); }
  bool isClear() const override { return color_.a == 0; }
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
  void renderPremultiplied(const TileView& out) const override {
    PixelRect inner = out.rect.intersection(pixelDomain(extent_, out.rect));
    clearOutside(out, inner);
    if (!inner.isEmpty()) input_->renderPremultiplied(out.subview(inner));
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
  bool lendOpaqueBytes(const PixelRect& region, const std::uint8_t*& bottomRow, std::ptrdiff_t& stride) const override {
    if (extent_.isInfinite() || region.intersection(pixelsInside(extent_)) != region) return false;
    return input_->lendOpaqueBytes(region, bottomRow, stride);
  }
  bool isClear() const override { return input_->isClear(); }
  bool prefersPremultiplied() const override { return input_->prefersPremultiplied(); }
  const NodePtr& input() const { return input_; }

 private:
  NodePtr input_;
  Rect extent_;
};

// Keys' cubic convolution kernel with a = -0.5 (Catmull-Rom): interpolating,
// so samples at pixel centres return the pixels themselves.
// The weights of the four taps at distances 1 + f, f, 1 − f and 2 − f, all
// four in one register (the same operations, lane by lane, as one at a time).
inline Pixel4 cubicWeights(float f) {
  const float a = -0.5f;
  const Pixel4 t = {1 + f, f, 1 - f, 2 - f};
  const Pixel4 outer = ((a * t - 5 * a) * t + 8 * a) * t - 4 * a;
  const Pixel4 inner = ((a + 2) * t - (a + 3)) * t * t + 1;
  return Pixel4{outer[0], inner[1], inner[2], outer[3]};
}
inline void cubicWeights(float f, float w[4]) { storePixel(w, cubicWeights(f)); }
// Lane `i` of `v` in all four lanes.
template <int i>
inline Pixel4 broadcast(Pixel4 v) {
  return Pixel4{v[i], v[i], v[i], v[i]};
}

// Stores a premultiplied sum with its alpha clamped to 0..1 (without
// branches: sums of opaque pixels fall either side of 1 at random); a run
// of them is then un-premultiplied at once.
inline void storeClamped(float* dst, Pixel4 acc) {
  float alpha = acc[3] > 0 ? acc[3] : 0.0f;
  acc[3] = alpha < 1 ? alpha : 1.0f;
  storePixel(dst, acc);
}

// Pixel x of four filtered rows summed with their weights (alpha 1, or
// clamped by storeClamped).
inline void combineOne(const float* const h[4], const float weight[4], float* dst, std::size_t x, bool alphaOne) {
  Pixel4 acc = {0, 0, 0, 0};
  for (int j = 0; j < 4; ++j) acc += loadPixel(h[j] + x * 4) * weight[j];
  if (alphaOne) acc[3] = 1;
  storeClamped(dst + x * 4, acc);
}

// `width` pixels of four filtered rows summed with their weights, alpha
// clamped as by storeClamped or 1 when `alphaOne`: the sums of the one-pixel
// loop, term by term (fused, so to float rounding), two pixels a register.
__attribute__((target("avx2,fma"))) void combineRowsAvx2(const float* const h[4], const float weight[4], float* dst,
                                                          std::size_t width, bool alphaOne) {
  const __m256 w0 = _mm256_set1_ps(weight[0]), w1 = _mm256_set1_ps(weight[1]), w2 = _mm256_set1_ps(weight[2]),
               w3 = _mm256_set1_ps(weight[3]);
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1);
  std::size_t x = 0;
  for (; x + 2 <= width; x += 2) {
    const std::size_t i = x * 4;
    __m256 acc = _mm256_fmadd_ps(_mm256_loadu_ps(h[1] + i), w1, _mm256_mul_ps(_mm256_loadu_ps(h[0] + i), w0));
    acc = _mm256_fmadd_ps(_mm256_loadu_ps(h[2] + i), w2, acc);
    acc = _mm256_fmadd_ps(_mm256_loadu_ps(h[3] + i), w3, acc);
    const __m256 clamped = alphaOne ? one : _mm256_min_ps(_mm256_max_ps(acc, zero), one);
    _mm256_storeu_ps(dst + i, _mm256_blend_ps(acc, clamped, 0x88));
  }
  for (; x < width; ++x) combineOne(h, weight, dst, x, alphaOne);
}

// The premultiplied source pixels a turned resampling reads, rows bottom
// first: float pixels, or opaque 8-bit ones when `bytes` is set.
struct SourcePatch {
  const float* base;
  std::size_t rowFloats;
  std::int64_t width, height;
  bool opaque;  // every pixel has alpha 1
  const std::uint8_t* bytes = nullptr;  // the bottom row
  std::ptrdiff_t byteStride = 0;        // from one row to the one above
};

// Pixel (sx, sy) of the patch as float components.
inline Pixel4 patchPixel(const SourcePatch& patch, std::int64_t sx, std::int64_t sy) {
  if (!patch.bytes)
    return loadPixel(patch.base + static_cast<std::size_t>(sy) * patch.rowFloats + static_cast<std::size_t>(sx) * 4);
  const std::uint8_t* p = patch.bytes + sy * patch.byteStride + sx * 4;
  return Pixel4{componentOfByte(p[0]), componentOfByte(p[1]), componentOfByte(p[2]), componentOfByte(p[3])};
}

// One row of output pixels: the source position of the first pixel's centre
// is (x, y), moving by (stepX, stepY) per pixel; the patch starts at
// (originX, originY).
struct TurnedRun {
  double x, y, stepX, stepY, originX, originY;
  std::int64_t count;
  float* dst;
  bool premultipliedOut;  // the colour is left premultiplied
};

// Where one output pixel reads: its top-left tap (iu − 1, iv − 1) in the
// patch and the weights along both axes.
struct TapSite {
  bool outside;   // no tap reaches the patch: the pixel is transparent
  bool interior;  // all 16 taps lie in the patch
  std::int64_t iu, iv;
  Pixel4 wx, wy;
};

inline TapSite tapSite(const SourcePatch& patch, double x, double y, double originX, double originY) {
  TapSite site{};
  // Continuous position in the patch's pixel grid (pixel centres at integers).
  const double u = x - 0.5 - originX, v = y - 0.5 - originY;
  const auto rw = patch.width, rh = patch.height;
  site.outside = !(u > -3 && v > -3 && u < static_cast<double>(rw) + 2 && v < static_cast<double>(rh) + 2);
  if (site.outside) return site;
  // floor() of values above -3 by truncation of a shifted value.
  site.iu = static_cast<std::int64_t>(u + 4) - 4;
  site.iv = static_cast<std::int64_t>(v + 4) - 4;
  site.wx = cubicWeights(static_cast<float>(u - static_cast<double>(site.iu)));
  site.wy = cubicWeights(static_cast<float>(v - static_cast<double>(site.iv)));
  site.interior = site.iu >= 1 && site.iv >= 1 && site.iu + 2 < rw && site.iv + 2 < rh;
  return site;
}

// The 16 taps of a site, in four rows of four.
inline Pixel4 interiorTaps(const SourcePatch& patch, const TapSite& site) {
  const Pixel4 w0 = broadcast<0>(site.wx), w1 = broadcast<1>(site.wx), w2 = broadcast<2>(site.wx),
               w3 = broadcast<3>(site.wx);
  const float* p = patch.base + static_cast<std::size_t>(site.iv - 1) * patch.rowFloats +
                   static_cast<std::size_t>(site.iu - 1) * 4;
  Pixel4 acc = {0, 0, 0, 0};
  const Pixel4 wy[4] = {broadcast<0>(site.wy), broadcast<1>(site.wy), broadcast<2>(site.wy), broadcast<3>(site.wy)};
  for (int j = 0; j < 4; ++j, p += patch.rowFloats)
    acc += (loadPixel(p) * w0 + loadPixel(p + 4) * w1 + loadPixel(p + 8) * w2 + loadPixel(p + 12) * w3) * wy[j];
  return acc;
}

// The taps of a site at the patch's border: those outside it count as 0.
inline Pixel4 borderTaps(const SourcePatch& patch, const TapSite& site) {
  float wx[4], wy[4];
  storePixel(wx, site.wx);
  storePixel(wy, site.wy);
  Pixel4 acc = {0, 0, 0, 0};
  for (int j = 0; j < 4; ++j) {
    const std::int64_t sy = site.iv - 1 + j;
    if (sy < 0 || sy >= patch.height) continue;
    Pixel4 row = {0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
      const std::int64_t sx = site.iu - 1 + i;
      if (sx < 0 || sx >= patch.width) continue;
      row += patchPixel(patch, sx, sy) * wx[i];
    }
    acc += row * wy[j];
  }
  return acc;
}

// The two-dimensional bicubic loop over one run: the reference.
void resampleTurnedRun(const SourcePatch& patch, TurnedRun run) {
  float* dst = run.dst;
  for (std::int64_t k = 0; k < run.count; ++k, dst += 4, run.x += run.stepX, run.y += run.stepY) {
    const TapSite site = tapSite(patch, run.x, run.y, run.originX, run.originY);
    if (site.outside)
      std::fill_n(dst, 4, 0.0f);
    else
      storeClamped(dst, site.interior ? interiorTaps(patch, site) : borderTaps(patch, site));
  }
  if (run.premultipliedOut)
    clearFaintPixels(run.dst, static_cast<std::size_t>(run.count));
  else
    unpremultiplyPixels(run.dst, static_cast<std::size_t>(run.count));
}

// The sites of four consecutive pixels of a run, starting `first` pixels in:
// the operations of tapSite, four lanes at a time (positions in double,
// weights in float).
__attribute__((target("avx2"))) void tapSites4(const SourcePatch& patch, const TurnedRun& run, std::int64_t first,
                                               TapSite sites[4]) {
  const __m256d steps = _mm256_add_pd(_mm256_set1_pd(static_cast<double>(first)), _mm256_setr_pd(0, 1, 2, 3));
  const __m256d half = _mm256_set1_pd(0.5), four = _mm256_set1_pd(4);
  const __m256d x = _mm256_add_pd(_mm256_set1_pd(run.x), _mm256_mul_pd(steps, _mm256_set1_pd(run.stepX)));
  const __m256d y = _mm256_add_pd(_mm256_set1_pd(run.y), _mm256_mul_pd(steps, _mm256_set1_pd(run.stepY)));
  const __m256d u = _mm256_sub_pd(_mm256_sub_pd(x, half), _mm256_set1_pd(run.originX));
  const __m256d v = _mm256_sub_pd(_mm256_sub_pd(y, half), _mm256_set1_pd(run.originY));
  const __m256d low = _mm256_set1_pd(-3);
  const __m256d inside = _mm256_and_pd(
      _mm256_and_pd(_mm256_cmp_pd(u, low, _CMP_GT_OQ), _mm256_cmp_pd(v, low, _CMP_GT_OQ)),
      _mm256_and_pd(_mm256_cmp_pd(u, _mm256_set1_pd(static_cast<double>(patch.width) + 2), _CMP_LT_OQ),
                    _mm256_cmp_pd(v, _mm256_set1_pd(static_cast<double>(patch.height) + 2), _CMP_LT_OQ)));
  const int insideLanes = _mm256_movemask_pd(inside);
  // Outside lanes are cleared before the conversion to integers.
  const __m256d uKept = _mm256_and_pd(u, inside), vKept = _mm256_and_pd(v, inside);
  const __m128i fourInts = _mm_set1_epi32(4);
  const __m128i iu = _mm_sub_epi32(_mm256_cvttpd_epi32(_mm256_add_pd(uKept, four)), fourInts);
  const __m128i iv = _mm_sub_epi32(_mm256_cvttpd_epi32(_mm256_add_pd(vKept, four)), fourInts);
  const __m128 fractions[2] = {_mm256_cvtpd_ps(_mm256_sub_pd(uKept, _mm256_cvtepi32_pd(iu))),
                               _mm256_cvtpd_ps(_mm256_sub_pd(vKept, _mm256_cvtepi32_pd(iv)))};
  // cubicWeights, lane by lane.
  const __m128 a = _mm_set1_ps(-0.5f), one = _mm_set1_ps(1), two = _mm_set1_ps(2);
  const __m128 fiveA = _mm_set1_ps(5 * -0.5f), eightA = _mm_set1_ps(8 * -0.5f), fourA = _mm_set1_ps(4 * -0.5f);
  const __m128 aPlus2 = _mm_set1_ps(-0.5f + 2), aPlus3 = _mm_set1_ps(-0.5f + 3);
  auto outer = [&](__m128 t) {
    return _mm_sub_ps(_mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_sub_ps(_mm_mul_ps(a, t), fiveA), t), eightA), t), fourA);
  };
  auto inner = [&](__m128 t) {
    return _mm_add_ps(_mm_mul_ps(_mm_mul_ps(_mm_sub_ps(_mm_mul_ps(aPlus2, t), aPlus3), t), t), one);
  };
  Pixel4 weights[2][4];
  for (int axis = 0; axis < 2; ++axis) {
    const __m128 f = fractions[axis];
    __m128 w0 = outer(_mm_add_ps(one, f)), w1 = inner(f), w2 = inner(_mm_sub_ps(one, f)), w3 = outer(_mm_sub_ps(two, f));
    _MM_TRANSPOSE4_PS(w0, w1, w2, w3);
    std::memcpy(&weights[axis][0], &w0, sizeof w0);
    std::memcpy(&weights[axis][1], &w1, sizeof w1);
    std::memcpy(&weights[axis][2], &w2, sizeof w2);
    std::memcpy(&weights[axis][3], &w3, sizeof w3);
  }
  std::int32_t us[4], vs[4];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(us), iu);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(vs), iv);
  for (int i = 0; i < 4; ++i) {
    TapSite& site = sites[i];
    site.outside = !((insideLanes >> i) & 1);
    site.iu = us[i];
    site.iv = vs[i];
    site.wx = weights[0][i];
    site.wy = weights[1][i];
    site.interior = !site.outside && site.iu >= 1 && site.iv >= 1 && site.iu + 2 < patch.width && site.iv + 2 < patch.height;
  }
}

// Catmull-Rom weights of the taps at distances 1 + f, f, 1 − f and 2 − f,
// eight fractions at a time: the operations of cubicWeights, lane by lane.
__attribute__((target("avx2"), always_inline)) inline void cubicWeights8(const __m256& f, __m256 w[4]) {
  const __m256 a = _mm256_set1_ps(-0.5f), one = _mm256_set1_ps(1), two = _mm256_set1_ps(2);
  const __m256 fiveA = _mm256_set1_ps(5 * -0.5f), eightA = _mm256_set1_ps(8 * -0.5f), fourA = _mm256_set1_ps(4 * -0.5f);
  const __m256 aPlus2 = _mm256_set1_ps(-0.5f + 2), aPlus3 = _mm256_set1_ps(-0.5f + 3);
  const __m256 t[4] = {_mm256_add_ps(one, f), f, _mm256_sub_ps(one, f), _mm256_sub_ps(two, f)};
  for (int i : {0, 3})
    w[i] = _mm256_sub_ps(
        _mm256_mul_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_sub_ps(_mm256_mul_ps(a, t[i]), fiveA), t[i]), eightA), t[i]),
        fourA);
  for (int i : {1, 2})
    w[i] = _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(_mm256_sub_ps(_mm256_mul_ps(aPlus2, t[i]), aPlus3), t[i]), t[i]), one);
}

// Where eight consecutive pixels of a run read, starting `first` pixels in:
// the offset of each one's top-left tap in the patch (in floats) and its
// weights along both axes, lane k of each row of wx and wy for pixel k.
struct Sites8 {
  alignas(32) float wx[4][8];
  alignas(32) float wy[4][8];
  alignas(32) std::int32_t offset[8];
};

// The sites of eight pixels when every tap of all eight lies inside the
// patch (false, with `sites` unfinished, otherwise). The first pixel's
// position is worked out in double, as tapSite has it, and split into whole
// pixels and a fraction; the other seven step from the fraction in float,
// where a small number keeps its precision.
__attribute__((target("avx2,fma"), always_inline)) inline bool interiorSites8(const SourcePatch& patch,
                                                                              const TurnedRun& run,
                                                                              std::int64_t first, Sites8& sites) {
  const double k = static_cast<double>(first);
  const double u = run.x + k * run.stepX - 0.5 - run.originX, v = run.y + k * run.stepY - 0.5 - run.originY;
  // Also false for NaN.
  constexpr double kFar = 1 << 24;
  if (!(std::fabs(u) < kFar && std::fabs(v) < kFar && std::fabs(run.stepX) < 1024 && std::fabs(run.stepY) < 1024))
    return false;
  const double wholeU = std::floor(u), wholeV = std::floor(v);
  const __m256 lanes = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256 fu = _mm256_fmadd_ps(lanes, _mm256_set1_ps(static_cast<float>(run.stepX)),
                                    _mm256_set1_ps(static_cast<float>(u - wholeU)));
  const __m256 fv = _mm256_fmadd_ps(lanes, _mm256_set1_ps(static_cast<float>(run.stepY)),
                                    _mm256_set1_ps(static_cast<float>(v - wholeV)));
  const __m256 floorU = _mm256_floor_ps(fu), floorV = _mm256_floor_ps(fv);
  const __m256i iu = _mm256_add_epi32(_mm256_set1_epi32(static_cast<std::int32_t>(wholeU)), _mm256_cvttps_epi32(floorU));
  const __m256i iv = _mm256_add_epi32(_mm256_set1_epi32(static_cast<std::int32_t>(wholeV)), _mm256_cvttps_epi32(floorV));
  // Interior: 1 <= floor(u) <= width − 3, so that taps floor(u) − 1 to
  // floor(u) + 2 index the patch; the same for v.
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i outside = _mm256_or_si256(
      _mm256_or_si256(_mm256_cmpgt_epi32(one, iu), _mm256_cmpgt_epi32(iu, _mm256_set1_epi32(static_cast<std::int32_t>(patch.width - 3)))),
      _mm256_or_si256(_mm256_cmpgt_epi32(one, iv), _mm256_cmpgt_epi32(iv, _mm256_set1_epi32(static_cast<std::int32_t>(patch.height - 3)))));
  if (!_mm256_testz_si256(outside, outside)) return false;
  __m256 weights[2][4];
  cubicWeights8(_mm256_sub_ps(fu, floorU), weights[0]);
  cubicWeights8(_mm256_sub_ps(fv, floorV), weights[1]);
  for (int i = 0; i < 4; ++i) {
    _mm256_store_ps(sites.wx[i], weights[0][i]);
    _mm256_store_ps(sites.wy[i], weights[1][i]);
  }
  const __m256i offsets =
      _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(iv, one), _mm256_set1_epi32(static_cast<std::int32_t>(patch.rowFloats))),
                       _mm256_slli_epi32(_mm256_sub_epi32(iu, one), 2));
  _mm256_store_si256(reinterpret_cast<__m256i*>(sites.offset), offsets);
  return true;
}

// Eight consecutive pixels of a run over an opaque float patch when all
// their taps lie inside it (false, with nothing written, otherwise). Each
// pixel's four patch rows are summed with the row weights, then the four
// tap columns with theirs. Alpha is 1.
__attribute__((target("avx2,fma"))) bool opaqueRun8Avx2(const SourcePatch& patch, const TurnedRun& run,
                                                       std::int64_t first, float* dst) {
  Sites8 sites;
  if (!interiorSites8(patch, run, first, sites)) return false;
  const __m128 alphaOne = _mm_setr_ps(0, 0, 0, 1);
  for (int k = 0; k < 8; ++k, dst += 4) {
    const float* p = patch.base + sites.offset[k];
    __m256 left = _mm256_mul_ps(_mm256_loadu_ps(p), _mm256_broadcast_ss(&sites.wy[0][k]));
    __m256 right = _mm256_mul_ps(_mm256_loadu_ps(p + 8), _mm256_broadcast_ss(&sites.wy[0][k]));
    for (int j = 1; j < 4; ++j) {
      p += patch.rowFloats;
      left = _mm256_fmadd_ps(_mm256_loadu_ps(p), _mm256_broadcast_ss(&sites.wy[j][k]), left);
      right = _mm256_fmadd_ps(_mm256_loadu_ps(p + 8), _mm256_broadcast_ss(&sites.wy[j][k]), right);
    }
    const __m256 w01 = _mm256_set_m128(_mm_broadcast_ss(&sites.wx[1][k]), _mm_broadcast_ss(&sites.wx[0][k]));
    const __m256 w23 = _mm256_set_m128(_mm_broadcast_ss(&sites.wx[3][k]), _mm_broadcast_ss(&sites.wx[2][k]));
    const __m256 sum = _mm256_fmadd_ps(right, w23, _mm256_mul_ps(left, w01));
    const __m128 pixel = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
    _mm_storeu_ps(dst, _mm_blend_ps(pixel, alphaOne, 0x8));
  }
  return true;
}

// The same loop with the interior taps in 256-bit registers: each patch row
// of four pixels is two registers, the rows are summed with their weights
// first, then the columns. Equal to the reference to float rounding. An
// 8-bit patch is read as bytes, summed, then scaled by 1/255 once; an
// opaque one goes eight pixels at a time where their taps lie inside it.
__attribute__((target("avx2,fma"))) void resampleTurnedRunAvx2(const SourcePatch& patch, TurnedRun run) {
  float* dst = run.dst;
  const __m256i lowLanes = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1), highLanes = _mm256_setr_epi32(2, 2, 2, 2, 3, 3, 3, 3);
  TapSite sites[4];
  // The 16 taps of an 8-bit patch as floats, two registers a row, kept
  // while the next pixel reads the same ones (magnified layers do so
  // often).
  __m256 tapsLeft[4] = {}, tapsRight[4] = {};
  std::int64_t tapsU = std::numeric_limits<std::int64_t>::min(), tapsV = 0;
  // Tap offsets are kept in 32-bit integers.
  const bool eightAtATime = !patch.bytes && patch.opaque &&
                            static_cast<double>(patch.rowFloats) * static_cast<double>(patch.height) < 2e9;
  for (std::int64_t k = 0; k < run.count; ++k, dst += 4) {
    if (eightAtATime && k % 8 == 0 && k + 8 <= run.count &&
        opaqueRun8Avx2(patch, run, k, dst)) {
      k += 7;
      dst += 28;
      continue;
    }
    if (k % 4 == 0) tapSites4(patch, run, k, sites);
    const TapSite& site = sites[k % 4];
    if (site.outside) {
      std::fill_n(dst, 4, 0.0f);
      continue;
    }
    if (!site.interior) {
      storeClamped(dst, borderTaps(patch, site));
      if (patch.opaque) (run.premultipliedOut ? clearFaintPixels : unpremultiplyPixels)(dst, 1);
      continue;
    }
    float wy[4];
    storePixel(wy, site.wy);
    __m256 left, right;
    if (patch.bytes) {
      if (site.iu != tapsU || site.iv != tapsV) {
        const std::uint8_t* p = patch.bytes + (site.iv - 1) * patch.byteStride + (site.iu - 1) * 4;
        for (int j = 0; j < 4; ++j, p += patch.byteStride) {
          const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
          tapsLeft[j] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(four));
          tapsRight[j] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(four, 8)));
        }
        tapsU = site.iu;
        tapsV = site.iv;
      }
      left = _mm256_mul_ps(tapsLeft[0], _mm256_set1_ps(wy[0]));
      right = _mm256_mul_ps(tapsRight[0], _mm256_set1_ps(wy[0]));
      for (int j = 1; j < 4; ++j) {
        left = _mm256_fmadd_ps(tapsLeft[j], _mm256_set1_ps(wy[j]), left);
        right = _mm256_fmadd_ps(tapsRight[j], _mm256_set1_ps(wy[j]), right);
      }
      left = _mm256_mul_ps(left, _mm256_set1_ps(1.0f / 255.0f));
      right = _mm256_mul_ps(right, _mm256_set1_ps(1.0f / 255.0f));
    } else {
      const float* p = patch.base + static_cast<std::size_t>(site.iv - 1) * patch.rowFloats +
                       static_cast<std::size_t>(site.iu - 1) * 4;
      left = _mm256_mul_ps(_mm256_loadu_ps(p), _mm256_set1_ps(wy[0]));
      right = _mm256_mul_ps(_mm256_loadu_ps(p + 8), _mm256_set1_ps(wy[0]));
      for (int j = 1; j < 4; ++j) {
        p += patch.rowFloats;
        left = _mm256_fmadd_ps(_mm256_loadu_ps(p), _mm256_set1_ps(wy[j]), left);
        right = _mm256_fmadd_ps(_mm256_loadu_ps(p + 8), _mm256_set1_ps(wy[j]), right);
      }
    }
    __m128 wx;
    std::memcpy(&wx, &site.wx, sizeof wx);
    const __m256 wx8 = _mm256_castps128_ps256(wx);
    const __m256 sum = _mm256_fmadd_ps(right, _mm256_permutevar8x32_ps(wx8, highLanes),
                                       _mm256_mul_ps(left, _mm256_permutevar8x32_ps(wx8, lowLanes)));
    const __m128 pixel = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
    Pixel4 acc;
    std::memcpy(&acc, &pixel, sizeof acc);
    if (patch.opaque) {
      // 16 opaque taps: the weights sum to 1, so alpha is 1 and the colour
      // needs no division (the same to float rounding).
      acc[3] = 1;
      storePixel(dst, acc);
    } else {
      storeClamped(dst, acc);
    }
  }
  if (!patch.opaque) (run.premultipliedOut ? clearFaintPixels : unpremultiplyPixels)(run.dst, static_cast<std::size_t>(run.count));
}

}  // namespace

std::vector<BicubicTaps> bicubicTapsAlong(std::int64_t first, std::int64_t count, double scale, double offset,
                                          std::int64_t origin, std::int64_t size) {
  std::vector<BicubicTaps> taps(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
  for (std::int64_t k = 0; k < count; ++k) {
    BicubicTaps& t = taps[static_cast<std::size_t>(k)];
    double u = scale * (static_cast<double>(first + k) + 0.5) + offset - 0.5 - static_cast<double>(origin);
    t.inside = u > -3 && u < static_cast<double>(size) + 2;
    if (!t.inside) continue;
    const auto iu = static_cast<std::int64_t>(u + 4) - 4;
    cubicWeights(static_cast<float>(u - static_cast<double>(iu)), t.weight);
    t.full = iu >= 1 && iu + 2 < size;
    for (int i = 0; i < 4; ++i) {
      std::int64_t s = iu - 1 + i;
      if (s < 0 || s >= size) t.weight[i] = 0;
      t.index[i] = std::clamp<std::int64_t>(s, 0, size - 1);
    }
  }
  return taps;
}

namespace {

// A thread's scratch buffer: grown when too small, never cleared, so that
// it costs no pass over its memory.
template <typename T>
class Scratch {
 public:
  T* reserve(std::size_t count) {
    if (count > capacity_) {
      data_.reset(new T[count]);
      capacity_ = count;
    }
    return data_.get();
  }
  T* data() { return data_.get(); }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t capacity_ = 0;
};

class AffineNode final : public Node {
 public:
  // `fastPaths` false keeps every resampling on the reference loop.
  AffineNode(NodePtr input, const Affine& transform, const Affine& inverse, bool fastPaths = true)
      : input_(std::move(input)), transform_(transform), inverse_(inverse), generalLoopOnly_(!fastPaths) {
    extent_ = transform_.apply(input_->extent());
    auto unit = [](double v) { return v == 0 || v == 1 || v == -1; };
    auto whole = [](double v) { return v == std::round(v); };
    exact_ = unit(transform_.a) && unit(transform_.b) && unit(transform_.c) && unit(transform_.d) &&
             whole(transform_.tx) && whole(transform_.ty);
    translationOnly_ = exact_ && transform_.a == 1 && transform_.b == 0 && transform_.c == 0 && transform_.d == 1;
    separable_ = fastPaths && transform_.b == 0 && transform_.c == 0;
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
  bool lendOpaqueBytes(const PixelRect& region, const std::uint8_t*& bottomRow, std::ptrdiff_t& stride) const override {
    if (!translationOnly_) return false;
    auto dx = static_cast<std::int64_t>(transform_.tx), dy = static_cast<std::int64_t>(transform_.ty);
    return input_->lendOpaqueBytes({region.x - dx, region.y - dy, region.width, region.height}, bottomRow, stride);
  }

  void render(const TileView& out) const override { resample(out, false); }
  // Resampling sums premultiplied colour: it is handed out before the
  // division.
  void renderPremultiplied(const TileView& out) const override {
    if (exact_)
      Node::renderPremultiplied(out);
    else
      resample(out, true);
  }
  bool prefersPremultiplied() const override { return !exact_; }

 private:
  static constexpr std::int64_t kSourceBlock = 128;

  void resample(const TileView& out, bool premultiplied) const {
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
      resampleBicubic(domain, out, premultiplied);
      return;
    }
    // A rotated tile reads the source over its turned bounding box; blocks
    // of kSourceBlock × kSourceBlock output pixels read far less margin than
    // a long, flat tile does, and their sources stay in cache.
    for (std::int64_t by = domain.y; by < domain.maxY(); by += kSourceBlock)
      for (std::int64_t bx = domain.x; bx < domain.maxX(); bx += kSourceBlock) {
        PixelRect block{bx, by, std::min(kSourceBlock, domain.maxX() - bx), std::min(kSourceBlock, domain.maxY() - by)};
        resampleBicubic(block, out.subview(block), premultiplied);
      }
  }

  // Bicubic resampling of premultiplied pixels over `domain`, which `out`
  // covers exactly or contains; the colour stays premultiplied when
  // `premultiplied`.
  void resampleBicubic(const PixelRect& domain, const TileView& out, bool premultiplied) const {
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
    const bool useAvx2 = hasAvx2() && !generalLoopOnly_;
    // An opaque 8-bit source is read as it is stored (where it is, when the
    // source lends its bytes), a quarter of the memory of float pixels and
    // no conversion pass.
    const std::size_t byteRow = static_cast<std::size_t>(roi.width) * 4;
    const std::size_t patchPixels = static_cast<std::size_t>(roi.width) * static_cast<std::size_t>(roi.height);
    const std::uint8_t* lentBytes = nullptr;
    std::ptrdiff_t lentStride = 0;
    bool fromBytes = useAvx2 && input_->lendOpaqueBytes(roi, lentBytes, lentStride);
    thread_local Scratch<std::uint8_t> bytes;
    if (useAvx2 && !fromBytes) fromBytes = input_->readOpaqueBytes(roi, bytes.reserve(byteRow * static_cast<std::size_t>(roi.height)), byteRow);
    std::optional<TileBuffer> src;
    bool opaque = true;
    if (!fromBytes) {
      src.emplace(renderToBuffer(*input_, roi));
      opaque = premultiplyPixels(src->pixels.data(), src->pixels.size() / 4);
    }
    SourcePatch patch{src ? src->pixels.data() : nullptr, static_cast<std::size_t>(roi.width) * 4, roi.width,
                      roi.height, opaque};
    if (lentBytes) {
      patch.bytes = lentBytes;
      patch.byteStride = lentStride;
    } else if (fromBytes) {
      patch.bytes = bytes.data() + (static_cast<std::size_t>(roi.height) - 1) * byteRow;
      patch.byteStride = -static_cast<std::ptrdiff_t>(byteRow);
    }
    if (separable_) {
      resampleSeparably(patch, roi, domain, out, premultiplied);
      return;
    }
    // A turned walk that magnifies reads each source pixel for several
    // output pixels: the bytes are made floats once, rows bottom first. One
    // that shrinks reads few of the patch's pixels and keeps to the bytes.
    thread_local Scratch<float> floats;
    if (fromBytes && patchPixels <= static_cast<std::size_t>(domain.width) * static_cast<std::size_t>(domain.height)) {
      float* converted = floats.reserve(patchPixels * 4);
      for (std::int64_t row = 0; row < roi.height; ++row)
        componentsOfBytes(patch.bytes + row * patch.byteStride, converted + static_cast<std::size_t>(row) * byteRow,
                          byteRow);
      patch.base = converted;
      patch.bytes = nullptr;
    }
    // Output blocks of 32 × 32 read a small patch of the source each, which
    // stays in cache whatever the angle of the walk through it.
    constexpr std::int64_t kBlock = 32;
    for (std::int64_t by = domain.y; by < domain.maxY(); by += kBlock)
    for (std::int64_t bx = domain.x; bx < domain.maxX(); bx += kBlock)
    for (std::int64_t y = by; y < std::min(by + kBlock, domain.maxY()); ++y) {
      const Point q = inverse_.apply(Point{bx + 0.5, y + 0.5});
      const TurnedRun run{q.x, q.y, inverse_.a, inverse_.b, static_cast<double>(roi.x), static_cast<double>(roi.y),
                          std::min(bx + kBlock, domain.maxX()) - bx, out.pixel(bx, y), premultiplied};
      if (useAvx2)
        resampleTurnedRunAvx2(patch, run);
      else
        resampleTurnedRun(patch, run);
    }
  }

  using Taps = BicubicTaps;

  // One pixel of a row of 8-bit pixels filtered along its taps.
  __attribute__((target("avx2"))) static void filterBytePixel(const std::uint8_t* line, const Taps& t, float* h) {
    __m128 v = _mm_setzero_ps();
    for (int i = 0; i < 4; ++i) {
      std::int32_t four;
      std::memcpy(&four, line + t.index[i] * 4, sizeof four);
      const __m128 pixel = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(four)));
      v = _mm_add_ps(v, _mm_mul_ps(pixel, _mm_set1_ps(t.weight[i])));
    }
    _mm_storeu_ps(h, _mm_mul_ps(v, _mm_set1_ps(1.0f / 255.0f)));
  }

  // One row of 8-bit pixels filtered along the columns' taps: the byte sums
  // scaled by 1/255 once. Two output pixels a register (the first in the
  // low half), with the operations of filterBytePixel lane by lane.
  __attribute__((target("avx2"))) static void filterByteRow(const std::uint8_t* line, const std::vector<Taps>& columns,
                                                            float* h) {
    const __m256 scale = _mm256_set1_ps(1.0f / 255.0f);
    std::size_t x = 0;
    for (; x + 2 <= columns.size(); x += 2) {
      const Taps& t = columns[x];
      const Taps& u = columns[x + 1];
      if (!t.inside || !u.inside) {
        if (t.inside) filterBytePixel(line, t, h + x * 4);
        if (u.inside) filterBytePixel(line, u, h + x * 4 + 4);
        continue;
      }
      __m256 v = _mm256_setzero_ps();
      for (int i = 0; i < 4; ++i) {
        std::int32_t first, second;
        std::memcpy(&first, line + t.index[i] * 4, sizeof first);
        std::memcpy(&second, line + u.index[i] * 4, sizeof second);
        const __m256 pixels = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_setr_epi32(first, second, 0, 0)));
        const __m256 weights = _mm256_set_m128(_mm_set1_ps(u.weight[i]), _mm_set1_ps(t.weight[i]));
        v = _mm256_add_ps(v, _mm256_mul_ps(pixels, weights));
      }
      _mm256_storeu_ps(h + x * 4, _mm256_mul_ps(v, scale));
    }
    if (x < columns.size() && columns[x].inside) filterBytePixel(line, columns[x], h + x * 4);
  }

  // One output column of a float row filtered along its taps (nothing
  // written where it falls outside).
  static void filterFloatPixel(const float* line, const Taps& t, float* h) {
    if (!t.inside) return;
    Pixel4 v = loadPixel(line + t.index[0] * 4) * t.weight[0] + loadPixel(line + t.index[1] * 4) * t.weight[1] +
               loadPixel(line + t.index[2] * 4) * t.weight[2] + loadPixel(line + t.index[3] * 4) * t.weight[3];
    storePixel(h, v);
  }

  // Columns 2k and 2k + 1 of an upright resampling: whether their four
  // taps are the same source pixels, or start one pixel apart, all inside
  // the source, and the weights for both in one register per tap (the first
  // column's in the low half).
  struct ColumnPair {
    enum class Kind : std::uint8_t { apart, same, neighbours } kind = Kind::apart;
    std::int32_t first = 0;
    alignas(32) float weight[4][8] = {};
  };

  static std::vector<ColumnPair> columnPairs(const std::vector<Taps>& columns) {
    std::vector<ColumnPair> pairs(columns.size() / 2);
    for (std::size_t k = 0; k < pairs.size(); ++k) {
      const Taps& t = columns[2 * k];
      const Taps& u = columns[2 * k + 1];
      ColumnPair& pair = pairs[k];
      if (!t.inside || !u.inside || !t.full || !u.full || t.index[0] > std::numeric_limits<std::int32_t>::max())
        continue;
      if (u.index[0] == t.index[0])
        pair.kind = ColumnPair::Kind::same;
      else if (u.index[0] == t.index[0] + 1)
        pair.kind = ColumnPair::Kind::neighbours;
      else
        continue;
      pair.first = static_cast<std::int32_t>(t.index[0]);
      for (int i = 0; i < 4; ++i)
        for (int c = 0; c < 4; ++c) {
          pair.weight[i][c] = t.weight[i];
          pair.weight[i][c + 4] = u.weight[i];
        }
    }
    return pairs;
  }

  // A float row filtered along the columns' taps, the pairs that read the
  // same or neighbouring pixels two columns a register, with the sums of
  // filterFloatPixel to float rounding.
  __attribute__((target("avx2,fma"))) static void filterPairsAvx2(const float* line, const std::vector<Taps>& columns,
                                                                const std::vector<ColumnPair>& pairs, float* h) {
    for (std::size_t k = 0; k < pairs.size(); ++k) {
      const ColumnPair& pair = pairs[k];
      float* dst = h + k * 8;
      if (pair.kind == ColumnPair::Kind::apart) {
        filterFloatPixel(line, columns[2 * k], dst);
        filterFloatPixel(line, columns[2 * k + 1], dst + 4);
        continue;
      }
      const float* p = line + static_cast<std::size_t>(pair.first) * 4;
      __m256 v;
      if (pair.kind == ColumnPair::Kind::neighbours) {
        v = _mm256_mul_ps(_mm256_loadu_ps(p), _mm256_load_ps(pair.weight[0]));
        for (int i = 1; i < 4; ++i) v = _mm256_fmadd_ps(_mm256_loadu_ps(p + 4 * i), _mm256_load_ps(pair.weight[i]), v);
      } else {
        v = _mm256_mul_ps(_mm256_broadcast_ps(reinterpret_cast<const __m128*>(p)), _mm256_load_ps(pair.weight[0]));
        for (int i = 1; i < 4; ++i)
          v = _mm256_fmadd_ps(_mm256_broadcast_ps(reinterpret_cast<const __m128*>(p + 4 * i)),
                              _mm256_load_ps(pair.weight[i]), v);
      }
      _mm256_storeu_ps(dst, v);
    }
    if (columns.size() % 2) filterFloatPixel(line, columns.back(), h + (columns.size() - 1) * 4);
  }

  // Bicubic resampling without rotation or shear as two one-dimensional
  // passes: each source row is filtered horizontally once for all output
  // columns, then the filtered rows are combined vertically. The sums are
  // those of the two-dimensional loop, term by term.
  void resampleSeparably(const SourcePatch& src, const PixelRect& roi, const PixelRect& domain, const TileView& out,
                         bool premultiplied) const {
    const bool opaque = src.opaque;
    const std::vector<Taps> columns = bicubicTapsAlong(domain.x, domain.width, inverse_.a, inverse_.tx, roi.x, roi.width);
    const std::vector<Taps> rows = bicubicTapsAlong(domain.y, domain.height, inverse_.d, inverse_.ty, roi.y, roi.height);
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
    // A magnification reads the same or neighbouring source pixels for two
    // neighbouring columns: those pairs go two pixels a register, from a
    // float copy of an 8-bit row.
    const bool pairsFirst = hasAvx2() && !generalLoopOnly_;
    const std::vector<ColumnPair> pairs = pairsFirst ? columnPairs(columns) : std::vector<ColumnPair>{};
    std::size_t pairColumns = 0;
    for (const ColumnPair& pair : pairs) pairColumns += pair.kind != ColumnPair::Kind::apart ? 2 : 0;
    const bool usePairs = pairsFirst && pairColumns * 2 >= width;
    thread_local Scratch<float> rowFloats;
    for (std::int64_t sy = lo; sy <= hi; ++sy) {
      float* h = lines.data() + static_cast<std::size_t>(sy - lo) * lineFloats;
      if (src.bytes && !usePairs) {
        filterByteRow(src.bytes + sy * src.byteStride, columns, h);
        continue;
      }
      const float* line = src.base + static_cast<std::size_t>(sy) * src.rowFloats;
      if (src.bytes) {
        float* converted = rowFloats.reserve(static_cast<std::size_t>(roi.width) * 4);
        componentsOfBytes(src.bytes + sy * src.byteStride, converted, static_cast<std::size_t>(roi.width) * 4);
        line = converted;
      }
      if (usePairs) {
        filterPairsAvx2(line, columns, pairs, h);
        continue;
      }
      for (std::size_t x = 0; x < width; ++x) filterFloatPixel(line, columns[x], h + x * 4);
    }
    std::vector<std::size_t> outsideColumns, partColumns;
    for (std::size_t x = 0; x < width; ++x)
      if (!columns[x].inside)
        outsideColumns.push_back(x);
      else if (!columns[x].full)
        partColumns.push_back(x);
    const bool useAvx2 = hasAvx2();
    for (std::int64_t y = domain.y; y < domain.maxY(); ++y) {
      const Taps& r = rows[static_cast<std::size_t>(y - domain.y)];
      float* dst = out.pixel(domain.x, y);
      if (!r.inside) {
        std::fill_n(dst, lineFloats, 0.0f);
        continue;
      }
      const float* h[4];
      for (int j = 0; j < 4; ++j) h[j] = lines.data() + static_cast<std::size_t>(r.index[j] - lo) * lineFloats;
      // Where all 16 taps read opaque pixels the weights sum to 1: alpha is 1
      // and the colour needs no division (the same to float rounding).
      const bool alphaOne = opaque && r.full;
      if (useAvx2) {
        combineRowsAvx2(h, r.weight, dst, width, alphaOne);
      } else {
        for (std::size_t x = 0; x < width; ++x) combineOne(h, r.weight, dst, x, alphaOne);
      }
      for (std::size_t x : outsideColumns) std::fill_n(dst + x * 4, 4, 0.0f);
      if (!alphaOne) {
        (premultiplied ? clearFaintPixels : unpremultiplyPixels)(dst, width);
        continue;
      }
      for (std::size_t x : partColumns) {
        combineOne(h, r.weight, dst, x, false);
        (premultiplied ? clearFaintPixels : unpremultiplyPixels)(dst + x * 4, 1);
      }
    }
  }

  NodePtr input_;
  Affine transform_, inverse_;
  Rect extent_;
  bool exact_ = false;
  bool translationOnly_ = false;
  bool separable_ = false;
  bool generalLoopOnly_ = false;
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

bool affineResampling(const Node& node, NodePtr& input, Affine& transform) {
  const auto* affine = dynamic_cast<const AffineNode*>(&node);
  if (!affine) return false;
  input = affine->input();
  transform = affine->transform();
  return true;
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
