// Face landmarks, head pose and capture quality.
//
// Landmarks come from dlib's 68-point shape predictor, fitted inside each
// face of the face detector. The predictor was trained on tighter boxes
// (brows to lips) than the detector's (forehead to chin), so it is given the
// face box shrunk by 10 % about its centre. The 68 points become the named
// regions (indices into dlib's numbering):
//   faceContour 0-16, leftEyebrow 17-21, rightEyebrow 22-26, noseCrest
//   27-30, nose 31-35, leftEye 36-41, rightEye 42-47, outerLips 48-59,
//   innerLips 60-67, medianLine 27, 28, 29, 30, 33, 51, 57, 8, and one
//   point each for leftPupil and rightPupil (the mean of that eye's six).
// "Left" is the picture's left: leftEye is the eye nearer the left edge of
// the upright picture. Points are normalised to the landmark observation's
// box: the face box grown, where needed, to hold every point (a chin below
// the detector's box), origin at its bottom-left corner, y up.
//
// Confidence of a fit: the predictor is run again from four boxes moved by
// 6 % of the box side (left, right, up, down); d is the mean distance of
// the 68 points from the first fit, over all four, divided by the distance
// between the eye centres. A face fits the same wherever it starts from;
// texture that is not a face does not. confidence = 1 / (1 + (d / 0.05)²).
//
// Pose: cv::solvePnP (iterative) of six points (nose tip 30, chin 8, outer
// eye corners 36 and 45, mouth corners 48 and 54) against a generic 3-D
// face, with a pinhole camera whose focal length is the picture's longer
// side, centred. Yaw is positive when the face turns towards the picture's
// right, roll positive when the head tilts clockwise.
//
// Capture quality, 0..1:
//   quality = 0.2 size + 0.3 sharpness + 0.25 pose + 0.25 eyes, where
//   size      = clamp((shorter side of the face box in pixels − 20) / 140),
//   sharpness = v / (v + 200), v the variance of the Laplacian of the face
//               box resampled to 96 × 96 grey levels,
//   pose      = clamp(1 − |yaw| / 60°) · clamp(1 − |roll| / 45°),
//   eyes      = clamp((EAR − 0.12) / 0.15), EAR the mean eye aspect ratio
//               (|p1 − p5| + |p2 − p4|) / (2 |p0 − p3|) over both eyes'
//               six points p0..p5;
// clamp limits to 0..1.
#include <dlib/image_processing.h>
#include <dlib/opencv.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <mutex>

#include "internal.h"
#include "landmark_model.h"

namespace vision {

namespace {

constexpr double pi = 3.14159265358979323846;

// The landmark model: its fast form when the build wrote one for this file,
// else dlib's own file (the same fits either way).
struct Predictor {
  std::unique_ptr<detail::FastShapePredictor> fast;
  std::unique_ptr<dlib::shape_predictor> dlibs;
  unsigned long parts() const { return fast ? fast->num_parts() : dlibs->num_parts(); }
  dlib::full_object_detection operator()(const dlib::cv_image<unsigned char>& image, const dlib::rectangle& box) const {
    return fast ? (*fast)(image, box) : (*dlibs)(image, box);
  }
};

const Predictor& shapePredictor() {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<Predictor>> loaded;
  const std::lock_guard lock(mutex);
  const std::string path = detail::modelPath(landmarkModelFile);
  auto& slot = loaded[path];
  if (!slot) {
    detail::requireModelFile(path);
    auto predictor = std::make_unique<Predictor>();
    predictor->fast = detail::FastShapePredictor::open(detail::modelPath(fastLandmarkModelFile), path);
    if (!predictor->fast) {
      predictor->dlibs = std::make_unique<dlib::shape_predictor>();
      try {
        dlib::deserialize(path) >> *predictor->dlibs;
      } catch (const std::exception& e) {
        detail::throwDamagedModel(path, "not a dlib shape predictor");
      }
    }
    if (predictor->parts() != 68) detail::throwDamagedModel(path, "not a 68-point shape predictor");
    slot = std::move(predictor);
  }
  return *slot;
}

using Shape = std::array<cv::Point2d, 68>;

Shape fit(const Predictor& predictor, const dlib::cv_image<unsigned char>& image, const cv::Rect2d& box) {
  const dlib::rectangle r(std::lround(box.x), std::lround(box.y), std::lround(box.x + box.width - 1),
                          std::lround(box.y + box.height - 1));
  const auto detection = predictor(image, r);
  Shape shape;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const auto p = detection.part(static_cast<unsigned long>(i));
    shape[i] = cv::Point2d(static_cast<double>(p.x()), static_cast<double>(p.y()));
  }
  return shape;
}

cv::Point2d mean(const Shape& s, int first, int last) {
  cv::Point2d sum;
  for (int i = first; i <= last; ++i) sum += s[static_cast<std::size_t>(i)];
  return sum / static_cast<double>(last - first + 1);
}

double fitConfidence(const Predictor& predictor, const dlib::cv_image<unsigned char>& image,
                     const cv::Rect2d& box, const Shape& shape) {
  const double eyes = cv::norm(mean(shape, 36, 41) - mean(shape, 42, 47));
  if (!(eyes > 1e-6)) return 0;
  const double step = 0.06 * std::max(box.width, box.height);
  const cv::Point2d moves[] = {{-step, 0}, {step, 0}, {0, -step}, {0, step}};
  double total = 0;
  for (const auto& move : moves) {
    const Shape other = fit(predictor, image, cv::Rect2d(box.tl() + move, box.size()));
    for (std::size_t i = 0; i < shape.size(); ++i) total += cv::norm(other[i] - shape[i]);
  }
  const double d = total / (4.0 * 68.0) / eyes;
  return 1.0 / (1.0 + (d / 0.05) * (d / 0.05));
}

LandmarkRegion region(const Shape& s, std::initializer_list<int> indices, const cv::Rect2d& box) {
  LandmarkRegion r;
  for (int i : indices) {
    const cv::Point2d& p = s[static_cast<std::size_t>(i)];
    r.normalizedPoints.push_back({(p.x - box.x) / box.width, 1.0 - (p.y - box.y) / box.height});
  }
  return r;
}

LandmarkRegion span(const Shape& s, int first, int last, const cv::Rect2d& box) {
  LandmarkRegion r;
  for (int i = first; i <= last; ++i) {
    const cv::Point2d& p = s[static_cast<std::size_t>(i)];
    r.normalizedPoints.push_back({(p.x - box.x) / box.width, 1.0 - (p.y - box.y) / box.height});
  }
  return r;
}

LandmarkRegion pupil(const Shape& s, int first, const cv::Rect2d& box) {
  const cv::Point2d p = mean(s, first, first + 5);
  return LandmarkRegion{{{(p.x - box.x) / box.width, 1.0 - (p.y - box.y) / box.height}}};
}

FaceLandmarks regions(const Shape& s, const cv::Rect2d& box, float confidence) {
  FaceLandmarks l;
  l.confidence = confidence;
  l.faceContour = span(s, 0, 16, box);
  l.leftEyebrow = span(s, 17, 21, box);
  l.rightEyebrow = span(s, 22, 26, box);
  l.noseCrest = span(s, 27, 30, box);
  l.nose = span(s, 31, 35, box);
  l.leftEye = span(s, 36, 41, box);
  l.rightEye = span(s, 42, 47, box);
  l.outerLips = span(s, 48, 59, box);
  l.innerLips = span(s, 60, 67, box);
  l.medianLine = region(s, {27, 28, 29, 30, 33, 51, 57, 8}, box);
  l.leftPupil = pupil(s, 36, box);
  l.rightPupil = pupil(s, 42, box);
  return l;
}

// Yaw and roll in radians from the fit (see the top of this file).
std::optional<std::pair<double, double>> headPose(const Shape& s, const cv::Size& picture) {
  // A generic face in millimetres, camera axes (x right, y down, z away
  // from the camera), nose tip at the origin.
  const std::vector<cv::Point3d> model = {
      {0, 0, 0}, {0, 63.6, 12.5}, {-43.3, -32.7, 26.0}, {43.3, -32.7, 26.0}, {-28.9, 28.9, 24.1}, {28.9, 28.9, 24.1}};
  const std::vector<cv::Point2d> image = {s[30], s[8], s[36], s[45], s[48], s[54]};
  const double focal = std::max(picture.width, picture.height);
  const cv::Matx33d camera(focal, 0, picture.width / 2.0, 0, focal, picture.height / 2.0, 0, 0, 1);
  cv::Mat rvec, tvec;
  // Start facing the camera at a distance that matches the eye spacing.
  const double eyes = std::max(cv::norm(s[45] - s[36]), 1.0);
  rvec = cv::Mat::zeros(3, 1, CV_64F);
  tvec = (cv::Mat_<double>(3, 1) << (s[30].x - picture.width / 2.0) * 86.6 / eyes,
          (s[30].y - picture.height / 2.0) * 86.6 / eyes, focal * 86.6 / eyes);
  if (!cv::solvePnP(model, image, camera, cv::noArray(), rvec, tvec, true, cv::SOLVEPNP_ITERATIVE)) return std::nullopt;
  cv::Matx33d r;
  cv::Rodrigues(rvec, r);
  // r = Rz(roll) · Ry(θ) · Rx(pitch); a face turning right has θ < 0.
  const double theta = std::asin(std::clamp(-r(2, 0), -1.0, 1.0));
  const double roll = std::atan2(r(1, 0), r(0, 0));
  if (!std::isfinite(theta) || !std::isfinite(roll)) return std::nullopt;
  return std::make_pair(-theta, roll);
}

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

double eyeAspectRatio(const Shape& s, int first) {
  const auto& p = [&](int i) { return s[static_cast<std::size_t>(first + i)]; };
  const double across = cv::norm(p(0) - p(3));
  if (across < 1e-6) return 0;
  return (cv::norm(p(1) - p(5)) + cv::norm(p(2) - p(4))) / (2.0 * across);
}

double laplacianVariance(const cv::Mat& grey, const cv::Rect2d& box) {
  const cv::Rect inside = cv::Rect(box) & cv::Rect(0, 0, grey.cols, grey.rows);
  if (inside.width < 2 || inside.height < 2) return 0;
  cv::Mat crop, lap;
  cv::resize(grey(inside), crop, cv::Size(96, 96), 0, 0, cv::INTER_AREA);
  cv::Laplacian(crop, lap, CV_64F);
  cv::Scalar m, sd;
  cv::meanStdDev(lap, m, sd);
  return sd[0] * sd[0];
}

float captureQuality(const cv::Mat& grey, const cv::Rect2d& faceBox, const Shape& s, std::optional<double> yaw,
                     std::optional<double> roll) {
  const double size = clamp01((std::min(faceBox.width, faceBox.height) - 20.0) / 140.0);
  const double v = laplacianVariance(grey, faceBox);
  const double sharpness = v / (v + 200.0);
  const double degrees = 180.0 / pi;
  const double pose = clamp01(1.0 - std::abs(yaw.value_or(0) * degrees) / 60.0) *
                      clamp01(1.0 - std::abs(roll.value_or(0) * degrees) / 45.0);
  const double ear = (eyeAspectRatio(s, 36) + eyeAspectRatio(s, 42)) / 2.0;
  const double eyes = clamp01((ear - 0.12) / 0.15);
  return static_cast<float>(clamp01(0.2 * size + 0.3 * sharpness + 0.25 * pose + 0.25 * eyes));
}

struct Fitted {
  FaceObservation observation;
  Shape shape;
  cv::Rect2d faceBox;  // the detector's box, pixels
};

std::vector<Fitted> fitAll(Handler::State& state) {
  const auto& faces = detail::ensembleFaces(state);
  if (faces.empty()) return {};
  const Predictor& predictor = shapePredictor();
  const cv::Mat& grey = state.greyPicture();
  const dlib::cv_image<unsigned char> image(grey);
  std::vector<Fitted> out(faces.size());
  detail::runInParallel(faces.size(), [&](std::size_t i, std::size_t) {
    const auto& face = faces[i];
    const cv::Point2d centre(face.box.x + face.box.width / 2, face.box.y + face.box.height / 2);
    const cv::Size2d inner(face.box.width * 0.9, face.box.height * 0.9);
    const cv::Rect2d start(centre.x - inner.width / 2, centre.y - inner.height / 2, inner.width, inner.height);
    Fitted f;
    f.faceBox = face.box;
    f.shape = fit(predictor, image, start);
    const float confidence = static_cast<float>(fitConfidence(predictor, image, start, f.shape));
    // The observation's box holds the face box and every point.
    cv::Rect2d box = face.box;
    double x0 = box.x, y0 = box.y, x1 = box.x + box.width, y1 = box.y + box.height;
    for (const auto& p : f.shape) {
      x0 = std::min(x0, p.x);
      y0 = std::min(y0, p.y);
      x1 = std::max(x1, p.x);
      y1 = std::max(y1, p.y);
    }
    box = cv::Rect2d(x0, y0, x1 - x0, y1 - y0);
    f.observation.boundingBox = detail::normalizedRect(box, grey.size());
    f.observation.confidence = face.confidence;
    f.observation.landmarks = regions(f.shape, box, confidence);
    if (const auto pose = headPose(f.shape, grey.size())) {
      f.observation.yaw = pose->first;
      f.observation.roll = pose->second;
    }
    out[i] = std::move(f);
  });
  return out;
}

}  // namespace

void prepareFaceDetection(bool landmarks) {
  try {
    detail::prepareEnsemble();
    if (landmarks) shapePredictor();
  } catch (const std::exception&) {
    // The request that needs the model reports it.
  }
}

std::vector<FaceObservation> detectFaceLandmarks(const Handler& handler) {
  auto& state = handler.state();
  if (!state.faceLandmarks) {
    std::vector<FaceObservation> observations;
    std::vector<FaceObservation> withQuality;
    for (auto& f : fitAll(state)) {
      FaceObservation q = f.observation;
      q.faceCaptureQuality = captureQuality(state.greyPicture(), f.faceBox, f.shape, q.yaw, q.roll);
      observations.push_back(std::move(f.observation));
      withQuality.push_back(std::move(q));
    }
    state.faceLandmarks = std::move(observations);
    state.faceQuality = std::move(withQuality);
  }
  return *state.faceLandmarks;
}

std::vector<FaceObservation> detectFaceCaptureQuality(const Handler& handler) {
  detectFaceLandmarks(handler);
  return *handler.state().faceQuality;
}

}  // namespace vision
