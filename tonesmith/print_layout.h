// Print layout at a physical frame size: the request read from
// --print-layout, the figures computed from it and the picture's size, and
// the report entries.
#pragma once

#include <cstdint>
#include <string>

#include "coreimage.h"
#include "json.h"

namespace tonesmith {

// The members of the --print-layout object, defaults applied and clamped.
struct PrintLayoutRequest {
  double widthCm = 5, heightCm = 5;
  bool mat = false;
  bool contain = false;
  coreimage::Color marginColor{1, 1, 1, 1};
  std::string marginColorText = "#ffffff";  // normalized
  double cropScale = 1;
  double marginCm = 0;
  double maxDpi = 1200;
  double cropX = 0.5, cropY = 0.5;
};

PrintLayoutRequest readPrintLayout(const json::Value& object);

// A mat colour from its text: "#rrggbb" in any case, the "#" optional;
// anything else is white. The normalized text is lower case with the "#".
struct MatColour {
  coreimage::Color color{1, 1, 1, 1};
  std::string text = "#ffffff";
};
MatColour parseMatColour(std::string text);

// Everything the layout decides for an ow × oh picture. Lengths in
// centimetres, sizes in pixels; offsets from the bottom-left corner.
struct PrintLayoutFigures {
  coreimage::Rect sourceCrop;         // the cover crop (the whole picture in contain mode)
  double sourceWidth = 0, sourceHeight = 0;  // sw × sh: the crop's size
  double printedWidthCm = 0, printedHeightCm = 0;
  std::int64_t dpi = 1;
  std::int64_t canvasWidth = 1, canvasHeight = 1;
  std::int64_t photoWidth = 1, photoHeight = 1;
  std::int64_t photoSourceWidth = 0, photoSourceHeight = 0;
  std::int64_t offsetX = 0, offsetY = 0;
};

PrintLayoutFigures printLayoutFigures(const PrintLayoutRequest& request, double ow, double oh);

// The 14 report entries.
json::Value printLayoutReport(const PrintLayoutRequest& request, const PrintLayoutFigures& figures);

}  // namespace tonesmith
