// Methods, errors, the upright input bitmap, renderings of the anonymized
// picture, the JSON summary and the fresh JPEG.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <new>
#include <system_error>

#include "files.h"
#include "json.h"
#include "veilpass.h"

namespace veilpass {

std::optional<AnonymizeMethod> anonymizeMethodNamed(std::string_view name) {
  for (AnonymizeMethod method : {AnonymizeMethod::paint, AnonymizeMethod::scratches, AnonymizeMethod::blur})
    if (rawValue(method) == name) return method;
  return std::nullopt;
}

std::string_view rawValue(AnonymizeMethod method) {
  switch (method) {
    case AnonymizeMethod::paint:
      return "paint";
    case AnonymizeMethod::scratches:
      return "scratches";
    case AnonymizeMethod::blur:
      return "blur";
  }
  return "paint";
}

std::string errorDescription(ErrorCode code, std::int64_t remainingFaces) {
  switch (code) {
    case ErrorCode::decodeFailed:
      return "Could not decode source image";
    case ErrorCode::normalizeFailed:
      return "Could not normalize source image";
    case ErrorCode::maskFailed:
      return "Could not create face mask";
    case ErrorCode::replacementFailed:
      return "Could not create opaque replacement";
    case ErrorCode::replacementRenderFailed:
      return "Could not render opaque replacement";
    case ErrorCode::outputRasterFailed:
      return "Could not rasterize anonymized output";
    case ErrorCode::destinationFailed:
      return "Could not create JPEG destination";
    case ErrorCode::writeFailed:
      return "Could not write anonymized JPEG";
    case ErrorCode::usage:
      return "Usage: veilpass <input> <output.jpg> <paint|scratches|blur>";
    case ErrorCode::verificationRenderFailed:
      return "Could not render verification image";
    case ErrorCode::facesRemain:
      return "Face detector still finds " + std::to_string(remainingFaces) + " face(s) after anonymization";
  }
  return {};
}

Error::Error(ErrorCode code, std::int64_t remainingFaces)
    : domain_(errorDomain), code_(code), description_(errorDescription(code, remainingFaces)) {}

Bitmap normalizedImage(const imageio::Source& source) {
  const imageio::Properties& properties = source.properties();
  if (properties.pixelWidth <= 0 || properties.pixelHeight <= 0) throw Error(ErrorCode::normalizeFailed);
  if (static_cast<std::uint64_t>(properties.pixelWidth) * static_cast<std::uint64_t>(properties.pixelHeight) > maxPixels)
    throw Error(ErrorCode::normalizeFailed);
  std::optional<imageio::Raster> raster;
  try {
    raster = source.decode(imageio::Orientation::applied, {.maxPixels = maxPixels});
  } catch (const std::bad_alloc&) {
    throw Error(ErrorCode::normalizeFailed);
  }
  if (!raster) throw Error(ErrorCode::decodeFailed);
  if (raster->width <= 0 || raster->height <= 0) throw Error(ErrorCode::normalizeFailed);
  const std::size_t count = static_cast<std::size_t>(raster->width) * static_cast<std::size_t>(raster->height) * 4;
  if (raster->bitsPerComponent == 16) {
    // Rounded to 8 bits in place: byte i is written after component i was read.
    const std::uint16_t* wide = raster->data16();
    std::uint8_t* narrow = raster->data.data();
    for (std::size_t i = 0; i < count; ++i) narrow[i] = static_cast<std::uint8_t>((wide[i] + 128u) / 257u);
    raster->data.resize(count);
    raster->bitsPerComponent = 8;
  }
  std::uint8_t* pixel = raster->data.data();
  for (std::size_t i = 0; i < count; i += 4) {
    const unsigned alpha = pixel[i + 3];
    if (alpha == 255) continue;
    for (std::size_t k = 0; k < 3; ++k) pixel[i + k] = static_cast<std::uint8_t>((pixel[i + k] * alpha + 127) / 255);
    pixel[i + 3] = 255;
  }
  return std::make_shared<imageio::Raster>(std::move(*raster));
}

coreimage::Image imageOfBitmap(const Bitmap& bitmap) {
  return coreimage::Image::fromPixels(bitmap, bitmap->data.data(), bitmap->width, bitmap->height, 8,
                                      bitmap->rowBytes());
}

Bitmap renderedBitmap(const coreimage::Image& image, std::int64_t width, std::int64_t height) {
  if (image.isEmpty() || width <= 0 || height <= 0) return nullptr;
  try {
    auto raster = std::make_shared<imageio::Raster>(imageio::zeroedRaster(width, height));
    coreimage::render(image, {0, 0, width, height}, coreimage::PixelFormat::rgba8, raster->data.data(),
                      raster->rowBytes());
    return raster;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace {

constexpr std::int64_t kJpegMaxSide = 65500;

// A JPEG can be made at `path`: it is not a directory, and its directory
// exists and lets us create files in it.
bool destinationUsable(const std::string& path) {
  if (path.empty()) return false;
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return false;
  const std::string directory = files::parentDirectory(path);
  return std::filesystem::is_directory(directory, error) && access(directory.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

void writeFreshJPEG(const imageio::Raster& rendering, const std::string& path) {
  // JPEG records each side in 16 bits; the encoder stops at 65 500.
  if (rendering.width > kJpegMaxSide || rendering.height > kJpegMaxSide) throw Error(ErrorCode::outputRasterFailed);
  if (!destinationUsable(path)) throw Error(ErrorCode::destinationFailed);
  std::optional<std::vector<std::uint8_t>> jpeg;
  try {
    jpeg = imageio::encodeJpeg(rendering, jpegQuality);
  } catch (const std::bad_alloc&) {
    jpeg.reset();
  }
  if (!jpeg) throw Error(ErrorCode::writeFailed);
  if (!files::writeFileAtomically(path, jpeg->data(), jpeg->size())) throw Error(ErrorCode::writeFailed);
}

std::string summaryLine(const Summary& summary) {
  json::Value object = json::Value::object();
  object["method"] = std::string(rawValue(summary.method));
  object["remainingFaceCount"] = summary.remainingFaceCount;
  object["sourceFaceCount"] = summary.sourceFaceCount;
  return *json::write(object, {.keyOrder = json::KeyOrder::sorted}) + "\n";
}

}  // namespace veilpass
