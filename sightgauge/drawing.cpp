// Small sample bitmaps: the stored picture stretched to a fixed grid, and
// regions of a raster drawn into grey grids.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "graphics.h"
#include "sightgauge.h"

namespace sightgauge {

std::vector<std::uint8_t> premultipliedBytes(const imageio::Raster& raster) {
  const std::size_t pixels = static_cast<std::size_t>(raster.width) * static_cast<std::size_t>(raster.height);
  std::vector<std::uint8_t> out(pixels * 4, 0);
  if (raster.data.size() < pixels * raster.bytesPerPixel()) return out;
  if (raster.bitsPerComponent == 16) {
    const std::uint16_t* in = raster.data16();
    for (std::size_t i = 0; i < pixels; ++i, in += 4) {
      const double alpha = in[3] / 65535.0;
      for (int c = 0; c < 3; ++c) out[i * 4 + c] = static_cast<std::uint8_t>(std::lround(in[c] * alpha / 257.0));
      out[i * 4 + 3] = static_cast<std::uint8_t>(std::lround(in[3] / 257.0));
    }
    return out;
  }
  const std::uint8_t* in = raster.data.data();
  for (std::size_t i = 0; i < pixels; ++i, in += 4) {
    const unsigned alpha = in[3];
    for (int c = 0; c < 3; ++c)
      out[i * 4 + c] = alpha == 255 ? in[c] : static_cast<std::uint8_t>((in[c] * alpha + 127) / 255);
    out[i * 4 + 3] = static_cast<std::uint8_t>(alpha);
  }
  return out;
}

Bitmap blackBitmap(int width, int height) {
  return {width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4, 0)};
}

std::optional<Bitmap> drawStored(const imageio::Source& source, int width, int height) {
  std::optional<imageio::Raster> drawn;
  try {
    // Reduced straight from the file (shrink-on-load, then Lanczos), each
    // axis on its own, as drawing into the grid stretches it.
    drawn = source.resized(width, height, imageio::Orientation::stored, {.maxPixels = maxPixels});
  } catch (const std::bad_alloc&) {
    drawn.reset();
  }
  if (!drawn || drawn->width != width || drawn->height != height) return std::nullopt;
  return Bitmap{width, height, premultipliedBytes(*drawn)};
}

PixelRect integralInside(const Rect& rect, std::int64_t imageWidth, std::int64_t imageHeight) {
  if (!std::isfinite(rect.x) || !std::isfinite(rect.y) || !std::isfinite(rect.width) ||
      !std::isfinite(rect.height) || rect.width < 0 || rect.height < 0)
    return {};
  auto limit = [](double value, std::int64_t high) {
    return static_cast<std::int64_t>(std::clamp(value, 0.0, static_cast<double>(high)));
  };
  const std::int64_t left = limit(std::floor(rect.x), imageWidth);
  const std::int64_t top = limit(std::floor(rect.y), imageHeight);
  const std::int64_t right = limit(std::ceil(rect.x + rect.width), imageWidth);
  const std::int64_t bottom = limit(std::ceil(rect.y + rect.height), imageHeight);
  if (right <= left || bottom <= top) return {};
  return {left, top, right - left, bottom - top};
}

std::optional<std::vector<std::uint8_t>> drawGrey(const imageio::Raster& raster, const PixelRect& region,
                                                  int width, int height) {
  if (region.empty() || region.x < 0 || region.y < 0 || region.x + region.width > raster.width ||
      region.y + region.height > raster.height || width < 1 || height < 1)
    return std::nullopt;
  try {
    imageio::Raster part;
    part.width = region.width;
    part.height = region.height;
    part.bitsPerComponent = raster.bitsPerComponent;
    const std::size_t pixelBytes = raster.bytesPerPixel();
    const std::size_t rowBytes = static_cast<std::size_t>(region.width) * pixelBytes;
    part.data.resize(rowBytes * static_cast<std::size_t>(region.height));
    for (std::int64_t row = 0; row < region.height; ++row)
      std::memcpy(part.data.data() + static_cast<std::size_t>(row) * rowBytes,
                  raster.data.data() + static_cast<std::size_t>(region.y + row) * raster.rowBytes() +
                      static_cast<std::size_t>(region.x) * pixelBytes,
                  rowBytes);
    const auto image = graphics::Image::fromRaster(part);
    if (!image) return std::nullopt;
    auto canvas = graphics::Canvas::create(width, height, graphics::PixelFormat::grey8);
    if (!canvas) return std::nullopt;
    canvas->setInterpolation(graphics::Interpolation::high);
    canvas->drawImage(*image, graphics::Rect{0, 0, double(width), double(height)});
    return canvas->greyLevels();
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace sightgauge
