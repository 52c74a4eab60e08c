// BlazeFace: a single-shot face detector with a fixed anchor grid. The
// network takes one square RGB picture (NHWC floats in -1..1) and answers,
// for every anchor, a score logit and sixteen regressors: the box centre
// offset and size, then six key points (both eyes, nose tip, mouth centre,
// both ear tragions), all in input pixels relative to the anchor centre.
//
// Anchor layout (both input sizes): a 16 × 16 grid with 2 anchors per cell,
// then an 8 × 8 grid with 6 anchors per cell, 896 anchors in all, each at
// its cell centre ((column + 0.5) / cells, (row + 0.5) / cells), row-major,
// the anchors of one cell adjacent. Anchor sizes are fixed (1 × 1), so the
// regressed size is the box size itself.
#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace vision::blazeface {

inline constexpr int anchorCount = 16 * 16 * 2 + 8 * 8 * 6;  // 896
inline constexpr int regressorCount = 16;

struct Detection {
  cv::Rect2f box;  // normalised to the input square, origin top-left
  float score = 0;  // sigmoid of the logit
  std::array<cv::Point2f, 6> keyPoints{};  // same coordinates as box
};

// Raw network outputs. The first grid's scores and regressors, then the
// second grid's; counts are in floats.
struct RawOutputs {
  const float* scores1 = nullptr;
  std::size_t scores1Count = 0;   // 512
  const float* scores2 = nullptr;
  std::size_t scores2Count = 0;   // 384
  const float* boxes1 = nullptr;
  std::size_t boxes1Count = 0;    // 512 × 16
  const float* boxes2 = nullptr;
  std::size_t boxes2Count = 0;    // 384 × 16
};

// Every anchor whose score is at least `minScore`, decoded. Outputs of the
// wrong size give no detections and false in `ok` (never read out of
// bounds); non-finite values are skipped.
std::vector<Detection> decodeAnchors(const RawOutputs& raw, int inputSize, float minScore, bool* ok = nullptr);

// Intersection over union of two boxes (0 when either is empty).
float overlap(const cv::Rect2f& a, const cv::Rect2f& b);

// Non-maximum suppression with blending: detections are taken by falling
// score; each one absorbs the rest that overlap it by more than `iou`, and
// its box and key points become their score-weighted mean.
std::vector<Detection> suppress(std::vector<Detection> detections, float iou);

// One loaded network.
class Network {
 public:
  // Loads the ONNX file; throws ModelFileError when it is missing or cannot
  // be read as a BlazeFace network of that input size.
  Network(const std::string& path, int inputSize);
  ~Network();
  int inputSize() const { return inputSize_; }
  // Makes ready what the first run would (its compiled runtime).
  void prepare();
  // Runs the network on an 8-bit BGR square of inputSize × inputSize pixels.
  // The answer to an input seen before (by any network of the same file) is
  // given again without running the network.
  std::vector<Detection> detect(const cv::Mat& bgrSquare, float minScore);

 private:
  std::vector<Detection> run(const cv::Mat& bgrSquare, float minScore);
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int inputSize_;
};

}  // namespace vision::blazeface
