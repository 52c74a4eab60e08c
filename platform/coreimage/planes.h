// Single-channel planes: greys and masks worked one value per pixel with
// the neighbourhood operations of the filters (the disc minimum of
// CIMorphologyMinimum, the blur of CIGaussianBlur, the field of
// CIRandomGenerator), over whole planes at once instead of tile by tile.
// Work is split over two threads in fixed halves; every value depends only
// on the input, never on the split, so results are the same on any machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "coreimage.h"

namespace coreimage {

// width × height values, rows one after another (the operations here treat
// both directions alike, so the order of rows is the caller's).
template <typename T>
struct Plane {
  std::int64_t width = 0, height = 0;
  std::vector<T> values;

  Plane() = default;
  Plane(std::int64_t w, std::int64_t h, T fill = T())
      : width(w), height(h), values(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), fill) {}
  T* row(std::int64_t y) { return values.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width); }
  const T* row(std::int64_t y) const {
    return values.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
  }
};
using BytePlane = Plane<std::uint8_t>;
using FloatPlane = Plane<float>;

// Runs work(first, end) over the items 0 … count − 1 cut into two fixed
// halves, the second half on a thread of its own when one can be had.
void inTwoHalves(std::int64_t count, const std::function<void(std::int64_t first, std::int64_t end)>& work);

// The smallest value among the pixels whose centres lie within `radius` of
// each pixel's centre, the plane's edges repeated outwards: the disc of
// CIMorphologyMinimum (radii above 500 count as 500, below 1 leave the
// plane as it is).
BytePlane discMinimum(const BytePlane& plane, double radius);

// Blurs in place with a Gaussian of standard deviation `sigma`, the
// plane's edges repeated outwards, as CIGaussianBlur does: the sampled
// kernel reaching ceil(3 sigma) below a deviation of 8, the third-order
// recursive filter (forward and backward) from 8 up. Deviations above 2000
// count as 2000; none at or below 0 changes nothing.
void gaussianBlur(FloatPlane& plane, double sigma);

// The same over `width` × `height` floats held by the caller (rows
// consecutive), spread over the cores in bands whose results do not depend
// on the split.
void blurPlane(float* plane, std::size_t width, std::size_t height, double sigma);

// The normalised Gaussian of standard deviation sigma (> 0) sampled at
// -reach .. reach, reach = ceil(3 sigma): the kernel used below 8.
std::vector<float> sampledGaussian(double sigma);

// Component `component` (0 red … 3 alpha) of CIRandomGenerator's field over
// `area` (y up), rows from the top of the area down.
FloatPlane randomField(const PixelRect& area, int component);

}  // namespace coreimage
