// Internal: the operation graph behind coreimage::Image.
//
// Each node is one operation. Building a node checks its parameters and fixes
// its extent; `render` is the pixel loop, run on demand for one tile. A node
// asked for a tile writes every pixel of it: its own pixels inside its
// extent, transparent black elsewhere. Nodes are immutable and shared, so
// tiles render on several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "coreimage.h"

namespace coreimage {

// One RGBA pixel in a SIMD register.
typedef float Pixel4 __attribute__((vector_size(16)));
inline Pixel4 loadPixel(const float* p) {
  Pixel4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void storePixel(float* p, Pixel4 v) { std::memcpy(p, &v, sizeof v); }
// True when the processor has AVX2 and FMA, which the wide pixel loops use
// (each has a plain loop beside it).
bool hasAvx2();
// Multiplies the colour of `count` pixels by their alpha; true when every
// alpha was 1 (the pixels are unchanged).
bool premultiplyPixels(float* p, std::size_t count);
// Divides the colour of `count` pixels by their alpha (transparent black
// where alpha is at most 1e-6); the same results as colour × (1 / alpha)
// one pixel at a time.
void unpremultiplyPixels(float* p, std::size_t count);
// Makes the pixels whose alpha is at most 1e-6 transparent black, as
// un-premultiplying and premultiplying again would: premultiplied sums
// handed out without the division.
void clearFaintPixels(float* p, std::size_t count);

// A writable window of float RGBA pixels, rows bottom first.
struct TileView {
  PixelRect rect;
  float* data = nullptr;
  std::size_t stride = 0;  // floats per row

  float* row(std::int64_t y) const { return data + static_cast<std::size_t>(y - rect.y) * stride; }
  float* pixel(std::int64_t x, std::int64_t y) const {
    return row(y) + static_cast<std::size_t>(x - rect.x) * 4;
  }
  // The part of this view covering `sub` (which must lie inside rect).
  TileView subview(const PixelRect& sub) const { return {sub, pixel(sub.x, sub.y), stride}; }
};

// Uninitialised float storage drawn from a per-thread pool. Every tile
// rendered allocates buffers of much the same sizes; reusing them spares
// the page faults and clearing of fresh allocations.
class PixelStore {
 public:
  explicit PixelStore(std::size_t count);
  ~PixelStore();
  PixelStore(PixelStore&& other) noexcept
      : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }
  PixelStore(const PixelStore&) = delete;
  PixelStore& operator=(const PixelStore&) = delete;
  PixelStore& operator=(PixelStore&&) = delete;

  float* data() { return data_; }
  const float* data() const { return data_; }
  std::size_t size() const { return size_; }
  float& operator[](std::size_t i) { return data_[i]; }

 private:
  float* data_;
  std::size_t size_, capacity_;
};

// An owned tile; its pixels start undefined and the renderer writes them all.
struct TileBuffer {
  PixelRect rect;
  PixelStore pixels;

  explicit TileBuffer(const PixelRect& r)
      : rect(r), pixels(static_cast<std::size_t>(r.width) * static_cast<std::size_t>(r.height) * 4) {}
  TileView view() { return {rect, pixels.data(), static_cast<std::size_t>(rect.width) * 4}; }
  const float* pixel(std::int64_t x, std::int64_t y) const {
    return pixels.data() + (static_cast<std::size_t>(y - rect.y) * static_cast<std::size_t>(rect.width) +
                            static_cast<std::size_t>(x - rect.x)) * 4;
  }
};

class Node {
 public:
  virtual ~Node() = default;
  virtual Rect extent() const = 0;
  virtual void render(const TileView& out) const = 0;
  // The same pixels with their colour premultiplied by alpha. Nodes that
  // mix premultiplied colour give theirs without dividing it out and back.
  virtual void renderPremultiplied(const TileView& out) const;
  // True when renderPremultiplied is the cheaper of the two: the node works
  // on premultiplied colour and render divides it out at the end.
  virtual bool prefersPremultiplied() const { return false; }
  // Writes `region` straight in the output format (rows top first) when the
  // node can do so exactly without rendering a float tile, as an untouched
  // opaque source can (or a per-pixel chain over one, from its colour memo);
  // false, with nothing written, otherwise.
  virtual bool copyPixels(const PixelRect&, PixelFormat, std::uint8_t*, std::size_t) const { return false; }
  // Writes `region` as 8-bit RGBA (rows top first) when every pixel of it
  // is an opaque 8-bit source pixel whose float value is exactly
  // byte × (1/255), so that callers may work on the bytes and get what
  // rendering would give; false, with nothing useful written, otherwise.
  virtual bool readOpaqueBytes(const PixelRect&, std::uint8_t*, std::size_t) const { return false; }
  // The same bytes where they are stored, without a copy: `bottomRow` is
  // the first pixel of the region's lowest row and `stride` the step (in
  // bytes, negative for top-first storage) to the row above; the pixels stay
  // valid while the node lives. False when the node cannot lend them.
  virtual bool lendOpaqueBytes(const PixelRect&, const std::uint8_t*& /*bottomRow*/, std::ptrdiff_t& /*stride*/) const {
    return false;
  }
  // True when every pixel has alpha 0 (a transparent colour, or a crop of
  // one), so that mixing with it needs no rendering.
  virtual bool isClear() const { return false; }
  // The grey level CIBlendWithMask reads from each pixel of `rect` (the
  // luminance of its premultiplied colour, clamped to 0..1), rows bottom
  // first, `rect.width` levels a row, when the node can work it out without
  // rendering four channels; false, with nothing useful written, otherwise.
  virtual bool renderMaskLevels(const PixelRect&, float*) const { return false; }
};

// The four taps of one output column or row of a bicubic resampling (Keys'
// kernel, a = −0.5): source indices (clamped into the source, with weight 0
// where the tap falls outside it) and weights; `inside` is false where the
// whole output pixel falls outside.
struct BicubicTaps {
  std::int64_t index[4];
  float weight[4];
  bool inside;
  bool full;  // all four taps read source pixels
};

// Taps for output positions first, first + 1, … along one axis, where the
// source position of output pixel centre p is scale · p + offset and the
// source holds `size` pixels starting at `origin`.
std::vector<BicubicTaps> bicubicTapsAlong(std::int64_t first, std::int64_t count, double scale, double offset,
                                          std::int64_t origin, std::int64_t size);

// The input and the map of a node that is one bicubic resampling of its
// input (Image::transformed); false for any other node.
bool affineResampling(const Node& node, std::shared_ptr<const Node>& input, Affine& transform);

// Clamps to 0..1 (NaN counts as 0).
inline float unitComponent(float v) { return v > 0 ? (v < 1 ? v : 1) : 0; }
// One float RGBA pixel as premultiplied 8-bit RGBA, rounded: the rgba8
// output conversion of the renderer.
inline void quantizePixel8(const float* src, std::uint8_t* dst) {
  float a = unitComponent(src[3]);
  dst[0] = static_cast<std::uint8_t>(unitComponent(src[0]) * a * 255.0f + 0.5f);
  dst[1] = static_cast<std::uint8_t>(unitComponent(src[1]) * a * 255.0f + 0.5f);
  dst[2] = static_cast<std::uint8_t>(unitComponent(src[2]) * a * 255.0f + 0.5f);
  dst[3] = static_cast<std::uint8_t>(a * 255.0f + 0.5f);
}
// The same from premultiplied colour: each component clamped to 0..alpha
// (divided by an alpha above 1 first, which the clamp of alpha drops).
inline void quantizePremultipliedPixel8(const float* src, std::uint8_t* dst) {
  const float a = unitComponent(src[3]);
  const float excess = src[3] > 1 ? 1 / src[3] : 1.0f;
  for (int k = 0; k < 3; ++k) {
    float c = src[k] * excess;
    c = c > 0 ? c : 0.0f;  // NaN counts as 0
    dst[k] = static_cast<std::uint8_t>((c < a ? c : a) * 255.0f + 0.5f);
  }
  dst[3] = static_cast<std::uint8_t>(a * 255.0f + 0.5f);
}
// The float value an 8-bit component decodes to.
inline float componentOfByte(std::uint8_t v) { return v * (1.0f / 255.0f); }

void fillTransparent(const TileView& view);
// Fills the pixels of `view` outside `keep` with transparent black.
void clearOutside(const TileView& view, const PixelRect& keep);
// Renders `node` over `rect` into a new buffer (premultiplied by
// renderPremultipliedToBuffer).
TileBuffer renderToBuffer(const Node& node, const PixelRect& rect);
TileBuffer renderPremultipliedToBuffer(const Node& node, const PixelRect& rect);
// Renders `node` into the part of `out` that lies in `domain`, transparent
// elsewhere.
void renderWithin(const Node& node, const TileView& out, const PixelRect& domain);

// The pixel rectangle of an extent, or the whole of `region` for infinite ones.
PixelRect pixelDomain(const Rect& extent, const PixelRect& region);
// The pixels a rectangle touches (floor of the minimum, ceiling of the maximum),
// clamped to a range that keeps coordinates far from overflow.
PixelRect pixelsTouching(const Rect& rect);

// The per-pixel operations that turn `from` into `to`, when `to` is `from`
// followed by nothing but fused per-pixel operations (none when both are
// the same image); absent otherwise. Lets a filter that mixes an image with
// a per-pixel variant of itself stay one pass.
std::optional<std::vector<Image::PixelOperation>> pixelOperationsBetween(const Image& from, const Image& to);

// `image` resampled by `transform` (not composed with any transform below)
// through the general two-dimensional bicubic loop, even where a faster path
// applies: the reference the faster paths are checked against.
Image transformedByGeneralLoop(const Image& image, const Affine& transform);

}  // namespace coreimage
