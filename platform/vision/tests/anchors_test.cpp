// Anchor decoding, suppression, the search windows and the orientations of
// the handler; no models needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "blazeface.h"
#include "internal.h"
#include "vision.h"

namespace {

using vision::blazeface::Detection;
using vision::blazeface::RawOutputs;

struct Outputs {
  std::vector<float> scores1 = std::vector<float>(512, -50.0f);
  std::vector<float> scores2 = std::vector<float>(384, -50.0f);
  std::vector<float> boxes1 = std::vector<float>(512 * 16, 0.0f);
  std::vector<float> boxes2 = std::vector<float>(384 * 16, 0.0f);
  RawOutputs raw() const {
    return {scores1.data(), scores1.size(), scores2.data(), scores2.size(),
            boxes1.data(),  boxes1.size(),  boxes2.data(),  boxes2.size()};
  }
};

TEST(Anchors, DecodeOneAnchorOfEachGrid) {
  Outputs o;
  // First grid (16 × 16, 2 per cell): row 3, column 5, second anchor.
  const int a = (3 * 16 + 5) * 2 + 1;
  o.scores1[a] = 2.0f;
  float* r = &o.boxes1[static_cast<std::size_t>(a) * 16];
  r[0] = 12.8f;  // centre x offset, input pixels
  r[1] = -25.6f;
  r[2] = 64.0f;  // width
  r[3] = 32.0f;
  r[4] = 1.28f;  // first key point x offset
  // Second grid (8 × 8, 6 per cell): row 7, column 0, first anchor.
  const int b = (7 * 8 + 0) * 6;
  o.scores2[b] = 0.0f;
  o.boxes2[static_cast<std::size_t>(b) * 16 + 2] = 128.0f;
  o.boxes2[static_cast<std::size_t>(b) * 16 + 3] = 128.0f;
  bool ok = false;
  const auto found = vision::blazeface::decodeAnchors(o.raw(), 128, 0.4f, &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(found.size(), 2u);
  const Detection& d = found[0];
  EXPECT_NEAR(d.score, 1.0 / (1.0 + std::exp(-2.0)), 1e-6);
  const float cx = (5 + 0.5f) / 16 + 0.1f, cy = (3 + 0.5f) / 16 - 0.2f;
  EXPECT_NEAR(d.box.x, cx - 0.25f, 1e-6);
  EXPECT_NEAR(d.box.y, cy - 0.125f, 1e-6);
  EXPECT_NEAR(d.box.width, 0.5f, 1e-6);
  EXPECT_NEAR(d.box.height, 0.25f, 1e-6);
  EXPECT_NEAR(d.keyPoints[0].x, (5 + 0.5f) / 16 + 0.01f, 1e-6);
  EXPECT_NEAR(d.keyPoints[0].y, (3 + 0.5f) / 16, 1e-6);
  EXPECT_NEAR(found[1].score, 0.5f, 1e-6);
  EXPECT_NEAR(found[1].box.x, 0.5f / 8 - 0.5f, 1e-6);
  EXPECT_NEAR(found[1].box.y, 7.5f / 8 - 0.5f, 1e-6);
}

TEST(Anchors, WrongShapesAndBadValuesDecodeToNothing) {
  const Outputs good;
  struct Case {
    const char* description;
    RawOutputs raw;
    bool ok;
  };
  RawOutputs shortScores = good.raw();
  shortScores.scores1Count = 511;
  RawOutputs missingBoxes = good.raw();
  missingBoxes.boxes2 = nullptr;
  RawOutputs longBoxes = good.raw();
  longBoxes.boxes1Count += 16;
  const Case cases[] = {{"short scores", shortScores, false},
                        {"missing boxes", missingBoxes, false},
                        {"long boxes", longBoxes, false},
                        {"nothing at all", RawOutputs{}, false},
                        {"all below the threshold", good.raw(), true}};
  for (const auto& c : cases) {
    bool ok = !c.ok;
    EXPECT_TRUE(vision::blazeface::decodeAnchors(c.raw, 128, 0.5f, &ok).empty()) << c.description;
    EXPECT_EQ(ok, c.ok) << c.description;
  }
  Outputs odd;
  odd.scores1[0] = std::numeric_limits<float>::quiet_NaN();
  odd.scores1[1] = 5.0f;
  odd.boxes1[16 + 2] = std::numeric_limits<float>::infinity();
  odd.scores1[2] = 5.0f;  // zero width: not a box
  odd.scores2[0] = 1e30f;  // clamped logit, still a detection
  odd.boxes2[2] = odd.boxes2[3] = 10.0f;
  const auto found = vision::blazeface::decodeAnchors(odd.raw(), 128, 0.5f);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_FLOAT_EQ(found[0].score, 1.0f);
}

Detection detection(float x, float y, float size, float score) {
  Detection d;
  d.box = cv::Rect2f(x, y, size, size);
  d.score = score;
  for (auto& p : d.keyPoints) p = {x, y};
  return d;
}

TEST(Anchors, SuppressionBlendsOverlapsAndKeepsSeparateFaces) {
  const auto kept = vision::blazeface::suppress(
      {detection(0.1f, 0.1f, 0.2f, 0.6f), detection(0.12f, 0.1f, 0.2f, 0.9f), detection(0.6f, 0.6f, 0.2f, 0.7f)},
      0.3f);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_FLOAT_EQ(kept[0].score, 0.9f);
  EXPECT_NEAR(kept[0].box.x, (0.1f * 0.6f + 0.12f * 0.9f) / 1.5f, 1e-6);
  EXPECT_NEAR(kept[0].keyPoints[3].x, kept[0].box.x, 1e-6);
  EXPECT_FLOAT_EQ(kept[1].box.x, 0.6f);
  EXPECT_FLOAT_EQ(vision::blazeface::overlap(cv::Rect2f(0, 0, 0, 1), cv::Rect2f(0, 0, 1, 1)), 0.0f);
  // Scores that underflowed to zero: no division by a zero weight.
  const auto zero = vision::blazeface::suppress({detection(0.1f, 0.1f, 0.2f, 0.0f), detection(0.11f, 0.1f, 0.2f, 0.0f)}, 0.3f);
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_FLOAT_EQ(zero[0].box.x, 0.1f);
}

// Every face from 2 % to 6 % of the shorter side lies whole inside some
// window of the finest level, and every face up to a quarter of the shorter
// side inside some window of the coarsest, wherever it is.
TEST(FaceWindows, SmallFacesLieWholeInSomeWindow) {
  const cv::Size sizes[] = {{1200, 800}, {800, 1200}, {4000, 3000}, {512, 512}, {3000, 1000}, {301, 97}};
  struct Level {
    int level;
    double largestFace;  // fraction of the shorter side
  };
  const Level levels[] = {{2, 0.0625}, {1, 0.125}, {0, 0.25}};
  for (const auto& size : sizes) {
    const int shorter = std::min(size.width, size.height);
    for (const auto& l : levels) {
      const auto windows = vision::detail::faceWindows(size, l.level);
      for (const cv::Rect& w : windows) {
        EXPECT_EQ(w.width, w.height);
        EXPECT_TRUE((w & cv::Rect(cv::Point(), size)) == w) << "window outside the picture";
      }
      const int face = std::max(1, static_cast<int>(std::floor(l.largestFace * shorter)) - 1);
      const int step = std::max(1, shorter / 50);
      for (int y = 0; y + face <= size.height; y += step)
        for (int x = 0; x + face <= size.width; x += step) {
          const cv::Rect f(x, y, face, face);
          const bool whole = std::any_of(windows.begin(), windows.end(), [&](const cv::Rect& w) { return (w & f) == f; });
          ASSERT_TRUE(whole) << size << " level " << l.level << " face " << f;
        }
    }
  }
}

// A window is read into the network's input at the input's size, the part
// outside the picture mid grey, whatever the window's own size: a long
// strip letterboxed whole must not cost its longer side squared.
TEST(FaceWindows, InputIsTheWindowReducedWithGreyOutside) {
  cv::Mat strip(4, 60000, CV_8UC3, cv::Scalar(0, 0, 255));
  const cv::Mat whole = vision::detail::windowInput(strip, cv::Rect(0, -29998, 60000, 60000), 256);
  ASSERT_EQ(whole.size(), cv::Size(256, 256));
  EXPECT_EQ(whole.at<cv::Vec3b>(128, 10), cv::Vec3b(0, 0, 255));
  EXPECT_EQ(whole.at<cv::Vec3b>(10, 10), cv::Vec3b(127, 127, 127));
  EXPECT_EQ(whole.at<cv::Vec3b>(250, 250), cv::Vec3b(127, 127, 127));

  // A 100-pixel window half past the right edge of a blue picture, enlarged.
  cv::Mat blue(200, 200, CV_8UC3, cv::Scalar(255, 0, 0));
  const cv::Mat edge = vision::detail::windowInput(blue, cv::Rect(150, 50, 100, 100), 128);
  EXPECT_EQ(edge.at<cv::Vec3b>(64, 10), cv::Vec3b(255, 0, 0));
  EXPECT_EQ(edge.at<cv::Vec3b>(64, 60), cv::Vec3b(255, 0, 0));
  EXPECT_EQ(edge.at<cv::Vec3b>(64, 70), cv::Vec3b(127, 127, 127));
  EXPECT_TRUE(vision::detail::windowInput(blue, cv::Rect(300, 300, 50, 50), 128).empty());
}

// A 3 × 2 picture with distinct pixels, stored as each orientation would
// store it; the handler must give back the same upright picture.
TEST(Handler, AppliesEveryOrientation) {
  // Upright picture: 3 wide, 2 high; red channel = index.
  const int uw = 3, uh = 2;
  const auto upright = [&](int x, int y) { return static_cast<std::uint8_t>(10 * (y * uw + x) + 10); };
  struct Orientation {
    int code;
    bool swapped;
    // Where stored pixel (sx, sy) comes from in the upright picture.
    std::function<std::pair<int, int>(int, int)> source;
  };
  const Orientation orientations[] = {
      {1, false, [&](int x, int y) { return std::pair{x, y}; }},
      {2, false, [&](int x, int y) { return std::pair{uw - 1 - x, y}; }},
      {3, false, [&](int x, int y) { return std::pair{uw - 1 - x, uh - 1 - y}; }},
      {4, false, [&](int x, int y) { return std::pair{x, uh - 1 - y}; }},
      {5, true, [&](int x, int y) { return std::pair{y, x}; }},
      {6, true, [&](int x, int y) { return std::pair{uw - 1 - y, x}; }},
      {7, true, [&](int x, int y) { return std::pair{uw - 1 - y, uh - 1 - x}; }},
      {8, true, [&](int x, int y) { return std::pair{y, uh - 1 - x}; }},
  };
  for (const auto& o : orientations) {
    const int sw = o.swapped ? uh : uw, sh = o.swapped ? uw : uh;
    std::vector<std::uint8_t> stored(static_cast<std::size_t>(sw * sh * 4), 255);
    for (int y = 0; y < sh; ++y)
      for (int x = 0; x < sw; ++x) {
        const auto [ux, uy] = o.source(x, y);
        stored[static_cast<std::size_t>((y * sw + x) * 4)] = upright(ux, uy);
      }
    const vision::Handler handler(vision::Image{stored.data(), sw, sh, static_cast<std::size_t>(sw * 4), 8},
                                  o.code);
    ASSERT_EQ(handler.width(), uw) << o.code;
    ASSERT_EQ(handler.height(), uh) << o.code;
    const cv::Mat& bgr = handler.state().upright;
    for (int y = 0; y < uh; ++y)
      for (int x = 0; x < uw; ++x) EXPECT_EQ(bgr.at<cv::Vec3b>(y, x)[2], upright(x, y)) << o.code << " " << x << "," << y;
  }
}

TEST(Handler, ReadsSixteenBitPicturesAndPaddedRows) {
  // 2 × 1, 16 bits, rows padded to 24 bytes.
  std::vector<std::uint16_t> words(12, 0);
  words[0] = 65535;  // red of the first pixel
  words[5] = 32896;  // green of the second: 128 in 8 bits
  const vision::Handler handler(
      vision::Image{reinterpret_cast<const std::uint8_t*>(words.data()), 2, 1, 24, 16});
  const cv::Mat& bgr = handler.state().upright;
  EXPECT_EQ(bgr.at<cv::Vec3b>(0, 0)[2], 255);
  EXPECT_EQ(bgr.at<cv::Vec3b>(0, 1)[1], 128);
}

TEST(Geometry, NormalisedBoxesHaveTheirOriginBottomLeft) {
  const cv::Size size(200, 100);
  const vision::Rect r = vision::detail::normalizedRect(cv::Rect2d(20, 10, 50, 30), size);
  EXPECT_DOUBLE_EQ(r.x, 0.1);
  EXPECT_DOUBLE_EQ(r.y, 0.6);
  EXPECT_DOUBLE_EQ(r.width, 0.25);
  EXPECT_DOUBLE_EQ(r.height, 0.3);
  const cv::Rect2d back = vision::detail::pixelRect(r, size);
  EXPECT_NEAR(back.x, 20, 1e-9);
  EXPECT_NEAR(back.y, 10, 1e-9);
  EXPECT_NEAR(back.width, 50, 1e-9);
  EXPECT_NEAR(back.height, 30, 1e-9);
}

}  // namespace
