// The scratches effect: the seeded generator, counts, region and layers, and
// the whole effect on a picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <future>
#include <memory>

#include "local_effects.h"
#include "options.h"
#include "scratches.h"

namespace {

using namespace tonesmith;

LocalEffect effectOf(const std::string& text) {
  auto effects = readLocalEffects(*json::parse(text, {}));
  EXPECT_EQ(effects.size(), 1u) << text;
  return effects.empty() ? LocalEffect{} : effects[0];
}

std::string scratches(const std::string& extra) {
  return R"([{"kind":"scratches","opacity":1,)" + extra +
         R"("strokes":[{"radius":0.1,"points":[{"x":0.3,"y":0.5},{"x":0.7,"y":0.5}]}]}])";
}

// The shade layer's grey levels and the highlight layer's alphas.
std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> layersOf(const std::string& text,
                                                                         MaskSize size = {300, 200}) {
  auto layers = drawScratchLayers(effectOf(text), size);
  EXPECT_TRUE(layers);
  if (!layers) return {};
  return {layers->shade.bytes(), layers->highlight.bytes()};
}

TEST(ScratchRandom, IsTheSeededCongruentialGenerator) {
  const std::uint64_t a = 6364136223846793005ULL, c = 1442695040888963407ULL;
  std::uint64_t s = 7 * a + c;
  ScratchRandom random(7);
  EXPECT_DOUBLE_EQ(random.current(), double(s >> 33) / 2147483647.0);
  for (int i = 0; i < 5; ++i) {
    s = s * a + c;
    const double v = random.draw();
    EXPECT_DOUBLE_EQ(v, double(s >> 33) / 2147483647.0);
    EXPECT_GE(v, 0);
    EXPECT_LE(v, 1);
  }
  ScratchRandom zero(0), one(1);
  EXPECT_EQ(zero.draw(), one.draw());
}

TEST(ScratchLayers, TheSameRequestGivesTheSameDamageAndSeedsBelowOneCountAsOne) {
  const auto first = layersOf(scratches(R"("seed":1,)"));
  const auto again = layersOf(scratches(R"("seed":1,)"));
  EXPECT_EQ(first.first, again.first);
  EXPECT_EQ(first.second, again.second);
  for (const char* seed : {R"("seed":0,)", R"("seed":-5,)", ""}) {
    const auto other = layersOf(scratches(seed));
    EXPECT_EQ(other.first, first.first) << seed;
    EXPECT_EQ(other.second, first.second) << seed;
  }
  EXPECT_NE(layersOf(scratches(R"("seed":2,)")).second, first.second);
  // Something was drawn on both layers.
  int lit = 0, shaded = 0;
  for (std::size_t i = 0; i < first.first.size(); ++i) {
    lit += first.second[i] > 0;
    shaded += first.first[i] > 0;
  }
  EXPECT_GT(lit, 200);
  EXPECT_GT(shaded, 200);
}

TEST(ScratchLayers, AreTheSameDrawnOnAnyNumberOfThreads) {
  // Dense enough for several batches of candidates.
  const LocalEffect effect = effectOf(R"([{"kind":"scratches","opacity":0.9,"densityScale":30,"seed":4,)"
                                      R"("strokes":[{"radius":0.2,"points":[{"x":0.1,"y":0.5},{"x":0.9,"y":0.5}]}]}])");
  const MaskSize size{250, 150};
  ASSERT_GT(scratchCounts(effect, size, scratchRegion(effect, size)).candidates, 2 * 65536);
  auto one = drawScratchLayers(effect, size, 1);
  ASSERT_TRUE(one);
  for (int threads : {2, 5}) {
    auto more = drawScratchLayers(effect, size, threads);
    ASSERT_TRUE(more);
    EXPECT_TRUE(more->shade.bytes() == one->shade.bytes()) << threads;
    EXPECT_TRUE(more->highlight.bytes() == one->highlight.bytes()) << threads;
  }
}

TEST(ScratchCounts, AreHeldWithinTheirLimits) {
  const MaskSize size{300, 200};
  LocalEffect faint = effectOf(scratches(R"("amount":1,)"));
  auto counts = scratchCounts(faint, size, scratchRegion(faint, size));
  EXPECT_GE(counts.candidates, 48);
  EXPECT_GE(counts.specks, 24);
  LocalEffect capped = effectOf(scratches(R"("densityScale":100,)"));
  LocalEffect fifty = effectOf(scratches(R"("densityScale":50,)"));
  const auto c100 = scratchCounts(capped, size, scratchRegion(capped, size));
  const auto c50 = scratchCounts(fifty, size, scratchRegion(fifty, size));
  EXPECT_EQ(c100.candidates, c50.candidates);
  EXPECT_GE(c50.candidates, 240);
  LocalEffect huge = effectOf(scratches(R"("densityScale":50,)"));
  const MaskSize big{4096, 4096};
  const auto many = scratchCounts(huge, big, {0, 0, 4096, 4096});
  EXPECT_LE(many.candidates, 900000);
  EXPECT_LE(many.specks, 60000);
}

TEST(ScratchRegion, IsTheStrokeSquaresGrownAndKeptOnTheMask) {
  const MaskSize size{300, 200};
  const LocalEffect corner =
      effectOf(R"([{"kind":"scratches","strokes":[{"radius":0.05,"points":[{"x":0.01,"y":0.02}]}]}])");
  const ScratchRegion z = scratchRegion(corner, size);
  EXPECT_DOUBLE_EQ(z.x, 0);
  EXPECT_DOUBLE_EQ(z.width, 3 + 10 + 3);  // 0.01·300 + r·m + 0.015·m
  EXPECT_DOUBLE_EQ(z.y + z.height, 200);
  EXPECT_DOUBLE_EQ(z.y, 196 - 10 - 3);
  // The damage starts inside the region; streaks reach at most about
  // 0.14 m beyond it.
  auto layers = drawScratchLayers(corner, size);
  ASSERT_TRUE(layers);
  const graphics::CoveragePlane& highlight = layers->highlight;
  int inside = 0, outside = 0;
  for (int y = 0; y < highlight.height(); ++y)
    for (int x = 0; x < highlight.width(); ++x) {
      if (!highlight.row(y)[x]) continue;
      const double maskY = highlight.height() - y - 0.5;
      (x < z.x + z.width + 30 && maskY > z.y - 30 ? inside : outside)++;
    }
  EXPECT_GT(inside, 0);
  EXPECT_EQ(outside, 0);
}

TEST(ScratchLayers, OpacityWeakensTheMarksButKeepsTheirNumber) {
  const auto full = layersOf(scratches(""));
  const auto half = layersOf(R"([{"kind":"scratches","opacity":0.5,)"
                             R"("strokes":[{"radius":0.1,"points":[{"x":0.3,"y":0.5},{"x":0.7,"y":0.5}]}]}])");
  int maxFull = 0, maxHalf = 0, countFull = 0, countHalf = 0;
  for (std::size_t i = 0; i < full.second.size(); ++i) {
    maxFull = std::max<int>(maxFull, full.second[i]);
    maxHalf = std::max<int>(maxHalf, half.second[i]);
    countFull += full.second[i] > 2;
    countHalf += half.second[i] > 1;
  }
  EXPECT_GT(maxFull, 200);
  EXPECT_LT(maxHalf, maxFull * 0.7);
  EXPECT_NEAR(countHalf, countFull, countFull * 0.1);
}

TEST(ScratchEffect, RendersIdenticallyTwiceAndChangesThePictureOnlyNearTheStroke) {
  auto render = [](const std::string& effects) {
    Settings s;
    s.localEffects = json::parse(effects, {});
    setSettings(s);
    RenderState state;
    state.image = coreimage::Image::constantColor({0.4f, 0.45f, 0.5f, 1}).cropped(coreimage::Rect::make(0, 0, 300, 200));
    applyLocalEffects(state);
    std::vector<std::uint8_t> px(300 * 200 * 4);
    coreimage::render(state.image, {0, 0, 300, 200}, coreimage::PixelFormat::rgba8, px.data(), 300 * 4);
    return px;
  };
  const auto a = render(scratches(R"("seed":3,)"));
  EXPECT_EQ(a, render(scratches(R"("seed":3,)")));
  const auto plain = render("[]");
  int changed = 0, changedFar = 0;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 300; ++x) {
      const std::size_t i = (std::size_t(y) * 300 + x) * 4;
      if (a[i] == plain[i] && a[i + 1] == plain[i + 1]) continue;
      ++changed;
      if (y < 40 || y > 160 || x < 40 || x > 260) ++changedFar;
    }
  EXPECT_GT(changed, 300);
  EXPECT_EQ(changedFar, 0);
}

// The ragged mask worked on planes against the filter chain it stands for,
// the reference definition. The broad stroke holds rows 256..383 wholly
// inside its core, the top rows (640..699) lie wholly outside, the rest
// holds the transition.
TEST(RaggedMask, MatchesTheFilterChainWithinALevelOrTwo) {
  const MaskSize size{1100, 700};
  const LocalEffect effect = effectOf(R"([{"kind":"scratches","seed":12,"strokes":[)"
                                      R"({"radius":0.2,"points":[{"x":0,"y":0.5429},{"x":1,"y":0.5429}]},)"
                                      R"({"radius":0.05,"points":[{"x":0.9,"y":0.8}]}]}])");
  auto canvas = rasterizeStrokes(effect, size);
  ASSERT_TRUE(canvas);
  const MaterializedMask mask = canvasMask(*canvas);
  const MaterializedMask ragged = raggedAreaMask(effect, mask, size);

  // The reference: the core (the eroded and softened mask) and the chain.
  const coreimage::Rect extent = coreimage::Rect::make(0, 0, size.width, size.height);
  const double rho = std::max(std::min(0.02 * size.shorter(), 0.35 * 0.2 * size.shorter()), 1.0);  // 14
  auto eroded = filtered("CIMorphologyMinimum", {{coreimage::kInputImageKey, mask.image.clampedToExtent()},
                                                 {coreimage::kInputRadiusKey, rho}});
  ASSERT_TRUE(eroded);
  auto soft = blurredWithinExtent(*materialized(eroded->cropped(extent), size), rho, extent);
  ASSERT_TRUE(soft);
  const coreimage::Image core = *materialized(*soft, size);
  auto matrix = [](const coreimage::Image& image, coreimage::Vector r, coreimage::Vector g, coreimage::Vector b,
                   coreimage::Vector a, coreimage::Vector bias) {
    return *filtered("CIColorMatrix", {{coreimage::kInputImageKey, image}, {"inputRVector", r}, {"inputGVector", g},
                                       {"inputBVector", b}, {"inputAVector", a}, {"inputBiasVector", bias}});
  };
  auto pairOf = [](const char* name, const coreimage::Image& input, const coreimage::Image& background) {
    return *filtered(name, {{coreimage::kInputImageKey, input}, {coreimage::kInputBackgroundImageKey, background}});
  };
  using V = coreimage::Vector;
  const V zero{{0, 0, 0, 0}}, alphaOnly{{0, 0, 0, 1}}, redOnly{{1, 0, 0, 0}};
  const coreimage::Image grey = matrix(core, alphaOnly, alphaOnly, alphaOnly, zero, alphaOnly);
  const coreimage::Image band =
      pairOf("CIMultiplyCompositing", grey, *filtered("CIColorInvert", {{coreimage::kInputImageKey, grey}}));
  auto gainOf = [&](const coreimage::Image& image, double k) {
    return matrix(image, V{{k, 0, 0, 0}}, V{{0, k, 0, 0}}, V{{0, 0, k, 0}}, alphaOnly, zero);
  };
  const coreimage::Image field =
      filtered("CIRandomGenerator", {})->translated(std::fmod(12.0, 997), std::fmod(12.0, 613)).cropped(extent);
  auto noiseSoft = blurredWithinExtent(matrix(field, redOnly, redOnly, redOnly, zero, alphaOnly),
                                       std::max(0.006 * size.shorter(), 1.5), extent);
  ASSERT_TRUE(noiseSoft);
  const coreimage::Image noise =
      *filtered("CIColorControls", {{coreimage::kInputImageKey, *noiseSoft}, {"inputContrast", 4.0}});
  const coreimage::Image sum =
      pairOf("CIAdditionCompositing", gainOf(pairOf("CIMultiplyCompositing", noise, band), 3.6), grey);
  const coreimage::Image clamped = *filtered("CIColorClamp", {{coreimage::kInputImageKey,
                                                               pairOf("CISubtractBlendMode", gainOf(band, 1.8), sum)}});
  const coreimage::Image white = matrix(clamped, zero, zero, zero, V{{1, 0, 0, 0}}, V{{1, 1, 1, 0}});
  auto expected = materializedMask(white.cropped(extent), size);
  ASSERT_TRUE(expected);
  ASSERT_EQ(ragged.pixels->size(), expected->pixels->size());
  // Alpha within a couple of levels (the blur's float rounding differs a
  // little from the tiles'), white wherever there is any.
  int worst = 0, off = 0;
  for (std::size_t i = 0; i < ragged.pixels->size(); i += 4) {
    const int a = (*ragged.pixels)[i + 3], d = std::abs(a - int((*expected->pixels)[i + 3]));
    worst = std::max(worst, d);
    off += d > 0;
    ASSERT_EQ((*ragged.pixels)[i], a ? 255 : 0);
  }
  EXPECT_LE(worst, 2);
  EXPECT_LT(off, int(ragged.pixels->size() / 4 / 10));
  // Both settled values and a transition occur.
  int inside = 0, outside = 0, between = 0;
  for (std::size_t i = 3; i < ragged.pixels->size(); i += 4) {
    const int a = (*ragged.pixels)[i];
    (a == 255 ? inside : a == 0 ? outside : between)++;
  }
  EXPECT_GT(inside, 1024 * 64);
  EXPECT_GT(outside, 1024 * 60);
  EXPECT_GT(between, 1000);
}

// The compositing in one pass against the filter chain it stands for, with
// the mask half the picture's size so that the layers are stretched, over
// an opaque picture and a partly transparent one.
TEST(ScratchEffect, OnePassCompositingMatchesTheFilterChain) {
  for (const std::uint8_t pictureAlpha : {255, 128}) {
    const MaskSize size{150, 100};
    const int width = 300, height = 200;
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(std::size_t(width) * height * 4);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        std::uint8_t* p = bytes->data() + (std::size_t(y) * width + x) * 4;
        p[0] = std::uint8_t(x * 255 / width);
        p[1] = std::uint8_t(y * 255 / height);
        p[2] = std::uint8_t((x + y) % 256);
        p[3] = x < width / 2 ? 255 : pictureAlpha;
      }
    const coreimage::Image picture = coreimage::Image::fromPixels(bytes, bytes->data(), width, height, 8, width * 4);
    const LocalEffect effect = effectOf(scratches(R"("seed":5,"densityScale":20,)"));
    auto canvas = rasterizeStrokes(effect, size);
    ASSERT_TRUE(canvas);
    const MaterializedMask mask = canvasMask(*canvas);
    auto layers = drawScratchLayers(effect, size);
    ASSERT_TRUE(layers);
    const auto shadeImage = layerImage(layers->shade, false), highlightImage = layerImage(layers->highlight, true);
    ASSERT_TRUE(shadeImage && highlightImage);

    RenderState state;
    state.image = picture;
    std::promise<std::optional<ScratchLayers>> drawn;
    drawn.set_value(std::move(layers));
    applyScratches(state, effect, mask, size, drawn.get_future());

    const coreimage::Rect extent = coreimage::Rect::make(0, 0, width, height);
    const coreimage::Rect maskExtent = coreimage::Rect::make(0, 0, size.width, size.height);
    const coreimage::Image ragged = raggedAreaMask(effect, mask, size).image;
    auto blend = [](const coreimage::Image& input, const coreimage::Image& background, const coreimage::Image& m) {
      return *filtered("CIBlendWithMask", {{coreimage::kInputImageKey, input},
                                           {coreimage::kInputBackgroundImageKey, background},
                                           {coreimage::kInputMaskImageKey, m}});
    };
    const coreimage::Image streaks =
        blend(*shadeImage, coreimage::Image::constantColor({0, 0, 0, 1}).cropped(maskExtent), ragged);
    const coreimage::Image marks =
        blend(*highlightImage, coreimage::Image::constantColor({0, 0, 0, 0}).cropped(maskExtent), ragged);
    const coreimage::Image faded = *filtered("CIColorControls", {{coreimage::kInputImageKey, picture},
                                                                 {"inputSaturation", 0.08},
                                                                 {"inputBrightness", 0.18},
                                                                 {"inputContrast", 0.78}});
    const coreimage::Image base = blend(faded, picture, *placeOverPicture(streaks.cropped(maskExtent), size, extent));
    const coreimage::Image expected =
        *filtered("CISourceOverCompositing", {{coreimage::kInputImageKey, *placeOverPicture(marks.cropped(maskExtent), size, extent)},
                                              {coreimage::kInputBackgroundImageKey, base.cropped(extent)}});
    std::vector<std::uint8_t> got(bytes->size()), want(bytes->size()), plain(bytes->size());
    coreimage::render(state.image, {0, 0, width, height}, coreimage::PixelFormat::rgba8, got.data(), width * 4);
    coreimage::render(expected, {0, 0, width, height}, coreimage::PixelFormat::rgba8, want.data(), width * 4);
    coreimage::render(picture, {0, 0, width, height}, coreimage::PixelFormat::rgba8, plain.data(), width * 4);
    int worst = 0, changed = 0;
    for (int y = 2; y < height - 2; ++y)  // the chain fades the marks over the outermost pixels
      for (int x = 2; x < width - 2; ++x)
        for (int k = 0; k < 4; ++k) {
          const std::size_t i = (std::size_t(y) * width + x) * 4 + k;
          worst = std::max(worst, std::abs(int(got[i]) - int(want[i])));
          changed += got[i] != plain[i];
        }
    EXPECT_LE(worst, 1) << int(pictureAlpha);
    EXPECT_GT(changed, 2000);
  }
}

// The noise moves with the seed by (seed mod 997, seed mod 613): seeds
// 997 × 613 apart give the same edge, neighbouring seeds another; the core
// (settled inside and outside) is the same for all.
TEST(RaggedMask, TheSeedShiftsOnlyTheRaggedEdge) {
  const MaskSize size{240, 160};
  auto raggedOf = [&](long long seed) {
    const LocalEffect effect = effectOf(R"([{"kind":"scratches","seed":)" + std::to_string(seed) +
                                        R"(,"strokes":[{"radius":0.2,"points":[{"x":0.3,"y":0.5},{"x":0.6,"y":0.5}]}]}])");
    auto canvas = rasterizeStrokes(effect, size);
    EXPECT_TRUE(canvas);
    return *raggedAreaMask(effect, canvasMask(*canvas), size).pixels;
  };
  const auto a = raggedOf(12), same = raggedOf(12 + 997 * 613), other = raggedOf(13);
  EXPECT_EQ(a, same);
  int differ = 0, settledDiffer = 0;
  for (std::size_t i = 3; i < a.size(); i += 4) {
    differ += a[i] != other[i];
    settledDiffer += (a[i] == 0 || a[i] == 255) && (other[i] == 0 || other[i] == 255) && a[i] != other[i];
  }
  EXPECT_GT(differ, 100);
  EXPECT_EQ(settledDiffer, 0);
  // raggedAlpha: the core itself where it is settled, pushed either way by
  // the noise in between.
  EXPECT_EQ(raggedAlpha(0, 3), 0);
  EXPECT_EQ(raggedAlpha(1, -3), 1);
  EXPECT_FLOAT_EQ(raggedAlpha(0.5f, 0.5f), 0.5f);
  EXPECT_GT(raggedAlpha(0.5f, 1), 0.5f);
  EXPECT_LT(raggedAlpha(0.5f, 0), 0.5f);
}

}  // namespace
