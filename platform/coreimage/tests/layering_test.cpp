// A layer blended in one pass against the filters it stands for; the byte
// paths of the resampler; the output conversion of premultiplied tiles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "coreimage.h"
#include "layering.h"
#include "node.h"
#include "pixel_compare.h"

using namespace coreimage;

namespace {

// Float RGBA pixels, rows top first, from a function of (x, y).
template <typename Colour>
Image floatImage(int w, int h, Colour colour) {
  auto pixels = std::make_shared<std::vector<float>>(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const Color c = colour(x, y);
      float* p = pixels->data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)) * 4;
      p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = c.a;
    }
  return Image::fromPixels(pixels, pixels->data(), w, h, 32, static_cast<std::size_t>(w) * 16);
}

// Opaque 8-bit pixels that vary in every component, and the same values as floats.
std::shared_ptr<std::vector<std::uint8_t>> bytePattern(int w, int h) {
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = bytes->data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)) * 4;
      p[0] = static_cast<std::uint8_t>(x * 37 + y * 11), p[1] = static_cast<std::uint8_t>((x ^ y) * 23);
      p[2] = static_cast<std::uint8_t>(y * 29), p[3] = 255;
    }
  return bytes;
}

// The output of a filter given all its parameters at once.
Image filtered(const char* name, const Parameters& parameters) {
  std::optional<Image> out;
  if (auto filter = Filter::named(name)) {
    for (const auto& [key, value] : parameters) filter->setValue(key, value);
    out = filter->outputImage();
  }
  EXPECT_TRUE(out) << name;
  return out ? *out : Image();
}

const char* const kModes[] = {"CISourceOverCompositing", "CIMultiplyBlendMode", "CIScreenBlendMode",
                              "CIOverlayBlendMode",      "CIDarkenBlendMode",   "CILightenBlendMode"};

}  // namespace

TEST(BlendedLayer, MatchesTheMaskOpacityAndBlendFiltersInTurn) {
  // A translucent, turned layer (so parts of the frame hold none of it), a
  // grey matte and a coloured mask, over a translucent background.
  const Rect frame = Rect::make(0, 0, 90, 70);
  const Image layer = floatImage(60, 40, [](int x, int y) {
                        return Color{x / 60.0f, 1 - y / 40.0f, 0.3f, 0.4f + 0.5f * ((x + y) % 3) / 2};
                      })
                          .transformed(Affine::rotation(0.3).then(Affine::scale(1.3, 1.3)).then(Affine::translation(12, 4)))
                          .cropped(frame);
  const Image background = floatImage(90, 70, [](int x, int y) {
    return Color{0.2f + x / 200.0f, 0.5f, 0.9f - y / 100.0f, y < 10 ? 0.5f : 1.0f};
  });
  const Image matte = floatImage(90, 70, [](int x, int) { float v = x / 89.0f; return Color{v, v, v, 1}; });
  const Image mask = floatImage(90, 70, [](int x, int y) { return Color{(x % 7) / 6.0f, y / 69.0f, 0.5f, 1}; });
  const Image clear = Image::constantColor({0, 0, 0, 0}).cropped(frame);
  for (const char* mode : kModes) {
    Image masked = layer;
    for (const Image& keep : {matte, mask})
      masked = filtered("CIBlendWithMask", {{kInputImageKey, masked}, {kInputBackgroundImageKey, clear},
                                            {kInputMaskImageKey, keep}}).cropped(frame);
    const Image faded = filtered("CIColorMatrix", {{kInputImageKey, masked}, {"inputAVector", Vector{{0, 0, 0, 0.6}}}});
    const Image inTurn = filtered(mode, {{kInputImageKey, faded}, {kInputBackgroundImageKey, background}});
    auto fused = blendedLayer(layer, {matte, mask}, 0.6, mode, background);
    ASSERT_TRUE(fused) << mode;
    EXPECT_EQ(fused->extent(), inTurn.extent()) << mode;
    EXPECT_LT(worstPremultipliedDifference(*fused, inTurn, {0, 0, 90, 70}), 2e-6) << mode;
    // Without masks the opacity alone fades the layer.
    const Image plain = filtered(mode, {{kInputImageKey, filtered("CIColorMatrix", {{kInputImageKey, layer},
                                                                                   {"inputAVector", Vector{{0, 0, 0, 0.6}}}})},
                                        {kInputBackgroundImageKey, background}});
    EXPECT_LT(worstPremultipliedDifference(*blendedLayer(layer, {}, 0.6, mode, background), plain, {0, 0, 90, 70}), 2e-6)
        << mode;
  }
}

TEST(BlendedLayer, WhereTheWeightIsZeroTheBackgroundStaysExactly) {
  // A layer of NaN and infinities under a mask that is black (0) on the
  // left half: the left half is the background bit for bit, and a layer
  // at opacity 0 changes nothing at all.
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const Image layer = floatImage(40, 20, [&](int x, int) { return Color{nan, inf, 0.5f, x % 2 ? nan : 1.0f}; });
  const Image background = floatImage(40, 20, [](int x, int y) { return Color{x / 40.0f, y / 20.0f, 0.25f, 1}; });
  const Image mask = floatImage(40, 20, [](int x, int) { float v = x < 20 ? 0.0f : 1.0f; return Color{v, v, v, 1}; });
  auto fused = blendedLayer(layer, {mask}, 1, "CIScreenBlendMode", background);
  auto faded = blendedLayer(layer, {}, 0, "CIMultiplyBlendMode", background);
  ASSERT_TRUE(fused && faded);
  const std::vector<float> got = renderFloat(*fused, {0, 0, 20, 20}), want = renderFloat(background, {0, 0, 20, 20});
  EXPECT_EQ(got, want);
  EXPECT_EQ(renderFloat(*faded, {0, 0, 40, 20}), renderFloat(background, {0, 0, 40, 20}));
}

TEST(BlendedLayer, RefusesWhatTheFiltersWouldRefuse) {
  const Image a = floatImage(4, 4, [](int, int) { return Color{1, 0, 0, 1}; });
  EXPECT_FALSE(blendedLayer(a, {}, 1, "CIMultiplyCompositing", a));  // not a blend mode
  EXPECT_FALSE(blendedLayer(a, {}, 1, "multiply", a));
  EXPECT_FALSE(blendedLayer(a, {}, 1.5, "CIScreenBlendMode", a));
  EXPECT_FALSE(blendedLayer(a, {}, std::nan(""), "CIScreenBlendMode", a));
  EXPECT_FALSE(blendedLayer(Image(), {}, 1, "CIScreenBlendMode", a));
  EXPECT_FALSE(blendedLayer(a, {Image()}, 1, "CIScreenBlendMode", a));
  EXPECT_TRUE(blendedLayer(a, {a}, 0, "CISourceOverCompositing", a));
}

TEST(ResampledBytes, OpaqueEightBitSourcesMatchTheReferenceLoop) {
  // Turned and upright resampling read opaque 8-bit sources as bytes; the
  // reference loop reads them as floats. Windows inside the source and
  // across its edges.
  const int w = 53, h = 37;
  auto bytes = bytePattern(w, h);
  const Image src = Image::fromPixels(bytes, bytes->data(), w, h, 8, static_cast<std::size_t>(w) * 4);
  const Affine transforms[] = {Affine::rotation(0.21).then(Affine::scale(2, 2)).then(Affine::translation(5.3, -2.2)),
                               Affine::rotation(-2.5).then(Affine::scale(0.8, 1.7)),
                               Affine::scale(2.5, 2).then(Affine::translation(0.25, 0.5)),
                               Affine::scale(5, 5)};
  for (const Affine& t : transforms) {
    const Image fast = src.transformed(t), reference = transformedByGeneralLoop(src, t);
    const PixelRect whole = pixelsTouching(fast.extent());
    const PixelRect inner{whole.x + whole.width / 3, whole.y + whole.height / 3, whole.width / 3, whole.height / 3};
    for (const PixelRect& window : {whole, inner})
      EXPECT_LT(worstPremultipliedDifference(fast, reference, window), 1e-5) << t.a << " " << t.b;
    // Premultiplied tiles hand out what premultiplying the plain ones gives.
    TileBuffer plain = renderToBuffer(*fast.node(), whole);
    TileBuffer premultiplied = renderPremultipliedToBuffer(*fast.node(), whole);
    premultiplyPixels(plain.pixels.data(), plain.pixels.size() / 4);
    double worst = 0;
    for (std::size_t i = 0; i < plain.pixels.size(); ++i)
      worst = std::max(worst, std::fabs(double(plain.pixels[i]) - premultiplied.pixels[i]));
    EXPECT_LT(worst, 1e-6);
  }
}

TEST(RenderOutput, EightBitConversionOfPlainAndPremultipliedTiles) {
  // Every row length leaves a different tail after the eight-pixel steps;
  // values outside 0..1 and NaN clamp. A plain float image converts exactly
  // as quantizePixel8; a blended layer, which hands out premultiplied
  // colour, within one level of that.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int width : {1, 7, 8, 9, 23}) {
    const Image image = floatImage(width, 3, [&](int x, int y) {
      const float v = (x * 0.37f + y * 0.21f) - 0.4f;
      return Color{v, x == 2 ? nan : 1 - v, 0.5f, y == 1 ? 0.5f + v : 1.0f};
    });
    const Image layer = floatImage(width, 3, [](int x, int) { return Color{0.9f, 0.1f, x / 10.0f, 0.7f}; });
    const Image blended = *blendedLayer(layer, {}, 0.5, "CIScreenBlendMode", image);
    for (const Image* subject : {&image, &blended}) {
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * 3 * 4);
      render(*subject, {0, 0, width, 3}, PixelFormat::rgba8, bytes.data(), static_cast<std::size_t>(width) * 4);
      const std::vector<float> floats = renderFloat(*subject, {0, 0, width, 3});
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < width; ++x) {
          std::uint8_t want[4];
          quantizePixel8(floats.data() + (static_cast<std::size_t>(y) * width + x) * 4, want);
          const std::uint8_t* got = bytes.data() + (static_cast<std::size_t>(2 - y) * width + x) * 4;
          for (int k = 0; k < 4; ++k) {
            if (subject == &image)
              EXPECT_EQ(got[k], want[k]) << width << " " << x << "," << y << " " << k;
            else
              EXPECT_NEAR(got[k], want[k], 1) << width << " " << x << "," << y << " " << k;
          }
        }
    }
  }
}

namespace {

// The levels CIBlendWithMask reads from a render of `image` over `rect`.
std::vector<float> levelsOfRender(const Image& image, const PixelRect& rect) {
  const std::vector<float> pixels = renderFloat(image, rect);
  std::vector<float> levels(pixels.size() / 4);
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const float* p = pixels.data() + i * 4;
    const float v = p[3] * (0.2126f * p[0] + 0.7152f * p[1] + 0.0722f * p[2]);
    levels[i] = v > 0 ? (v < 1 ? v : 1.0f) : 0.0f;
  }
  return levels;
}

// How far the levels `mask` gives over `window` (kept in `levels`) lie from
// those of a render of `plain`, the same image by way of the filters; the
// two images must render alike too. Infinity when `mask` gives no levels.
double worstLevelDifference(const Image& mask, const Image& plain, const PixelRect& window,
                            std::vector<float>& levels) {
  EXPECT_LT(worstPremultipliedDifference(mask, plain, window), 1e-6);
  levels.assign(static_cast<std::size_t>(window.width * window.height), -1);
  if (!mask.node()->renderMaskLevels(window, levels.data())) return std::numeric_limits<double>::infinity();
  const std::vector<float> expected = levelsOfRender(plain, window);
  double worst = 0;
  for (std::size_t i = 0; i < levels.size(); ++i) worst = std::max(worst, std::fabs(double(levels[i]) - expected[i]));
  return worst;
}

}  // namespace

TEST(PlacedMask, GivesTheLevelsOfItsFourChannelRenderFromGreyPlanes) {
  // Hard edges (the bicubic overshoot), clear and translucent pixels, and a
  // placement whose frame runs past the picture (taps outside it count 0).
  const Image picture = floatImage(23, 17, [](int x, int y) {
    const bool bright = (x / 3 + y / 2) % 2 == 0;
    return Color{bright ? 1.0f : 0.05f, x / 23.0f, y / 17.0f, x == 4 ? 0.0f : (y > 12 ? 0.35f : 1.0f)};
  });
  const Rect frame = Rect::make(-3, -2, 90, 60);
  const Affine placement = Affine::scale(3.7, 3.1).then(Affine::translation(-1.3, 0.6));
  const PixelRect window{-6, -5, 96, 68};
  for (bool inverted : {false, true}) {
    auto mask = placedMask(picture, placement, frame, inverted);
    ASSERT_TRUE(mask);
    Image plain = picture.transformed(placement).cropped(frame);
    if (inverted) plain = filtered("CIColorInvert", {{kInputImageKey, plain}});
    std::vector<float> levels;
    EXPECT_LT(worstLevelDifference(*mask, plain, window, levels), 2e-6) << inverted;
    // Inside the frame the levels vary (the test reads real pixels).
    EXPECT_NE(*std::min_element(levels.begin(), levels.end()), *std::max_element(levels.begin(), levels.end()));
  }
}

TEST(PlacedMask, ARampedGreyMaskGivesTheLevelsOfTheRampFilters) {
  // A grey, partly translucent picture whose values cross the ramp's 0 and
  // 1 (2v − 1 clamps below 0.5); a coloured one keeps its render.
  const Image grey = floatImage(19, 13, [](int x, int y) {
    const float v = ((x * 7 + y * 3) % 11) / 10.0f;
    return Color{v, v, v, y < 3 ? 0.5f : 1.0f};
  });
  const Rect frame = Rect::make(0, 0, 80, 50);
  const Affine placement = Affine::scale(4.4, 4.1).then(Affine::translation(-2.5, -1));
  const PixelRect window{0, 0, 80, 50};
  for (bool inverted : {false, true}) {
    auto mask = placedMask(grey, placement, frame, inverted, LevelRamp{2, -1});
    ASSERT_TRUE(mask);
    Image plain = filtered("CIColorMatrix", {{kInputImageKey, grey.transformed(placement).cropped(frame)},
                                             {"inputRVector", Vector{{2, 0, 0, 0}}},
                                             {"inputGVector", Vector{{0, 2, 0, 0}}},
                                             {"inputBVector", Vector{{0, 0, 2, 0}}},
                                             {"inputAVector", Vector{{0, 0, 0, 1}}},
                                             {"inputBiasVector", Vector{{-1, -1, -1, 0}}}});
    plain = filtered("CIColorClamp", {{kInputImageKey, plain},
                                      {"inputMinComponents", Vector{{0, 0, 0, 0}}},
                                      {"inputMaxComponents", Vector{{1, 1, 1, 1}}}});
    if (inverted) plain = filtered("CIColorInvert", {{kInputImageKey, plain}});
    std::vector<float> levels;
    EXPECT_LT(worstLevelDifference(*mask, plain, window, levels), 1e-5) << inverted;
    // The ramp clamps some levels to 0 and leaves others between.
    EXPECT_GT(std::count(levels.begin(), levels.end(), 0.0f), 0);
    EXPECT_GT(std::count_if(levels.begin(), levels.end(), [](float l) { return l > 0.1f && l < 0.9f; }), 0);
  }
  const Image coloured = floatImage(19, 13, [](int x, int) { return Color{x / 19.0f, 0.2f, 0.7f, 1}; });
  auto mask = placedMask(coloured, placement, frame, false, LevelRamp{2, -1});
  ASSERT_TRUE(mask);
  float level = 0;
  EXPECT_FALSE(mask->node()->renderMaskLevels({3, 3, 1, 1}, &level));
}

TEST(PlacedMask, KeepsALayerAsTheInvertedMaskDoesAndTurnedPlacementsRenderAsTheyAre) {
  const Rect frame = Rect::make(0, 0, 64, 48);
  const Image layer = floatImage(64, 48, [](int x, int y) { return Color{0.9f, x / 64.0f, y / 48.0f, 1}; });
  const Image background = floatImage(64, 48, [](int x, int) { return Color{0.3f, 0.6f, x / 64.0f, 1}; });
  const Image picture = floatImage(16, 12, [](int x, int y) { return Color{x / 15.0f, y / 11.0f, 0.5f, 1}; });
  const Affine upright = Affine::scale(4, 4);
  auto mask = placedMask(picture, upright, frame, true);
  ASSERT_TRUE(mask);
  const Image plainMask = filtered("CIColorInvert", {{kInputImageKey, picture.transformed(upright).cropped(frame)}});
  auto fast = blendedLayer(layer, {*mask}, 0.8, "CIScreenBlendMode", background);
  auto plain = blendedLayer(layer, {plainMask}, 0.8, "CIScreenBlendMode", background);
  ASSERT_TRUE(fast && plain);
  const PixelRect whole{0, 0, 64, 48};
  EXPECT_LT(worstPremultipliedDifference(*fast, *plain, whole), 1e-5);
  // A turned mask has no grey planes: its levels come from its render.
  auto turned = placedMask(picture, Affine::rotation(0.2).then(upright), frame, true);
  ASSERT_TRUE(turned);
  float level = 0;
  EXPECT_FALSE(turned->node()->renderMaskLevels({5, 5, 1, 1}, &level));
  EXPECT_FALSE(placedMask(picture, Affine::scale(0, 1), frame, true));
}
