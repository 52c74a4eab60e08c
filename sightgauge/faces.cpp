// The face report: every face box with the nearest landmark and quality
// observations, pose, and the sharpness and contrast of the face crop.
#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <numbers>

#include "reports.h"

namespace sightgauge {

namespace {

constexpr double nearestReach = 0.05;  // centre distance, normalised units
constexpr double cropPadding = 0.12;   // of the box's width and height, each side
constexpr int minimumCropSide = 8;
constexpr int gridSide = 96;

double degrees(double radians) { return radians * 180 / std::numbers::pi; }

}  // namespace

const vision::FaceObservation* nearest(const std::vector<vision::FaceObservation>& observations,
                                       const vision::Rect& box) {
  if (observations.empty()) return nullptr;
  auto distance = [&](const vision::FaceObservation& observation) {
    const double dx = observation.boundingBox.midX() - box.midX();
    const double dy = observation.boundingBox.midY() - box.midY();
    return std::sqrt(dx * dx + dy * dy);
  };
  const vision::FaceObservation* best = &observations.front();
  double bestDistance = distance(*best);
  for (std::size_t i = 1; i < observations.size(); ++i) {
    const double d = distance(observations[i]);
    if (d < bestDistance) {
      best = &observations[i];
      bestDistance = d;
    }
  }
  return bestDistance < nearestReach ? best : nullptr;
}

FaceSharpness sharpnessOfGrid(const std::vector<std::uint8_t>& grid) {
  const int side = static_cast<int>(std::lround(std::sqrt(static_cast<double>(grid.size()))));
  double sum = 0, squares = 0;
  for (std::uint8_t p : grid) {
    sum += p;
    squares += double(p) * p;
  }
  const double count = static_cast<double>(grid.size());
  const double mean = sum / count;
  FaceSharpness out;
  // Rounding can leave a hair below zero where the true variance is zero.
  out.contrast = std::sqrt(std::max(0.0, squares / count - mean * mean));

  double laplacianSum = 0, laplacianSquares = 0;
  auto at = [&](int row, int column) { return double(grid[static_cast<std::size_t>(row) * side + column]); };
  for (int r = 1; r < side - 1; ++r)
    for (int c = 1; c < side - 1; ++c) {
      const double l = 4 * at(r, c) - at(r, c - 1) - at(r, c + 1) - at(r - 1, c) - at(r + 1, c);
      laplacianSum += l;
      laplacianSquares += l * l;
    }
  const double interior = double(side - 2) * (side - 2);
  const double laplacianMean = laplacianSum / interior;
  out.sharpness = std::max(0.0, laplacianSquares / interior - laplacianMean * laplacianMean);
  return out;
}

std::optional<FaceSharpness> faceSharpness(const imageio::Raster& image, const vision::Rect& box, int orientation) {
  if (orientation != 1) return std::nullopt;
  const double width = static_cast<double>(image.width), height = static_cast<double>(image.height);
  const double padX = cropPadding * box.width, padY = cropPadding * box.height;
  const Rect crop{std::max(box.minX() - padX, 0.0) * width, (1 - std::min(box.maxY() + padY, 1.0)) * height,
                  std::min(box.width + 2 * padX, 1.0) * width, std::min(box.height + 2 * padY, 1.0) * height};
  if (!std::isfinite(crop.x) || !std::isfinite(crop.y) || !std::isfinite(crop.width) || !std::isfinite(crop.height))
    return std::nullopt;
  // The size check is on the whole rounded rectangle; drawing then keeps
  // only the part inside the picture.
  if (std::ceil(crop.x + crop.width) - std::floor(crop.x) < minimumCropSide ||
      std::ceil(crop.y + crop.height) - std::floor(crop.y) < minimumCropSide)
    return std::nullopt;
  const auto grid = drawGrey(image, integralInside(crop, image.width, image.height), gridSide, gridSide);
  if (!grid) return std::nullopt;
  return sharpnessOfGrid(*grid);
}

std::vector<FaceDetail> combineFaces(const std::vector<vision::FaceObservation>& rectangles,
                                     const std::vector<vision::FaceObservation>& landmarks,
                                     const std::vector<vision::FaceObservation>& qualities,
                                     const imageio::Raster& image, int orientation) {
  std::vector<FaceDetail> faces;
  for (const vision::FaceObservation& face : rectangles) {
    const vision::Rect& box = face.boundingBox;
    const vision::FaceObservation* fitted = nearest(landmarks, box);
    const vision::FaceLandmarks* marks = fitted && fitted->landmarks ? &*fitted->landmarks : nullptr;
    const vision::FaceObservation& pose = fitted ? *fitted : face;

    FaceDetail detail;
    detail.x = box.minX();
    detail.y = box.minY();
    detail.w = box.width;
    detail.h = box.height;
    if (const vision::FaceObservation* rated = nearest(qualities, box); rated && rated->faceCaptureQuality)
      detail.quality = static_cast<double>(*rated->faceCaptureQuality);
    if (pose.yaw) detail.yaw = degrees(*pose.yaw);
    if (pose.roll) detail.roll = degrees(*pose.roll);
    if (marks) {
      detail.eyes = marks->leftEye && marks->rightEye;
      detail.nose = marks->nose.has_value();
      detail.mouth = marks->outerLips.has_value();
      detail.landmarkConfidence = static_cast<double>(marks->confidence);
    }
    if (const auto measured = faceSharpness(image, box, orientation)) {
      detail.sharpness = measured->sharpness;
      detail.contrast = measured->contrast;
    }
    faces.push_back(detail);
  }
  return faces;
}

json::Value toJson(const FaceReport& report) {
  json::Value faces = json::Value::array();
  for (const FaceDetail& face : report.faces) {
    json::Value entry = json::Value::object();
    entry["x"] = face.x;
    entry["y"] = face.y;
    entry["w"] = face.w;
    entry["h"] = face.h;
    if (face.quality) entry["quality"] = *face.quality;
    if (face.yaw) entry["yaw"] = *face.yaw;
    if (face.roll) entry["roll"] = *face.roll;
    entry["eyes"] = face.eyes;
    entry["nose"] = face.nose;
    entry["mouth"] = face.mouth;
    entry["landmarkConfidence"] = face.landmarkConfidence;
    if (face.sharpness) entry["sharpness"] = *face.sharpness;
    if (face.contrast) entry["contrast"] = *face.contrast;
    faces.push_back(std::move(entry));
  }
  json::Value out = json::Value::object();
  out["detectorRevision"] = report.detectorRevision;
  out["imageWidth"] = report.imageWidth;
  out["imageHeight"] = report.imageHeight;
  out["faces"] = std::move(faces);
  return out;
}

void runFaceReport(const std::string& path) {
  const auto source = openImage(path);
  const int orientation = imageOrientation(source->properties());
  const imageio::Raster raster = decodeStored(*source, path);
  FaceReport report;
  try {
    const vision::Handler handler(
        {raster.data.data(), raster.width, raster.height, raster.rowBytes(), raster.bitsPerComponent}, orientation);
    const auto rectangles = vision::detectFaceRectangles(handler);
    const auto landmarks = vision::detectFaceLandmarks(handler);
    const auto qualities = vision::detectFaceCaptureQuality(handler);
    report.faces = combineFaces(rectangles, landmarks, qualities, raster, orientation);
  } catch (const std::bad_alloc&) {
    fail("Apple Vision face analysis failed: Not enough memory to analyse the image.");
  } catch (const std::exception& error) {
    fail(std::string("Apple Vision face analysis failed: ") + error.what());
  }
  report.detectorRevision = vision::faceRectanglesRevision;
  std::tie(report.imageWidth, report.imageHeight) = orientedSize(raster.width, raster.height, orientation);

  const Encoded encoded = encodeRecord(toJson(report));
  if (!encoded.text) fail("Cannot encode face report: " + encoded.problem);
  writeOutput(*encoded.text);
}

}  // namespace sightgauge
