// tonesmith: renders one edited photo from its unedited source.
//
// Start-up computes the settings, the input is decoded upright at full size,
// then either a measurement runs or the pipeline below, in its fixed order,
// followed by the write and one output line.
#include <cmath>
#include <cstdio>
#include <exception>
#include <new>

#include "colour.h"
#include "imageio.h"
#include "tonesmith.h"

using namespace tonesmith;

namespace {

// Pixel budget of one decode: a bit over a gigapixel, so a declared size
// that no photograph or scan has (a decompression bomb) fails cleanly
// instead of exhausting memory.
constexpr std::uint64_t kMaxDecodePixels = 1'100'000'000;
// Memory budget of the decode: 640 MiB (160 megapixels at 8 bits, 80 at
// 16), so that with the render's own buffers a run stays under a gigabyte.
constexpr std::uint64_t kMaxDecodeBytes = std::uint64_t{640} << 20;

// The input decoded again at width × height, as float RGBA rows top first.
std::optional<ReducedCopy> reducedDecode(const imageio::Source& source, std::int64_t width, std::int64_t height) {
  auto raster = source.resized(width, height, imageio::Orientation::applied, {.maxPixels = kMaxDecodePixels, .maxBytes = kMaxDecodeBytes});
  if (!raster || raster->width != width || raster->height != height) return std::nullopt;
  ReducedCopy copy{width, height, std::vector<float>(static_cast<std::size_t>(width * height) * 4)};
  const bool sixteen = raster->bitsPerComponent == 16;
  const float unit = sixteen ? 1.0f / 65535 : 1.0f / 255;
  for (std::size_t i = 0; i < copy.pixels.size(); ++i)
    copy.pixels[i] = static_cast<float>(sixteen ? raster->data16()[i] : raster->data[i]) * unit;
  return copy;
}

RenderState decodeInput(const Settings& s) {
  const std::string& path = s.inputPath;
  if (!imageio::initialize()) fail("Cannot read image: " + path);
  std::shared_ptr<const imageio::Source> source = imageio::Source::open(path);
  if (!source) fail("Cannot read image: " + path);
  const imageio::Properties& properties = source->properties();
  std::int64_t fullResolutionEdge = std::max(properties.pixelWidth, properties.pixelHeight);
  if (fullResolutionEdge <= 0) fail("Cannot decode image pixels: " + path);
  std::shared_ptr<imageio::PendingRaster> pixels;
  try {
    // Runs whose first output needs whole-picture statistics (adaptive
    // contrast, the measurements) wait for the full decode anyway: it then
    // runs on two cores.
    const bool wholePictureFirst = s.measure || s.measureFilmBase || (s.contrastDelta != 0 && !s.linearTone);
    pixels = source->decodeInBackground(imageio::Orientation::applied, {.maxPixels = kMaxDecodePixels, .maxBytes = kMaxDecodeBytes},
                                        wholePictureFirst);
  } catch (const std::bad_alloc&) {
    pixels.reset();
  }
  if (!pixels) fail("Cannot decode image pixels: " + path);
  setInputDecode([pixels] { return pixels->finish(); });
  // JPEG decodes at an eighth of the size for a fraction of the time, so
  // the measurements of reduced copies need not wait for the full decode.
  if (properties.format == "jpeg") setInputReducer([source](std::int64_t width, std::int64_t height) {
    return reducedDecode(*source, width, height);
  });

  RenderState state;
  state.sourceWidth = properties.pixelWidth;
  state.sourceHeight = properties.pixelHeight;
  state.sourceBitDepth = pixels->bitsPerComponent();
  auto usable = [](const std::optional<double>& v) { return v && *v > 0 && std::isfinite(*v); };
  state.sourceDpi = usable(properties.dpiWidth) ? *properties.dpiWidth
                    : usable(properties.dpiHeight) ? *properties.dpiHeight
                                                   : 0;
  const imageio::PendingRaster* raw = pixels.get();
  state.image = coreimage::Image::fromPixels(pixels, pixels->data(), pixels->width(), pixels->height(),
                                             pixels->bitsPerComponent(), pixels->rowBytes(),
                                             [raw](std::int64_t rows) { raw->waitForRows(rows); });
  if (state.image.isEmpty()) fail("Cannot decode image pixels: " + path);
  return state;
}

void renderPipeline(RenderState& state) {
  const Settings& s = settings();
  // 0: the cubes that need no pixels, built while the input decodes.
  prepareFilmColorProfile(s.filmColorProfile, s.filmColorStrength);
  prepareLookupTables();
  state.negativeFilmBaseReference = state.image;                       // 1
  if (s.negative) {                                                    // 2
    applyNegativeInputTone(state);
    if (s.negativeProfile == "bw")
      applyFilter(state, "CIColorInvert");
    else
      applyColorNegative(state, s.negativeProfile);
    if (s.negativeFilmLook) applyNegativeFilmLook(state, s.negativeProfile);  // 3
  }
  if (s.brightness != 0) applyBrightness(state);                       // 4
  if (s.contrastDelta != 0) applyContrast(state);                      // 5
  applyToneCurves(state, s.toneCurve, s.colorCurves);                  // 6
  applyFilmColorProfile(state, s.filmColorProfile, s.filmColorStrength);  // 7
  if (std::fabs(s.saturation - 1) > 0.0001) applySaturation(state);    // 8
  applyLookupTables(state);                                            // 9
  applyLocalEffects(state);                                            // 10
  applyImageLayers(state);                                             // 11
  applyEditGeometry(state);                                            // 12
  if (s.edgeSoftness > 0.0001) applySoftEdges(state);                  // 13
  state.printLayoutResult = applyPrintLayout(state);                   // 14
  if (s.maxOutputEdge > 0) applySizeLimit(state);                      // 15

  // 16: the final extent, made integral.
  coreimage::Rect e = state.image.extent().integral();
  coreimage::PixelRect extent{static_cast<std::int64_t>(e.minX), static_cast<std::int64_t>(e.minY),
                              static_cast<std::int64_t>(e.width()), static_cast<std::int64_t>(e.height())};
  if (state.image.isEmpty() || e.isInfinite()) extent = {};

  bool png = choosePng(s);                                             // 17
  state.writtenBitDepth = 8;
  state.writtenDpi = 0;
  if (png)
    writePngFile(state, extent);
  else
    writeJpegFile(state, extent);

  std::string line = outputLine(state, png, extent) + "\n";            // 18
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args(argv, argv + argc);
  if (args.size() < kRequiredArgumentCount) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  setSettings(computeSettings(args));
  const Settings& s = settings();
  try {
    RenderState state = decodeInput(s);
    if (s.measureFilmBase) measureFilmBase(state, *s.measureFilmBase);
    if (s.measure) measureTones(state);
    renderPipeline(state);
  } catch (const std::bad_alloc&) {
    fail("Not enough memory to render " + s.inputPath);
  }
  return 0;
}
