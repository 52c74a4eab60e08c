// BlazeFace anchor decoding, suppression and the network runner (OpenCV DNN).
#include "blazeface.h"

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "compiled_network.h"
#include "internal.h"

namespace vision::blazeface {

namespace {

struct Grid {
  int cells;
  int anchorsPerCell;
};
constexpr Grid grids[2] = {{16, 2}, {8, 6}};

float sigmoid(float logit) {
  // Clamped as the reference decoder does, so that exp never overflows.
  logit = std::clamp(logit, -100.0f, 100.0f);
  return 1.0f / (1.0f + std::exp(-logit));
}

void decodeGrid(const Grid& grid, const float* scores, const float* boxes, int inputSize, float minScore,
                std::vector<Detection>& out) {
  const float scale = 1.0f / static_cast<float>(inputSize);
  int anchor = 0;
  for (int row = 0; row < grid.cells; ++row) {
    for (int column = 0; column < grid.cells; ++column) {
      const float ax = (static_cast<float>(column) + 0.5f) / static_cast<float>(grid.cells);
      const float ay = (static_cast<float>(row) + 0.5f) / static_cast<float>(grid.cells);
      for (int k = 0; k < grid.anchorsPerCell; ++k, ++anchor) {
        const float logit = scores[anchor];
        if (!std::isfinite(logit)) continue;
        const float score = sigmoid(logit);
        if (score < minScore) continue;
        const float* r = boxes + static_cast<std::size_t>(anchor) * regressorCount;
        bool finite = true;
        for (int i = 0; i < regressorCount; ++i) finite = finite && std::isfinite(r[i]);
        if (!finite) continue;
        const float cx = ax + r[0] * scale, cy = ay + r[1] * scale;
        const float w = r[2] * scale, h = r[3] * scale;
        if (!(w > 0) || !(h > 0)) continue;
        Detection d;
        d.box = cv::Rect2f(cx - w / 2, cy - h / 2, w, h);
        d.score = score;
        for (int p = 0; p < 6; ++p)
          d.keyPoints[static_cast<std::size_t>(p)] = {ax + r[4 + 2 * p] * scale, ay + r[5 + 2 * p] * scale};
        out.push_back(d);
      }
    }
  }
}

}  // namespace

std::vector<Detection> decodeAnchors(const RawOutputs& raw, int inputSize, float minScore, bool* ok) {
  const std::size_t n1 = static_cast<std::size_t>(grids[0].cells * grids[0].cells * grids[0].anchorsPerCell);
  const std::size_t n2 = static_cast<std::size_t>(grids[1].cells * grids[1].cells * grids[1].anchorsPerCell);
  const bool shapesFit = raw.scores1 && raw.scores2 && raw.boxes1 && raw.boxes2 && raw.scores1Count == n1 &&
                         raw.scores2Count == n2 && raw.boxes1Count == n1 * regressorCount &&
                         raw.boxes2Count == n2 * regressorCount && inputSize > 0;
  if (ok) *ok = shapesFit;
  std::vector<Detection> out;
  if (!shapesFit) return out;
  decodeGrid(grids[0], raw.scores1, raw.boxes1, inputSize, minScore, out);
  decodeGrid(grids[1], raw.scores2, raw.boxes2, inputSize, minScore, out);
  return out;
}

float overlap(const cv::Rect2f& a, const cv::Rect2f& b) {
  if (a.width <= 0 || a.height <= 0 || b.width <= 0 || b.height <= 0) return 0;
  const float inter = (a & b).area();
  const float uni = a.area() + b.area() - inter;
  return uni > 0 ? inter / uni : 0;
}

std::vector<Detection> suppress(std::vector<Detection> detections, float iou) {
  std::stable_sort(detections.begin(), detections.end(),
                   [](const Detection& a, const Detection& b) { return a.score > b.score; });
  std::vector<Detection> kept;
  std::vector<bool> used(detections.size(), false);
  for (std::size_t i = 0; i < detections.size(); ++i) {
    if (used[i]) continue;
    const Detection& best = detections[i];
    float weight = 0, x = 0, y = 0, w = 0, h = 0;
    std::array<cv::Point2f, 6> points{};
    for (std::size_t j = i; j < detections.size(); ++j) {
      if (used[j] || (j != i && overlap(best.box, detections[j].box) <= iou)) continue;
      used[j] = true;
      const Detection& d = detections[j];
      weight += d.score;
      x += d.box.x * d.score;
      y += d.box.y * d.score;
      w += d.box.width * d.score;
      h += d.box.height * d.score;
      for (std::size_t p = 0; p < points.size(); ++p) points[p] += d.keyPoints[p] * d.score;
    }
    Detection merged = best;
    if (weight > 0) {  // scores that underflowed to 0 leave the best one as it is
      merged.box = cv::Rect2f(x / weight, y / weight, w / weight, h / weight);
      for (std::size_t p = 0; p < points.size(); ++p) merged.keyPoints[p] = points[p] / weight;
    }
    kept.push_back(merged);
  }
  return kept;
}

namespace {

const std::vector<cv::String> outputNames{"Identity:0", "Identity_1:0", "Identity_2:0", "Identity_3:0"};

// The ONNX file read by OpenCV; throws ModelFileError when it is not a
// network with BlazeFace's outputs.
cv::dnn::Net readNetwork(const std::string& path) {
  cv::dnn::Net net;
  try {
    net = cv::dnn::readNetFromONNX(path);
  } catch (const cv::Exception& e) {
    detail::throwDamagedModel(path, "not a readable ONNX network");
  }
  if (net.empty()) detail::throwDamagedModel(path, "empty network");
  const auto outputs = net.getUnconnectedOutLayersNames();
  for (const auto& name : outputNames)
    if (std::find(outputs.begin(), outputs.end(), name) == outputs.end())
      detail::throwDamagedModel(path, "no output " + name);
  return net;
}

// Compiled once per model file and input size and shared by every network
// of the process, so that only the first one reads the file; that one
// keeps what it read in `net`. Null when the network does not compile.
std::shared_ptr<const compiled::Graph> compiledGraph(const std::string& path, int inputSize,
                                                     std::optional<cv::dnn::Net>& net) {
  static std::mutex mutex;
  static std::map<std::pair<std::string, int>, std::shared_ptr<const compiled::Graph>> graphs;
  const std::lock_guard lock(mutex);
  const auto key = std::make_pair(path, inputSize);
  if (const auto found = graphs.find(key); found != graphs.end()) return found->second;
  net = readNetwork(path);
  auto graph = compiled::compile(*net, {1, inputSize, inputSize, 3}, outputNames);
  graphs[key] = graph;
  return graph;
}

}  // namespace

struct Network::Impl {
  std::string path;
  // The network compiled for XNNPACK when it compiles, and its runtime,
  // made on first use (a picture with nothing to search never needs it);
  // OpenCV's own reading of the file otherwise, or once the compiled form
  // fails.
  std::shared_ptr<const compiled::Graph> graph;
  std::unique_ptr<compiled::Runner> runner;
  std::optional<cv::dnn::Net> net;

  // The runtime, made if need be; null when the network runs on OpenCV.
  compiled::Runner* compiledRunner() {
    if (graph && !runner) {
      runner = std::make_unique<compiled::Runner>(std::move(graph));
      if (!runner->usable()) runner.reset();
      if (!runner && !net) net = readNetwork(path);
    }
    return runner.get();
  }
};

Network::Network(const std::string& path, int inputSize) : impl_(std::make_unique<Impl>()), inputSize_(inputSize) {
  detail::requireModelFile(path);
  impl_->path = path;
  impl_->graph = compiledGraph(path, inputSize, impl_->net);
  if (!impl_->graph && !impl_->net) impl_->net = readNetwork(path);
}

void Network::prepare() { impl_->compiledRunner(); }

Network::~Network() = default;

namespace {

// Answers of the networks by input, shared by every instance of a model:
// a picture searched again after a local change (a verification pass)
// gives the same input for every window the change does not reach, and a
// network's answer depends on nothing but its input. Inputs are compared
// whole, never by their hash alone. Bounded: emptied when it would exceed
// 64 MB of inputs.
class AnswerCache {
 public:
  bool find(const std::string& model, float minScore, const cv::Mat& input, std::vector<Detection>& out) {
    const std::string_view bytes = view(input);
    const std::lock_guard lock(mutex_);
    const auto range = entries_.equal_range(key(model, minScore, bytes));
    for (auto it = range.first; it != range.second; ++it)
      if (it->second.model == model && it->second.minScore == minScore && it->second.input == bytes) {
        out = it->second.answer;
        return true;
      }
    return false;
  }
  void add(const std::string& model, float minScore, const cv::Mat& input, const std::vector<Detection>& answer) {
    const std::string_view bytes = view(input);
    const std::lock_guard lock(mutex_);
    if (held_ + bytes.size() > limit) {
      entries_.clear();
      held_ = 0;
    }
    entries_.emplace(key(model, minScore, bytes), Entry{model, minScore, std::string(bytes), answer});
    held_ += bytes.size();
  }

 private:
  static constexpr std::size_t limit = std::size_t{64} << 20;
  struct Entry {
    std::string model;
    float minScore;
    std::string input;
    std::vector<Detection> answer;
  };
  static std::string_view view(const cv::Mat& input) {
    return {reinterpret_cast<const char*>(input.data), input.total() * input.elemSize()};
  }
  static std::size_t key(const std::string& model, float minScore, std::string_view bytes) {
    std::uint32_t score;
    std::memcpy(&score, &minScore, sizeof score);
    return std::hash<std::string_view>{}(bytes) ^ (std::hash<std::string>{}(model) * 31 + score);
  }
  std::mutex mutex_;
  std::unordered_multimap<std::size_t, Entry> entries_;
  std::size_t held_ = 0;
};

AnswerCache& answers() {
  static AnswerCache cache;
  return cache;
}

}  // namespace

std::vector<Detection> Network::detect(const cv::Mat& bgrSquare, float minScore) {
  CV_Assert(bgrSquare.type() == CV_8UC3 && bgrSquare.cols == inputSize_ && bgrSquare.rows == inputSize_);
  const cv::Mat input = bgrSquare.isContinuous() ? bgrSquare : bgrSquare.clone();
  std::vector<Detection> answer;
  if (answers().find(impl_->path, minScore, input, answer)) return answer;
  answer = run(input, minScore);
  answers().add(impl_->path, minScore, input, answer);
  return answer;
}

namespace {

// An 8-bit BGR square as the networks' input: RGB floats in -1..1, NHWC.
void writeInput(const cv::Mat& bgrSquare, float* out) {
  constexpr float scale = 2.0f / 255.0f;
  for (int y = 0; y < bgrSquare.rows; ++y) {
    const uchar* pixel = bgrSquare.ptr<uchar>(y);
    for (int x = 0; x < bgrSquare.cols; ++x, pixel += 3, out += 3) {
      out[0] = pixel[2] * scale - 1.0f;
      out[1] = pixel[1] * scale - 1.0f;
      out[2] = pixel[0] * scale - 1.0f;
    }
  }
}

}  // namespace

std::vector<Detection> Network::run(const cv::Mat& bgrSquare, float minScore) {
  if (compiled::Runner* runner = impl_->compiledRunner()) {
    writeInput(bgrSquare, runner->input());
    if (runner->run(runner->input())) {
      const auto& outs = runner->outputs();
      const RawOutputs raw{outs[0].data(), outs[0].size(), outs[1].data(), outs[1].size(),
                           outs[2].data(), outs[2].size(), outs[3].data(), outs[3].size()};
      bool ok = false;
      auto detections = decodeAnchors(raw, inputSize_, minScore, &ok);
      if (ok) return detections;
    }
    impl_->runner.reset();  // OpenCV from here on
    if (!impl_->net) impl_->net = readNetwork(impl_->path);
  }
  const int shape[] = {1, inputSize_, inputSize_, 3};
  cv::Mat input(4, shape, CV_32F);
  writeInput(bgrSquare, input.ptr<float>());
  std::vector<cv::Mat> outs;
  try {
    impl_->net->setInput(input);
    impl_->net->forward(outs, outputNames);
  } catch (const cv::Exception& e) {
    detail::throwDamagedModel(impl_->path, "the network does not run on a BlazeFace input");
  }
  RawOutputs raw;
  if (outs.size() == 4) {
    for (auto& m : outs) {
      if (m.type() != CV_32F) m.convertTo(m, CV_32F);
      if (!m.isContinuous()) m = m.clone();
    }
    raw = {outs[0].ptr<float>(), outs[0].total(), outs[1].ptr<float>(), outs[1].total(),
           outs[2].ptr<float>(), outs[2].total(), outs[3].ptr<float>(), outs[3].total()};
  }
  bool ok = false;
  auto detections = decodeAnchors(raw, inputSize_, minScore, &ok);
  if (!ok) detail::throwDamagedModel(impl_->path, "unexpected output shapes");
  return detections;
}

}  // namespace vision::blazeface
