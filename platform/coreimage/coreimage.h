// The working image of the renderer and its filters by published name.
//
// An Image is an immutable recipe: a graph of operations over source pixels,
// evaluated only when rendered, tile by tile, on all cores. Its extent is a
// rectangle in pixel units with the origin at the bottom-left and y upward.
// Pixels are float RGBA, not premultiplied; a pixel (x, y) covers the unit
// square [x, x+1) × [y, y+1) and is inside an extent when its centre is.
// Outside its extent an image is transparent black.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace coreimage {

struct Point {
  double x = 0, y = 0;
};

// A rectangle kept as its minimum and maximum corners; infinite extents use
// infinities, so unions and intersections work without special cases.
struct Rect {
  double minX = 0, minY = 0, maxX = 0, maxY = 0;

  static Rect make(double x, double y, double width, double height) {
    return {x, y, x + width, y + height};
  }
  static Rect infinite();
  double width() const { return maxX - minX; }
  double height() const { return maxY - minY; }
  double midX() const { return (minX + maxX) * 0.5; }
  double midY() const { return (minY + maxY) * 0.5; }
  bool isInfinite() const;
  bool isEmpty() const { return !(maxX > minX && maxY > minY); }
  Rect intersection(const Rect& other) const;
  Rect unionWith(const Rect& other) const;
  Rect insetBy(double dx, double dy) const;
  // Smallest rectangle with integer corners that contains this one. Corners
  // within 1e-6 of an integer are taken as that integer, so that float
  // noise from rotations and scales never adds a pixel.
  Rect integral() const;
  bool operator==(const Rect&) const = default;
};

// A rectangle of whole pixels (y upward, like Rect).
struct PixelRect {
  std::int64_t x = 0, y = 0, width = 0, height = 0;
  bool isEmpty() const { return width <= 0 || height <= 0; }
  std::int64_t maxX() const { return x + width; }
  std::int64_t maxY() const { return y + height; }
  PixelRect intersection(const PixelRect& other) const;
  bool operator==(const PixelRect&) const = default;
};

// The pixels whose centres lie inside a finite rectangle.
PixelRect pixelsInside(const Rect& rect);

// x' = a·x + c·y + tx, y' = b·x + d·y + ty.
struct Affine {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

  static Affine translation(double dx, double dy) { return {1, 0, 0, 1, dx, dy}; }
  static Affine scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
  // Counter-clockwise by `radians` in the y-up system.
  static Affine rotation(double radians);
  // This transform followed by `next`.
  Affine then(const Affine& next) const;
  std::optional<Affine> inverted() const;
  Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
  Rect apply(const Rect& r) const;  // bounding box of the mapped rectangle
  bool isIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1 && tx == 0 && ty == 0; }
};

struct Color {
  float r = 0, g = 0, b = 0, a = 1;
};

class Node;

class Image {
 public:
  Image();  // the empty image
  explicit Image(std::shared_ptr<const Node> node);

  // Wraps decoded pixels without copying: interleaved RGBA, rows top first,
  // 8 or 16 bits per component (16-bit as native uint16_t) or 32-bit float.
  // `owner` keeps the memory alive for as long as any image uses it.
  // The image's extent is (0, 0, width, height).
  //
  // `rowsReady`, when given, is called before rows are read with the number
  // of rows from the top that must be present; it blocks until they are.
  // This lets rendering start while the pixels are still being decoded.
  using RowGate = std::function<void(std::int64_t rowsFromTop)>;
  static Image fromPixels(std::shared_ptr<const void> owner, const void* pixels,
                          std::int64_t width, std::int64_t height, int bitsPerComponent,
                          std::size_t rowBytes, RowGate rowsReady = {});
  // A colour everywhere (infinite extent).
  static Image constantColor(Color color);

  Rect extent() const;
  bool isEmpty() const;

  // The image moved and turned by `transform`; the new extent is the bounding
  // box of the old one. Resampled with bicubic interpolation, except where the
  // transform maps pixels exactly onto pixels (whole-pixel moves, quarter
  // turns, mirrors), which copy them.
  Image transformed(const Affine& transform) const;
  Image translated(double dx, double dy) const { return transformed(Affine::translation(dx, dy)); }
  // Translated by minus the extent's minimum corner.
  Image movedToOrigin() const;
  Image cropped(const Rect& rect) const;
  // Extended without end by repeating its edge pixels.
  Image clampedToExtent() const;

  // A per-pixel operation on runs of non-premultiplied RGBA floats
  // (4 × count values). Consecutive operations are fused into one pass over
  // each tile. The extent is unchanged. Each pixel's result must depend on
  // that pixel's values alone (not on its place in the run or on earlier
  // calls): 8-bit renders of 8-bit sources work each colour out once and
  // reuse it.
  using PixelOperation = std::function<void(float* rgba, std::size_t count)>;
  Image applyingPixelOperation(PixelOperation operation) const;

  const std::shared_ptr<const Node>& node() const { return node_; }

 private:
  std::shared_ptr<const Node> node_;
};

// Values that filter parameters take.
struct Vector {
  std::vector<double> values;
};
using Data = std::vector<std::uint8_t>;
using ParameterValue = std::variant<double, Vector, Color, Image, std::string, Data>;
using Parameters = std::map<std::string, ParameterValue, std::less<>>;

// Common parameter names.
inline constexpr const char* kInputImageKey = "inputImage";
inline constexpr const char* kInputBackgroundImageKey = "inputBackgroundImage";
inline constexpr const char* kInputMaskImageKey = "inputMaskImage";
inline constexpr const char* kInputRadiusKey = "inputRadius";
inline constexpr const char* kInputScaleKey = "inputScale";
inline constexpr const char* kInputAspectRatioKey = "inputAspectRatio";

// A filter looked up by its published name. Parameters not set keep their
// defaults; `outputImage` is absent when a required input is missing or a
// value is unusable.
class Filter {
 public:
  struct Definition;
  static std::optional<Filter> named(std::string_view name);
  std::string_view name() const;
  void setValue(std::string_view key, ParameterValue value);
  std::optional<Image> outputImage() const;

 private:
  explicit Filter(const Definition* definition) : definition_(definition) {}
  const Definition* definition_;
  Parameters values_;
};

// Names and one-line descriptions of every registered filter.
std::vector<std::pair<std::string, std::string>> filterNames();

// Rendering. `bounds` is in the image's coordinates (y up); rows are written
// top row first. Components are clamped to 0..1, colour premultiplied by
// alpha, then quantized with rounding. Tiles render on all cores, or only
// on the calling thread when `parallel` is false (for callers that run
// several renders at once themselves).
enum class PixelFormat { rgba8, rgba16 };
void render(const Image& image, const PixelRect& bounds, PixelFormat format,
            std::uint8_t* destination, std::size_t rowBytes, bool parallel = true);

// Serves rows of a render to a consumer that asks for thin strips, perhaps
// from several threads (an encoder): rows are rendered in bands of
// `bandHeight` rows, each band once and on all cores, kept until all its
// rows were handed out. Rows count from the top of `bounds`.
class BandRenderer {
 public:
  BandRenderer(Image image, const PixelRect& bounds, PixelFormat format, std::int64_t bandHeight = 256);
  ~BandRenderer();
  BandRenderer(const BandRenderer&) = delete;
  BandRenderer& operator=(const BandRenderer&) = delete;
  void renderRows(std::int64_t top, std::int64_t count, std::uint8_t* destination, std::size_t rowBytes);

 private:
  struct Band;
  Image image_;
  PixelRect bounds_;
  PixelFormat format_;
  std::int64_t bandHeight_;
  std::size_t rowBytes_;
  struct State;
  std::shared_ptr<State> state_;  // shared with the helper rendering ahead
};

// Renders float RGBA (non-premultiplied, not clamped), rows bottom first:
// pixel (x, y) of bounds at index ((y - bounds.y) * width + (x - bounds.x)) * 4.
std::vector<float> renderFloat(const Image& image, const PixelRect& bounds);

}  // namespace coreimage
