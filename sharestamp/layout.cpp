// Texts, sizes and placement of the social image.
#include <algorithm>
#include <cmath>

#include "sharestamp.h"

namespace sharestamp {

WatermarkText cutTexts(const std::string& title, const std::string& domain,
                       const std::string& callToAction) {
  return {graphics::graphemePrefix(title, titleLimit), graphics::graphemePrefix(domain, domainLimit),
          graphics::graphemePrefix(callToAction, callToActionLimit)};
}

bool namesDomain(const WatermarkText& text) {
  return !text.domain.empty() && text.callToAction.find(text.domain) != std::string::npos;
}

double callToActionFontSize(const std::string& callToAction) {
  return graphics::graphemeCount(callToAction) <= callToActionShortLimit ? 17 : 15;
}

graphics::Size canvasSizeFor(imageio::PointSize points) {
  const double aspect =
      std::clamp(points.width / points.height, instagramMinAspect, instagramMaxAspect);
  return {double(canvasWidth), std::round(canvasWidth / aspect)};
}

graphics::Rect aspectFit(graphics::Size size, graphics::Rect box) {
  const double scale = std::min(box.width / size.width, box.height / size.height);
  const double width = size.width * scale, height = size.height * scale;
  return {box.x + (box.width - width) / 2, box.y + (box.height - height) / 2, width, height};
}

std::optional<graphics::Image> decodeForRect(const imageio::Source& source, graphics::Rect rect) {
  // Whole pixels covering the rectangle; Cairo's best filter takes the
  // last fraction of a pixel.
  auto side = [](double length) {
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(length - 1e-6)));
  };
  try {
    const auto raster = source.resized(side(rect.width), side(rect.height),
                                       imageio::Orientation::applied, {.maxPixels = maxSourcePixels, .maxBytes = maxSourceBytes});
    if (!raster) return std::nullopt;
    return graphics::Image::fromRaster(*raster);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace sharestamp
