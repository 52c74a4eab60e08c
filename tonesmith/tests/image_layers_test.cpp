// Image layers: reading the layer objects, the cover fit and placement, the
// feathered edges, masks and blend modes, on pictures made here.
#include <gtest/gtest.h>

#include <cmath>

#include "image_layers.h"

using namespace tonesmith;
using coreimage::Color;
using coreimage::Image;
using coreimage::Rect;

namespace {

Image solid(double w, double h, Color c) { return Image::constantColor(c).cropped(Rect::make(0, 0, w, h)); }

// A w × h float picture whose red component is the column's centre over w.
Image columnRamp(int w, int h) {
  auto pixels = std::make_shared<std::vector<float>>(static_cast<std::size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float* p = pixels->data() + (static_cast<std::size_t>(y) * w + x) * 4;
      p[0] = (x + 0.5f) / w;
      p[1] = p[2] = 0;
      p[3] = 1;
    }
  return Image::fromPixels(pixels, pixels->data(), w, h, 32, static_cast<std::size_t>(w) * 16);
}

std::array<float, 4> at(const Image& image, std::int64_t x, std::int64_t y) {
  auto v = coreimage::renderFloat(image, {x, y, 1, 1});
  return {v[0], v[1], v[2], v[3]};
}

json::Value parsed(const char* text) { return json::Value::parse(text); }

ImageLayer layerWith(const char* extra) {
  auto layers = readImageLayers(parsed((std::string(R"([{"path": "x.png")") + extra + "}]").c_str()));
  EXPECT_EQ(layers.size(), 1u) << extra;
  return layers.empty() ? ImageLayer{} : layers[0];
}

}  // namespace

TEST(ImageLayerObjects, DefaultsClampsAndSkips) {
  ImageLayer plain = layerWith("");
  EXPECT_EQ(plain.opacity, 1);
  EXPECT_EQ(plain.scale, 1);
  EXPECT_EQ(plain.blendMode, "normal");
  EXPECT_FALSE(plain.flipHorizontal);

  ImageLayer big = layerWith(R"(, "opacity": 3, "scale": 10, "rotation": 400, "feather": 1, "offsetX": -1e308,
                                  "offsetY": 1e308, "flipHorizontal": true, "maskPath": "m.png", "blendMode": "screen")");
  EXPECT_EQ(big.opacity, 1);
  EXPECT_EQ(big.scale, 4);
  EXPECT_EQ(big.rotation, 180);
  EXPECT_EQ(big.feather, 0.25);
  EXPECT_EQ(big.offsetX, -2);
  EXPECT_EQ(big.offsetY, 2);
  EXPECT_TRUE(big.flipHorizontal);
  EXPECT_EQ(big.maskPath, "m.png");
  EXPECT_EQ(big.blendMode, "screen");

  // Wrong types take the defaults.
  ImageLayer wrong = layerWith(R"(, "opacity": "0.5", "scale": [2], "flipHorizontal": 1, "blendMode": 3, "maskPath": 7)");
  EXPECT_EQ(wrong.opacity, 1);
  EXPECT_EQ(wrong.scale, 1);
  EXPECT_FALSE(wrong.flipHorizontal);
  EXPECT_EQ(wrong.blendMode, "normal");
  EXPECT_EQ(wrong.maskPath, "");

  // Opacity clamped to 0 and empty or missing paths skip that layer only.
  auto some = readImageLayers(parsed(R"([{"path": "a", "opacity": -1}, {"path": ""}, {"opacity": 1},
                                         {"path": 5}, {"path": "b", "opacity": 0.5}])"));
  ASSERT_EQ(some.size(), 1u);
  EXPECT_EQ(some[0].path, "b");
  // One non-object element voids the whole array; so does a non-array.
  EXPECT_TRUE(readImageLayers(parsed(R"([{"path": "a"}, 3])")).empty());
  EXPECT_TRUE(readImageLayers(parsed(R"({"path": "a"})")).empty());
  EXPECT_TRUE(readImageLayers(std::nullopt).empty());
}

TEST(ImageLayerObjects, BlendModeNames) {
  EXPECT_STREQ(blendFilterName("multiply"), "CIMultiplyBlendMode");
  EXPECT_STREQ(blendFilterName("screen"), "CIScreenBlendMode");
  EXPECT_STREQ(blendFilterName("overlay"), "CIOverlayBlendMode");
  EXPECT_STREQ(blendFilterName("darken"), "CIDarkenBlendMode");
  EXPECT_STREQ(blendFilterName("lighten"), "CILightenBlendMode");
  EXPECT_STREQ(blendFilterName("Multiply"), "CISourceOverCompositing");
  EXPECT_STREQ(blendFilterName("normal"), "CISourceOverCompositing");
}

TEST(ImageLayerPlacement, CoverFitUsesTheMiddleColumns) {
  // 1000 × 500 on 3000 × 3000: scaled by 6 to 6000 × 3000, the middle 3000
  // columns (picture columns 250 to 750) cover the frame.
  const Rect frame = Rect::make(0, 0, 3000, 3000);
  auto fitted = coverFitted(columnRamp(1000, 500), frame);
  ASSERT_TRUE(fitted);
  EXPECT_EQ(fitted->extent(), frame);
  EXPECT_NEAR(at(*fitted, 0, 1500)[0], 250.0 / 1000, 0.002);
  EXPECT_NEAR(at(*fitted, 1500, 10)[0], 0.5, 0.002);
  EXPECT_NEAR(at(*fitted, 2999, 2999)[0], 750.0 / 1000, 0.002);
  EXPECT_FALSE(coverFitted(Image(), frame));
}

TEST(ImageLayerPlacement, ScaleShiftTurnAndFlip) {
  const Rect frame = Rect::make(0, 0, 400, 200);
  const Image ramp = columnRamp(400, 200);
  ImageLayer layer;
  layer.scale = 0.5;
  auto half = placedLayer(ramp, frame, layer);
  ASSERT_TRUE(half);
  EXPECT_EQ(at(*half, 10, 10)[3], 0);    // transparent border
  EXPECT_EQ(at(*half, 200, 100)[3], 1);  // centre covered
  EXPECT_EQ(at(*half, 120, 60)[3], 1);   // just inside the 200 × 100 layer

  layer = {};
  layer.offsetX = 0.5;
  auto shifted = placedLayer(ramp, frame, layer);
  EXPECT_EQ(at(*shifted, 150, 100)[3], 0);
  EXPECT_NEAR(at(*shifted, 250, 100)[0], 50.5f / 400, 0.01);  // column 50 moved right by 200

  layer = {};
  layer.offsetY = 0.5;  // upward: the lower half empties
  auto raised = placedLayer(ramp, frame, layer);
  EXPECT_EQ(at(*raised, 200, 50)[3], 0);
  EXPECT_EQ(at(*raised, 200, 150)[3], 1);

  layer = {};
  layer.flipHorizontal = true;
  auto flipped = placedLayer(ramp, frame, layer);
  EXPECT_NEAR(at(*flipped, 0, 100)[0], 399.5f / 400, 0.01);

  // A quarter turn counter-clockwise about the centre (200, 100): the
  // layer's right side points up, so above the centre lie its right columns.
  layer = {};
  layer.rotation = 90;
  auto turned = placedLayer(ramp, frame, layer);
  EXPECT_NEAR(at(*turned, 200, 180)[0], 280.5f / 400, 0.01);
  EXPECT_NEAR(at(*turned, 200, 20)[0], 120.5f / 400, 0.01);
  EXPECT_EQ(at(*turned, 20, 100)[3], 0);
}

TEST(ImageLayerFeather, FadesTheLayerEdgesNotTheFrame) {
  const Rect frame = Rect::make(0, 0, 300, 200);
  const Image white = solid(300, 200, {1, 1, 1, 1});
  ImageLayer layer;
  layer.scale = 0.5;  // covers (75, 50) to (225, 150)
  auto half = placedLayer(white, frame, layer);
  ASSERT_TRUE(half);
  Image soft = featheredLayerEdges(*half, frame, 0.1);
  EXPECT_LT(at(soft, 75, 100)[3], 0.1f);  // the layer's edge pixel: nearly gone
  EXPECT_NEAR(at(soft, 150, 100)[3], 1, 1e-3);  // far inside: untouched
  EXPECT_EQ(at(soft, 40, 100)[3], 0);
  const float a1 = at(soft, 80, 100)[3], a2 = at(soft, 95, 100)[3];
  EXPECT_LT(a1, a2);

  // Full cover: the frame's borders keep the layer opaque.
  Image full = featheredLayerEdges(white, frame, 0.25);
  EXPECT_NEAR(at(full, 0, 0)[3], 1, 1e-3);
  EXPECT_NEAR(at(full, 299, 100)[3], 1, 1e-3);
}

TEST(ImageLayerComposite, MasksOpacityAndModes) {
  const Rect frame = Rect::make(0, 0, 40, 30);
  const Image base = solid(40, 30, {0.8f, 0.4f, 0.2f, 1});
  const Image grey = solid(20, 15, {0.5f, 0.5f, 0.5f, 1});
  ImageLayer layer;
  auto plain = compositedLayer(base, frame, grey, std::nullopt, layer);
  EXPECT_EQ(plain.extent(), frame);
  auto p = at(plain, 5, 5);
  EXPECT_NEAR(p[0], 0.5f, 1e-4);  // an opaque layer with defaults replaces the picture

  // White hides the layer, black leaves it as without a mask.
  auto hidden = at(compositedLayer(base, frame, grey, solid(4, 3, {1, 1, 1, 1}), layer), 5, 5);
  EXPECT_NEAR(hidden[0], 0.8f, 1e-4);
  EXPECT_NEAR(hidden[2], 0.2f, 1e-4);
  auto shown = at(compositedLayer(base, frame, grey, solid(4, 3, {0, 0, 0, 1}), layer), 5, 5);
  EXPECT_NEAR(shown[0], 0.5f, 1e-4);

  layer.opacity = 0.5;
  EXPECT_NEAR(at(compositedLayer(base, frame, grey, std::nullopt, layer), 5, 5)[0], 0.65f, 1e-4);
  layer.opacity = 1;

  // The mode's filter blends with the picture beneath (the filters' own
  // colour results are tested with the filters).
  layer.blendMode = "multiply";
  auto v = at(compositedLayer(base, frame, grey, std::nullopt, layer), 20, 15);
  EXPECT_NEAR(v[0], 0.4f, 1e-4);
  EXPECT_NEAR(v[2], 0.1f, 1e-4);
  layer.blendMode = "Multiply";
  EXPECT_NEAR(at(compositedLayer(base, frame, grey, std::nullopt, layer), 20, 15)[0], 0.5f, 1e-4);
}

TEST(ImageLayerComposite, UnusablePicturesLeaveTheImage) {
  const Rect frame = Rect::make(0, 0, 10, 10);
  const Image base = solid(10, 10, {0.3f, 0.3f, 0.3f, 1});
  auto same = compositedLayer(base, frame, Image(), std::nullopt, ImageLayer{});
  EXPECT_EQ(same.node(), base.node());
  EXPECT_FALSE(openLayerPicture("/nonexistent/layer.png"));
  EXPECT_FALSE(openLayerPicture("/etc/hostname"));
}

TEST(ImageLayerFeather, ReducedMatteMatchesTheFullSizeOne) {
  // A wide feather (radius 40, computed at a tenth of the size) fades the
  // same as the matte blurred at full size.
  const Rect frame = Rect::make(0, 0, 400, 250);
  const Image white = solid(400, 250, {1, 1, 1, 1});
  ImageLayer layer;
  layer.scale = 0.6;
  layer.rotation = 20;
  layer.feather = 0.25;
  EXPECT_EQ(featherRadius(frame, 0.25), 25);
  EXPECT_EQ(matteReduction(25), 6);
  EXPECT_EQ(matteReduction(7.9), 1);
  auto placed = placedLayer(white, frame, layer);
  ASSERT_TRUE(placed);
  const double r = matteReduction(featherRadius(frame, layer.feather));
  auto reduced = placedLayer(white, Rect::make(0, 0, 400 / r, 250 / r), layer);
  Image full = featheredLayerEdges(*placed, frame, layer.feather);
  Image quick = featheredLayerEdges(*placed, frame, layer.feather, reduced);
  auto a = coreimage::renderFloat(full, {0, 0, 400, 250});
  auto b = coreimage::renderFloat(quick, {0, 0, 400, 250});
  // At most a fraction of a pixel's shift of the steepest ramp; far less on average.
  double worst = 0, total = 0;
  for (std::size_t i = 3; i < a.size(); i += 4) {
    worst = std::max(worst, std::fabs(double(a[i]) - b[i]));
    total += std::fabs(double(a[i]) - b[i]);
  }
  EXPECT_LT(worst, 0.08);
  EXPECT_LT(total / (400 * 250), 0.005);
  EXPECT_NEAR(at(quick, 200, 125)[3], 1, 0.02);
}

TEST(ImageLayerComposite, FeatherAndMaskInOnePassMatchTheTwoInTurn) {
  // The feather's matte and the inverted mask mask the layer in one pass:
  // the same as fading the edges first and masking the faded layer after.
  namespace ci = coreimage;
  const Rect frame = Rect::make(0, 0, 120, 80);
  const Image base = solid(120, 80, {0.8f, 0.4f, 0.2f, 1});
  const Image grey = solid(60, 40, {0.3f, 0.6f, 0.3f, 1});
  const Image mask = columnRamp(60, 40);  // red only: hides up to 0.2126 of the layer
  ImageLayer layer;
  layer.scale = 0.7;
  layer.rotation = 15;
  layer.feather = 0.1;
  ASSERT_EQ(matteReduction(featherRadius(frame, layer.feather)), 1);
  auto placed = placedLayer(grey, frame, layer);
  auto fittedMask = coverFitted(mask, frame);
  ASSERT_TRUE(placed && fittedMask);
  auto apply = [](const char* name, const ci::Parameters& parameters) {
    auto filter = ci::Filter::named(name);
    for (const auto& [key, value] : parameters) filter->setValue(key, value);
    return *filter->outputImage();
  };
  const Image clear = Image::constantColor({0, 0, 0, 0}).cropped(frame);
  const Image inverted = apply("CIColorInvert", {{ci::kInputImageKey, *fittedMask}});
  const Image masked = apply("CIBlendWithMask", {{ci::kInputImageKey, featheredLayerEdges(*placed, frame, layer.feather)},
                                                 {ci::kInputBackgroundImageKey, clear},
                                                 {ci::kInputMaskImageKey, inverted}});
  const Image inTurn = apply("CISourceOverCompositing",
                             {{ci::kInputImageKey, masked.cropped(frame)}, {ci::kInputBackgroundImageKey, base}});
  auto want = ci::renderFloat(inTurn, {0, 0, 120, 80});
  auto got = ci::renderFloat(compositedLayer(base, frame, grey, mask, layer), {0, 0, 120, 80});
  auto plain = ci::renderFloat(compositedLayer(base, frame, grey, std::nullopt, layer), {0, 0, 120, 80});
  ASSERT_EQ(want.size(), got.size());
  double worst = 0, maskEffect = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    worst = std::max(worst, std::fabs(double(got[i]) - want[i]));
    maskEffect = std::max(maskEffect, std::fabs(double(plain[i]) - want[i]));
  }
  EXPECT_LT(worst, 1e-5);
  EXPECT_GT(maskEffect, 0.02);  // the mask really shows
}
