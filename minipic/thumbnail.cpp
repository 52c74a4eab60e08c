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

ThumbnailResponse createThumbnail(const ThumbnailRequest& request) {
  const auto source = imageio::Source::open(request.inputPath);
  if (!source) return ThumbnailResponse::failure(request.id, "cannot_read_source");
  const int size = clampedEdge(request.maxEdge);
  std::optional<imageio::Raster> thumbnail;
  try {
    thumbnail = source->thumbnail(size, imageio::Orientation::applied, {.maxPixels = maxSourcePixels, .maxBytes = maxDecodeBytes});
  } catch (const std::bad_alloc&) {
    thumbnail.reset();
  }
  if (!thumbnail) return ThumbnailResponse::failure(request.id, "cannot_decode_thumbnail");
  if (!files::checkReplaceable(request.outputPath))
    return ThumbnailResponse::failure(request.id, "cannot_create_destination");
  const auto jpeg = imageio::encodeJpeg(*thumbnail, clampedQuality(request.quality));
  if (!jpeg || !files::writeFileAtomically(request.outputPath, jpeg->data(), jpeg->size()))
    return ThumbnailResponse::failure(request.id, "cannot_write_thumbnail");
  return {request.id, true, thumbnail->width, thumbnail->height, std::nullopt};
}

}  // namespace minipic
