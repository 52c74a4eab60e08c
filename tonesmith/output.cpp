// The size limit, the format choice, the JPEG and PNG writers and the
// output line; also the shared routines fail, applyFilter and the settings.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "files.h"
#include "imageio.h"
#include "tonesmith.h"

namespace tonesmith {
namespace {

Settings& settingsStorage() {
  static Settings s;
  return s;
}

std::function<bool()>& inputDecode() {
  static std::function<bool()> succeeded;
  return succeeded;
}

std::string lowerCased(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The working image over `extent` as rows of RGBA, top first, rendered
// band by band while the encoder compresses the bands before.
imageio::RowSource renderedRows(const RenderState& state, const coreimage::PixelRect& extent, int bits) {
  coreimage::Image image = state.image.cropped({static_cast<double>(extent.x), static_cast<double>(extent.y),
                                                static_cast<double>(extent.maxX()), static_cast<double>(extent.maxY())});
  imageio::RowSource rows;
  rows.width = extent.width;
  rows.height = extent.height;
  rows.bitsPerComponent = bits;
  auto bands = std::make_shared<coreimage::BandRenderer>(
      image, extent, bits == 16 ? coreimage::PixelFormat::rgba16 : coreimage::PixelFormat::rgba8);
  rows.produce = [bands](std::int64_t top, std::int64_t count, std::uint8_t* destination, std::size_t rowBytes) {
    bands->renderRows(top, count, destination, rowBytes);
  };
  return rows;
}

}  // namespace

const Settings& settings() { return settingsStorage(); }
void setSettings(Settings s) { settingsStorage() = std::move(s); }

void setInputDecode(std::function<bool()> succeeded) { inputDecode() = std::move(succeeded); }

void ensureInputDecoded() {
  if (inputDecode() && !inputDecode()()) {
    inputDecode() = nullptr;
    fail("Cannot decode image pixels: " + settings().inputPath);
  }
}

void fail(std::string_view message) {
  ensureInputDecoded();
  std::string line(message);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  std::exit(1);
}

void applyFilter(RenderState& state, std::string_view name, const coreimage::Parameters& parameters) {
  auto filter = coreimage::Filter::named(name);
  if (!filter) return;
  filter->setValue(coreimage::kInputImageKey, state.image);
  for (const auto& [key, value] : parameters) filter->setValue(key, value);
  if (auto output = filter->outputImage()) state.image = *output;
}

void applySizeLimit(RenderState& state) {
  const std::int64_t maxEdge = settings().maxOutputEdge;
  coreimage::Rect e = state.image.extent();
  double longest = std::max(e.width(), e.height());
  if (!(longest > static_cast<double>(maxEdge)) || e.isInfinite()) return;
  auto filter = coreimage::Filter::named("CILanczosScaleTransform");
  if (!filter) return;
  filter->setValue(coreimage::kInputImageKey, state.image);
  filter->setValue(coreimage::kInputScaleKey, static_cast<double>(maxEdge) / longest);
  filter->setValue(coreimage::kInputAspectRatioKey, 1.0);
  if (auto scaled = filter->outputImage()) state.image = scaled->movedToOrigin();
}

bool choosePng(const Settings& s) {
  if (s.requestedFormat == "png") return true;
  if (!s.requestedFormat.empty()) return false;
  std::string path = lowerCased(s.outputPath);
  return path.size() >= 4 && path.compare(path.size() - 4, 4, ".png") == 0;
}

void writeJpegFile(RenderState& state, const coreimage::PixelRect& extent) {
  const std::string& outputPath = settings().outputPath;
  std::optional<std::vector<std::uint8_t>> bytes;
  if (!extent.isEmpty()) {
    try {
      bytes = imageio::encodeJpeg(renderedRows(state, extent, 8), 0.94);
    } catch (const std::bad_alloc&) {
      bytes.reset();
    }
  }
  if (!bytes) fail("Cannot encode JPEG: " + outputPath);
  ensureInputDecoded();
  files::Status status = files::createDirectories(files::parentDirectory(outputPath));
  if (status) status = files::writeFileAtomically(outputPath, bytes->data(), bytes->size());
  if (!status) fail("Cannot write JPEG: " + status.description);
}

void writePngFile(RenderState& state, const coreimage::PixelRect& extent) {
  const Settings& s = settings();
  const std::string& outputPath = s.outputPath;
  int bits = s.pngDepth == "16" ? 16 : s.pngDepth == "8" ? 8 : (state.sourceBitDepth > 8 ? 16 : 8);

  double resolution = 300;
  const json::Value* layoutDpi = nullptr;
  if (state.printLayoutResult && state.printLayoutResult->is_object()) {
    auto it = state.printLayoutResult->find("dpi");
    if (it != state.printLayoutResult->end()) layoutDpi = &*it;
  }
  if (layoutDpi && layoutDpi->is_number_integer() && layoutDpi->get<std::int64_t>() >= 1) {
    resolution = static_cast<double>(layoutDpi->get<std::int64_t>());
  } else if (auto n = parseNumber(s.dpi); n && *n > 0 && std::isfinite(*n)) {
    resolution = clamp(*n, 1, 100000);
  }

  if (extent.width < 1 || extent.height < 1) fail("Cannot encode PNG: empty image");
  std::optional<std::vector<std::uint8_t>> bytes;
  try {
    bytes = imageio::encodePng(renderedRows(state, extent, bits), bits, resolution);
  } catch (const std::bad_alloc&) {
    bytes.reset();
  }
  if (!bytes) fail("Cannot encode PNG: " + outputPath);
  ensureInputDecoded();

  const std::string directory = files::parentDirectory(outputPath);
  if (files::Status made = files::createDirectories(directory); !made) fail("Cannot write PNG: " + made.description);
  // The complete file is named "." + name + ".partial" beside the output
  // and renamed over it, so the old picture stays in place until the new
  // one is complete; the temporary is created exclusively, never through a
  // link left at that name, and has no name at all while it is written.
  if (files::Status written = files::writeFileAtomically(outputPath, bytes->data(), bytes->size(), ".partial");
      !written)
    fail("Cannot write PNG: " + written.description);
  state.writtenBitDepth = bits;
  state.writtenDpi = resolution;
}

std::string outputLine(const RenderState& state, bool png, const coreimage::PixelRect& extent) {
  const Settings& s = settings();
  if (!s.reportJson) return s.outputPath;
  json::Value report = json::Value::object();
  report["outputPath"] = s.outputPath;
  report["format"] = png ? "png" : "jpeg";
  report["width"] = extent.width;
  report["height"] = extent.height;
  report["bitDepth"] = state.writtenBitDepth;
  report["dpi"] = state.writtenDpi;
  report["sourceWidth"] = state.sourceWidth;
  report["sourceHeight"] = state.sourceHeight;
  report["sourceBitDepth"] = state.sourceBitDepth;
  report["sourceDpi"] = state.sourceDpi;
  if (state.printLayoutResult && state.printLayoutResult->is_object())
    for (const auto& [key, value] : state.printLayoutResult->items()) report[key] = value;
  auto text = json::write(report, {.keyOrder = json::KeyOrder::sorted, .invalidUtf8 = json::InvalidUtf8::replace});
  return text ? *text : s.outputPath;
}

}  // namespace tonesmith
