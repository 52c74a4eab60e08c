// Image recognisers: faces (with landmarks, pose and capture quality),
// people, scene labels, a feature print; rectangles and the horizon are
// added below by the scan programs. Built on OpenCV (DNN, HOG) and dlib.
//
// API in short:
//
//   vision::Image image{raster.data.data(), raster.width, raster.height,
//                       raster.rowBytes(), raster.bitsPerComponent};
//   vision::Handler handler(image, orientation);   // EXIF 1..8, applied here
//   auto faces   = vision::detectFaceRectangles(handler);
//   auto marks   = vision::detectFaceLandmarks(handler);      // loads ~100 MB once
//   auto quality = vision::detectFaceCaptureQuality(handler);
//   auto people  = vision::detectHumanRectangles(handler);
//   auto labels  = vision::classifyScene(handler);
//   auto print   = vision::generateFeaturePrint(handler);
//
// Requests in, observations out. The handler turns the picture upright once
// (the orientation handed in is applied before anything is detected) and
// keeps what several requests share (the face detection), so a run that asks
// for faces, landmarks and quality detects the faces once. Every result
// refers to the upright picture.
//
// Coordinates: boxes are normalised to the upright picture (0..1 across its
// width and height), origin at the bottom-left corner, y upward. Landmark
// points are normalised to their face's bounding box the same way (origin
// at the box's bottom-left corner).
//
// Models live in one directory: $ORVAN_MODEL_DIR when set, otherwise
// <directory of the running program>/../share/orvan/models. A model file that
// is missing or cannot be loaded raises ModelFileError naming the file; a
// detector never answers "nothing found" for a model it could not load.
//
// Each recogniser has a fixed revision, raised whenever its output changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vision {

// ---------------------------------------------------------------------------
// Revisions

inline constexpr int faceRectanglesRevision = 2;
inline constexpr int faceLandmarksRevision = 2;
inline constexpr int faceCaptureQualityRevision = 2;
inline constexpr int humanRectanglesRevision = 2;
inline constexpr int sceneClassifierRevision = 1;       // the built-in classical classifier
inline constexpr int sceneClassifierModelRevision = 1001;  // a classifier model from the model directory
inline constexpr int featurePrintRevision = 1;

// ---------------------------------------------------------------------------
// Errors

// Any failure of a request (an empty or unusable picture, a model that
// cannot run). what() is a one-line description for the program's message.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A model file that is missing, unreadable or damaged. what() names the file:
// "Model file is missing: /path/name.onnx" or
// "Model file is damaged: /path/name.onnx (<reason>)".
class ModelFileError : public Error {
 public:
  ModelFileError(std::string path, const std::string& message) : Error(message), path_(std::move(path)) {}
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The model directory in use (see above). Never empty.
std::string modelDirectory();

// File names inside the model directory.
inline constexpr const char* faceBackModelFile = "face_detection_back_256x256_barracuda.onnx";
inline constexpr const char* faceFrontModelFile = "face_detection_front_128x128_barracuda.onnx";
inline constexpr const char* landmarkModelFile = "shape_predictor_68_face_landmarks.dat";
// The same model in a form that loads faster, written by the build beside it;
// used only while it matches the file above.
inline constexpr const char* fastLandmarkModelFile = "shape_predictor_68_face_landmarks.fast";
// dlib's HOG face detector, written by the build; when absent, the copy
// compiled into dlib is unpacked instead (the same detector, slower to load).
inline constexpr const char* hogFaceModelFile = "frontal_face_detector.dat";
// Optional: a scene classifier model and its labels file. When both are
// present they replace the built-in classifier (see classifyScene).
inline constexpr const char* sceneModelFile = "scene_classifier.onnx";
inline constexpr const char* sceneLabelsFile = "scene_classifier.labels";

// ---------------------------------------------------------------------------
// Geometry

struct Point {
  double x = 0;
  double y = 0;
};

// A rectangle in normalised coordinates, origin bottom-left, y up.
struct Rect {
  double x = 0;  // left edge
  double y = 0;  // bottom edge
  double width = 0;
  double height = 0;
  double minX() const { return x; }
  double minY() const { return y; }
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  double midX() const { return x + width / 2; }
  double midY() const { return y + height / 2; }
};

// ---------------------------------------------------------------------------
// Input

// A picture as stored: interleaved RGBA, rows top first, `rowBytes` between
// row starts. 8-bit pictures hold one byte per component, 16-bit ones one
// native-endian uint16_t. Alpha is ignored. The pixels are read while the
// Handler is being constructed only; they need not outlive it.
struct Image {
  const std::uint8_t* data = nullptr;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::size_t rowBytes = 0;
  int bitsPerComponent = 8;  // 8 or 16
};

// The upright picture and what requests share. Construction applies the EXIF
// orientation (1..8; any other value is taken as 1) and throws Error for an
// empty or malformed picture. A handler belongs to one thread; handlers on
// different threads may run requests at once (the shared models take turns).
class Handler {
 public:
  Handler(const Image& image, int orientation = 1);
  ~Handler();
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  // Size of the upright picture in pixels.
  std::int64_t width() const;
  std::int64_t height() const;

  struct State;  // the upright picture and cached results (vision internals)
  State& state() const { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

// ---------------------------------------------------------------------------
// Faces

// A landmark region: points normalised to the face's bounding box.
struct LandmarkRegion {
  std::vector<Point> normalizedPoints;
};

// Named regions of one face. "left" and "right" are as seen in the upright
// picture: leftEye is the eye nearer the picture's left edge (the person's
// own right eye when they face the camera). Pupils are one point each.
struct FaceLandmarks {
  float confidence = 0;  // 0..1, how stable the fit is (see README)
  std::optional<LandmarkRegion> faceContour;
  std::optional<LandmarkRegion> leftEye;
  std::optional<LandmarkRegion> rightEye;
  std::optional<LandmarkRegion> leftEyebrow;
  std::optional<LandmarkRegion> rightEyebrow;
  std::optional<LandmarkRegion> nose;
  std::optional<LandmarkRegion> noseCrest;
  std::optional<LandmarkRegion> medianLine;
  std::optional<LandmarkRegion> outerLips;
  std::optional<LandmarkRegion> innerLips;
  std::optional<LandmarkRegion> leftPupil;
  std::optional<LandmarkRegion> rightPupil;
};

struct FaceObservation {
  Rect boundingBox;
  float confidence = 0;  // detector confidence, 0..1
  // Head pose in radians, when known. Yaw is positive when the face turns
  // towards the picture's right edge; roll is positive when the head tilts
  // clockwise in the upright picture (its top towards the picture's right).
  std::optional<double> yaw;
  std::optional<double> roll;
  std::optional<FaceLandmarks> landmarks;        // detectFaceLandmarks only
  std::optional<float> faceCaptureQuality;       // detectFaceCaptureQuality only, 0..1
};

// Every face, in reading order (top to bottom, then left to right). The
// detector is an ensemble (two neural detectors and a HOG detector merged by
// overlap); it is the one face detector of every program.
std::vector<FaceObservation> detectFaceRectangles(const Handler& handler);
// The same faces with landmarks and a pose from the landmark fit. Loads the
// landmark model on first use (kept for the life of the process).
std::vector<FaceObservation> detectFaceLandmarks(const Handler& handler);
// The same faces with landmarks, pose and faceCaptureQuality.
std::vector<FaceObservation> detectFaceCaptureQuality(const Handler& handler);
// Loads the face detector's models and readies every worker's networks (and
// the landmark model, with `landmarks`), so that a program can do it while it
// decodes its picture. Never throws: a missing or damaged model is reported
// by the request that needs it.
void prepareFaceDetection(bool landmarks);

// ---------------------------------------------------------------------------
// People

struct HumanObservation {
  Rect boundingBox;
  float confidence = 0;
};

// Person boxes (HOG people detector, overlaps suppressed); a face with no
// person box around it counts as a person too.
std::vector<HumanObservation> detectHumanRectangles(const Handler& handler);

// ---------------------------------------------------------------------------
// Scene labels

struct Classification {
  std::string identifier;
  float confidence = 0;  // 0..1
};

struct SceneClassification {
  int revision = sceneClassifierRevision;  // which classifier ran
  std::vector<Classification> labels;      // descending confidence
};

// Every label of the vocabulary with its confidence, highest first. Uses the
// classifier model of the model directory when both its files are there,
// otherwise the built-in classical classifier (README).
SceneClassification classifyScene(const Handler& handler);

// ---------------------------------------------------------------------------
// Feature print

enum class ElementType : int { float32 = 1, float64 = 2 };

// A raw embedding: `elementCount` values of `elementType`, native byte order,
// in `data`. Not normalised. Layout in README.
struct FeaturePrintObservation {
  std::vector<std::uint8_t> data;
  std::int64_t elementCount = 0;
  ElementType elementType = ElementType::float32;
};

// Length of the print (32-bit floats).
inline constexpr std::int64_t featurePrintLength = 288;

FeaturePrintObservation generateFeaturePrint(const Handler& handler);

// ===========================================================================
// Rectangles and horizon
//
// Reserved for the scan programs: the rectangle detector's request and
// observation types and the horizon detector go here, implemented in their
// own source files of this library (they reach the upright picture through
// internal.h).
// ===========================================================================

inline constexpr int rectanglesRevision = 1;
inline constexpr int horizonRevision = 1;

// What a rectangle request looks for. Aspect ratios are a quadrilateral's
// shorter side over its longer side (so at most 1: a maximum above 1 excludes
// nothing); sizes are fractions of the picture's shorter side.
struct RectanglesRequest {
  float minimumAspectRatio = 0.5f;
  float maximumAspectRatio = 1.0f;
  float quadratureTolerance = 30.0f;  // degrees a corner may be off 90
  float minimumSize = 0.2f;           // the quadrilateral's shorter side, at least
  float minimumConfidence = 0.0f;
  int maximumObservations = 1;        // 0: no limit
};

// A quadrilateral: corners normalised to the upright picture (origin
// bottom-left, y up), named as seen in it; the box bounds the corners.
struct RectangleObservation {
  Rect boundingBox;
  Point topLeft, topRight, bottomRight, bottomLeft;
  float confidence = 0;  // 0..1, how much of its outline is an edge (README)
};

// Quadrilaterals of the picture (edges and thresholds, contours, polygon
// approximation, sides refined to sub-pixel lines), highest confidence first.
std::vector<RectangleObservation> detectRectangles(const Handler& handler,
                                                   const RectanglesRequest& request = {});

// The horizon: its angle in radians, positive when it rises to the right.
struct HorizonObservation {
  double angle = 0;
  float confidence = 0;  // 0..1 (README)
};

// The dominant near-horizontal line of the picture, from line segments voted
// by length and position; nothing when the evidence is weak. The detector
// looks at the picture reduced to at most horizonWorkingEdge pixels on its
// longer side, so a caller may hand over a larger picture already reduced
// to a few times that.
inline constexpr int horizonWorkingEdge = 1024;
std::optional<HorizonObservation> detectHorizon(const Handler& handler);

}  // namespace vision
