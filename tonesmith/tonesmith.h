// The renderer's shared routines and the stages of the render pipeline.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "coreimage.h"
#include "json.h"
#include "options.h"

namespace tonesmith {

// The settings, computed once at start and only read afterwards.
const Settings& settings();
void setSettings(Settings s);

// Writes the message and a line feed to standard error and exits with status 1.
// While the input is still being decoded it first waits for the decode; a
// decode that failed replaces the message with the decode message, so a
// damaged input is always reported as such.
[[noreturn]] void fail(std::string_view message);

// The input decode runs in the background while the pipeline is built and
// rendered; `succeeded` blocks until it has ended. ensureInputDecoded ends
// the run with the decode message when it failed: the writers call it
// before anything is written.
void setInputDecode(std::function<bool()> succeeded);
void ensureInputDecoded();

// What the pipeline carries from stage to stage.
struct RenderState {
  coreimage::Image image;
  coreimage::Image negativeFilmBaseReference;
  std::optional<json::Value> printLayoutResult;  // an object when present
  std::int64_t sourceWidth = 0, sourceHeight = 0;
  int sourceBitDepth = 8;
  double sourceDpi = 0;
  int writtenBitDepth = 8;
  double writtenDpi = 0;
};

// Runs the filter of that published name on state.image with the given
// parameters and keeps its output; an unknown filter or a missing output
// leaves the image as it is.
void applyFilter(RenderState& state, std::string_view name, const coreimage::Parameters& parameters = {});

// Start building the cubes of the film colour profile and of the LUT
// files on another thread, while the input decodes; the stages take them.
void prepareFilmColorProfile(std::string_view profile, double strength);
void prepareLookupTables();

// Stages, in pipeline order.
void applyNegativeInputTone(RenderState& state);
void applyColorNegative(RenderState& state, std::string_view profile);
void applyNegativeFilmLook(RenderState& state, std::string_view profile);
void applyFujicolorC200StockChroma(RenderState& state);
void applyBrightness(RenderState& state);
void applyContrast(RenderState& state);
void applyToneCurves(RenderState& state, const std::optional<json::Value>& masterPoints,
                     const std::optional<json::Value>& channelPoints);
void applyFilmColorProfile(RenderState& state, std::string_view profile, double strength);
void applySaturation(RenderState& state);
void applyLookupTables(RenderState& state);
void applyLocalEffects(RenderState& state);
void applyImageLayers(RenderState& state);
void applyEditGeometry(RenderState& state);
void applySoftEdges(RenderState& state);
std::optional<json::Value> applyPrintLayout(RenderState& state);
void applySizeLimit(RenderState& state);

// Measurement modes; each ends the process.
[[noreturn]] void measureFilmBase(const RenderState& state, const NormalizedRect& rect);
[[noreturn]] void measureTones(const RenderState& state);

// Output: format choice, the two writers, and the output line.
bool choosePng(const Settings& s);
void writeJpegFile(RenderState& state, const coreimage::PixelRect& extent);
void writePngFile(RenderState& state, const coreimage::PixelRect& extent);
std::string outputLine(const RenderState& state, bool png, const coreimage::PixelRect& extent);

}  // namespace tonesmith
