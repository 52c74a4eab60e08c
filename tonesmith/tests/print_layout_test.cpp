// Print layout figures: resolution choice, crop, printed and canvas sizes,
// placement, the mat colour and the report entries.
#include <gtest/gtest.h>

#include "print_layout.h"

using namespace tonesmith;

namespace {

PrintLayoutRequest request(const char* text) { return readPrintLayout(json::Value::parse(text)); }

}  // namespace

TEST(PrintLayoutFigures, CoverWithoutCrop) {
  // 6000 × 4000 in 15 × 10 cm: same aspect, no crop, 1016 dpi, no resampling.
  auto f = printLayoutFigures(request(R"({"widthCm": 15, "heightCm": 10})"), 6000, 4000);
  EXPECT_EQ(f.dpi, 1016);
  EXPECT_EQ(f.canvasWidth, 6000);
  EXPECT_EQ(f.canvasHeight, 4000);
  EXPECT_EQ(f.photoWidth, 6000);
  EXPECT_EQ(f.photoHeight, 4000);
  EXPECT_EQ(f.photoSourceWidth, 6000);
  EXPECT_EQ(f.offsetX, 0);
  EXPECT_EQ(f.offsetY, 0);
}

TEST(PrintLayoutFigures, CoverCropsAndCropPosition) {
  auto f = printLayoutFigures(request(R"({"widthCm": 10, "heightCm": 10})"), 6000, 4000);
  EXPECT_EQ(f.sourceCrop, coreimage::Rect::make(1000, 0, 4000, 4000));
  EXPECT_EQ(f.dpi, 1016);
  // cropY 0 keeps the top of a tall picture in a wide frame (y up: the crop
  // reaches the top edge).
  f = printLayoutFigures(request(R"({"widthCm": 20, "heightCm": 10, "cropY": 0})"), 1000, 3000);
  EXPECT_EQ(f.sourceCrop, coreimage::Rect::make(0, 2500, 1000, 500));
  f = printLayoutFigures(request(R"({"widthCm": 20, "heightCm": 10, "cropY": 1})"), 1000, 3000);
  EXPECT_EQ(f.sourceCrop.minY, 0);
  // A zoom of 2 halves the crop about the chosen position.
  f = printLayoutFigures(request(R"({"widthCm": 10, "heightCm": 10, "cropScale": 2, "cropX": 0})"), 6000, 4000);
  EXPECT_EQ(f.sourceCrop, coreimage::Rect::make(0, 1000, 2000, 2000));
}

TEST(PrintLayoutFigures, ContainInAMat) {
  auto r = request(R"({"widthCm": 10, "heightCm": 10, "layout": "mat", "fit": "contain", "marginCm": 1,
                       "marginColor": "#FF8000"})");
  auto f = printLayoutFigures(r, 6000, 4000);
  EXPECT_EQ(f.dpi, 1200);  // capped
  EXPECT_EQ(f.photoWidth, 3779);
  EXPECT_EQ(f.photoHeight, 2519);
  EXPECT_EQ(f.canvasWidth, 4724);
  EXPECT_EQ(f.canvasHeight, 4724);
  EXPECT_EQ(f.offsetX, 472);              // round(1 / 2.54 × 1200), inner width equals the picture's
  EXPECT_EQ(f.offsetY, 472 + (3779 - 2519) / 2);
  EXPECT_EQ(r.marginColorText, "#ff8000");
  EXPECT_FLOAT_EQ(r.marginColor.r, 1);
  EXPECT_FLOAT_EQ(r.marginColor.g, 128.0f / 255);
  EXPECT_FLOAT_EQ(r.marginColor.b, 0);

  auto report = printLayoutReport(r, f);
  EXPECT_EQ(report.size(), 14u);
  EXPECT_EQ(report["layout"], "mat");
  EXPECT_EQ(report["fit"], "contain");
  EXPECT_EQ(report["marginColor"], "#ff8000");
  EXPECT_EQ(report["dpi"], 1200);
  EXPECT_TRUE(report["dpi"].is_number_integer());
  EXPECT_EQ(report["photoSourceWidth"], 6000);
  EXPECT_EQ(report["cropScale"], 1);
}

TEST(PrintLayoutFigures, SmallAndTinyPictures) {
  auto f = printLayoutFigures(request(R"({"widthCm": 20, "heightCm": 20})"), 100, 100);
  EXPECT_EQ(f.dpi, 12);
  EXPECT_LE(f.photoWidth, f.photoSourceWidth);
  f = printLayoutFigures(request(R"({"widthCm": 200, "heightCm": 200})"), 3, 3);
  EXPECT_EQ(f.dpi, 1);
  EXPECT_GT(f.photoWidth, f.photoSourceWidth);  // refused by the stage
}

TEST(PrintLayoutRequest, ClampsAndColours) {
  auto r = request(R"({"widthCm": 500, "marginCm": 10, "layout": "mat", "heightCm": 15})");
  EXPECT_EQ(r.widthCm, 200);
  EXPECT_EQ(r.marginCm, 7);  // (15 − 1) / 2
  r = request(R"({"widthCm": 12, "heightCm": 15, "layout": "mat", "marginCm": 10})");
  EXPECT_EQ(r.marginCm, 5.5);
  r = request(R"({})");
  EXPECT_EQ(r.widthCm, 5);
  EXPECT_FALSE(r.mat);
  EXPECT_FALSE(r.contain);
  EXPECT_EQ(r.maxDpi, 1200);
  // Without a mat there is no margin and the colour is white.
  r = request(R"({"marginCm": 2, "marginColor": "#000000", "cropScale": 9, "maxDpi": 0, "cropX": -3})");
  EXPECT_EQ(r.marginCm, 0);
  EXPECT_EQ(r.marginColorText, "#ffffff");
  EXPECT_EQ(r.cropScale, 4);
  EXPECT_EQ(r.maxDpi, 1);
  EXPECT_EQ(r.cropX, 0);
  // Contain ignores the zoom; non-numbers take defaults.
  r = request(R"({"fit": "contain", "cropScale": 3, "widthCm": "30", "heightCm": 1e308})");
  EXPECT_EQ(r.cropScale, 1);
  EXPECT_EQ(r.widthCm, 5);
  EXPECT_EQ(r.heightCm, 200);

  EXPECT_EQ(parseMatColour("orange").text, "#ffffff");
  EXPECT_EQ(parseMatColour("00FF00").text, "#00ff00");
  EXPECT_EQ(parseMatColour("##00ff00").text, "#ffffff");
  EXPECT_EQ(parseMatColour("#0f0").text, "#ffffff");
  EXPECT_EQ(parseMatColour("#+0ff00").text, "#ffffff");
  EXPECT_EQ(parseMatColour("#00ff0g").text, "#ffffff");
}

TEST(PrintLayoutFigures, SizesOnAnIntegerAreNotLostToRounding) {
  // 24 / 2.54 × 635 computes as 5999.999…: the picture keeps all 6000 × 4000
  // pixels instead of a needless resample to 5999 × 3999.
  auto r = request(R"({"widthCm": 30, "heightCm": 20, "layout": "mat", "fit": "contain", "marginCm": 2})");
  auto f = printLayoutFigures(r, 6000, 4000);
  EXPECT_EQ(f.dpi, 635);
  EXPECT_EQ(f.photoWidth, 6000);
  EXPECT_EQ(f.photoHeight, 4000);
  EXPECT_EQ(f.canvasWidth, 7500);
  EXPECT_EQ(f.canvasHeight, 5000);
  EXPECT_EQ(f.offsetX, 750);
  EXPECT_EQ(f.offsetY, 500);
}
