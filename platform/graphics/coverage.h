// Coverage planes: one byte per pixel, and antialiased white paint on them.
//
// A plane is a single-channel 8-bit bitmap for drawings that only ever add
// white: a grey level (white over black) or an alpha (premultiplied white
// over transparent, colour equal to alpha). Marks are straight lines with
// butt caps and filled circles, each painted source-over in white at its
// alpha, weighted by the exact area of each pixel that the shape (a circle
// as a fine polygon of the same area) covers. Coordinates follow the
// canvas: origin at the bottom-left corner, y upward, one unit a pixel;
// rows are stored top first.
//
// Marks drawn in bands on several threads give the same bytes as drawn one
// after the other: each band sees its marks in the given order, and the
// split into bands is fixed, whatever the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graphics.h"

namespace graphics {

struct CoverageMark {
  enum class Shape : std::uint8_t { line, circle };
  Point from, to;    // a circle's centre is `from`
  double width = 1;  // the line's width, or the circle's radius
  double alpha = 1;  // 0..1
  Shape shape = Shape::line;

  static CoverageMark line(Point from, Point to, double width, double alpha) {
    return {from, to, width, alpha, Shape::line};
  }
  static CoverageMark circle(Point center, double radius, double alpha) {
    return {center, center, radius, alpha, Shape::circle};
  }
};

class CoveragePlane;

// Marks for one plane.
struct CoverageJob {
  CoveragePlane* plane;
  std::span<const CoverageMark> marks;
};

class CoveragePlane {
 public:
  // Absent when a side is below 1 or over 32767 pixels, or memory runs out.
  static std::optional<CoveragePlane> create(int width, int height, std::uint8_t level = 0);

  int width() const { return width_; }
  int height() const { return height_; }
  // width × height bytes, rows top first.
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  const std::uint8_t* row(int y) const { return bytes_.data() + static_cast<std::size_t>(y) * width_; }

  // Paints the marks in order, touching only rows top..bottom − 1 (counted
  // from the top). Marks with a non-finite number, no area (zero length,
  // width or radius), an alpha of 0 or less, or coordinates or sizes beyond
  // ±2²⁴ draw nothing; alphas over 1 count as 1.
  void draw(std::span<const CoverageMark> marks, int top = 0, int bottom = kAllRows);

  // The rows of the fixed bands that drawInBands splits a plane into.
  static constexpr int kBandRows = 64;
  static constexpr int kAllRows = 1 << 30;

 private:
  friend void drawInBands(std::span<const CoverageJob> jobs, int threads);
  CoveragePlane(int width, int height, std::vector<std::uint8_t> bytes)
      : width_(width), height_(height), bytes_(std::move(bytes)) {}
  int width_;
  int height_;
  std::vector<std::uint8_t> bytes_;
};

// Draws each job's marks onto its plane as CoveragePlane::draw would, with
// the planes cut into bands of kBandRows rows and the bands shared among up
// to `threads` threads (the caller's included). The planes must differ.
// Throws std::bad_alloc when the bands' mark lists cannot be made.
void drawInBands(std::span<const CoverageJob> jobs, int threads);

}  // namespace graphics
