// Local effects: reading the effect records, mask sizing, brush tips,
// stamping along strokes, erasing, and the stage on a picture.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>

#include "local_effects.h"
#include "node.h"
#include "options.h"

namespace {

using namespace tonesmith;

json::Value parsed(const char* text) { return *json::parse(text, {}); }

int coveredPixels(const CoverageCanvas& canvas) {
  return static_cast<int>(std::count_if(canvas.alpha.begin(), canvas.alpha.end(), [](std::uint8_t a) { return a > 0; }));
}

TEST(LocalEffectRecords, DefaultsClampsAndMalformedEntries) {
  auto effects = readLocalEffects(parsed(R"([
    {"strokes":[{"points":[{"x":0.5,"y":0.5}]}]},
    {"kind":"scratches","opacity":7,"feather":0.5,"seed":-5,"densityScale":100,"brushShape":"bristle",
     "strokes":[{"radius":1e308,"points":[{"x":-3,"y":2},{"x":0.1},{"y":0.2},"p",{"x":"1","y":0}]},
                {"points":[]}, 5, {"shape":"soft-spot","erase":true,"radius":0,"points":[{"x":0.2,"y":0.3}]}]},
    {"strokes":[]}, {"strokes":"no"}, {"kind":"blur"}, 3, null,
    {"opacity":"high","seed":2.5,"strokes":[{"erase":"yes","points":[{"x":0.1,"y":0.1}]}]}
  ])"));
  ASSERT_EQ(effects.size(), 3u);
  EXPECT_EQ(effects[0].kind, "blur");
  EXPECT_EQ(effects[0].opacity, 0.75);
  EXPECT_EQ(effects[0].strokes[0].radius, 0.015);
  EXPECT_EQ(effects[0].strokes[0].shape, "round");
  EXPECT_FALSE(effects[0].strokes[0].rawRadius);

  const LocalEffect& s = effects[1];
  EXPECT_EQ(s.opacity, 1);
  EXPECT_EQ(s.feather, 0.1);
  EXPECT_EQ(s.seedValue, -5);
  EXPECT_EQ(s.generatorSeed, 1u);
  EXPECT_EQ(*s.densityScale, 100);  // clamped where it is used
  ASSERT_EQ(s.strokes.size(), 2u);
  ASSERT_EQ(s.strokes[0].points.size(), 1u);  // points lacking a number are dropped
  EXPECT_EQ(s.strokes[0].points[0].x, 0);
  EXPECT_EQ(s.strokes[0].points[0].y, 1);
  EXPECT_EQ(s.strokes[0].radius, 0.2);
  EXPECT_EQ(*s.strokes[0].rawRadius, 1e308);
  EXPECT_EQ(s.strokes[0].shape, "bristle");
  EXPECT_EQ(s.strokes[1].shape, "soft-spot");
  EXPECT_EQ(s.strokes[1].radius, 0.0005);
  EXPECT_TRUE(s.strokes[1].erase);

  EXPECT_EQ(effects[2].opacity, 0.75);
  EXPECT_EQ(effects[2].seedValue, 1);  // not an integer
  EXPECT_FALSE(effects[2].strokes[0].erase);

  EXPECT_TRUE(readLocalEffects(parsed(R"({"strokes":[]})")).empty());
}

TEST(CoverageMask, IsAtMost4096OnTheLongerSide) {
  auto size = coverageMaskSize(10000, 5000);
  EXPECT_EQ(size.width, 4096);
  EXPECT_EQ(size.height, 2048);
  size = coverageMaskSize(4000, 3000);
  EXPECT_EQ(size.width, 4000);
  EXPECT_EQ(size.height, 3000);
  EXPECT_EQ(size.shorter(), 3000);
  size = coverageMaskSize(100000, 3);
  EXPECT_EQ(size.width, 4096);
  EXPECT_EQ(size.height, 1);
}

double tipCoverage(const BrushTip& tip, int row, int column) { return 1 - tip[row * kTipSide + column] / 255.0; }

// Standard Base64 with padding.
std::string base64(const std::string& raw) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < raw.size(); i += 3) {
    unsigned v = unsigned(std::uint8_t(raw[i])) << 16;
    if (i + 1 < raw.size()) v |= unsigned(std::uint8_t(raw[i + 1])) << 8;
    if (i + 2 < raw.size()) v |= std::uint8_t(raw[i + 2]);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += i + 1 < raw.size() ? alphabet[(v >> 6) & 63] : '=';
    out += i + 2 < raw.size() ? alphabet[v & 63] : '=';
  }
  return out;
}

TEST(BrushTips, GeneratedAndImportedShapes) {
  const BrushTip round = makeBrushMask("round", "");
  ASSERT_EQ(round.size(), 4096u);
  EXPECT_EQ(round[31 * 64 + 31], 0);  // full coverage in the middle
  EXPECT_EQ(round[0], 255);           // none in the corner
  EXPECT_EQ(round[31 * 64 + 0], 255); // r = 0.984, outside the disc
  EXPECT_EQ(makeBrushMask("sharpen", ""), round);
  EXPECT_EQ(makeBrushMask("imported", ""), round);

  // An imported tip of exactly 4096 bytes is used as it is; 4095 bytes is not.
  std::string bytes(4096, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 251);
  const BrushTip imported = makeBrushMask("imported", base64(bytes));
  EXPECT_EQ(std::string(imported.begin(), imported.end()), bytes);
  EXPECT_EQ(makeBrushMask("imported", base64(bytes.substr(1))), round);
  EXPECT_EQ(makeBrushMask("imported", base64(bytes) + " "), round);

  // Bristle and dry-brush streaks run along the rows: within the body the
  // coverage changes more from row to row than from column to column.
  for (const char* shape : {"bristle", "dry-brush"}) {
    const BrushTip tip = makeBrushMask(shape, "");
    double acrossRows = 0, alongRows = 0;
    for (int i = 20; i < 44; ++i)
      for (int j = 20; j < 44; ++j) {
        acrossRows += std::fabs(tipCoverage(tip, i + 1, j) - tipCoverage(tip, i, j));
        alongRows += std::fabs(tipCoverage(tip, i, j + 1) - tipCoverage(tip, i, j));
      }
    EXPECT_GT(acrossRows, 2 * alongRows) << shape;
  }
  // The soft spot fades out gradually; the ink blot has holes.
  const BrushTip soft = makeBrushMask("soft-spot", "");
  EXPECT_GT(tipCoverage(soft, 31, 31), 0.9);
  EXPECT_GT(tipCoverage(soft, 31, 8), 0.05);
  EXPECT_LT(tipCoverage(soft, 31, 8), 0.8);
  const BrushTip blot = makeBrushMask("ink-blot", "");
  EXPECT_NEAR(tipCoverage(blot, 26, 34), 0.15, 0.01);  // 31·26 + 17·34 = 4·173
  EXPECT_GT(tipCoverage(blot, 26, 35), 0.99);
}

// The same stamps drawn with the 2-D library (translate, rotate, clip to
// the tip as an image mask, fill the square; clear for erasing): the
// geometry, the tip's orientation and the levels agree to within rounding.
TEST(Stamping, StampsMatchTheTipClippedAndFilledWithThe2DLibrary) {
  for (const char* shape : {"round", "bristle", "ink-blot", "soft-spot"}) {
    const BrushTip tip = makeBrushMask(shape, "");
    BrushTip coverage(tip.size());
    for (std::size_t i = 0; i < tip.size(); ++i) coverage[i] = static_cast<std::uint8_t>(255 - tip[i]);
    auto clip = graphics::Mask::fromCoverage(kTipSide, kTipSide, coverage.data(), coverage.size());
    ASSERT_TRUE(clip);
    auto reference = graphics::Canvas::create(300, 200);
    reference->clear();
    CoverageCanvas canvas{300, 200, std::vector<std::uint8_t>(300 * 200, 0)};
    const StampTip prepared = stampTip(tip);
    for (int k = 0; k < 12; ++k) {
      const graphics::Point c{-20 + 29.7 * k, 210 - 19.3 * k};
      const double d = 12 + 13.1 * k, angle = -3 + 0.71 * k;
      const bool erase = k % 5 == 4;
      reference->saveState();
      reference->translate(c.x, c.y);
      reference->rotate(angle);
      const graphics::Rect square{-d / 2, -d / 2, d, d};
      reference->clipToMask(*clip, square);
      reference->setBlendMode(erase ? graphics::BlendMode::clear : graphics::BlendMode::normal);
      reference->fill(square, graphics::Color::grey(1));
      reference->restoreState();
      stampBrush(prepared, canvas, c, d, angle, erase, 0, 200);
    }
    const imageio::Raster r = reference->toRaster();
    int worst = 0, covered = 0;
    double total = 0;
    for (std::size_t i = 0; i < canvas.alpha.size(); ++i) {
      const int difference = std::abs(int(canvas.alpha[i]) - int(r.data[i * 4 + 3]));
      worst = std::max(worst, difference);
      total += difference;
      covered += canvas.alpha[i] > 0;
    }
    EXPECT_GT(covered, 10000) << shape;
    EXPECT_LE(worst, 8) << shape;
    EXPECT_LT(total / covered, 0.5) << shape;
  }
}

// A tip covered up to its border: the tip's top row lies at the top of the
// square (y up), and the square's edges are antialiased by their coverage
// of each pixel, once.
TEST(Stamping, TheSquaresEdgesAreAntialiasedAndTheTipIsUpright) {
  BrushTip gradient(kTipSide * kTipSide);  // full coverage at the top left, next to none at the bottom right
  for (int i = 0; i < kTipSide; ++i)
    for (int j = 0; j < kTipSide; ++j) gradient[i * kTipSide + j] = static_cast<std::uint8_t>(std::min(255, 2 * (i + j)));
  CoverageCanvas canvas{100, 100, std::vector<std::uint8_t>(100 * 100, 0)};
  stampBrush(stampTip(gradient), canvas, {50.5, 50}, 40, 0, false, 0, 100);  // x from 30.5 to 70.5, y from 30 to 70
  EXPECT_GE(canvas.at(31, 69), 245);
  EXPECT_LE(canvas.at(69, 30), 12);
  EXPECT_NEAR(canvas.at(30, 60), canvas.at(31, 60) / 2.0, 2);
  EXPECT_NEAR(canvas.at(70, 60), canvas.at(69, 60) / 2.0, 2);
  EXPECT_EQ(canvas.at(29, 60), 0);
  EXPECT_EQ(canvas.at(50, 70), 0);
  EXPECT_EQ(canvas.at(50, 29), 0);
  EXPECT_GT(canvas.at(50, 30), 0);
  // A quarter turn counter-clockwise brings the tip's top edge to the left.
  CoverageCanvas turned{100, 100, std::vector<std::uint8_t>(100 * 100, 0)};
  stampBrush(stampTip(gradient), turned, {50, 50}, 40, M_PI / 2, false, 0, 100);
  EXPECT_GE(turned.at(31, 31), 245);
  EXPECT_LE(turned.at(68, 68), 12);
}

TEST(Stamping, BandsOfRowsStampTheSameCanvasAsOnePass) {
  const StampTip tip = stampTip(makeBrushMask("ink-blot", ""));
  CoverageCanvas whole{160, 130, std::vector<std::uint8_t>(160 * 130, 0)}, banded = whole;
  for (int k = 0; k < 30; ++k) {
    const graphics::Point c{5.3 * k, 120 - 3.9 * k};
    const double d = 20 + 3.3 * k, angle = 0.4 * k;
    stampBrush(tip, whole, c, d, angle, k % 7 == 6, 0, 130);
    for (int first = 0; first < 130; first += 17) stampBrush(tip, banded, c, d, angle, k % 7 == 6, first, first + 17);
  }
  EXPECT_EQ(banded.alpha, whole.alpha);
  // Absurd stamps touch nothing and end.
  stampBrush(tip, whole, {1e300, -1e300}, 1e6, 0, false, 0, 130);
  stampBrush(tip, whole, {50, 50}, std::nan(""), 0, false, 0, 130);
  stampBrush(tip, whole, {50, 50}, 30, INFINITY, false, 0, 130);
  EXPECT_EQ(banded.alpha, whole.alpha);
}

TEST(Stamping, SpacingFollowsTheDiameterAndEveryInnerPointIsStampedTwice) {
  BrushStroke stroke;
  stroke.points = {{0, 0}, {1, 0}};
  const MaskSize size{4000, 3000};
  const double d = stampDiameter(stroke, size);
  EXPECT_DOUBLE_EQ(d, 90);
  auto stamps = strokeStamps(stroke, size, d, 1000000);
  ASSERT_TRUE(stamps);
  ASSERT_EQ(stamps->size(), 224u);  // ceil(4000 / 18) + 1
  EXPECT_DOUBLE_EQ(stamps->front().center.y, 3000);
  EXPECT_DOUBLE_EQ(stamps->back().center.x, 4000);
  EXPECT_NEAR((*stamps)[1].center.x - (*stamps)[0].center.x, 4000.0 / 223, 1e-9);
  EXPECT_EQ(stamps->front().angle, 0);

  stroke.points = {{0, 0}, {0.5, 0}, {0.5, 1}};
  stamps = strokeStamps(stroke, size, d, 1000000);
  ASSERT_TRUE(stamps);
  const std::size_t first = 112 + 1;  // ceil(2000 / 18) + 1
  EXPECT_DOUBLE_EQ((*stamps)[first - 1].center.x, (*stamps)[first].center.x);
  EXPECT_DOUBLE_EQ((*stamps)[first - 1].center.y, (*stamps)[first].center.y);
  EXPECT_NEAR((*stamps)[first].angle, -M_PI / 2, 1e-12);  // downward on the y-up mask
  EXPECT_FALSE(strokeStamps(stroke, size, d, 100));  // over the limit

  // Tiny brushes still advance by at least one pixel.
  stroke.radius = 0.0005;
  stroke.points = {{0, 0}, {0.01, 0}};
  stamps = strokeStamps(stroke, MaskSize{1000, 100}, stampDiameter(stroke, MaskSize{1000, 100}), 1000000);
  ASSERT_TRUE(stamps);
  EXPECT_EQ(stamps->size(), 11u);
}

LocalEffect effectOf(const char* text) {
  auto effects = readLocalEffects(parsed(text));
  EXPECT_EQ(effects.size(), 1u);
  return effects.empty() ? LocalEffect{} : effects[0];
}

TEST(Stamping, ADotHasTheStrokeDiameterAndErasingRemovesOnlyThatEffectsCoverage) {
  const MaskSize size{200, 100};
  auto dot = rasterizeStrokes(effectOf(R"([{"strokes":[{"radius":0.1,"points":[{"x":0.5,"y":0.5}]}]}])"), size);
  ASSERT_TRUE(dot);
  EXPECT_EQ(dot->at(100, 50), 255);
  EXPECT_EQ(dot->at(108, 50), 255);  // d = 20; the rim is soft
  EXPECT_EQ(dot->at(111, 50), 0);
  EXPECT_NEAR(coveredPixels(*dot), M_PI * 100, 40);

  const char* painted = R"([{"strokes":[{"radius":0.1,"points":[{"x":0.2,"y":0.5},{"x":0.8,"y":0.5}]},
      {"erase":true,"radius":0.1,"points":[{"x":0.5,"y":0.5},{"x":0.8,"y":0.5}]}]}])";
  auto erased = rasterizeStrokes(effectOf(painted), size);
  ASSERT_TRUE(erased);
  EXPECT_EQ(erased->at(60, 50), 255);
  EXPECT_EQ(erased->at(130, 50), 0);
  EXPECT_EQ(erased->at(130, 55), 0);
  EXPECT_EQ(erased->at(170, 50), 0);
}

// The coverage canvas as a mask image; the feather blurs it in memory: the
// same mask as the blur filter over the mask image, edges repeated, gives
// (to a level or two).
TEST(Stamping, TheCoverageCanvasAsAMaskAndFeathered) {
  const MaskSize size{300, 170};
  auto canvas = rasterizeStrokes(effectOf(R"([{"strokes":[{"radius":0.15,"points":[{"x":0.02,"y":0.1},{"x":0.7,"y":0.6}]},
      {"erase":true,"radius":0.05,"points":[{"x":0.4,"y":0.4}]}]}])"), size);
  ASSERT_TRUE(canvas);
  const MaterializedMask hard = canvasMask(*canvas);
  // The canvas read in place is the same mask image as its copy, with the
  // same coverage blocks.
  auto shared = std::make_shared<const CoverageCanvas>(*canvas);
  std::vector<std::uint8_t> inPlace(hard.pixels->size()), copied(hard.pixels->size());
  coreimage::render(coverageImage(shared), {0, 0, size.width, size.height}, coreimage::PixelFormat::rgba8,
                    inPlace.data(), std::size_t(size.width) * 4);
  coreimage::render(hard.image, {0, 0, size.width, size.height}, coreimage::PixelFormat::rgba8, copied.data(),
                    std::size_t(size.width) * 4);
  EXPECT_EQ(inPlace, copied);
  const coreimage::Rect picture = coreimage::Rect::make(0, 0, 1000, 560);
  const CoverageBlocks fromCanvas = CoverageBlocks::of(*canvas, picture), fromCopy = CoverageBlocks::of(hard, size, picture);
  int touched = 0;
  for (int y = 0; y < 560; y += 10)
    for (int x = 0; x < 1000; x += 10) {
      ASSERT_EQ(fromCanvas.touches({x, y, 10, 10}), fromCopy.touches({x, y, 10, 10})) << x << "," << y;
      touched += fromCanvas.touches({x, y, 10, 10});
    }
  EXPECT_GT(touched, 500);
  EXPECT_LT(touched, 4000);
  for (double sigma : {2.5, 17.0}) {
    auto soft = featheredCanvas(*canvas, sigma);
    ASSERT_TRUE(soft);
    auto reference = blurredWithinExtent(hard.image, sigma, coreimage::Rect::make(0, 0, size.width, size.height));
    ASSERT_TRUE(reference);
    auto expected = materializedMask(*reference, size);
    ASSERT_TRUE(expected);
    const MaterializedMask actual = canvasMask(*soft);
    int worst = 0, partial = 0, notWhite = 0;
    for (std::size_t i = 0; i < actual.pixels->size(); i += 4) {
      const int a = (*actual.pixels)[i + 3];
      worst = std::max(worst, std::abs(a - int((*expected->pixels)[i + 3])));
      notWhite += a > 0 && (*actual.pixels)[i] != 255;
      partial += a > 0 && a < 255;
    }
    EXPECT_LE(worst, 2) << sigma;  // the filter's tiles each see three sigmas around them only
    EXPECT_EQ(notWhite, 0) << sigma;
    EXPECT_GT(partial, 2000) << sigma;
  }
}

TEST(Stamping, ALineAlongTheTopEdgeCoversIt) {
  auto line = rasterizeStrokes(effectOf(R"([{"strokes":[{"points":[{"x":0,"y":0},{"x":1,"y":0}]}]}])"), MaskSize{4000, 3000});
  ASSERT_TRUE(line);
  int uncovered = 0;
  for (int x = 0; x < 4000; x += 7) uncovered += line->at(x, 2999) != 255 || line->at(x, 2970) != 255;
  EXPECT_EQ(uncovered, 0);
  EXPECT_EQ(line->at(2000, 2999 - 46), 0);  // d = 90: the stroke reaches 45 pixels down
  EXPECT_EQ(line->at(2000, 1500), 0);
}

TEST(Stamping, AbsurdStrokesFinishQuickly) {
  std::string points;
  for (int i = 0; i < 100000; ++i) points += std::string(i ? "," : "") + (i % 2 ? R"({"x":0,"y":0})" : R"({"x":1,"y":1})");
  const std::string text = R"([{"strokes":[{"radius":0.2,"points":[)" + points +
                           R"(]},{"radius":0.05,"points":[{"x":0.5,"y":0.5}]}]}])";
  const auto start = std::chrono::steady_clock::now();
  auto canvas = rasterizeStrokes(effectOf(text.c_str()), MaskSize{400, 300});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(canvas);
  EXPECT_LT(seconds, 10);
  // The huge stroke is drawn (along the diagonal from the top-left corner),
  // and so is the small dot after it.
  EXPECT_EQ(canvas->at(200, 150), 255);
  EXPECT_EQ(canvas->at(100, 225), 255);
  EXPECT_EQ(canvas->at(10, 10), 0);
}

// The reference drawing of an effect's strokes: every stamp of every stroke
// as strokeStamps lists it, one by one, its coverage compounded in double
// precision, each stroke laid over the canvas (or taken off it) once.
std::vector<double> referenceDrawing(const LocalEffect& effect, MaskSize size) {
  const std::size_t w = size.width, h = size.height;
  std::vector<double> coverage(w * h, 0);  // 0..1, rows from the bottom
  for (const BrushStroke& stroke : effect.strokes) {
    const StampTip tip = stampTip(makeBrushMask(stroke.shape, effect.brushMaskData));
    const double d = stampDiameter(stroke, size);
    auto stamps = strokeStamps(stroke, size, d, SIZE_MAX);
    EXPECT_TRUE(stamps);
    if (!stamps) return coverage;
    std::vector<double> transparency(w * h, 1);
    const int reach = static_cast<int>(std::ceil(d * 0.75)) + 2;
    for (const Stamp& stamp : *stamps) {
      const int x0 = std::max(0, static_cast<int>(stamp.center.x) - reach);
      const int y0 = std::max(0, static_cast<int>(stamp.center.y) - reach);
      const int x1 = std::min(size.width, static_cast<int>(stamp.center.x) + reach);
      const int y1 = std::min(size.height, static_cast<int>(stamp.center.y) + reach);
      if (x1 <= x0 || y1 <= y0) continue;
      StrokePlane one(x0, y0, x1 - x0, y1 - y0);
      stampTransparency(tip, one, stamp.center, d, stamp.angle, 1, 0, size.height);
      for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
          transparency[std::size_t(y) * w + x] *= one.transparency[std::size_t(y - y0) * one.width + (x - x0)];
    }
    for (std::size_t i = 0; i < coverage.size(); ++i)
      coverage[i] = stroke.erase ? coverage[i] * transparency[i] : coverage[i] + (1 - coverage[i]) * (1 - transparency[i]);
  }
  return coverage;
}

// A dense pen stroke: n points along a wave with a jitter of a few mask
// pixels, every 25th point given twice, and its first 80 points drawn
// again backwards at the end.
std::string denseStroke(int n, double radius, const std::string& extra = "") {
  std::vector<std::pair<double, double>> points;
  for (int i = 0; i < n; ++i) {
    const double t = double(i) / (n - 1);
    points.push_back({0.1 + 0.8 * t + 0.003 * std::sin(i * 12.9898), 0.5 + 0.15 * std::sin(6.3 * t) + 0.004 * std::sin(i * 78.233)});
    if (i % 25 == 0) points.push_back(points.back());
  }
  for (int i = 80; i >= 0; --i) points.push_back(points[i]);
  std::string text = R"({"radius":)" + std::to_string(radius) + extra + R"(,"points":[)";
  for (std::size_t i = 0; i < points.size(); ++i)
    text += (i ? "," : "") + std::string(R"({"x":)") + std::to_string(points[i].first) + R"(,"y":)" +
            std::to_string(points[i].second) + "}";
  return text + "]}";
}

// Every tip, a dense pen stroke (500 points at radius 0.15) on a small mask,
// the same drawn as the reference draws it: within one level everywhere.
TEST(DenseStrokes, EveryTipMatchesTheStampByStampReference) {
  // An imported tip of pseudo-random samples: no symmetry at all.
  std::string bytes(4096, '\0');
  std::uint32_t state = 12345;
  for (char& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<char>(state >> 24);
  }
  const std::string imported = base64(bytes);
  const MaskSize size{400, 300};
  struct Case {
    std::string name, effect;
  };
  const std::string wide = R"({"radius":0.2,"points":[{"x":0.05,"y":0.3},{"x":0.95,"y":0.7}]})";
  const std::vector<Case> cases = {
      {"round", "[{\"strokes\":[" + denseStroke(500, 0.15) + "]}]"},
      {"soft-spot", "[{\"brushShape\":\"soft-spot\",\"strokes\":[" + denseStroke(500, 0.15) + "]}]"},
      {"bristle", "[{\"brushShape\":\"bristle\",\"strokes\":[" + denseStroke(500, 0.15) + "]}]"},
      {"dry-brush", "[{\"brushShape\":\"dry-brush\",\"strokes\":[" + denseStroke(500, 0.15) + "]}]"},
      {"ink-blot", "[{\"brushShape\":\"ink-blot\",\"strokes\":[" + denseStroke(500, 0.15) + "]}]"},
      {"imported", "[{\"brushShape\":\"imported\",\"brushMaskData\":\"" + imported + "\",\"strokes\":[" +
                       denseStroke(500, 0.15) + "]}]"},
      {"small round", "[{\"strokes\":[" + denseStroke(120, 0.01) + "]}]"},
      {"erase", "[{\"strokes\":[" + wide + "," + denseStroke(500, 0.08, R"(,"erase":true,"shape":"soft-spot")") + "]}]"},
      {"erase bristle", "[{\"strokes\":[" + wide + "," + denseStroke(300, 0.05, R"(,"erase":true,"shape":"bristle")") + "]}]"},
  };
  for (const Case& c : cases) {
    const LocalEffect effect = effectOf(c.effect.c_str());
    auto canvas = rasterizeStrokes(effect, size);
    ASSERT_TRUE(canvas) << c.name;
    const std::vector<double> reference = referenceDrawing(effect, size);
    int worst = 0, covered = 0, partial = 0;
    for (int y = 0; y < size.height; ++y)
      for (int x = 0; x < size.width; ++x) {
        const double expected = reference[std::size_t(y) * size.width + x] * 255;
        worst = std::max(worst, static_cast<int>(std::ceil(std::fabs(canvas->at(x, y) - expected) - 0.5)));
        covered += canvas->at(x, y) > 0;
        partial += canvas->at(x, y) > 0 && canvas->at(x, y) < 255;
      }
    EXPECT_LE(worst, 1) << c.name;
    EXPECT_GT(covered, 1500) << c.name;
    EXPECT_GT(partial, 100) << c.name;
  }
}

// The reported case: on a 4000 × 3000 picture a blur stroke of 500 points
// at radius 0.15 was left out whole, while the same stroke given by its two
// end points covers 2.65 million pixels. Here on a 2000 × 1500 mask (the
// stroke's stamps pass the old limits there as well): the dense stroke
// covers at least what its end points' stroke covers, and as an eraser it
// takes a broad painted band off.
TEST(DenseStrokes, AFiveHundredPointStrokeIsDrawnOnALargeMask) {
  std::string points;
  for (int i = 0; i < 500; ++i)
    points += (i ? "," : "") + std::string(R"({"x":)") + std::to_string(0.15 + 0.7 * i / 499) + R"(,"y":0.5})";
  const MaskSize size{2000, 1500};
  auto dense = rasterizeStrokes(effectOf((R"([{"strokes":[{"radius":0.15,"points":[)" + points + "]}]}]").c_str()), size);
  auto ends = rasterizeStrokes(
      effectOf(R"([{"strokes":[{"radius":0.15,"points":[{"x":0.15,"y":0.5},{"x":0.85,"y":0.5}]}]}])"), size);
  ASSERT_TRUE(dense);
  ASSERT_TRUE(ends);
  EXPECT_GT(coveredPixels(*ends), 650000);
  EXPECT_GE(coveredPixels(*dense), coveredPixels(*ends));
  int less = 0;
  for (std::size_t i = 0; i < dense->alpha.size(); ++i) less += dense->alpha[i] + 1 < ends->alpha[i];
  EXPECT_EQ(less, 0);
  // The same dense stroke erasing a broad painted band takes it off.
  auto erased = rasterizeStrokes(
      effectOf((R"([{"strokes":[{"radius":0.2,"points":[{"x":0.1,"y":0.5},{"x":0.9,"y":0.5}]},)"
                R"({"erase":true,"radius":0.15,"points":[)" + points + "]}]}]").c_str()),
      size);
  ASSERT_TRUE(erased);
  for (int x : {350, 1000, 1650}) {
    EXPECT_EQ(erased->at(x, 750), 0) << x;
    EXPECT_EQ(erased->at(x, 750 + 250), 255) << x;  // beyond the eraser's reach, within the paint's
  }
}

// The stage on a checkerboard picture, through the program's settings.
class LocalEffectStage : public ::testing::Test {
 protected:
  static coreimage::Image checkerboard(int w, int h) {
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        std::uint8_t* p = pixels->data() + (std::size_t(y) * w + x) * 4;
        p[0] = p[1] = p[2] = ((x / 4 + y / 4) % 2) ? 230 : 20;
        p[3] = 255;
      }
    return coreimage::Image::fromPixels(pixels, pixels->data(), w, h, 8, std::size_t(w) * 4);
  }
  static std::vector<std::uint8_t> rendered(const coreimage::Image& image, int w, int h) {
    std::vector<std::uint8_t> out(std::size_t(w) * h * 4);
    if (!image.node()) return out;
    coreimage::render(image, {0, 0, w, h}, coreimage::PixelFormat::rgba8, out.data(), std::size_t(w) * 4);
    return out;
  }
  // Renders the 120 × 80 checkerboard through the stage with these effects.
  static std::vector<std::uint8_t> run(const char* effects, bool* unchanged = nullptr) {
    Settings s;
    s.localEffects = json::parse(effects, {});
    setSettings(s);
    RenderState state;
    state.image = checkerboard(120, 80);
    const auto before = state.image.node();
    applyLocalEffects(state);
    if (unchanged) *unchanged = state.image.node() == before;
    return rendered(state.image, 120, 80);
  }
  // The grey level at column x, row y from the top.
  static int level(const std::vector<std::uint8_t>& px, int x, int y) { return px[(std::size_t(y) * 120 + x) * 4]; }
};

TEST_F(LocalEffectStage, BlurActsOnlyUnderItsStrokes) {
  const auto original = run("[]");
  const auto blurred = run(R"([{"amount":40,"opacity":1,"strokes":[{"radius":0.2,"points":[{"x":0.25,"y":0.5}]}]}])");
  EXPECT_NEAR(level(blurred, 30, 40), 125, 30);  // mixed to mid grey
  EXPECT_EQ(level(blurred, 110, 40), level(original, 110, 40));
  EXPECT_EQ(level(blurred, 110, 5), level(original, 110, 5));

  // An erase stroke in another effect leaves this one's blur alone.
  const auto twoEffects = run(R"([{"amount":40,"opacity":1,"strokes":[{"radius":0.2,"points":[{"x":0.25,"y":0.5}]}]},
      {"amount":40,"opacity":1,"strokes":[{"erase":true,"radius":0.2,"points":[{"x":0.25,"y":0.5}]}]}])");
  EXPECT_EQ(twoEffects, blurred);
}

TEST_F(LocalEffectStage, WideBlursThroughAReducedCopyMatchTheFullSizeBlur) {
  // Coloured blocks of 50 pixels over the fine checkerboard: structure at
  // the blur's own scale, with edges the reduction must not shift.
  const coreimage::Image picture = [] {
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(400) * 240 * 4);
    for (int y = 0; y < 240; ++y)
      for (int x = 0; x < 400; ++x) {
        std::uint8_t* p = pixels->data() + (std::size_t(y) * 400 + x) * 4;
        const int block = x / 50 + 3 * (y / 50), fine = ((x / 4 + y / 4) % 2) ? 60 : 0;
        p[0] = static_cast<std::uint8_t>((block * 67) % 196 + fine);
        p[1] = static_cast<std::uint8_t>((block * 41) % 196 + fine);
        p[2] = static_cast<std::uint8_t>(x < 200 ? 20 : 230);
        p[3] = 255;
      }
    return coreimage::Image::fromPixels(pixels, pixels->data(), 400, 240, 8, 400 * 4);
  }();
  const coreimage::Rect extent = picture.extent();
  for (double sigma : {17.0, 40.0}) {
    auto reduced = blurredPicture(picture, sigma, extent);
    auto full = blurredWithinExtent(picture, sigma, extent);
    ASSERT_TRUE(reduced && full);
    EXPECT_EQ(reduced->extent(), extent);
    const auto a = rendered(*reduced, 400, 240), b = rendered(*full, 400, 240);
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    EXPECT_LE(worst, 3) << sigma;
  }
  // An 8-bit source is reduced from its bytes, a float one from rendered
  // pixels: both stay within a few levels of the full-size blur, and the
  // same request gives the same pixels every time.
  std::vector<float> floats(400 * 240 * 4);
  const auto bytes = rendered(picture, 400, 240);
  for (std::size_t i = 0; i < floats.size(); ++i) floats[i] = bytes[i] * (1.0f / 255.0f);
  auto shared = std::make_shared<std::vector<float>>(std::move(floats));
  const coreimage::Image asFloats = coreimage::Image::fromPixels(shared, shared->data(), 400, 240, 32, 400 * 16);
  for (double sigma : {17.0, 40.0}) {
    auto fromBytes = blurredPicture(picture, sigma, extent), fromFloats = blurredPicture(asFloats, sigma, extent);
    auto full = blurredWithinExtent(picture, sigma, extent);
    ASSERT_TRUE(fromBytes && fromFloats && full);
    const auto a = rendered(*fromBytes, 400, 240), b = rendered(*fromFloats, 400, 240), c = rendered(*full, 400, 240);
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(b[i]) - int(c[i])));
    EXPECT_LE(worst, 3) << sigma;
    EXPECT_EQ(rendered(*blurredPicture(picture, sigma, extent), 400, 240), a);
  }
  // No radius to speak of gives nothing to blend.
  EXPECT_FALSE(blurredPicture(picture, std::nan(""), extent));
}

// From an 8-bit picture the blur's blend is worked out from the bytes in
// one pass (the blur here is wide enough for a reduced copy); rendering
// floats goes through the filters. Both give the same
// picture to a few levels, with and without opacity and feather, and the
// pixels the coverage cannot reach are the source's own.
TEST_F(LocalEffectStage, TheBlendFromBytesMatchesTheFilterChain) {
  const int w = 400, h = 240;
  for (const char* effects :
       {R"([{"amount":40,"opacity":1,"strokes":[{"radius":0.2,"points":[{"x":0.1,"y":0.2},{"x":0.6,"y":0.7}]}]}])",
        R"([{"amount":36,"opacity":0.6,"feather":0.03,"strokes":[{"radius":0.1,"points":[{"x":0.05,"y":0.9}]},
            {"radius":0.15,"points":[{"x":0.5,"y":0.02},{"x":0.99,"y":0.5}]}]}])"}) {
    Settings s;
    s.localEffects = json::parse(effects, {});
    setSettings(s);
    RenderState state;
    state.image = checkerboard(w, h);
    applyLocalEffects(state);
    const auto bytes = rendered(state.image, w, h);
    ASSERT_TRUE(state.image.node()->readOpaqueBytes({0, 0, w, h}, std::vector<std::uint8_t>(bytes.size()).data(),
                                                    std::size_t(w) * 4));
    const std::vector<float> floats = coreimage::renderFloat(state.image, {0, 0, w, h});
    const auto original = rendered(checkerboard(w, h), w, h);
    int worst = 0, changed = 0, unchangedFar = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 4; ++c) {
          const std::size_t i = (std::size_t(y) * w + x) * 4 + c;
          const int fromFloats = static_cast<int>(floats[(std::size_t(h - 1 - y) * w + x) * 4 + c] * 255 + 0.5f);
          worst = std::max(worst, std::abs(int(bytes[i]) - fromFloats));
          changed += bytes[i] != original[i];
        }
    // The first request leaves the top right corner and the bottom left one alone.
    for (int y = 0; y < 20; ++y)
      for (int x = 380; x < 400; ++x) unchangedFar += bytes[(std::size_t(y) * w + x) * 4] == original[(std::size_t(y) * w + x) * 4];
    EXPECT_LE(worst, 3) << effects;
    EXPECT_GT(changed, w * h / 4) << effects;
    EXPECT_EQ(unchangedFar, 400) << effects;
  }
}

TEST_F(LocalEffectStage, EdgesRepeatedFromTheBytesAreTheClampedPicture) {
  const coreimage::Image picture = checkerboard(37, 23);
  const coreimage::Image repeated = edgeRepeated(picture, picture.extent().insetBy(-50, -50));
  const coreimage::Image clamped = picture.clampedToExtent();
  // Regions holding the whole picture, straddling edges, inside, and wholly
  // outside on every side.
  for (const coreimage::PixelRect r : std::vector<coreimage::PixelRect>{
           {-5, -4, 47, 31}, {3, 2, 10, 9}, {30, -3, 15, 10}, {-4, 10, 12, 20}, {-30, 5, 12, 6}, {45, -20, 8, 7},
           {10, 30, 5, 4}, {-9, -9, 4, 3}}) {
    std::vector<std::uint8_t> bytes(std::size_t(r.width) * r.height * 4);
    ASSERT_TRUE(repeated.node()->readOpaqueBytes(r, bytes.data(), std::size_t(r.width) * 4));
    std::vector<std::uint8_t> expected(bytes.size());
    coreimage::render(clamped, r, coreimage::PixelFormat::rgba8, expected.data(), std::size_t(r.width) * 4);
    EXPECT_EQ(bytes, expected) << r.x << "," << r.y;
  }
}

TEST_F(LocalEffectStage, NothingChangesWithoutAUsableEffect) {
  for (const char* effects : {R"([{"opacity":0,"strokes":[{"points":[{"x":0.5,"y":0.5}]}]}])",
                              R"([{"kind":"sharpen","strokes":[{"points":[{"x":0.5,"y":0.5}]}]}])",
                              R"([{"strokes":[{"points":[{"x":"a","y":0.5}]}]}])",
                              R"({"strokes":[{"points":[{"x":0.5,"y":0.5}]}]})"}) {
    bool unchanged = false;
    run(effects, &unchanged);
    EXPECT_TRUE(unchanged) << effects;
  }
}

TEST_F(LocalEffectStage, FeatherSoftensTheMaskEdge) {
  const auto hard = run(R"([{"amount":40,"opacity":1,"strokes":[{"radius":0.2,"points":[{"x":0.25,"y":0.5}]}]}])");
  const auto soft = run(R"([{"amount":40,"opacity":1,"feather":0.5,
      "strokes":[{"radius":0.2,"points":[{"x":0.25,"y":0.5}]}]}])");
  EXPECT_NE(hard, soft);
  // Well outside the stroke the feathered mask still reaches a little.
  int changed = 0;
  const auto original = run("[]");
  for (int x = 50; x < 60; ++x) changed += level(soft, x, 40) != level(original, x, 40);
  EXPECT_GT(changed, 0);
}

// A mask-sized 8-bit image, transparent but for the given straight RGBA
// pixels (x, y from the bottom).
struct MaskPixel {
  int x, y;
  std::uint8_t r, g, b, a;
};
MaterializedMask sparseMaskPixels(MaskSize size, std::initializer_list<MaskPixel> pixels) {
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(std::size_t(size.width) * size.height * 4, 0);
  for (const MaskPixel& p : pixels) {
    std::uint8_t* q = bytes->data() + (std::size_t(size.height - 1 - p.y) * size.width + p.x) * 4;
    q[0] = p.r, q[1] = p.g, q[2] = p.b, q[3] = p.a;
  }
  return {coreimage::Image::fromPixels(bytes, bytes->data(), size.width, size.height, 8, std::size_t(size.width) * 4),
          bytes};
}
coreimage::Image sparseMask(MaskSize size, std::initializer_list<MaskPixel> pixels) {
  return sparseMaskPixels(size, pixels).image;
}

TEST_F(LocalEffectStage, LimitingToCoverageChangesNoPixelOfTheStretchedBlend) {
  // Stretched by a factor that is not whole, with spots on block corners
  // and a pixel whose colour and alpha lie in neighbouring pixels.
  const int w = 4500, h = 120;
  const coreimage::Image picture = checkerboard(w, h);
  const coreimage::Rect extent = picture.extent();
  const MaskSize size = coverageMaskSize(w, h);
  ASSERT_EQ(size.width, 4096);
  const MaterializedMask maskPixels = sparseMaskPixels(size, {{1000, 50, 255, 255, 255, 255},
                                                              {2047, 15, 255, 255, 255, 255},
                                                              {3200, 80, 255, 255, 255, 0},
                                                              {3201, 80, 0, 0, 0, 255}});
  const coreimage::Image& mask = maskPixels.image;
  auto placed = placeOverPicture(mask, size, extent);
  auto coverage = CoverageBlocks::of(mask, size, extent);
  ASSERT_TRUE(placed && coverage);
  auto effect = filtered("CIBlendWithMask", {{coreimage::kInputImageKey, coreimage::Image::constantColor({1, 0, 0, 1})},
                                             {coreimage::kInputBackgroundImageKey, picture},
                                             {coreimage::kInputMaskImageKey, *placed}});
  ASSERT_TRUE(effect);
  const coreimage::Image full = effect->cropped(extent);
  const coreimage::Image limited = limitedToCoverage(picture, full, *coverage);
  const auto expected = rendered(full, w, h), actual = rendered(limited, w, h);
  EXPECT_NE(expected, rendered(picture, w, h));
  EXPECT_EQ(actual, expected);
  // Read from the bytes, the blocks are the rendered mask's.
  const CoverageBlocks fromBytes = CoverageBlocks::of(maskPixels, size, extent);
  for (int y = 0; y < h; y += 7)
    for (int x = 0; x < w; x += 61) {
      const coreimage::PixelRect r{x, y, 1 + x % 5, 1 + y % 3};
      ASSERT_EQ(fromBytes.touches(r), coverage->touches(r)) << x << "," << y;
    }

  EXPECT_TRUE(coverage->touches({1098, 55, 1, 1}));
  EXPECT_TRUE(coverage->touches({3516, 88, 1, 1}));
  EXPECT_FALSE(coverage->touches({0, 0, 600, 120}));
  EXPECT_FALSE(coverage->touches({4000, 0, 500, 120}));
  // Colour without alpha anywhere near, or alpha without colour, is none.
  auto colourOnly = CoverageBlocks::of(sparseMask(size, {{1000, 50, 255, 255, 255, 0}, {3000, 50, 0, 0, 0, 255}}),
                                       size, extent);
  ASSERT_TRUE(colourOnly);
  EXPECT_FALSE(colourOnly->touches({0, 0, w, h}));
}

}  // namespace
