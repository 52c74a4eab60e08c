// How the reports filter, normalise and combine what the recognisers return.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "reports.h"

namespace {

using namespace sightgauge;

TEST(Labels, KeptAtOrAboveTheMinimumFirstTwentyInOrder) {
  std::vector<vision::Classification> labels;
  // 0.3, 0.01, then 0.08 exactly, then alternating 0.5 / 0.079 ...
  labels.push_back({"sky", 0.3f});
  labels.push_back({"low", 0.01f});
  labels.push_back({"edge", 0.08f});
  for (int i = 0; i < 40; ++i) labels.push_back({"l" + std::to_string(i), i % 2 ? 0.079f : 0.5f});
  const auto kept = keptClassifications(labels);
  ASSERT_EQ(kept.size(), 20u);
  EXPECT_EQ(kept[0].label, "sky");
  EXPECT_EQ(kept[1].label, "edge");  // exactly 0.08 is kept
  EXPECT_EQ(kept[2].label, "l0");
  EXPECT_EQ(kept[19].label, "l34");  // every other one, in the classifier's order
  EXPECT_TRUE(keptClassifications({{"a", 0.07f}, {"b", 0.0f}}).empty());
}

vision::FeaturePrintObservation printOf(const std::vector<double>& values, vision::ElementType type,
                                        std::int64_t count = -1) {
  vision::FeaturePrintObservation print;
  print.elementType = type;
  print.elementCount = count < 0 ? static_cast<std::int64_t>(values.size()) : count;
  const bool doubles = type == vision::ElementType::float64;
  const std::size_t size = doubles ? sizeof(double) : sizeof(float);
  print.data.resize(values.size() * size);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const float single = static_cast<float>(values[i]);
    std::memcpy(print.data.data() + i * size, doubles ? static_cast<const void*>(&values[i]) : &single, size);
  }
  return print;
}

TEST(Embedding, NormalisedToUnitLengthInEitherPrecision) {
  const auto single = normalizedEmbedding(printOf({3, 4}, vision::ElementType::float32));
  const auto twice = normalizedEmbedding(printOf({3, 4}, vision::ElementType::float64));
  EXPECT_EQ(single, (std::vector<float>{0.6f, 0.8f}));
  EXPECT_EQ(twice, single);

  struct Case {
    const char* name;
    vision::FeaturePrintObservation print;
    std::vector<float> expected;
  };
  auto bytesOnly = [](std::size_t size, vision::ElementType type, std::int64_t count) {
    vision::FeaturePrintObservation print;
    print.data.assign(size, 0);
    print.elementType = type;
    print.elementCount = count;
    return print;
  };
  const Case cases[] = {
      {"all zero stays zero", printOf({0, 0, 0}, vision::ElementType::float32), {0, 0, 0}},
      {"count below the data", printOf({3, 4, 12}, vision::ElementType::float32, 2), {0.6f, 0.8f}},
      {"data below the count", printOf({3, 4}, vision::ElementType::float32, 9), {0.6f, 0.8f}},
      {"no elements", printOf({3, 4}, vision::ElementType::float32, 0), {}},
      {"under one float", bytesOnly(3, vision::ElementType::float32, 1), {}},
      {"under one double", bytesOnly(7, vision::ElementType::float64, 1), {}},
      {"unknown type", bytesOnly(16, static_cast<vision::ElementType>(3), 4), {}},
  };
  for (const Case& c : cases) EXPECT_EQ(normalizedEmbedding(c.print), c.expected) << c.name;
}

vision::FaceObservation faceAt(double x, double y, double w, double h) {
  vision::FaceObservation face;
  face.boundingBox = {x, y, w, h};
  return face;
}

TEST(Nearest, ClosestCentreUnderTheReachTiesKeepTheFirst) {
  const vision::Rect box{0.4, 0.4, 0.2, 0.2};  // centre (0.5, 0.5)
  EXPECT_EQ(nearest({}, box), nullptr);

  std::vector<vision::FaceObservation> list{faceAt(0.43, 0.4, 0.2, 0.2), faceAt(0.42, 0.4, 0.2, 0.2),
                                            faceAt(0.38, 0.4, 0.2, 0.2)};
  EXPECT_EQ(nearest(list, box), &list[1]);  // 0.02 away, strictly less than the first's 0.03; the third ties

  std::vector<vision::FaceObservation> tie{faceAt(0.42, 0.4, 0.2, 0.2), faceAt(0.38, 0.4, 0.2, 0.2)};
  EXPECT_EQ(nearest(tie, box), &tie[0]);

  std::vector<vision::FaceObservation> far{faceAt(0.45, 0.4, 0.2, 0.2), faceAt(0.4, 0.46, 0.2, 0.2)};
  EXPECT_EQ(nearest(far, box), nullptr);  // 0.05 and 0.06: not under 0.05
  far.push_back(faceAt(0.43, 0.44, 0.2, 0.2));  // √(0.03² + 0.04²) = 0.05 again, up to rounding
  const auto* found = nearest(far, box);
  EXPECT_TRUE(found == nullptr || found == &far[2]);
}

std::vector<std::uint8_t> gridOf(int side, const std::function<int(int, int)>& level) {
  std::vector<std::uint8_t> grid(static_cast<std::size_t>(side) * side);
  for (int r = 0; r < side; ++r)
    for (int c = 0; c < side; ++c) grid[static_cast<std::size_t>(r) * side + c] = static_cast<std::uint8_t>(level(r, c));
  return grid;
}

TEST(FaceCrop, SharpnessAndContrastOfTheGrid) {
  const FaceSharpness flat = sharpnessOfGrid(gridOf(96, [](int, int) { return 128; }));
  EXPECT_EQ(flat.sharpness, 0);
  EXPECT_EQ(flat.contrast, 0);

  // Half 0, half 200 (columns): σ = 100. The Laplacian is ±200 on the two
  // interior columns beside the edge (47 and 48) and 0 elsewhere, so its
  // mean is 0 and its variance 2 × 94 × 200² / 94².
  const FaceSharpness edge = sharpnessOfGrid(gridOf(96, [](int, int c) { return c < 48 ? 0 : 200; }));
  EXPECT_DOUBLE_EQ(edge.contrast, 100);
  EXPECT_DOUBLE_EQ(edge.sharpness, 2.0 * 94 * 40000 / (94.0 * 94));

  // A checkerboard of 0 and 100: every interior Laplacian is ±400.
  const FaceSharpness checker = sharpnessOfGrid(gridOf(96, [](int r, int c) { return (r + c) % 2 ? 100 : 0; }));
  EXPECT_DOUBLE_EQ(checker.contrast, 50);
  EXPECT_DOUBLE_EQ(checker.sharpness, 160000);
}

imageio::Raster solid(int width, int height, std::uint8_t level) {
  imageio::Raster raster;
  raster.width = width;
  raster.height = height;
  raster.data.assign(static_cast<std::size_t>(width) * height * 4, level);
  return raster;
}

TEST(FaceCrop, OnlyUprightFilesAndCropsOfEightPixels) {
  const imageio::Raster grey = solid(200, 100, 90);
  struct Case {
    const char* name;
    vision::Rect box;
    int orientation;
    bool measured;
  };
  const Case cases[] = {
      {"middle", {0.4, 0.4, 0.2, 0.2}, 1, true},
      {"touching the top edge", {0.4, 0.8, 0.2, 0.2}, 1, true},
      {"past the right edge", {0.95, 0.4, 0.2, 0.2}, 1, true},
      {"turned file", {0.4, 0.4, 0.2, 0.2}, 6, false},
      {"mirrored file", {0.4, 0.4, 0.2, 0.2}, 2, false},
      // 0.02 × 1.24 × 200 = 4.96 pixels wide: under 8 once rounded.
      {"tiny", {0.5, 0.5, 0.02, 0.2}, 1, false},
      {"tiny and low", {0.5, 0.5, 0.2, 0.05}, 1, false},
  };
  for (const Case& c : cases) {
    const auto measured = faceSharpness(grey, c.box, c.orientation);
    EXPECT_EQ(measured.has_value(), c.measured) << c.name;
    if (measured) {
      EXPECT_EQ(measured->contrast, 0) << c.name;
      EXPECT_EQ(measured->sharpness, 0) << c.name;
    }
  }
}

TEST(FaceCrop, TheCropIsTheBoxPaddedMeasuredFromTheTop) {
  // A bright square on black, 40 × 40 pixels at columns 80..119 and rows
  // 20..59 from the top of a 200 × 100 picture. Its box (y up) is x 0.4,
  // y 0.4, 0.2 × 0.4: the padded crop holds the square with a black rim,
  // so it has contrast; the same box moved to the bottom half sees black.
  imageio::Raster picture = solid(200, 100, 0);
  for (int row = 20; row < 60; ++row)
    for (int column = 80; column < 120; ++column)
      for (int c = 0; c < 3; ++c) picture.data[(static_cast<std::size_t>(row) * 200 + column) * 4 + c] = 250;
  for (std::size_t i = 3; i < picture.data.size(); i += 4) picture.data[i] = 255;
  const auto onSquare = faceSharpness(picture, {0.4, 0.4, 0.2, 0.4}, 1);
  ASSERT_TRUE(onSquare);
  EXPECT_GT(onSquare->contrast, 80);
  EXPECT_GT(onSquare->sharpness, 0);
  const auto below = faceSharpness(picture, {0.4, 0.0, 0.2, 0.3}, 1);
  ASSERT_TRUE(below);
  EXPECT_EQ(below->contrast, 0);
}

TEST(FaceReport, CombinesLandmarksQualityAndPoseByNearestBox) {
  const imageio::Raster grey = solid(100, 100, 60);
  vision::FaceObservation plain = faceAt(0.1, 0.1, 0.2, 0.2);
  plain.yaw = 0.5;
  vision::FaceObservation other = faceAt(0.6, 0.6, 0.2, 0.2);
  other.roll = -std::numbers::pi / 4;

  vision::FaceObservation fitted = faceAt(0.11, 0.1, 0.2, 0.2);  // 0.01 from `plain`
  fitted.yaw = std::numbers::pi / 6;
  vision::FaceLandmarks marks;
  marks.confidence = 0.75f;
  marks.leftEye = vision::LandmarkRegion{};
  marks.rightEye = vision::LandmarkRegion{};
  marks.outerLips = vision::LandmarkRegion{};
  fitted.landmarks = marks;
  vision::FaceObservation rated = faceAt(0.6, 0.62, 0.2, 0.2);  // 0.02 from `other`
  rated.faceCaptureQuality = 0.25f;
  vision::FaceObservation farLandmarks = faceAt(0.6, 0.66, 0.2, 0.2);  // 0.06 from `other`
  farLandmarks.landmarks = marks;
  farLandmarks.roll = 1.0;

  const auto faces = combineFaces({plain, other}, {fitted, farLandmarks}, {rated}, grey, 1);
  ASSERT_EQ(faces.size(), 2u);
  EXPECT_EQ(faces[0].x, 0.1);
  EXPECT_EQ(faces[0].w, 0.2);
  EXPECT_TRUE(faces[0].eyes);
  EXPECT_FALSE(faces[0].nose);
  EXPECT_TRUE(faces[0].mouth);
  EXPECT_EQ(faces[0].landmarkConfidence, 0.75);
  EXPECT_NEAR(*faces[0].yaw, 30, 1e-12);  // the landmark observation's pose wins
  EXPECT_FALSE(faces[0].roll);
  EXPECT_FALSE(faces[0].quality);  // the only rated face is 0.5 away
  EXPECT_TRUE(faces[0].sharpness);

  EXPECT_FALSE(faces[1].eyes);  // its landmarks are 0.06 away
  EXPECT_EQ(faces[1].landmarkConfidence, 0);
  EXPECT_NEAR(*faces[1].roll, -45, 1e-12);  // the rectangle's own pose
  EXPECT_FALSE(faces[1].yaw);
  EXPECT_EQ(*faces[1].quality, 0.25);

  const auto turned = combineFaces({plain}, {}, {}, grey, 6);
  EXPECT_FALSE(turned[0].sharpness);
  EXPECT_FALSE(turned[0].contrast);
}

TEST(FaceReport, OptionalMembersAreLeftOut) {
  FaceReport report;
  report.detectorRevision = 3;
  report.imageWidth = 30;
  report.imageHeight = 40;
  FaceDetail bare;
  bare.x = 0.5;
  report.faces.push_back(bare);
  const Encoded encoded = encodeRecord(toJson(report));
  ASSERT_TRUE(encoded.text);
  EXPECT_EQ(*encoded.text,
            R"({"detectorRevision":3,"imageWidth":30,"imageHeight":40,"faces":[{"x":0.5,"y":0,"w":0,"h":0,)"
            R"("eyes":false,"nose":false,"mouth":false,"landmarkConfidence":0}]})");
  report.faces[0].sharpness = NAN;
  EXPECT_FALSE(encodeRecord(toJson(report)).text);
}

}  // namespace
