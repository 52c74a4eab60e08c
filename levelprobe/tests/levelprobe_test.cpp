#include "levelprobe.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <sys/wait.h>
#include <vips/vips.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "json.h"
#include "scan_pictures.h"

namespace {

namespace fs = std::filesystem;
using namespace levelprobe;

TEST(LevelResult, CorrectionIsTheNegatedAngleInDegrees) {
  const std::vector<std::pair<double, double>> cases{
      {0.0349, -0.0349 * 180 / std::numbers::pi},  // about −2
      {-0.1, 0.1 * 180 / std::numbers::pi},
      {0.0, 0.0},
      {std::numbers::pi / 4, -45.0},
  };
  for (auto [radians, degrees] : cases) {
    const HorizonResult r = horizonResult({radians, 0.5f});
    EXPECT_DOUBLE_EQ(r.angleDegrees, degrees) << radians;
    EXPECT_EQ(r.confidence, 0.5);
  }
  EXPECT_NEAR(horizonResult({0.0349, 0.f}).angleDegrees, -2, 0.01);
  // The confidence is the detector's 32-bit value widened, not rounded.
  EXPECT_EQ(horizonResult({0, 0.7f}).confidence, static_cast<double>(0.7f));
}

TEST(LevelResult, SortedCompactJson) {
  EXPECT_EQ(*encodeResult({-2.5, 0.75}), R"({"angleDegrees":-2.5,"confidence":0.75})");
  EXPECT_EQ(*encodeResult(horizonResult({0.0, 1.0f})), R"({"angleDegrees":0,"confidence":1})");
  EXPECT_EQ(*encodeResult({1.0 / 3, static_cast<double>(0.7f)}),
            R"({"angleDegrees":0.3333333333333333,"confidence":0.699999988079071})");
  EXPECT_FALSE(encodeResult({std::nan(""), 0.5}));
  EXPECT_FALSE(encodeResult({1.0, HUGE_VAL}));
}

struct Outcome : scantest::Run {
  json::Value result;
};

using scantest::slurp;

// The picture turned counter-clockwise (as seen) by `degrees` about its
// centre and cropped to the largest centred rectangle of its proportions
// that the turned picture fills, so that no border edge is left.
cv::Mat turnedAndCropped(const cv::Mat& picture, double degrees) {
  if (degrees == 0) return picture;
  const cv::Point2f centre(picture.cols / 2.0f, picture.rows / 2.0f);
  cv::Mat turned;
  cv::warpAffine(picture, turned, cv::getRotationMatrix2D(centre, degrees, 1.0), picture.size(), cv::INTER_CUBIC,
                 cv::BORDER_REFLECT);
  const double t = std::abs(degrees) * std::numbers::pi / 180, w = picture.cols, h = picture.rows;
  const double scale = std::min(w / (w * std::cos(t) + h * std::sin(t)), h / (w * std::sin(t) + h * std::cos(t)));
  const int width = static_cast<int>(w * scale) - 2, height = static_cast<int>(h * scale) - 2;
  return turned(cv::Rect((picture.cols - width) / 2, (picture.rows - height) / 2, width, height)).clone();
}

class LevelprobeRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(VIPS_INIT("levelprobe_test"), 0);
    vips_cache_set_max(0);
  }
  void SetUp() override {
    char pattern[] = "/tmp/levelprobe_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  Outcome run(const std::vector<std::string>& args) {
    Outcome outcome;
    static_cast<scantest::Run&>(outcome) = scantest::runProgram("levelprobe", args, dir_);
    if (outcome.status == 0 && !outcome.out.empty() && outcome.out.back() == '\n')
      if (auto parsed = json::parse(std::string_view(outcome.out).substr(0, outcome.out.size() - 1)))
        outcome.result = *parsed;
    return outcome;
  }

  std::string dir_;
};

struct HorizonPhoto {
  std::string name;
  std::string package;
  // The horizon's own tilt in the file, in degrees (rising to the right
  // positive), measured apart from the detector: the waterline traced
  // column by column at full size (the brightest row of the thin shore
  // reflection in summer_1am, the strongest step from the far shore's trees
  // to the water in EveningGlow) and fitted with a line.
  double tilt;
};

TEST_F(LevelprobeRun, TurnedPhotosComeBackLevel) {
  const std::vector<HorizonPhoto> photos{
      {"summer_1am", "plasma-workspace-wallpapers", 0.06},
      {"EveningGlow", "plasma-workspace-wallpapers", -0.24},
  };
  std::vector<std::pair<std::string, cv::Mat>> pictures;
  for (const auto& photo : photos) {
    // The wallpaper's 2560 × 1600 picture.
    const std::string folder = scantest::packagedPhoto(photo.name, photo.package);
    ASSERT_FALSE(folder.empty()) << "cannot fetch " << photo.name << " from " << photo.package;
    pictures.push_back({photo.name, scantest::load(folder + "/contents/images/2560x1600.jpg")});
  }
  // A made-up landscape whose horizon is exactly level.
  pictures.push_back({"synthetic", scantest::syntheticPhoto({1600, 1000}, 11)});
  const std::vector<double> tilts{photos[0].tilt, photos[1].tilt, 0.0};

  for (std::size_t i = 0; i < pictures.size(); ++i) {
    for (double turn : {-10.0, -2.0, 0.0, 3.0, 8.0}) {
      const std::string what = pictures[i].first + " turned " + std::to_string(turn);
      const std::string path = dir_ + "/turned.jpg";
      scantest::save(turnedAndCropped(pictures[i].second, turn), path + "[Q=92]");
      const Outcome r = run({path});
      ASSERT_EQ(r.status, 0) << what << ": " << r.err;
      EXPECT_NEAR(r.result["angleDegrees"].get<double>(), -(tilts[i] + turn), 0.5) << what;
      EXPECT_GT(r.result["confidence"].get<double>(), 0.25) << what;
      EXPECT_LE(r.result["confidence"].get<double>(), 1.0) << what;
    }
  }

  // Stored turned a quarter with orientation 6: the angle is the upright
  // picture's.
  const std::string path = dir_ + "/oriented.jpg";
  scantest::save(turnedAndCropped(pictures[0].second, 3.0), path + "[Q=92]", 6);
  const Outcome r = run({path, "extra", "arguments"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NEAR(r.result["angleDegrees"].get<double>(), -(tilts[0] + 3.0), 0.5);
}

TEST_F(LevelprobeRun, NoHorizonInCloseUpsOrUniformFields) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const char* name : {"chelsea.png", "coffee.png"}) {
    const std::string path = scantest::packagedPhoto(name, "python3-skimage");
    ASSERT_FALSE(path.empty()) << "cannot fetch " << name;
    files.push_back({name, path});
  }
  scantest::save(cv::Mat(600, 900, CV_8UC3, cv::Scalar(120, 140, 90)), dir_ + "/field.png");
  files.push_back({"uniform field", dir_ + "/field.png"});
  cv::Mat noise(600, 900, CV_8UC3);
  cv::randu(noise, 0, 255);
  scantest::save(noise, dir_ + "/noise.png");
  files.push_back({"noise", dir_ + "/noise.png"});
  for (const auto& [what, path] : files) {
    const Outcome r = run({path});
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_EQ(r.err, "No horizon detected\n") << what;
    EXPECT_EQ(r.out, "") << what;
  }
}

TEST_F(LevelprobeRun, FailuresPrintOneMessage) {
  std::ofstream(dir_ + "/text.txt") << "not a picture";
  scantest::save(scantest::syntheticPhoto({600, 400}, 5), dir_ + "/whole.jpg");
  const std::string data = slurp(dir_ + "/whole.jpg");
  std::ofstream(dir_ + "/cut.jpg", std::ios::binary).write(data.data(), std::streamsize(data.size() / 2));
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{}, "Usage: levelprobe <input-image>"},
      {{dir_ + "/missing.jpg"}, "Cannot read image: " + dir_ + "/missing.jpg"},
      {{dir_ + "/text.txt"}, "Cannot read image: " + dir_ + "/text.txt"},
      {{dir_}, "Cannot read image: " + dir_},
      {{dir_ + "/cut.jpg"}, "Cannot read image: " + dir_ + "/cut.jpg"},
  };
  for (const auto& [arguments, message] : cases) {
    const Outcome r = run(arguments);
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(r.err, message + "\n");
    EXPECT_EQ(r.out, "") << message;
  }
}

}  // namespace
