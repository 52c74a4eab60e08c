#include "scanprobe.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <sys/wait.h>
#include <vips/vips.h>
#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "json.h"
#include "scan_pictures.h"

namespace {

namespace fs = std::filesystem;
using namespace scanprobe;

// ---------------------------------------------------------------------------
// The rules, one function at a time

TEST(ScanArguments, FirstPathAndFirstMaxEdgeCount) {
  struct Case {
    std::vector<std::string> arguments;
    std::string path;
    std::int64_t maxEdge;
  };
  const std::vector<Case> cases{
      {{"scan.tif"}, "scan.tif", 1600},
      {{"scan.tif", "--max-edge", "800"}, "scan.tif", 800},
      {{"scan.tif", "--max-edge", "+900"}, "scan.tif", 900},
      {{"scan.tif", "--max-edge", "100"}, "scan.tif", 320},
      {{"scan.tif", "--max-edge", "-5"}, "scan.tif", 320},
      {{"scan.tif", "--max-edge", "12.5"}, "scan.tif", 1600},
      {{"scan.tif", "--max-edge", " 800"}, "scan.tif", 1600},
      {{"scan.tif", "--max-edge", "wide"}, "scan.tif", 1600},
      {{"scan.tif", "--max-edge"}, "scan.tif", 1600},
      {{"scan.tif", "--max-edge", "+"}, "scan.tif", 1600},
      {{"scan.tif", "--max-edge", "99999999999999999999"}, "scan.tif", 1600},
      {{"scan.tif", "--max-edge", "9223372036854775807"}, "scan.tif", 9223372036854775807},
      {{"scan.tif", "--max-edge", "700", "--max-edge", "900"}, "scan.tif", 700},
      {{"scan.tif", "--max-edge", "x", "--max-edge", "900"}, "scan.tif", 1600},
      {{"scan.tif", "extra", "--max-edge", "2000", "more"}, "scan.tif", 2000},
      // The first argument is the path whatever it looks like; "800" is
      // then the word after the first "--max-edge".
      {{"--max-edge", "800", "scan.tif"}, "--max-edge", 800},
  };
  for (const auto& c : cases) {
    const auto settings = parseArguments(c.arguments);
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->inputPath, c.path);
    EXPECT_EQ(settings->maxEdge, c.maxEdge) << c.arguments.back();
  }
  EXPECT_FALSE(parseArguments({}));
}

Bitmap solid(std::int64_t width, std::int64_t height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  Bitmap bitmap{width, height, {}};
  for (std::int64_t i = 0; i < width * height; ++i) bitmap.pixels.insert(bitmap.pixels.end(), {r, g, b, 255});
  return bitmap;
}

void paint(Bitmap& bitmap, cv::Rect area, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  for (int y = area.y; y < area.y + area.height; ++y)
    for (int x = area.x; x < area.x + area.width; ++x) {
      std::uint8_t* p = bitmap.pixels.data() + (y * bitmap.width + x) * 4;
      p[0] = r, p[1] = g, p[2] = b;
    }
}

TEST(ScanInterior, MiddleSixtyPercentAndPercentiles) {
  // 20 × 10: insets 4 and 2, so columns 4..15 of rows 2..7: 72 samples.
  Bitmap bitmap = solid(20, 10, 0, 0, 0);
  paint(bitmap, {4, 2, 12, 6}, 255, 0, 0);  // the interior is pure red
  InteriorStatistics s = measureInterior(bitmap);
  EXPECT_EQ(s.insetX, 4);
  EXPECT_EQ(s.insetY, 2);
  EXPECT_EQ(s.interiorCount, 72);
  EXPECT_DOUBLE_EQ(s.sumR, 72);
  EXPECT_DOUBLE_EQ(s.sumB, 0);
  EXPECT_DOUBLE_EQ(s.sumSaturation, 72);
  // Red's luminance 0.2126 × 255 = 54.2: bin 54.
  EXPECT_EQ(s.luminanceHistogram[54], 72);
  // Fewer than 200 samples: the 0.5 % target is 0, so black is 0.
  EXPECT_EQ(percentile(s, 0.005), 0);
  EXPECT_DOUBLE_EQ(percentile(s, 0.995), 54 / 255.0);

  // A histogram of 400 samples: half at bin 10, half at bin 200.
  InteriorStatistics h;
  h.interiorCount = 400;
  h.luminanceHistogram[10] = 200;
  h.luminanceHistogram[200] = 200;
  const std::vector<std::pair<double, double>> percentiles{
      {0.005, 10 / 255.0}, {0.5, 10 / 255.0}, {0.51, 200 / 255.0}, {0.995, 200 / 255.0},
      {1.0, 200 / 255.0},  {2.0, 200 / 255.0}, {-1.0, 0.0},           {0.0, 0.0}};
  for (auto [p, expected] : percentiles) EXPECT_DOUBLE_EQ(percentile(h, p), expected) << p;
  // Counts that never reach the target give 1.
  h.interiorCount = 500;
  EXPECT_EQ(percentile(h, 1.0), 1);
}

// Interior statistics of a uniform interior of n samples with the given
// means, and a luminance histogram with `low` and `high` ends.
InteriorStatistics statistics(double r, double g, double b, double saturation, int lowBin, int highBin) {
  InteriorStatistics s;
  s.interiorCount = 10000;
  s.sumR = r * 10000, s.sumG = g * 10000, s.sumB = b * 10000, s.sumSaturation = saturation * 10000;
  s.luminanceHistogram[lowBin] = 5000;
  s.luminanceHistogram[highBin] += 5000;
  return s;
}

TEST(ScanNegative, EveryRuleAndScore) {
  struct Case {
    const char* what;
    InteriorStatistics interior;
    const char* kind;
    double confidence;
    bool negative;
  };
  // black = low / 255, white = high / 255.
  const std::vector<Case> cases{
      // redToBlue 2.5 (mask 1), black 0.2 (fog 0.556): 0.45 + 0.4 + 0.083.
      {"orange mask", statistics(0.5, 0.3, 0.2, 0.6, 51, 180), "color-mask", 0.45 + 0.4 + 0.15 * (0.2 - 0.1) / 0.18,
       true},
      // redToBlue 1.7 (mask 0.538), black 0.141 (fog 0.229): just past both bars.
      {"weak mask", statistics(0.51, 0.4, 0.3, 0.4, 36, 200), "color-mask",
       0.45 + 0.4 * (0.51 / 0.3 - 1.35) / 0.65 + 0.15 * (36 / 255.0 - 0.1) / 0.18, true},
      // Mask without fog is no negative: a warm positive.
      {"warm positive", statistics(0.6, 0.4, 0.25, 0.5, 5, 250), "positive", 0, false},
      // Grey, black 0.2, range 0.3: 0.35 + 0.35 × 0.556 + 0.3 × 1.
      {"fogged grey", statistics(0.3, 0.3, 0.3, 0.02, 51, 127), "bw-fog",
       0.35 + 0.35 * (51 / 255.0 - 0.1) / 0.18 + 0.3 * std::min(1.0, (0.86 - (127 - 51) / 255.0) / 0.3), true},
      // Heavier fog reaches the 0.9 ceiling.
      {"heavy fog", statistics(0.5, 0.5, 0.5, 0.01, 90, 120), "bw-fog", 0.9, true},
      // Saturated: not monochrome.
      {"colourful fog", statistics(0.3, 0.35, 0.3, 0.3, 51, 127), "positive", 0, false},
      // Full range: no compression.
      {"grey full range", statistics(0.4, 0.4, 0.4, 0.05, 60, 255), "positive", 0, false},
  };
  for (const auto& c : cases) {
    const NegativeEvidence e = judgeNegative(c.interior);
    EXPECT_EQ(e.kind, c.kind) << c.what;
    EXPECT_NEAR(e.confidence, c.confidence, 1e-9) << c.what;
    EXPECT_EQ(e.isNegative, c.negative) << c.what;
  }

  // redToBlue when blue is (nearly) absent.
  EXPECT_EQ(judgeNegative(statistics(0.5, 0.2, 0.01, 1, 10, 100)).redToBlue, 4);
  EXPECT_EQ(judgeNegative(statistics(0.01, 0.2, 0.01, 1, 10, 100)).redToBlue, 1);
  EXPECT_NEAR(judgeNegative(statistics(0.5, 0.2, 0.25, 1, 10, 100)).redToBlue, 2, 1e-12);
}

vision::RectangleObservation observation(vision::Rect box, vision::Point tl, vision::Point tr, vision::Point br,
                                         vision::Point bl, float confidence) {
  vision::RectangleObservation o;
  o.boundingBox = box;
  o.topLeft = tl, o.topRight = tr, o.bottomRight = br, o.bottomLeft = bl;
  o.confidence = confidence;
  return o;
}

TEST(ScanFrame, FromRectangleObservations) {
  const auto upright = observation({0.1, 0.2, 0.8, 0.6}, {0.1, 0.8}, {0.9, 0.8}, {0.9, 0.2}, {0.1, 0.2}, 0.75f);
  // A 1000 × 500 image: the top edge rises 0.01 × 500 over 0.8 × 1000, the
  // bottom edge 0.02 × 500: atan(5 / 800) and atan(10 / 800) average 0.537°.
  const auto tilted =
      observation({0.05, 0.1, 0.9, 0.85}, {0.05, 0.94}, {0.85, 0.95}, {0.95, 0.12}, {0.15, 0.1}, 0.6f);
  const auto band = observation({0.0, 0.0, 1.0, 0.3}, {0, 0.3}, {1, 0.3}, {1, 0}, {0, 0}, 0.9f);
  const auto inner = observation({0.3, 0.3, 0.35, 0.35}, {0.3, 0.65}, {0.65, 0.65}, {0.65, 0.3}, {0.3, 0.3}, 0.9f);

  auto frame = rectangleFromVision({upright}, 1000, 500);
  ASSERT_TRUE(frame);
  EXPECT_TRUE(frame->found);
  EXPECT_EQ(frame->source, "vision-rectangle");
  EXPECT_EQ(frame->confidence, static_cast<double>(0.75f));
  EXPECT_DOUBLE_EQ(frame->x, 0.1);
  EXPECT_DOUBLE_EQ(frame->y, 1 - 0.8);
  EXPECT_DOUBLE_EQ(frame->width, 0.8);
  EXPECT_DOUBLE_EQ(frame->height, 0.6);
  EXPECT_EQ(frame->angleDegrees, 0);

  // The largest box wins, whatever the order; the angle is rounded to 0.1.
  for (const auto& list : {std::vector{upright, tilted}, std::vector{tilted, upright}}) {
    frame = rectangleFromVision(list, 1000, 500);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->confidence, static_cast<double>(0.6f));
    EXPECT_DOUBLE_EQ(frame->y, 1 - 0.95);
    EXPECT_DOUBLE_EQ(frame->angleDegrees, 0.5);
  }
  // The largest box not over 0.3 high: no frame, and the smaller one is
  // not tried.
  EXPECT_FALSE(rectangleFromVision({inner, band}, 1000, 500));
  EXPECT_TRUE(rectangleFromVision({inner}, 1000, 500));
  EXPECT_FALSE(rectangleFromVision({}, 1000, 500));
  // Equal areas: the earlier one stays.
  auto twin = upright;
  twin.confidence = 0.55f;
  EXPECT_EQ(rectangleFromVision({upright, twin}, 1000, 500)->confidence, static_cast<double>(0.75f));

  // The request handed to the detector.
  const vision::RectanglesRequest request = frameRequest();
  EXPECT_EQ(request.minimumAspectRatio, 0.3f);
  EXPECT_EQ(request.maximumAspectRatio, 3.4f);
  EXPECT_EQ(request.minimumSize, 0.35f);
  EXPECT_EQ(request.minimumConfidence, 0.5f);
  EXPECT_EQ(request.maximumObservations, 8);
  EXPECT_EQ(request.quadratureTolerance, 25.0f);
}

TEST(ScanFrame, LuminanceBox) {
  struct Case {
    const char* what;
    Bitmap bitmap;
    bool found;
    double x, y, width, height;
  };
  Bitmap darkBed = solid(200, 100, 10, 10, 10);
  paint(darkBed, {20, 10, 150, 70}, 200, 120, 60);
  Bitmap lightBed = solid(200, 100, 240, 240, 240);
  paint(lightBed, {30, 20, 140, 60}, 90, 90, 90);
  // A thin dark outline round a light picture: content from edge to edge.
  Bitmap outlined = solid(400, 300, 20, 20, 20);
  paint(outlined, {1, 1, 398, 298}, 220, 220, 220);
  Bitmap sliver = solid(200, 100, 10, 10, 10);
  paint(sliver, {0, 40, 200, 20}, 250, 250, 250);
  Bitmap faint = solid(200, 100, 10, 10, 10);
  paint(faint, {20, 10, 150, 70}, 50, 50, 50);  // 0.196 over a 0.039 border: under the 0.18 step
  const std::vector<Case> cases{
      {"dark bed", darkBed, true, 20 / 200.0, 10 / 100.0, 150 / 200.0, 70 / 100.0},
      {"light bed", lightBed, true, 30 / 200.0, 20 / 100.0, 140 / 200.0, 60 / 100.0},
      {"content fills the scan", outlined, false, 0, 0, 1, 1},
      {"a band a fifth high", sliver, false, 0, 0, 1, 1},
      {"too faint to tell", faint, false, 0, 0, 1, 1},
  };
  for (const auto& c : cases) {
    const auto frame = rectangleFromLuminance(c.bitmap);
    ASSERT_EQ(frame.has_value(), c.found) << c.what;
    if (!frame) continue;
    EXPECT_EQ(frame->source, "luminance-bbox");
    EXPECT_EQ(frame->confidence, 0.45);
    EXPECT_EQ(frame->angleDegrees, 0);
    EXPECT_DOUBLE_EQ(frame->x, c.x) << c.what;
    EXPECT_DOUBLE_EQ(frame->y, c.y) << c.what;
    EXPECT_DOUBLE_EQ(frame->width, c.width) << c.what;
    EXPECT_DOUBLE_EQ(frame->height, c.height) << c.what;
  }
}

TEST(ScanReport, RoundingAndSortedKeys) {
  const std::vector<std::tuple<double, int, double>> roundings{
      {0.125, 2, 0.13}, {-0.125, 2, -0.13}, {2.5, 0, 3},       {-2.5, 0, -3},
      {0.6749, 2, 0.67}, {1.0015, 3, 1.002}, {0.00049, 3, 0.0}, {1.64285714, 3, 1.643}};
  for (auto [v, n, expected] : roundings) EXPECT_DOUBLE_EQ(roundTo(v, n), expected) << v;

  ScanAnalysis analysis;
  analysis.negative = {true, "color-mask", 0.9349, 2.71828, 0.20049, 0.8, 0.59951, 0.45678};
  analysis.frame = {true, "vision-rectangle", static_cast<double>(0.875f), 0.125, 0.25, 0.5, 0.625, -2.0};
  analysis.pixelWidth = 4000;
  analysis.pixelHeight = 3000;
  EXPECT_EQ(*encodeReport(analysis),
            R"({"frame":{"angleDegrees":-2,"confidence":0.875,"found":true,"height":0.625,"source":"vision-rectangle",)"
            R"("width":0.5,"x":0.125,"y":0.25},"negative":{"black":0.2,"confidence":0.93,"isNegative":true,)"
            R"("kind":"color-mask","range":0.6,"redToBlue":2.718,"saturation":0.457,"white":0.8},)"
            R"("pixelHeight":3000,"pixelWidth":4000})");
  EXPECT_EQ(*encodeReport(ScanAnalysis{}),
            R"({"frame":{"angleDegrees":0,"confidence":0,"found":false,"height":1,"source":"none","width":1,"x":0,)"
            R"("y":0},"negative":{"black":0,"confidence":0,"isNegative":false,"kind":"positive","range":0,)"
            R"("redToBlue":1,"saturation":0,"white":0},"pixelHeight":0,"pixelWidth":0})");
  analysis.negative.redToBlue = std::nan("");
  EXPECT_FALSE(encodeReport(analysis));
}

TEST(ScanRasterise, NarrowsAndPremultiplies) {
  imageio::Raster wide;
  wide.width = 2, wide.height = 1, wide.bitsPerComponent = 16;
  const std::vector<std::uint16_t> components{65535, 32768, 0, 65535, 65535, 65535, 65535, 32768};
  wide.data.resize(components.size() * 2);
  std::memcpy(wide.data.data(), components.data(), wide.data.size());
  auto bitmap = rasterise(std::move(wide));
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(bitmap->pixels, (std::vector<std::uint8_t>{255, 128, 0, 255, 128, 128, 128, 128}));

  imageio::Raster narrow;
  narrow.width = 1, narrow.height = 2;
  narrow.data = {200, 100, 50, 0, 200, 100, 50, 51};
  bitmap = rasterise(std::move(narrow));
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(bitmap->pixels, (std::vector<std::uint8_t>{0, 0, 0, 0, 40, 20, 10, 51}));

  imageio::Raster wrong;
  wrong.width = 3, wrong.height = 3;
  wrong.data.resize(35);
  EXPECT_FALSE(rasterise(std::move(wrong)));
}

// ---------------------------------------------------------------------------
// The program on scans

struct Outcome : scantest::Run {
  json::Value report;
};

using scantest::slurp;

class ScanprobeRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(VIPS_INIT("scanprobe_test"), 0);
    vips_cache_set_max(0);
  }
  void SetUp() override {
    char pattern[] = "/tmp/scanprobe_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs scanprobe; `prefix` goes before the command (a ulimit).
  Outcome run(const std::vector<std::string>& args, const std::string& prefix = "") {
    Outcome result;
    static_cast<scantest::Run&>(result) = scantest::runProgram("scanprobe", args, dir_, prefix);
    if (result.status == 0 && !result.out.empty() && result.out.back() == '\n')
      if (auto parsed = json::parse(std::string_view(result.out).substr(0, result.out.size() - 1)))
        result.report = *parsed;
    return result;
  }

  std::string dir_;
};

struct ScanCase {
  const char* what;
  scantest::Kind kind;
  double tilt;
  int orientation;
  const char* expectedKind;
};

// The frame reported against the scan's truth: the box within 1 % and the
// tilt within 0.3°.
void expectFrame(const json::Value& frame, const scantest::Scan& truth, const std::string& what) {
  EXPECT_EQ(frame["found"], true) << what;
  EXPECT_EQ(frame["source"], "vision-rectangle") << what;
  EXPECT_GE(frame["confidence"].get<double>(), 0.5) << what;
  EXPECT_NEAR(frame["x"].get<double>(), truth.x, 0.01) << what;
  EXPECT_NEAR(frame["y"].get<double>(), truth.y, 0.01) << what;
  EXPECT_NEAR(frame["width"].get<double>(), truth.width, 0.01) << what;
  EXPECT_NEAR(frame["height"].get<double>(), truth.height, 0.01) << what;
  EXPECT_NEAR(frame["angleDegrees"].get<double>(), truth.angle, 0.3) << what;
}

TEST_F(ScanprobeRun, GeneratedScansKindFrameAndTilt) {
  const std::vector<ScanCase> cases{
      {"colour negative", scantest::Kind::colorNegative, 0, 1, "color-mask"},
      {"colour negative tilted", scantest::Kind::colorNegative, 2, 1, "color-mask"},
      {"colour negative turned", scantest::Kind::colorNegative, 0, 6, "color-mask"},
      {"colour negative tilted and turned", scantest::Kind::colorNegative, -2, 6, "color-mask"},
      {"b&w negative", scantest::Kind::bwNegative, 0, 1, "bw-fog"},
      {"b&w negative tilted", scantest::Kind::bwNegative, -2, 1, "bw-fog"},
      {"b&w negative turned", scantest::Kind::bwNegative, 0, 6, "bw-fog"},
      {"b&w negative tilted and turned", scantest::Kind::bwNegative, 2, 6, "bw-fog"},
      {"print", scantest::Kind::positivePrint, 0, 1, "positive"},
      {"print tilted", scantest::Kind::positivePrint, 2, 1, "positive"},
      {"print turned", scantest::Kind::positivePrint, 0, 6, "positive"},
      {"print tilted and turned", scantest::Kind::positivePrint, -2, 6, "positive"},
  };
  const cv::Mat photo = scantest::syntheticPhoto({1500, 1000}, 7);
  const cv::Size canvas(1800, 1300);
  const cv::Rect frame(150, 160, 1500, 1000);
  for (const auto& c : cases) {
    const scantest::Scan scan = scantest::makeScan(photo, c.kind, c.tilt, canvas, frame);
    const std::string path = dir_ + "/scan.jpg";
    scantest::save(scan.bgr, path + "[Q=95]", c.orientation);
    const Outcome r = run({path});
    ASSERT_EQ(r.status, 0) << c.what << ": " << r.err;
    EXPECT_EQ(r.err, "");
    const json::Value& report = r.report;
    EXPECT_EQ(report["negative"]["kind"], c.expectedKind) << c.what;
    EXPECT_EQ(report["negative"]["isNegative"], std::string(c.expectedKind) != "positive") << c.what;
    // The stored sides, turned or not; the frame on the upright picture.
    const bool turned = c.orientation == 6;
    EXPECT_EQ(report["pixelWidth"], turned ? canvas.height : canvas.width) << c.what;
    EXPECT_EQ(report["pixelHeight"], turned ? canvas.width : canvas.height) << c.what;
    expectFrame(report["frame"], scan, c.what);
  }
}

TEST_F(ScanprobeRun, RealPhotographsAsFramedNegatives) {
  for (const char* name : {"astronaut.png", "coffee.png", "chelsea.png"}) {
    const std::string photoPath = scantest::packagedPhoto(name, "python3-skimage");
    ASSERT_FALSE(photoPath.empty()) << "cannot fetch " << name << " from python3-skimage";
    const cv::Mat photo = scantest::load(photoPath);
    const cv::Size canvas(photo.cols + 200, photo.rows + 160);
    const cv::Rect frame(110, 70, photo.cols, photo.rows);
    for (double tilt : {0.0, 2.0}) {
      const std::string what = std::string(name) + " tilted " + std::to_string(tilt);
      const scantest::Scan scan = scantest::makeScan(photo, scantest::Kind::colorNegative, tilt, canvas, frame);
      const std::string path = dir_ + "/negative.png";
      scantest::save(scan.bgr, path);
      const Outcome r = run({path});
      ASSERT_EQ(r.status, 0) << what << ": " << r.err;
      EXPECT_EQ(r.report["negative"]["kind"], "color-mask") << what;
      EXPECT_EQ(r.report["negative"]["isNegative"], true) << what;
      expectFrame(r.report["frame"], scan, what);
    }
    // The photograph itself, filling the scan: a positive with no frame.
    const std::string path = dir_ + "/photo.png";
    scantest::save(photo, path);
    const Outcome r = run({path});
    ASSERT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(r.report["negative"]["kind"], "positive") << name;
    EXPECT_EQ(r.report["frame"]["found"], false) << name;
    EXPECT_EQ(r.report["frame"]["source"], "none") << name;
  }
}

}  // namespace

namespace {

// A PNG that declares width × height RGB pixels but carries only the first
// few rows of its data: a decompression bomb's header.
std::string declaredPng(std::uint32_t width, std::uint32_t height) {
  auto big = [](std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
  };
  auto chunk = [&](const std::string& type, const std::string& data) {
    const std::string body = type + data;
    const auto crc = static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    return big(static_cast<std::uint32_t>(data.size())) + body + big(crc);
  };
  const std::string header = big(width) + big(height) + std::string{8, 2, 0, 0, 0};
  std::string rows(4 * (1 + std::size_t{3} * width), '\0');
  uLongf size = compressBound(static_cast<uLong>(rows.size()));
  std::string packed(size, '\0');
  ::compress(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(rows.data()),
             static_cast<uLong>(rows.size()));
  packed.resize(size);
  return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", packed) + chunk("IEND", "");
}

}  // namespace

TEST_F(ScanprobeRun, FailuresPrintOneMessageAndNothingElse) {
  const std::string scan = dir_ + "/scan.png";
  scantest::save(scantest::syntheticPhoto({300, 200}, 3), scan);
  std::ofstream(dir_ + "/text.txt") << "not a picture";
  const std::string whole = dir_ + "/whole.jpg";
  scantest::save(scantest::syntheticPhoto({600, 400}, 4), whole);
  const std::string data = slurp(whole);
  std::ofstream(dir_ + "/cut.jpg", std::ios::binary).write(data.data(), std::streamsize(data.size() / 2));
  scantest::save(cv::Mat(20, 4000, CV_8UC3, cv::Scalar::all(90)), dir_ + "/thin.png");  // thumbnail 1600 × 8
  scantest::save(cv::Mat(100, 8, CV_8UC3, cv::Scalar::all(90)), dir_ + "/narrow.png");
  std::ofstream(dir_ + "/bomb.png", std::ios::binary) << declaredPng(30000, 30000);
  std::ofstream(dir_ + "/huge.png", std::ios::binary) << declaredPng(40000, 40000);

  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Case> cases{
      {{}, "Usage: scanprobe <input-image> [--max-edge N]"},
      {{"--max-edge", "800", scan}, "Cannot read image: --max-edge"},
      {{dir_ + "/missing.png"}, "Cannot read image: " + dir_ + "/missing.png"},
      {{dir_ + "/text.txt"}, "Cannot read image: " + dir_ + "/text.txt"},
      {{dir_}, "Cannot read image: " + dir_},
      {{dir_ + "/cut.jpg"}, "Cannot decode image pixels: " + dir_ + "/cut.jpg"},
      {{dir_ + "/thin.png"}, "Image is too small to analyse: " + dir_ + "/thin.png"},
      {{dir_ + "/narrow.png", "--max-edge", "5000"}, "Image is too small to analyse: " + dir_ + "/narrow.png"},
      // Nine hundred megapixels at full size is more than the analysis may
      // take; shrunk to 1600 the data runs out; 1.6 gigapixels are refused
      // before any decoding.
      {{dir_ + "/bomb.png", "--max-edge", "9223372036854775807"}, "Cannot decode image pixels: " + dir_ + "/bomb.png"},
      {{dir_ + "/bomb.png"}, "Cannot decode image pixels: " + dir_ + "/bomb.png"},
      {{dir_ + "/huge.png"}, "Cannot decode image pixels: " + dir_ + "/huge.png"},
  };
  for (const auto& c : cases) {
    const Outcome r = run(c.arguments);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.err, c.message + "\n");
    EXPECT_EQ(r.out, "") << c.message;
  }
}

TEST_F(ScanprobeRun, SmallestImageAndTheMaxEdgeFloor) {
  // 9 × 9: analysed; its interior of 25 samples gives black 0. Grey 200
  // has a luminance of 199.99999999999997 / 255 in double arithmetic, so it
  // counts in bin 199.
  scantest::save(cv::Mat(9, 9, CV_8UC3, cv::Scalar::all(200)), dir_ + "/nine.png");
  Outcome r = run({dir_ + "/nine.png", "extra", "words"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.report["negative"]["black"], 0);
  EXPECT_EQ(r.report["negative"]["white"], 0.78);
  EXPECT_EQ(r.report["pixelWidth"], 9);

  // A 1000 × 40 strip: --max-edge 100 is raised to 320, so the analysed copy
  // is 320 × 12.8 (13) pixels and may be analysed; any smaller edge would
  // make it too small.
  scantest::save(cv::Mat(40, 1000, CV_8UC3, cv::Scalar::all(120)), dir_ + "/strip.png");
  r = run({dir_ + "/strip.png", "--max-edge", "100"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.report["pixelWidth"], 1000);
}

TEST_F(ScanprobeRun, MaxEdgeBeyondMemoryFailsCleanly) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#else
  // 6000 × 4000 at full size needs about 1 GB of address space with the
  // decoder's room; in 900 MB the run is refused instead of dying
  // mid-decode.
  scantest::save(cv::Mat(4000, 6000, CV_8UC3, cv::Scalar(40, 90, 160)), dir_ + "/large.png");
  const Outcome r = run({dir_ + "/large.png", "--max-edge", "99999999"}, "ulimit -v 900000; ");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot decode image pixels: " + dir_ + "/large.png\n");
  EXPECT_EQ(r.out, "");
  // With the default edge the same file is analysed in the same limit.
  const Outcome shrunk = run({dir_ + "/large.png"}, "ulimit -v 900000; ");
  EXPECT_EQ(shrunk.status, 0) << shrunk.err;
#endif
}
