// sightgauge's reports built on the recognisers: the default analysis report
// and the face report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sightgauge.h"
#include "vision.h"

namespace sightgauge {

// ---------------------------------------------------------------------------
// Default analysis report

struct Classification {
  std::string label;
  float confidence = 0;
};

struct VisionAnalysis {
  int classifierRevision = 0;
  int featurePrintRevision = 0;
  std::vector<Classification> classifications;
  std::int64_t humanCount = 0;
  std::int64_t faceCount = 0;
  std::vector<float> embedding;
  PixelProfile pixelProfile;
};

inline constexpr float minimumLabelConfidence = 0.08f;
inline constexpr std::size_t maximumLabels = 20;

// The labels at or above the minimum confidence, in the classifier's order,
// at most twenty.
std::vector<Classification> keptClassifications(const std::vector<vision::Classification>& labels);

// The feature print as a unit-length vector of 32-bit values (all zero when
// the print is all zero); empty when the print holds no usable value.
std::vector<float> normalizedEmbedding(const vision::FeaturePrintObservation& print);

json::Value toJson(const VisionAnalysis& analysis);

// ---------------------------------------------------------------------------
// Face report

struct FaceDetail {
  double x = 0, y = 0, w = 0, h = 0;
  std::optional<double> quality;
  std::optional<double> yaw;
  std::optional<double> roll;
  bool eyes = false;
  bool nose = false;
  bool mouth = false;
  double landmarkConfidence = 0;
  std::optional<double> sharpness;
  std::optional<double> contrast;
};

struct FaceReport {
  int detectorRevision = 0;
  std::int64_t imageWidth = 0;
  std::int64_t imageHeight = 0;
  std::vector<FaceDetail> faces;
};

// The observation whose box centre lies nearest the box's centre, when that
// is under 0.05 away (ties keep the earlier one).
const vision::FaceObservation* nearest(const std::vector<vision::FaceObservation>& observations,
                                       const vision::Rect& box);

struct FaceSharpness {
  double sharpness = 0;  // variance of the Laplacian over the face crop
  double contrast = 0;   // standard deviation of its grey levels
};

// Measures the face area of the stored raster; only for orientation 1 (the
// box refers to the upright picture) and crops of at least 8 × 8 pixels.
std::optional<FaceSharpness> faceSharpness(const imageio::Raster& image, const vision::Rect& box, int orientation);

// The face crop's measures from its 96 × 96 grey grid.
FaceSharpness sharpnessOfGrid(const std::vector<std::uint8_t>& grid);

// Combines the three face requests' results into the report's faces.
std::vector<FaceDetail> combineFaces(const std::vector<vision::FaceObservation>& rectangles,
                                     const std::vector<vision::FaceObservation>& landmarks,
                                     const std::vector<vision::FaceObservation>& qualities,
                                     const imageio::Raster& image, int orientation);

json::Value toJson(const FaceReport& report);

// ---------------------------------------------------------------------------
// The modes; each writes its answer or fails.

void runAnalysis(const std::string& path);
void runFaceReport(const std::string& path);

}  // namespace sightgauge
