// Size rules and the gallery copy itself: source resampled to the target,
// drawn over white, encoded at fixed quality without metadata, written whole.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>
#include <optional>

#include "files.h"
#include "graphics.h"
#include "webshrink.h"

namespace webshrink {

double parseMaxEdge(std::string_view text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return 2048;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) {
    // Out of the 64-bit range: not an integer the host could have meant.
    return 2048;
  }
  if (negative) value = -value;
  return static_cast<double>(std::max<std::int64_t>(value, 1));
}

PixelSize targetSize(imageio::PointSize points, double maxEdge) {
  const double scale = std::min(maxEdge / std::max(points.width, points.height), 1.0);
  auto side = [&](double length) {
    return static_cast<std::int64_t>(std::floor(std::max(1.0, length * scale)));
  };
  return {side(points.width), side(points.height)};
}

WriteResult writeGalleryCopy(const imageio::Source& source, PixelSize target,
                             const std::string& output, const std::string& inputPath) {
  if (static_cast<std::uint64_t>(target.width) * static_cast<std::uint64_t>(target.height) > maxCanvasPixels)
    return {false, "Cannot allocate JPEG canvas"};
  // Decoded straight at the output size (shrink-on-load, then Lanczos).
  std::optional<graphics::Image> image;
  try {
    const auto pixels = source.resized(target.width, target.height, imageio::Orientation::applied,
                                       {.maxPixels = maxPixels, .maxBytes = maxDecodeBytes});
    if (pixels) image = graphics::Image::fromRaster(*pixels);
  } catch (const std::bad_alloc&) {
    image.reset();
  }
  if (!image) return {false, "Cannot read image: " + inputPath};

  auto canvas = graphics::Canvas::create(target.width, target.height);
  if (!canvas) return {false, "Cannot allocate JPEG canvas"};
  const graphics::Rect whole{0, 0, double(target.width), double(target.height)};
  canvas->saveState();
  canvas->fill(whole, graphics::Color::grey(1));
  canvas->drawImage(*image, whole, 1.0);
  canvas->restoreState();
  image.reset();

  // A failure here shows when the file is written.
  (void)files::createDirectories(files::parentDirectory(output));
  if (!files::checkReplaceable(output)) return {false, "Cannot create JPEG destination"};
  const auto jpeg = imageio::encodeJpeg(canvas->rows(), jpegQuality);
  if (!jpeg) return {false, "Cannot write JPEG"};
  if (!files::writeFileAtomically(output, jpeg->data(), jpeg->size()))
    return {false, "Cannot write JPEG"};
  return {};
}

}  // namespace webshrink
