// Scene labels.
//
// The built-in classifier is classical: a fixed vocabulary of twelve labels,
// each with a confidence from colour, texture, edge and detector statistics
// of the upright picture reduced to fit 256 × 256 (hue in degrees,
// saturation S and value V in 0..1; "smooth" means a Sobel gradient
// magnitude below 40 on 8-bit grey; clamp limits to 0..1):
//
//   sky            clamp(1.5 · share of the top third that is smooth and
//                  either blue (hue 190..250, S ≥ 0.12, V ≥ 0.35) or bright
//                  grey (S < 0.12, V ≥ 0.7)) · (1 − document)
//   plant          clamp(2.5 · share of green pixels (hue 60..170, S ≥ 0.2,
//                  V ≥ 0.12))
//   water_body     clamp(2.5 · share of the lower third that is blue-cyan
//                  (hue 170..240, S ≥ 0.15, V ≥ 0.2) and rippled (gradient
//                  15..100): a smooth blue is sky, not water
//   snow           clamp(2 · (share of the lower two thirds that is white
//                  (S < 0.1, V > 0.8) − 0.1)) · (1 − document)
//   night_sky      clamp((0.2 − mean V of the top third) / 0.15) ·
//                  clamp((0.35 − mean V) / 0.2)
//   sunset_sunrise clamp(2.5 · share of the top third that is very smooth
//                  (gradient below 12) and warm (hue below 50 or above 330,
//                  S ≥ 0.35, V ≥ 0.5)) · clamp((mean V of the top third −
//                  mean V of the bottom third − 0.1) / 0.3): a warm sky
//                  over a darker land
//   document       clamp((paper share − 0.35) / 0.3) · clamp(edge share /
//                  0.06) · clamp(1 − 4 · colourful share), paper meaning
//                  S < 0.15 and V within 0.25 of the picture's 90th
//                  percentile of V (none when that percentile is below
//                  0.5), edge a gradient of 100 or more, colourful S > 0.3
//   people         the highest face confidence (0 without faces)
//   portrait       clamp(area of the largest face box / 0.05 of the
//                  picture) · its confidence, halved when there are more
//                  than two faces
//   structure      clamp(total length of straight lines (probabilistic
//                  Hough on Canny edges, at least an eighth of the shorter
//                  side long, within 10° of horizontal or vertical) /
//                  (1.5 · (width + height)))
//   outdoor        max(sky, water_body, night_sky, sunset_sunrise,
//                  0.8 · snow, 0.7 · plant)
//   indoor         0.8 · (1 − outdoor) · (1 − 0.5 · document)
//
// Labels come back highest confidence first (vocabulary order on ties).
//
// A classifier model can replace it: when the model directory holds both
// scene_classifier.onnx and scene_classifier.labels, the model runs instead
// (one without the other is a missing model file).
// The labels file has one label per line, in the order of the model's
// outputs; blank lines and lines starting with '#' are skipped, and a line
// "size N" sets the input side (224 when absent). The model takes one
// NCHW picture, 1 × 3 × N × N, RGB in 0..1 (the upright picture resized to
// N × N), and answers one score per label; scores that are not already
// probabilities (some below 0 or above 1, or a sum away from 1) go through
// a softmax.
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "internal.h"

namespace vision {

namespace {

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

bool isFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

struct Pixel {
  double hue, s, v;
  bool smooth;
  bool edge;
};

SceneClassification classicalScene(Handler::State& state) {
  const cv::Mat& upright = state.upright;
  const double scale = std::min(1.0, 256.0 / std::max(upright.cols, upright.rows));
  const cv::Mat reduced = detail::reducedBy(upright, scale);
  cv::Mat hsv, grey, gx, gy;
  cv::cvtColor(reduced, hsv, cv::COLOR_BGR2HSV_FULL);
  cv::cvtColor(reduced, grey, cv::COLOR_BGR2GRAY);
  cv::Sobel(grey, gx, CV_32F, 1, 0);
  cv::Sobel(grey, gy, CV_32F, 0, 1);

  const int w = reduced.cols, h = reduced.rows;
  // The paper level: the 90th percentile of V.
  int histogram[256] = {};
  for (int y = 0; y < h; ++y) {
    const cv::Vec3b* p = hsv.ptr<cv::Vec3b>(y);
    for (int x = 0; x < w; ++x) ++histogram[p[x][2]];
  }
  int paperLevel = 255;
  for (int level = 0, seen = 0; level < 256; ++level) {
    seen += histogram[level];
    if (seen >= 0.9 * w * h) {
      paperLevel = level;
      break;
    }
  }
  const double paper = paperLevel / 255.0;

  double topSky = 0, topCount = 0, topValue = 0, topWarm = 0, green = 0, water = 0, bottomCount = 0,
         bottomValue = 0, lowerWhite = 0, lowerCount = 0, paperCount = 0, edges = 0, colourful = 0, value = 0;
  for (int y = 0; y < h; ++y) {
    const cv::Vec3b* p = hsv.ptr<cv::Vec3b>(y);
    const float* px = gx.ptr<float>(y);
    const float* py = gy.ptr<float>(y);
    const bool top = y < h / 3, lower = y >= h / 3, bottom = y >= h - h / 3;
    for (int x = 0; x < w; ++x) {
      const double hue = p[x][0] * 360.0 / 256.0, s = p[x][1] / 255.0, v = p[x][2] / 255.0;
      const double gradient = std::hypot(px[x], py[x]);
      const bool smooth = gradient < 40, edge = gradient >= 100;
      value += v;
      if (top) {
        ++topCount;
        topValue += v;
        const bool blue = hue >= 190 && hue <= 250 && s >= 0.12 && v >= 0.35;
        const bool brightGrey = s < 0.12 && v >= 0.7;
        if (smooth && (blue || brightGrey)) ++topSky;
        if (gradient < 12 && (hue < 50 || hue > 330) && s >= 0.35 && v >= 0.5) ++topWarm;
      }
      if (hue >= 60 && hue <= 170 && s >= 0.2 && v >= 0.12) ++green;
      if (bottom) {
        ++bottomCount;
        bottomValue += v;
        if (hue >= 170 && hue <= 240 && s >= 0.15 && v >= 0.2 && gradient >= 15 && !edge) ++water;
      }
      if (lower) {
        ++lowerCount;
        if (s < 0.1 && v > 0.8) ++lowerWhite;
      }
      if (paper >= 0.5 && s < 0.15 && v >= paper - 0.25) ++paperCount;
      if (edge) ++edges;
      if (s > 0.3) ++colourful;
    }
  }
  const double all = static_cast<double>(w) * h;
  const auto share = [](double n, double d) { return d > 0 ? n / d : 0.0; };

  const double document = clamp01((share(paperCount, all) - 0.35) / 0.3) * clamp01(share(edges, all) / 0.06) *
                          clamp01(1 - 4 * share(colourful, all));
  const double sky = clamp01(1.5 * share(topSky, topCount)) * (1 - document);
  const double plant = clamp01(2.5 * share(green, all));
  const double waterBody = clamp01(2.5 * share(water, bottomCount));
  const double snow = clamp01(2 * (share(lowerWhite, lowerCount) - 0.1)) * (1 - document);
  const double night = clamp01((0.2 - share(topValue, topCount)) / 0.15) * clamp01((0.35 - share(value, all)) / 0.2);
  const double sunset = clamp01(2.5 * share(topWarm, topCount)) *
                        clamp01((share(topValue, topCount) - share(bottomValue, bottomCount) - 0.1) / 0.3);

  // Faces from the face detector.
  double people = 0, portrait = 0;
  const auto& faces = detail::ensembleFaces(state);
  const double pictureArea = static_cast<double>(upright.cols) * upright.rows;
  const Handler::State::Face* largest = nullptr;
  for (const auto& f : faces) {
    people = std::max(people, static_cast<double>(f.confidence));
    if (!largest || f.box.area() > largest->box.area()) largest = &f;
  }
  if (largest) {
    portrait = clamp01(largest->box.area() / pictureArea / 0.05) * largest->confidence;
    if (faces.size() > 2) portrait *= 0.5;
  }

  // Straight, level or upright lines.
  cv::Mat edgeMap;
  cv::Canny(grey, edgeMap, 60, 150);
  std::vector<cv::Vec4i> lines;
  const int shorter = std::min(w, h);
  cv::HoughLinesP(edgeMap, lines, 1, CV_PI / 180, 30, std::max(4, shorter / 8), 3);
  double lineLength = 0;
  for (const auto& l : lines) {
    const double dx = l[2] - l[0], dy = l[3] - l[1];
    const double angle = std::abs(std::atan2(dy, dx)) * 180 / CV_PI;
    const double fromAxis = std::min({angle, std::abs(angle - 90), std::abs(180 - angle)});
    if (fromAxis <= 10) lineLength += std::hypot(dx, dy);
  }
  const double structure = clamp01(lineLength / (1.5 * (w + h)));

  const double outdoor = std::max({sky, waterBody, night, sunset, 0.8 * snow, 0.7 * plant});
  const double indoor = 0.8 * (1 - outdoor) * (1 - 0.5 * document);

  const std::pair<const char*, double> scores[] = {
      {"outdoor", outdoor},      {"sky", sky},         {"plant", plant},
      {"water_body", waterBody},     {"snow", snow},       {"night_sky", night},
      {"sunset_sunrise", sunset}, {"document", document}, {"people", people},
      {"portrait", portrait},    {"structure", structure}, {"indoor", indoor}};
  SceneClassification result;
  result.revision = sceneClassifierRevision;
  for (const auto& [label, confidence] : scores)
    result.labels.push_back({label, static_cast<float>(clamp01(confidence))});
  std::stable_sort(result.labels.begin(), result.labels.end(),
                   [](const Classification& a, const Classification& b) { return a.confidence > b.confidence; });
  return result;
}

struct SceneModel {
  std::mutex running;  // a network runs on one thread at a time
  cv::dnn::Net net;
  std::vector<std::string> labels;
  int inputSize = 224;
  std::string path;
};

void loadSceneModel(SceneModel& model, const std::string& modelPath, const std::string& labelsPath) {
  model.path = modelPath;
  std::ifstream in(labelsPath);
  if (!in) throw ModelFileError(labelsPath, "Model file is unreadable: " + labelsPath);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    line = line.substr(start);
    if (line.rfind("size ", 0) == 0) {
      std::istringstream number(line.substr(5));
      int size = 0;
      if (!(number >> size) || size < 1 || size > 4096 || !number.eof())
        detail::throwDamagedModel(labelsPath, "bad size line");
      model.inputSize = size;
      continue;
    }
    model.labels.push_back(line);
  }
  if (model.labels.empty()) detail::throwDamagedModel(labelsPath, "no labels");
  try {
    model.net = cv::dnn::readNetFromONNX(modelPath);
  } catch (const cv::Exception&) {
    detail::throwDamagedModel(modelPath, "not a readable ONNX network");
  }
  if (model.net.empty()) detail::throwDamagedModel(modelPath, "empty network");
}

SceneModel& sceneModel(const std::string& modelPath, const std::string& labelsPath) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<SceneModel>> loaded;
  const std::lock_guard lock(mutex);
  auto& slot = loaded[modelPath];
  if (!slot) {
    auto model = std::make_unique<SceneModel>();
    loadSceneModel(*model, modelPath, labelsPath);
    slot = std::move(model);
  }
  return *slot;
}

SceneClassification modelScene(Handler::State& state, SceneModel& model) {
  cv::Mat rgb, resized;
  cv::cvtColor(state.upright, rgb, cv::COLOR_BGR2RGB);
  cv::resize(rgb, resized, cv::Size(model.inputSize, model.inputSize), 0, 0,
             state.upright.cols > model.inputSize ? cv::INTER_AREA : cv::INTER_LINEAR);
  const cv::Mat blob = cv::dnn::blobFromImage(resized, 1.0 / 255.0);
  cv::Mat out;
  try {
    const std::lock_guard lock(model.running);
    model.net.setInput(blob);
    out = model.net.forward();
  } catch (const cv::Exception&) {
    detail::throwDamagedModel(model.path, "the network does not run on a " + std::to_string(model.inputSize) +
                                              " × " + std::to_string(model.inputSize) + " RGB picture");
  }
  cv::Mat scores = out.reshape(1, 1);
  scores.convertTo(scores, CV_64F);
  if (static_cast<std::size_t>(scores.total()) != model.labels.size())
    detail::throwDamagedModel(model.path, std::to_string(scores.total()) + " outputs for " +
                                              std::to_string(model.labels.size()) + " labels");
  std::vector<double> values(scores.begin<double>(), scores.end<double>());
  double sum = 0;
  bool probabilities = true;
  for (double v : values) {
    if (!std::isfinite(v)) detail::throwDamagedModel(model.path, "non-finite output");
    probabilities = probabilities && v >= 0 && v <= 1;
    sum += v;
  }
  if (!probabilities || std::abs(sum - 1) > 1e-3) {
    const double top = *std::max_element(values.begin(), values.end());
    double total = 0;
    for (double& v : values) total += (v = std::exp(v - top));
    for (double& v : values) v /= total;
  }
  SceneClassification result;
  result.revision = sceneClassifierModelRevision;
  for (std::size_t i = 0; i < values.size(); ++i)
    result.labels.push_back({model.labels[i], static_cast<float>(values[i])});
  std::stable_sort(result.labels.begin(), result.labels.end(),
                   [](const Classification& a, const Classification& b) { return a.confidence > b.confidence; });
  return result;
}

}  // namespace

SceneClassification classifyScene(const Handler& handler) {
  auto& state = handler.state();
  const std::string modelPath = detail::modelPath(sceneModelFile);
  const std::string labelsPath = detail::modelPath(sceneLabelsFile);
  const bool hasModel = isFile(modelPath), hasLabels = isFile(labelsPath);
  if (!hasModel && !hasLabels) return classicalScene(state);
  // Half a classifier is a broken installation, not a reason to fall back.
  detail::requireModelFile(modelPath);
  detail::requireModelFile(labelsPath);
  return modelScene(state, sceneModel(modelPath, labelsPath));
}

}  // namespace vision
