// Bitmap canvases and drawing: filled paths and rectangles, images drawn
// scaled into rectangles, and text laid out in a named font. Built on Cairo
// (drawing) and Pango (text); callers see neither.
//
// Geometry follows the bitmap-context model of the desktop platform: the
// origin is the canvas's bottom-left corner, y grows upward, one unit is one
// pixel. Images and text still come out upright: a rectangle's top is its
// y + height side. Colours have straight (not premultiplied) components in
// 0..1 and are used as device values (no colour management). Pixels leave a
// canvas through platform/imageio rasters or row sources, so encoding goes
// through imageio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imageio.h"

namespace graphics {

struct Point {
  double x = 0;
  double y = 0;
};

struct Size {
  double width = 0;
  double height = 0;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  static Color grey(double white, double alpha = 1) { return {white, white, white, alpha}; }
  static Color rgb(double red, double green, double blue, double alpha = 1) {
    return {red, green, blue, alpha};
  }
};

// A shape made of straight and cubic segments, in canvas coordinates.
class Path {
 public:
  Path& moveTo(Point point);
  Path& lineTo(Point point);
  Path& curveTo(Point control1, Point control2, Point end);
  Path& close();
  Path& addRect(Rect rect);
  // A rectangle whose corners are quarter circles of `radius` (limited to
  // half the shorter side).
  Path& addRoundedRect(Rect rect, double radius);
  // A closed circle (four cubic segments); nothing for a radius of 0 or less.
  Path& addCircle(Point center, double radius);

  bool isEmpty() const { return elements_.empty(); }

  enum class Verb { move, line, curve, close };
  struct Element {
    Verb verb;
    Point points[3];
  };
  const std::vector<Element>& elements() const { return elements_; }

 private:
  std::vector<Element> elements_;
};

// An image to draw: 8-bit premultiplied pixels held in the drawing library's
// layout. Copies share the pixels.
class Image {
 public:
  // From a straight RGBA raster (8 or 16 bits; 16-bit components are rounded
  // to 8). Absent when the raster is empty, inconsistent, over 32767 pixels
  // on a side, or memory runs out.
  static std::optional<Image> fromRaster(const imageio::Raster& raster);

  int width() const;
  int height() const;

  struct Pixels;
  const Pixels& pixels() const { return *pixels_; }

 private:
  explicit Image(std::shared_ptr<Pixels> pixels) : pixels_(std::move(pixels)) {}
  std::shared_ptr<Pixels> pixels_;
};

// Coverage samples for clipping: one byte per sample, 0 for none and 255 for
// full coverage. Copies share the samples.
class Mask {
 public:
  // From width × height samples, rows top first. Absent when a side is below
  // 1 or over 32767, the samples are too few, or memory runs out.
  static std::optional<Mask> fromCoverage(int width, int height, const std::uint8_t* samples,
                                          std::size_t count);

  int width() const;
  int height() const;

  struct Pixels;
  const Pixels& pixels() const { return *pixels_; }

 private:
  explicit Mask(std::shared_ptr<Pixels> pixels) : pixels_(std::move(pixels)) {}
  std::shared_ptr<Pixels> pixels_;
};

// How the pixels of a drawing combine with those already on the canvas.
enum class BlendMode {
  normal,  // source over
  copy,    // the drawing replaces what is below it
  clear,   // what is below is removed in proportion to the drawing's coverage and alpha
};

enum class LineCap { butt, round, square };
enum class LineJoin { miter, round, bevel };

struct StrokeStyle {
  double width = 1;
  LineCap cap = LineCap::butt;
  LineJoin join = LineJoin::miter;
};

// Resampling of images drawn at another size.
enum class Interpolation {
  none,    // nearest pixel
  low,     // bilinear
  medium,  // the library's good filter
  high,    // the library's best filter
};

enum class FontWeight : int {
  thin = 100,
  light = 300,
  regular = 400,
  medium = 500,
  semibold = 600,
  bold = 700,
  heavy = 800,
  black = 900,
};

// A font chosen by family name, so that the result does not depend on the
// machine's default font settings; the size is in pixels (points on a canvas
// whose point size equals its pixel size).
struct Font {
  std::string family = "DejaVu Sans";
  double pixelSize = 12;
  FontWeight weight = FontWeight::regular;
};

enum class TextAlignment {
  natural,  // left for left-to-right paragraphs, right for right-to-left ones
  left,
  center,
  right,
};

struct TextStyle {
  Font font;
  Color color;
  TextAlignment alignment = TextAlignment::natural;
};

// UTF-8 text laid out in a style, wrapped at word boundaries (or inside a
// word that alone is too wide) to a width; a width of 0 or less means no
// wrapping. Invalid UTF-8 is shown as U+FFFD.
class TextLayout {
 public:
  TextLayout(std::string_view text, const TextStyle& style, double width);
  ~TextLayout();
  TextLayout(TextLayout&&) noexcept;
  TextLayout& operator=(TextLayout&&) noexcept;

  // Width and height of the logical extents of all lines.
  Size size() const;
  // The ink extents: the pixels glyphs touch, from the layout's top-left
  // corner with y downward.
  Rect inkBounds() const;
  int lineCount() const;
  // The heights of the first `lines` lines together (line spacing included).
  double heightOfLines(int lines) const;
  // Characters that no installed font could draw (shown as boxes).
  int unknownGlyphCount() const;

  struct Impl;
  const Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// Text helpers on user-perceived characters (grapheme clusters), so that a
// cut never splits a letter from its combining marks or an emoji sequence.
std::string validUtf8(std::string_view text);  // invalid sequences become U+FFFD
std::size_t graphemeCount(std::string_view utf8);
std::string graphemePrefix(std::string_view utf8, std::size_t count);

enum class PixelFormat {
  rgba8,  // red, green, blue and alpha; starts transparent
  grey8,  // one grey level, opaque; starts black; colours count by luminance
};

// A bitmap with a drawing state (transform, clip, blend mode, interpolation)
// that saveState/restoreState push and pop.
class Canvas {
 public:
  // Absent when a side is below 1 or over 32767 pixels, or memory runs out.
  static std::unique_ptr<Canvas> create(std::int64_t width, std::int64_t height,
                                        PixelFormat format = PixelFormat::rgba8);
  ~Canvas();
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  int width() const;
  int height() const;
  PixelFormat format() const;

  void saveState();
  void restoreState();
  void setBlendMode(BlendMode mode);
  void setInterpolation(Interpolation interpolation);

  // The transform from drawing coordinates to canvas pixels: later drawing
  // is moved, or turned counter-clockwise by `radians` about the current
  // origin. Non-finite values are ignored.
  void translate(double dx, double dy);
  void rotate(double radians);

  // Later drawing is limited to the inside of the path (intersected with any
  // earlier clip).
  void clip(const Path& path);
  // Later drawing is limited to the mask stretched over `rect` (its top row
  // at the rectangle's top), interpolated, and weighted by its coverage;
  // nothing outside the rectangle is drawn. Clips intersect.
  void clipToMask(const Mask& mask, Rect rect);

  // Makes the pixels of the rectangle fully transparent (black for grey
  // canvases), whatever the blend mode and clip.
  void clear(Rect rect);
  void clear();

  // Paints the colour wherever the current clips let drawing through: the
  // same pixels as filling a path that covers the whole clip, without the
  // intermediate group that filling needs when there is one mask clip.
  void fillClip(Color color);
  void fill(Rect rect, Color color);
  void fill(const Path& path, Color color);
  void stroke(const Path& path, Color color, const StrokeStyle& style);
  // Strokes straight lines one after another, each exactly as stroke() would
  // alone, in `color` at the line's own alpha and width (the style's width
  // is not used): many short lines at a fraction of the cost per line.
  struct Line {
    Point from, to;
    double alpha = 1, width = 1;
  };
  void strokeLines(const Line* lines, std::size_t count, Color color, const StrokeStyle& style);

  // Draws the whole image, or its `source` rectangle (in image pixels, origin
  // top-left), scaled into `destination`, upright, with the current blend
  // mode and interpolation, at the given opacity. Nothing outside the
  // destination is touched.
  void drawImage(const Image& image, Rect destination, double opacity = 1);
  void drawImage(const Image& image, Rect source, Rect destination, double opacity = 1);

  // Draws laid-out text into `rect`: the first line starts at the top, lines
  // are aligned within the rectangle's width, and further lines that do not
  // wholly fit in its height are not drawn (the first line always is,
  // clipped to the rectangle). The layout is normally made for rect.width.
  void drawText(const TextLayout& layout, Rect rect);

  // The pixels, rows top first. RGBA canvases give straight RGBA; grey ones
  // their level in red, green and blue and an opaque alpha.
  imageio::Raster toRaster() const;
  // The same pixels as rows for the encoders, produced as they are read. The
  // source refers to the canvas, which must outlive it and stay unchanged.
  imageio::RowSource rows() const;
  // Grey levels, one byte per pixel, rows top first (luminance for RGBA
  // canvases, alpha ignored).
  std::vector<std::uint8_t> greyLevels() const;

  struct Impl;

 private:
  explicit Canvas(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace graphics
