// Hiding one face: the grey mask and the opaque replacement drawn from its
// polygon, and the three methods that put them over the current picture.
//
// Both bitmaps are drawn only over the polygon's bounding box (rounded out
// to whole pixels and clipped to the picture) and placed there: outside it
// a picture-sized bitmap would hold nothing but zeros, which read the same
// as the transparent surroundings of the placed box, so the pixels are
// those of a full-size bitmap at a fraction of the memory and time.
#include <algorithm>
#include <cmath>
#include <new>

#include "graphics.h"
#include "veilpass.h"

namespace veilpass {

namespace {

constexpr double kFillWhite = 0.08;
constexpr double kLightScratchWhite = 0.8;
constexpr double kDarkScratchWhite = 0.25;
constexpr double kScratchSlant = 0.18;
constexpr double kBlurRadius = 48;

// Whole pixels of the picture, origin top-left, y downward.
struct PixelBox {
  std::int64_t left = 0, top = 0, right = 0, bottom = 0;
  std::int64_t width() const { return right - left; }
  std::int64_t height() const { return bottom - top; }
  bool isEmpty() const { return right <= left || bottom <= top; }
};

// The pixels the polygon can touch, anti-aliased edge included.
PixelBox pixelBox(const Polygon& polygon, std::int64_t width, std::int64_t height) {
  double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
  for (const Point& p : polygon) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  if (!(minX <= maxX && minY <= maxY)) return {};
  auto clamped = [](double v, std::int64_t limit) {
    return static_cast<std::int64_t>(std::clamp(v, 0.0, static_cast<double>(limit)));
  };
  return {clamped(std::floor(minX), width), clamped(std::floor(minY), height), clamped(std::ceil(maxX), width),
          clamped(std::ceil(maxY), height)};
}

// A canvas over the box, whose drawing coordinates (y upward from the box's
// bottom) receive picture points through `at`.
struct BoxCanvas {
  PixelBox box;
  std::unique_ptr<graphics::Canvas> canvas;

  graphics::Point at(Point p) const {
    return {p.x - static_cast<double>(box.left), static_cast<double>(box.bottom) - p.y};
  }
  graphics::Path closedPath(const Polygon& polygon) const {
    graphics::Path path;
    bool first = true;
    for (const Point& p : polygon) {
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
      if (first) path.moveTo(at(p));
      else path.lineTo(at(p));
      first = false;
    }
    if (!first) path.close();
    return path;
  }
};

std::optional<BoxCanvas> boxCanvas(const PixelBox& box, graphics::PixelFormat format) {
  try {
    auto canvas = graphics::Canvas::create(box.width(), box.height(), format);
    if (!canvas) return std::nullopt;
    return BoxCanvas{box, std::move(canvas)};
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

// The canvas's pixels placed over its box in the picture (y upward).
std::optional<coreimage::Image> placedImage(const BoxCanvas& drawn, std::int64_t height) {
  try {
    auto raster = std::make_shared<imageio::Raster>(drawn.canvas->toRaster());
    if (raster->data.size() != raster->rowBytes() * static_cast<std::size_t>(raster->height)) return std::nullopt;
    const coreimage::Image image = coreimage::Image::fromPixels(raster, raster->data.data(), raster->width,
                                                                raster->height, 8, raster->rowBytes());
    return image.translated(static_cast<double>(drawn.box.left), static_cast<double>(height - drawn.box.bottom));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

coreimage::Image clearImage(std::int64_t width, std::int64_t height) {
  return coreimage::Image::constantColor({0, 0, 0, 0})
      .cropped(coreimage::Rect::make(0, 0, static_cast<double>(width), static_cast<double>(height)));
}

}  // namespace

std::vector<ScratchLine> scratchLines(const Polygon& polygon) {
  if (polygon.empty()) return {};
  double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
  for (const Point& p : polygon) {
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  const double boundsWidth = maxX - minX, boundsHeight = maxY - minY;
  if (!std::isfinite(boundsWidth) || !std::isfinite(boundsHeight)) return {};
  const auto count = std::max<std::int64_t>(8, static_cast<std::int64_t>(std::max(boundsWidth, boundsHeight) / 8));
  const double lineWidth = std::max(1.5, boundsWidth / (3 * static_cast<double>(count)));
  std::vector<ScratchLine> lines;
  lines.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(std::max<std::int64_t>(count - 1, 1));
    const double x = minX + boundsWidth * t;
    lines.push_back({{x - kScratchSlant * boundsHeight, minY},
                     {x + kScratchSlant * boundsHeight, maxY},
                     i % 2 == 0 ? kLightScratchWhite : kDarkScratchWhite,
                     lineWidth});
  }
  return lines;
}

coreimage::Image maskImage(const Polygon& polygon, std::int64_t width, std::int64_t height) {
  const PixelBox box = pixelBox(polygon, width, height);
  if (box.isEmpty()) return clearImage(width, height);
  auto drawn = boxCanvas(box, graphics::PixelFormat::grey8);
  if (!drawn) throw Error(ErrorCode::maskFailed);
  drawn->canvas->fill(drawn->closedPath(polygon), graphics::Color::grey(1));
  auto image = placedImage(*drawn, height);
  if (!image) throw Error(ErrorCode::maskFailed);
  return *image;
}

coreimage::Image opaqueReplacement(const Polygon& polygon, std::int64_t width, std::int64_t height,
                                   AnonymizeMethod method) {
  const PixelBox box = pixelBox(polygon, width, height);
  if (box.isEmpty()) return clearImage(width, height);
  auto drawn = boxCanvas(box, graphics::PixelFormat::rgba8);
  if (!drawn) throw Error(ErrorCode::replacementFailed);
  graphics::Canvas& canvas = *drawn->canvas;
  canvas.clip(drawn->closedPath(polygon));
  canvas.fill(graphics::Rect{0, 0, static_cast<double>(box.width()), static_cast<double>(box.height())},
              graphics::Color::grey(kFillWhite));
  if (method == AnonymizeMethod::scratches) {
    for (const ScratchLine& line : scratchLines(polygon))
      canvas.stroke(graphics::Path().moveTo(drawn->at(line.from)).lineTo(drawn->at(line.to)),
                    graphics::Color::grey(line.white), {line.width, graphics::LineCap::round, graphics::LineJoin::miter});
  }
  auto image = placedImage(*drawn, height);
  if (!image) throw Error(ErrorCode::replacementRenderFailed);
  return *image;
}

coreimage::Image anonymized(const coreimage::Image& current, const Polygon& polygon, std::int64_t width,
                            std::int64_t height, AnonymizeMethod method) {
  const coreimage::Rect whole = coreimage::Rect::make(0, 0, static_cast<double>(width), static_cast<double>(height));
  if (method == AnonymizeMethod::blur) {
    const coreimage::Image mask = maskImage(polygon, width, height);
    auto blur = coreimage::Filter::named("CIGaussianBlur");
    auto blend = coreimage::Filter::named("CIBlendWithMask");
    if (!blur || !blend) return {};
    blur->setValue(coreimage::kInputImageKey, current.clampedToExtent());
    blur->setValue(coreimage::kInputRadiusKey, kBlurRadius);
    const auto blurred = blur->outputImage();
    if (!blurred) return {};
    blend->setValue(coreimage::kInputImageKey, blurred->cropped(whole));
    blend->setValue(coreimage::kInputBackgroundImageKey, current);
    blend->setValue(coreimage::kInputMaskImageKey, mask);
    const auto result = blend->outputImage();
    if (!result) return {};
    return result->cropped(whole);
  }
  const coreimage::Image replacement = opaqueReplacement(polygon, width, height, method);
  auto over = coreimage::Filter::named("CISourceOverCompositing");
  if (!over) return {};
  over->setValue(coreimage::kInputImageKey, replacement);
  over->setValue(coreimage::kInputBackgroundImageKey, current);
  const auto result = over->outputImage();
  if (!result) return {};
  return result->cropped(whole);
}

void hideFace(const Bitmap& bitmap, const Polygon& polygon, AnonymizeMethod method) {
  const std::int64_t width = bitmap->width, height = bitmap->height;
  const PixelBox box = pixelBox(polygon, width, height);
  if (box.isEmpty()) return;  // no pixel of the picture lies inside
  const coreimage::Image result = anonymized(imageOfBitmap(bitmap), polygon, width, height, method);
  if (result.isEmpty()) throw Error(ErrorCode::verificationRenderFailed);
  const auto rowBytes = static_cast<std::size_t>(box.width()) * 4;
  std::vector<std::uint8_t> patch;
  try {
    patch.resize(rowBytes * static_cast<std::size_t>(box.height()));
    coreimage::render(result, {box.left, height - box.bottom, box.width(), box.height()},
                      coreimage::PixelFormat::rgba8, patch.data(), rowBytes);
  } catch (const std::bad_alloc&) {
    throw Error(ErrorCode::verificationRenderFailed);
  }
  // The picture is opaque and so is every method's result: the rendering's
  // premultiplied colour is its colour.
  for (std::int64_t y = 0; y < box.height(); ++y)
    std::copy_n(patch.data() + static_cast<std::size_t>(y) * rowBytes, rowBytes,
                bitmap->data.data() + static_cast<std::size_t>(box.top + y) * bitmap->rowBytes() +
                    static_cast<std::size_t>(box.left) * 4);
}

}  // namespace veilpass
