// The face detector, landmarks, pose, capture quality and people on real
// photographs.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>

#include "test_photos.h"
#include "vision.h"

namespace {

using vision_test::photo;
using vision_test::picture;

struct PhotoFaces {
  const char* name;
  std::size_t faces;
};

TEST(FaceRectangles, CountsFacesOnRealPhotos) {
  const PhotoFaces cases[] = {
      {"astronaut.png", 1}, {"grace_hopper_512x512.jpg", 1}, {"coffee.png", 0}, {"chelsea.png", 0}};
  for (const auto& c : cases) {
    const auto p = picture(photo(c.name));
    const vision::Handler handler(p.image());
    const auto faces = vision::detectFaceRectangles(handler);
    EXPECT_EQ(faces.size(), c.faces) << c.name;
    for (const auto& f : faces) {
      EXPECT_GT(f.confidence, 0.5f) << c.name;
      EXPECT_GE(f.boundingBox.minX(), 0.0) << c.name;
      EXPECT_GE(f.boundingBox.minY(), 0.0) << c.name;
      EXPECT_LE(f.boundingBox.maxX(), 1.0) << c.name;
      EXPECT_LE(f.boundingBox.maxY(), 1.0) << c.name;
    }
  }
}

// The astronaut's face lies in the upper middle of the picture: the box is
// in bottom-left coordinates, y up.
TEST(FaceRectangles, BoxUsesBottomLeftOrigin) {
  const auto p = picture(photo("astronaut.png"));
  const vision::Handler handler(p.image());
  const auto faces = vision::detectFaceRectangles(handler);
  ASSERT_EQ(faces.size(), 1u);
  const auto& box = faces[0].boundingBox;
  EXPECT_NEAR(box.midX(), 0.44, 0.06);
  EXPECT_NEAR(box.midY(), 0.75, 0.06);
  EXPECT_NEAR(box.width, 0.2, 0.05);
}

struct PlacedFace {
  cv::Rect box;  // pixels, top-left origin
};

// Real faces pasted at sizes from 2 % to 20 % of the shorter side onto a
// blurred real photo, alternating two portraits, every other one mirrored
// and some brightened or darkened.
cv::Mat groupPicture(std::vector<PlacedFace>& placed) {
  struct Source {
    cv::Mat image;
    cv::Rect face;  // the face in the source, pixels
  };
  const Source sources[] = {{photo("astronaut.png"), cv::Rect(174, 75, 102, 102)},
                            {photo("grace_hopper_512x512.jpg"), cv::Rect(170, 127, 194, 194)}};
  cv::Mat canvas;
  cv::resize(photo("coffee.png"), canvas, cv::Size(1200, 800), 0, 0, cv::INTER_AREA);
  cv::GaussianBlur(canvas, canvas, cv::Size(0, 0), 3);
  const int shorter = 800;
  const double fractions[] = {0.02, 0.025, 0.03, 0.035, 0.04, 0.05, 0.06, 0.08, 0.1, 0.12, 0.15, 0.2};
  int x = 20, y = 20, rowHeight = 0, i = 0;
  for (double fraction : fractions) {
    const Source& s = sources[i % 2];
    const int side = static_cast<int>(std::lround(fraction * shorter));
    cv::Rect head(s.face.x - s.face.width * 3 / 10, s.face.y - s.face.height * 3 / 10, s.face.width * 16 / 10,
                  s.face.height * 16 / 10);
    head &= cv::Rect(0, 0, s.image.cols, s.image.rows);
    cv::Mat h;
    cv::resize(s.image(head), h, cv::Size(side * head.width / s.face.width, side * head.height / s.face.height), 0, 0,
               cv::INTER_AREA);
    if (i % 2) cv::flip(h, h, 1);
    if (i % 3 == 1) h.convertTo(h, -1, 1.0, 20);
    if (i % 3 == 2) h.convertTo(h, -1, 0.85, 0);
    if (x + h.cols > 1180) {
      x = 20;
      y += rowHeight + 20;
      rowHeight = 0;
    }
    h.copyTo(canvas(cv::Rect(x, y, h.cols, h.rows)));
    const int offsetX = (i % 2) ? h.cols - (s.face.x - head.x) * side / s.face.width - side
                                : (s.face.x - head.x) * side / s.face.width;
    placed.push_back({cv::Rect(x + offsetX, y + (s.face.y - head.y) * side / s.face.height, side, side)});
    x += h.cols + 30;
    rowHeight = std::max(rowHeight, h.rows);
    ++i;
  }
  return canvas;
}

TEST(FaceRectangles, FindsSmallFacesInAGroupWithoutFalseFaces) {
  std::vector<PlacedFace> placed;
  const cv::Mat group = groupPicture(placed);
  ASSERT_GE(placed.size(), 10u);
  const auto p = picture(group);
  const vision::Handler handler(p.image());
  const auto faces = vision::detectFaceRectangles(handler);
  std::vector<bool> found(placed.size(), false);
  for (const auto& f : faces) {
    const double cx = f.boundingBox.midX() * group.cols, cy = (1 - f.boundingBox.midY()) * group.rows;
    bool matched = false;
    for (std::size_t i = 0; i < placed.size(); ++i) {
      const cv::Rect& r = placed[i].box;
      const double ratio = f.boundingBox.width * group.cols / r.width;
      if (r.contains(cv::Point(static_cast<int>(cx), static_cast<int>(cy))) && ratio > 0.5 && ratio < 2.0) {
        found[i] = true;
        matched = true;
      }
    }
    EXPECT_TRUE(matched) << "false face at " << cx << ", " << cy;
  }
  const auto count = std::count(found.begin(), found.end(), true);
  EXPECT_GE(static_cast<double>(count), 0.9 * static_cast<double>(placed.size()));
  // The smallest faces are 2 % of the shorter side.
  EXPECT_EQ(placed.front().box.width, 16);
}

TEST(FaceRectangles, OrientationSixIsDetectedUpright) {
  // Stored turned a quarter to the left: orientation 6 turns it back.
  cv::Mat stored;
  cv::rotate(photo("astronaut.png"), stored, cv::ROTATE_90_COUNTERCLOCKWISE);
  const auto p = picture(stored);
  const vision::Handler handler(p.image(), 6);
  const auto faces = vision::detectFaceRectangles(handler);
  ASSERT_EQ(faces.size(), 1u);
  EXPECT_NEAR(faces[0].boundingBox.midX(), 0.44, 0.06);
  EXPECT_NEAR(faces[0].boundingBox.midY(), 0.75, 0.06);
  ASSERT_TRUE(faces[0].roll.has_value());
  EXPECT_LT(std::abs(*faces[0].roll), 0.35);  // upright, not a quarter turn
}

bool inside(const vision::LandmarkRegion& region, double slack) {
  for (const auto& p : region.normalizedPoints)
    if (p.x < -slack || p.x > 1 + slack || p.y < -slack || p.y > 1 + slack) return false;
  return !region.normalizedPoints.empty();
}

double meanX(const vision::LandmarkRegion& r) {
  double sum = 0;
  for (const auto& p : r.normalizedPoints) sum += p.x;
  return sum / static_cast<double>(r.normalizedPoints.size());
}

double meanY(const vision::LandmarkRegion& r) {
  double sum = 0;
  for (const auto& p : r.normalizedPoints) sum += p.y;
  return sum / static_cast<double>(r.normalizedPoints.size());
}

TEST(FaceLandmarks, RegionsLieInsideTheirBoxInPlace) {
  for (const char* name : {"astronaut.png", "grace_hopper_512x512.jpg"}) {
    const auto p = picture(photo(name));
    const vision::Handler handler(p.image());
    const auto faces = vision::detectFaceCaptureQuality(handler);
    ASSERT_EQ(faces.size(), 1u) << name;
    const auto& f = faces[0];
    ASSERT_TRUE(f.landmarks.has_value()) << name;
    const auto& l = *f.landmarks;
    const std::optional<vision::LandmarkRegion>* regions[] = {
        &l.faceContour, &l.leftEye,  &l.rightEye,   &l.leftEyebrow, &l.rightEyebrow, &l.nose,
        &l.noseCrest,   &l.medianLine, &l.outerLips, &l.innerLips,  &l.leftPupil,   &l.rightPupil};
    for (const auto* r : regions) {
      ASSERT_TRUE(r->has_value()) << name;
      EXPECT_TRUE(inside(**r, 1e-9)) << name;
    }
    EXPECT_EQ(l.faceContour->normalizedPoints.size(), 17u);
    EXPECT_EQ(l.leftPupil->normalizedPoints.size(), 1u);
    // Left is the picture's left; y is up, so eyes lie above the mouth.
    EXPECT_LT(meanX(*l.leftEye), meanX(*l.rightEye)) << name;
    EXPECT_GT(meanY(*l.leftEye), meanY(*l.outerLips)) << name;
    EXPECT_GT(meanY(*l.leftEyebrow), meanY(*l.leftEye)) << name;
    EXPECT_GT(meanY(*l.nose), meanY(*l.outerLips)) << name;
    EXPECT_GT(l.confidence, 0.5f) << name;
    // Frontal portraits: small pose angles, a good capture.
    ASSERT_TRUE(f.yaw && f.roll) << name;
    EXPECT_LT(std::abs(*f.yaw), 20 * M_PI / 180) << name;
    EXPECT_LT(std::abs(*f.roll), 10 * M_PI / 180) << name;
    ASSERT_TRUE(f.faceCaptureQuality.has_value()) << name;
    EXPECT_GT(*f.faceCaptureQuality, 0.6f) << name;
    EXPECT_LE(*f.faceCaptureQuality, 1.0f) << name;
  }
}

// The landmark fit follows the head: roll turns with the picture, and a
// blurred copy is a worse capture.
TEST(FaceLandmarks, PoseAndQualityFollowThePicture) {
  const cv::Mat astronaut = photo("astronaut.png");
  const auto analyse = [](const cv::Mat& bgr) {
    const auto p = picture(bgr);
    const vision::Handler handler(p.image());
    auto faces = vision::detectFaceCaptureQuality(handler);
    return faces.size() == 1 ? std::optional(faces[0]) : std::nullopt;
  };
  const auto level = analyse(astronaut);
  cv::Mat tilted;
  const cv::Mat turn = cv::getRotationMatrix2D(cv::Point2f(225, 128), -15, 1.0);  // clockwise on screen
  cv::warpAffine(astronaut, tilted, turn, astronaut.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
  const auto clockwise = analyse(tilted);
  cv::Mat blurred;
  cv::GaussianBlur(astronaut, blurred, cv::Size(0, 0), 4);
  const auto soft = analyse(blurred);
  ASSERT_TRUE(level && clockwise && soft);
  ASSERT_TRUE(level->roll && clockwise->roll);
  EXPECT_NEAR((*clockwise->roll - *level->roll) * 180 / M_PI, 15, 5);
  EXPECT_LT(*soft->faceCaptureQuality, *level->faceCaptureQuality - 0.1f);
}

TEST(HumanRectangles, APortraitIsAPersonAndAStillLifeHasNone) {
  const PhotoFaces cases[] = {{"astronaut.png", 1}, {"grace_hopper_512x512.jpg", 1}, {"coffee.png", 0}};
  for (const auto& c : cases) {
    const auto p = picture(photo(c.name));
    const vision::Handler handler(p.image());
    const auto people = vision::detectHumanRectangles(handler);
    EXPECT_EQ(people.size(), c.faces) << c.name;
    for (const auto& person : people) {
      const auto faces = vision::detectFaceRectangles(handler);
      ASSERT_FALSE(faces.empty());
      const auto& face = faces[0].boundingBox;
      EXPECT_LE(person.boundingBox.minX(), face.midX()) << c.name;
      EXPECT_GE(person.boundingBox.maxX(), face.midX()) << c.name;
    }
  }
}

}  // namespace

// Every recogniser takes pictures of extreme shapes (a strip one reduction
// would turn into no rows at all, a single pixel) and finds nothing in them,
// without an error and without a buffer of the longer side squared.
TEST(Recognisers, ExtremeShapesGiveEmptyAnswers) {
  const cv::Size sizes[] = {{60000, 4}, {3, 50000}, {1, 1}};
  for (const cv::Size& size : sizes) {
    cv::Mat bgr(size, CV_8UC3);
    cv::randu(bgr, 0, 255);
    const auto p = picture(bgr);
    const vision::Handler handler(p.image());
    EXPECT_TRUE(vision::detectFaceLandmarks(handler).empty()) << size;
    EXPECT_TRUE(vision::detectHumanRectangles(handler).empty()) << size;
    EXPECT_NO_THROW(vision::classifyScene(handler)) << size;
    EXPECT_FALSE(vision::generateFeaturePrint(handler).data.empty()) << size;
    EXPECT_NO_THROW(vision::detectRectangles(handler)) << size;
    EXPECT_NO_THROW(vision::detectHorizon(handler)) << size;
  }
}
