// A small convolutional network compiled for XNNPACK from its OpenCV import:
// the same layers and weights, run in NHWC with XNNPACK's kernels, several
// times faster than OpenCV's own layers on networks of depthwise and 1 × 1
// convolutions such as BlazeFace.
//
// Only what such networks are made of is taken: convolutions (plain and
// depthwise, explicit padding layers folded in), ReLU, sums, max pooling,
// channel padding written as a concatenation with zeros, and the layout
// changes around the input and the outputs. Layers whose parameters OpenCV
// keeps to itself (which padding, which element-wise operation) are run
// once on a small probe to learn them. Anything else is refused, and the
// caller keeps OpenCV.
#pragma once

#include <opencv2/dnn.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace vision::compiled {

// The network's layers as XNNPACK nodes; shared by every runner of one
// model file.
class Graph;

// Compiles `net` (as OpenCV read it from an ONNX file) for an NHWC input of
// `inputShape` (four dimensions) and the named outputs. Empty when the
// network has a layer this compiler does not take, or when XNNPACK is not
// available on this processor.
std::shared_ptr<const Graph> compile(cv::dnn::Net& net, const std::vector<int>& inputShape,
                                     const std::vector<cv::String>& outputNames);

// One runtime of a compiled graph (its own workspace): runs on one thread
// at a time.
class Runner {
 public:
  explicit Runner(std::shared_ptr<const Graph> graph);
  ~Runner();
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;
  // Runs the network on `input` (the NHWC floats of the input shape). The
  // outputs, in the order of the names given to compile(), each in the
  // memory order of OpenCV's output blob, stay valid until the next run.
  // False when the runner could not be made or XNNPACK fails.
  bool run(const float* input);
  bool usable() const;
  // The runner's own input buffer: filled in place, it is not copied.
  float* input() { return input_.data(); }
  const std::vector<std::vector<float>>& outputs() const { return outputs_; }

 private:
  std::shared_ptr<const Graph> graph_;
  struct Runtime;
  std::unique_ptr<Runtime> runtime_;
  std::vector<float> input_;
  std::vector<std::vector<float>> outputs_;
};

}  // namespace vision::compiled
