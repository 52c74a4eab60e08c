// createThumbnail: the source decoded once, at its reduced size, upright,
// never from an embedded preview; written whole as a JPEG.
#include <algorithm>
#include <new>

#include "files.h"
#include "imageio.h"
#include "minipic.h"

namespace minipic {

int clampedEdge(std::int64_t maxEdge) {
  return static_cast<int>(std::clamp<std::int64_t>(maxEdge, minEdge, maxEdgeLimit));
}

double clampedQuality(std::optional<double> quality) {
  return std::max(minQuality, std::min(quality.value_or(defaultQuality), maxQuality));
}

namespace {

// JPEG has no transparency: the thumbnail is laid over white, premultiplied
// (colour × alpha + white × (1 − alpha)), at every size alike. A fully
// transparent area comes out white whatever colour is stored under it, and
// a half-transparent one blends. White, because a picture with transparency
// is most often a logo, a drawing or a scan meant for a light page, whose
// dark lines would vanish on black.
void flattenOntoWhite(imageio::Raster& raster) {
  const std::size_t pixels = static_cast<std::size_t>(raster.width) * static_cast<std::size_t>(raster.height);
  if (raster.bitsPerComponent == 16) {
    std::uint16_t* p = raster.data16();
    for (std::size_t i = 0; i < pixels; ++i, p += 4) {
      const std::uint64_t a = p[3];
      if (a == 65535) continue;
      for (int k = 0; k < 3; ++k) p[k] = static_cast<std::uint16_t>((p[k] * a + 65535 * (65535 - a) + 32767) / 65535);
      p[3] = 65535;
    }
    return;
  }
  std::uint8_t* p = raster.data.data();
  for (std::size_t i = 0; i < pixels; ++i, p += 4) {
    const unsigned a = p[3];
    if (a == 255) continue;
    for (int k = 0; k < 3; ++k) p[k] = static_cast<std::uint8_t>((p[k] * a + 255 * (255 - a) + 127) / 255);
    p[3] = 255;
  }
}

}  // namespace

std::uint64_t thumbnailBytes(std::int64_t width, std::int64_t height, int bitsPerComponent, int edge) {
  const std::uint64_t w = static_cast<std::uint64_t>(std::max<std::int64_t>(width, 1));
  const std::uint64_t h = static_cast<std::uint64_t>(std::max<std::int64_t>(height, 1));
  const std::uint64_t sample = bitsPerComponent > 8 ? 2 : 1;
  // Sides stay within the image library's limits, so the products fit.
  const std::uint64_t frame = std::min<std::uint64_t>(w, 1u << 24) * std::min<std::uint64_t>(h, 1u << 24) * 4 * sample;
  const std::uint64_t edgeSquared = static_cast<std::uint64_t>(edge) * static_cast<std::uint64_t>(edge);
  return frame + 2 * std::min(w * h, edgeSquared) * 4 * sample;
}

ThumbnailResponse createThumbnail(const ThumbnailRequest& request, ByteBudget* budget) {
  const auto source = imageio::Source::open(request.inputPath);
  if (!source) return ThumbnailResponse::failure(request.id, "cannot_read_source");
  const int size = clampedEdge(request.maxEdge);
  const imageio::Properties& properties = source->properties();
  std::optional<ByteBudget::Lease> lease;
  if (budget)
    lease.emplace(budget->take(thumbnailBytes(properties.pixelWidth, properties.pixelHeight, properties.bitsPerComponent, size)));
  std::optional<imageio::Raster> thumbnail;
  try {
    thumbnail = source->thumbnail(size, imageio::Orientation::applied, {.maxPixels = maxSourcePixels, .maxBytes = maxDecodeBytes});
  } catch (const std::bad_alloc&) {
    thumbnail.reset();
  }
  if (!thumbnail) return ThumbnailResponse::failure(request.id, "cannot_decode_thumbnail");
  flattenOntoWhite(*thumbnail);
  if (!files::checkReplaceable(request.outputPath))
    return ThumbnailResponse::failure(request.id, "cannot_create_destination");
  const auto jpeg = imageio::encodeJpeg(*thumbnail, clampedQuality(request.quality));
  if (!jpeg || !files::writeFileAtomically(request.outputPath, jpeg->data(), jpeg->size()))
    return ThumbnailResponse::failure(request.id, "cannot_write_thumbnail");
  return {request.id, true, thumbnail->width, thumbnail->height, std::nullopt};
}

}  // namespace minipic
