// The --matrix30 fingerprints: the grey matrix of the stored picture and a
// tiny upright colour thumbnail, the crop signature.
#include <algorithm>
#include <cmath>
#include <new>

#include "graphics.h"
#include "sightgauge.h"

namespace sightgauge {

namespace {

constexpr int signatureThumbnail = 256;  // the upright thumbnail drawn from
constexpr double signatureSide = 64;     // the signature's longer side at most

}  // namespace

std::optional<CropSignature> cropSignature(const imageio::Source& source) {
  try {
    const auto thumbnail =
        source.thumbnail(signatureThumbnail, imageio::Orientation::applied, {.maxPixels = maxPixels});
    if (!thumbnail || thumbnail->width < 1 || thumbnail->height < 1) return std::nullopt;
    const double tw = static_cast<double>(thumbnail->width), th = static_cast<double>(thumbnail->height);
    const double scale = std::min(signatureSide / std::max(tw, th), 1.0);
    const int cw = std::max(1, static_cast<int>(std::round(scale * tw)));
    const int ch = std::max(1, static_cast<int>(std::round(scale * th)));

    const auto image = graphics::Image::fromRaster(*thumbnail);
    auto canvas = graphics::Canvas::create(cw, ch);
    if (!image || !canvas) return std::nullopt;
    canvas->setInterpolation(graphics::Interpolation::high);
    canvas->drawImage(*image, graphics::Rect{0, 0, double(cw), double(ch)});
    const std::vector<std::uint8_t> rgba = premultipliedBytes(canvas->toRaster());

    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(cw) * ch * 3);
    for (std::size_t i = 0, pixels = rgb.size() / 3; i < pixels; ++i)
      std::copy_n(rgba.data() + i * 4, 3, rgb.data() + i * 3);
    return CropSignature{cw, ch, base64(rgb.data(), rgb.size())};
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

json::Value duplicateFingerprints(const imageio::Source& source, const Bitmap& matrixSamples) {
  json::Value answer = json::Value::object();
  answer["duplicateMatrix30"] = greyMatrixOfSamples(matrixSamples);
  if (const auto signature = cropSignature(source)) {
    json::Value entry = json::Value::object();
    entry["width"] = signature->width;
    entry["height"] = signature->height;
    entry["rgb"] = signature->rgb;
    answer["cropSignature"] = std::move(entry);
  }
  return answer;
}

void runMatrix30(const std::string& path) {
  const auto source = openImage(path);
  // The grey matrix's reduction is this mode's decode; when it fails for a
  // picture that still decodes whole, the matrix stays black.
  auto samples = drawStored(*source, matrixSide, matrixSide);
  if (!samples) {
    decodeStored(*source, path);
    samples = blackBitmap(matrixSide, matrixSide);
  }
  const Encoded encoded = encodeRecord(duplicateFingerprints(*source, *samples));
  if (!encoded.text) fail("Cannot encode duplicate matrix: " + encoded.problem);
  writeOutput(*encoded.text);
}

}  // namespace sightgauge
