// The network compiler: OpenCV's imported layers, in their order, become
// operations on NHWC values; each runner defines them as an XNNPACK subgraph
// of its own (a subgraph is changed when a runtime is made from it).
#include "compiled_network.h"

#include <opencv2/dnn/all_layers.hpp>
#include <opencv2/dnn/shape_utils.hpp>
#include <malloc.h>
#include <xnnpack.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <optional>

#include "internal.h"

namespace vision::compiled {

namespace {

using Dims = std::array<std::size_t, 4>;  // N, H, W, C

struct Operation {
  enum class Kind { convolution, depthwise, clamp, add, maxPool, pad, copy } kind = Kind::copy;
  std::vector<std::uint32_t> inputs;  // value indices
  std::uint32_t output = 0;
  std::array<std::uint32_t, 4> padding{};  // top, right, bottom, left
  std::array<std::uint32_t, 2> kernel{}, stride{1, 1}, dilation{1, 1};
  std::size_t inputChannels = 0, outputChannels = 0;
  std::size_t filter = 0, bias = 0;  // indices into Graph::weights
  std::array<std::size_t, 4> prePad{}, postPad{};
  float low = -std::numeric_limits<float>::infinity(), high = std::numeric_limits<float>::infinity();
};

// XNNPACK's memory: blocks of a megabyte or more (a runtime's workspace,
// the indirection buffers of large convolutions) go on huge pages.
constexpr std::size_t largeBlock = std::size_t{1} << 20;

void* allocateAligned(void*, std::size_t alignment, std::size_t size) {
  if (size >= largeBlock && alignment <= (std::size_t{2} << 20)) return detail::hugePageBlock(size);
  void* memory = nullptr;
  if (posix_memalign(&memory, std::max(alignment, sizeof(void*)), size) != 0) return nullptr;
  return memory;
}
void* allocate(void* context, std::size_t size) { return allocateAligned(context, 64, size); }
// Large blocks (the convolutions' indirection buffers) are made afresh.
void* reallocate(void* context, void* pointer, std::size_t size) {
  if (size < largeBlock) return std::realloc(pointer, size);
  void* fresh = allocateAligned(context, 64, size);
  if (fresh && pointer) {
    std::memcpy(fresh, pointer, std::min(malloc_usable_size(pointer), size));
    std::free(pointer);
  }
  return fresh;
}
void release(void*, void* pointer) { std::free(pointer); }

bool xnnpackReady() {
  static const xnn_allocator allocator{nullptr, allocate, reallocate, release, allocateAligned, release};
  static const bool ready = xnn_initialize(&allocator) == xnn_status_success;
  return ready;
}

std::size_t elements(const Dims& d) { return d[0] * d[1] * d[2] * d[3]; }

// The output side of a window operation over `extent` (0 when nothing fits).
std::size_t outputSide(std::size_t extent, std::uint32_t before, std::uint32_t after, std::uint32_t kernel,
                       std::uint32_t stride, std::uint32_t dilation) {
  const std::size_t padded = extent + before + after, reach = (static_cast<std::size_t>(kernel) - 1) * dilation + 1;
  return padded < reach || stride == 0 || kernel == 0 ? 0 : (padded - reach) / stride + 1;
}

// The shape a convolution or pooling gives `in`.
Dims windowOutput(const Dims& in, const Operation& op, std::size_t channels) {
  return {in[0], outputSide(in[1], op.padding[0], op.padding[2], op.kernel[0], op.stride[0], op.dilation[0]),
          outputSide(in[2], op.padding[3], op.padding[1], op.kernel[1], op.stride[1], op.dilation[1]), channels};
}

}  // namespace

class Graph {
 public:
  // Value 0 is the input; values 1 to outputs are the outputs. The shapes
  // are those of the input shape compiled for.
  std::vector<Dims> values;
  std::size_t outputCount = 0;
  std::vector<Operation> operations;
  std::vector<std::vector<float>> weights;
};

namespace {

// What an OpenCV layer's output is in the compiled graph.
struct Mapped {
  enum class Layout {
    nchw,  // OpenCV's [n, c, h, w] is the value [n, h, w, c]
    raw,   // OpenCV's blob has the value's memory order, whatever its shape
    constant,
  } layout = Layout::nchw;
  std::uint32_t value = 0;
  std::array<std::uint32_t, 4> pendingPad{};  // a padding layer not yet folded into its consumer
  cv::Mat blob;                               // constants
};

class Compiler {
 public:
  Compiler(cv::dnn::Net& net, const std::vector<int>& inputShape) : net_(net), inputShape_(inputShape) {}

  std::optional<Graph> compile(const std::vector<cv::String>& outputNames) {
    if (inputShape_.size() != 4) return std::nullopt;
    graph_.values.push_back(dims(inputShape_[0], inputShape_[1], inputShape_[2], inputShape_[3]));
    graph_.outputCount = outputNames.size();
    for (std::size_t i = 0; i < outputNames.size(); ++i) graph_.values.push_back({});
    std::vector<int> ids;
    std::vector<std::vector<cv::dnn::MatShape>> ins, outs;
    net_.getLayersShapes(cv::dnn::MatShape(inputShape_), ids, ins, outs);
    for (std::size_t i = 0; i < ids.size() && i < ins.size() && i < outs.size(); ++i)
      shapes_[ids[i]] = {ins[i], outs[i]};
    Mapped input;
    input.layout = Mapped::Layout::raw;
    input.value = 0;
    mapped_[0] = input;
    for (const cv::String& name : net_.getLayerNames()) {
      const int id = net_.getLayerId(name);
      if (id <= 0 || !layer(id)) return std::nullopt;
    }
    for (std::size_t i = 0; i < outputNames.size(); ++i) {
      const int id = net_.getLayerId(outputNames[i]);
      const auto found = mapped_.find(id);
      if (found == mapped_.end() || found->second.layout != Mapped::Layout::raw) return std::nullopt;
      const auto shapes = shapes_.find(id);
      if (shapes == shapes_.end() || shapes->second.second.size() != 1) return std::nullopt;
      const Dims& source = graph_.values[found->second.value];
      if (static_cast<std::size_t>(cv::dnn::total(shapes->second.second[0])) != elements(source)) return std::nullopt;
      graph_.values[1 + i] = source;
      Operation copy;
      copy.kind = Operation::Kind::copy;
      copy.inputs = {found->second.value};
      copy.output = static_cast<std::uint32_t>(1 + i);
      graph_.operations.push_back(copy);
    }
    return std::move(graph_);
  }

 private:
  static Dims dims(int n, int h, int w, int c) {
    return {static_cast<std::size_t>(n), static_cast<std::size_t>(h), static_cast<std::size_t>(w),
            static_cast<std::size_t>(c)};
  }

  std::uint32_t newValue(const Dims& d) {
    graph_.values.push_back(d);
    return static_cast<std::uint32_t>(graph_.values.size() - 1);
  }

  std::size_t addWeights(std::vector<float> w) {
    graph_.weights.push_back(std::move(w));
    return graph_.weights.size() - 1;
  }

  // The input's value, with a pending padding written out as an operation.
  std::uint32_t materialized(const Mapped& m) {
    if (m.pendingPad == std::array<std::uint32_t, 4>{}) return m.value;
    const Dims& in = graph_.values[m.value];
    Operation pad;
    pad.kind = Operation::Kind::pad;
    pad.inputs = {m.value};
    pad.prePad = {0, m.pendingPad[0], m.pendingPad[3], 0};
    pad.postPad = {0, m.pendingPad[2], m.pendingPad[1], 0};
    pad.output = newValue({in[0], in[1] + m.pendingPad[0] + m.pendingPad[2], in[2] + m.pendingPad[1] + m.pendingPad[3],
                           in[3]});
    graph_.operations.push_back(pad);
    return pad.output;
  }

  bool layer(int id) {
    const cv::Ptr<cv::dnn::Layer> l = net_.getLayer(id);
    const auto shapes = shapes_.find(id);
    if (shapes == shapes_.end()) return false;
    const std::vector<cv::dnn::MatShape>& inShapes = shapes->second.first;
    const std::vector<cv::dnn::MatShape>& outShapes = shapes->second.second;
    if (outShapes.size() != 1) return false;
    const cv::dnn::MatShape& out = outShapes[0];
    std::vector<Mapped> inputs;
    for (const auto& source : net_.getLayerInputs(id)) {
      const auto found = mapped_.find(net_.getLayerId(source->name));
      if (found == mapped_.end()) return false;
      inputs.push_back(found->second);
    }
    // Input i is an NCHW tensor whose value (with its pending padding) has
    // the shape OpenCV gives it.
    const auto nchwInput = [&](std::size_t i) {
      if (i >= inputs.size() || inputs[i].layout != Mapped::Layout::nchw || i >= inShapes.size() ||
          inShapes[i].size() != 4)
        return false;
      const cv::dnn::MatShape& shape = inShapes[i];
      const Dims& value = graph_.values[inputs[i].value];
      const auto& pad = inputs[i].pendingPad;
      return value[0] == static_cast<std::size_t>(shape[0]) && value[3] == static_cast<std::size_t>(shape[1]) &&
             value[1] + pad[0] + pad[2] == static_cast<std::size_t>(shape[2]) &&
             value[2] + pad[1] + pad[3] == static_cast<std::size_t>(shape[3]);
    };
    const auto outputDims = [&] { return dims(out[0], out[2], out[3], out[1]); };
    Mapped result;
    const std::string& type = l->type;

    if (type == "Identity" || type == "Reshape") {
      // A reshape keeps the memory order; only raw blobs stay meaningful.
      if (inputs.size() != 1) return false;
      if (type == "Reshape" && inputs[0].layout != Mapped::Layout::raw) return false;
      result = inputs[0];
    } else if (type == "Permute") {
      if (inputs.size() != 1 || inShapes.size() != 1 || inShapes[0].size() != 4 || out.size() != 4) return false;
      const cv::dnn::MatShape& in = inShapes[0];
      result = inputs[0];
      if (inputs[0].layout == Mapped::Layout::raw && graph_.values[inputs[0].value] == dims(in[0], in[1], in[2], in[3]) &&
          in[1] == out[2] && in[2] == out[3] && in[3] == out[1]) {
        result.layout = Mapped::Layout::nchw;  // NHWC to NCHW
      } else if (nchwInput(0) && inputs[0].pendingPad == std::array<std::uint32_t, 4>{} && in[1] == out[3] &&
                 in[2] == out[1] && in[3] == out[2]) {
        result.layout = Mapped::Layout::raw;  // NCHW to NHWC
      } else {
        return false;
      }
    } else if (type == "Padding") {
      if (!nchwInput(0) || out.size() != 4) return false;
      const auto pad = zeroPadding(l);
      if (!pad) return false;
      const cv::dnn::MatShape& in = inShapes[0];
      if (in[0] != out[0] || in[1] != out[1] || static_cast<std::uint32_t>(out[2] - in[2]) != (*pad)[0] + (*pad)[2] ||
          static_cast<std::uint32_t>(out[3] - in[3]) != (*pad)[1] + (*pad)[3])
        return false;
      result = inputs[0];
      for (std::size_t side = 0; side < 4; ++side) result.pendingPad[side] += (*pad)[side];
    } else if (type == "Convolution") {
      if (!nchwInput(0) || !convolution(l, inputs, inShapes, out, result)) return false;
    } else if (type == "ReLU") {
      const auto relu = l.dynamicCast<cv::dnn::ReLULayer>();
      if (!relu || relu->negativeSlope != 0 || !nchwInput(0)) return false;
      Operation clamp;
      clamp.kind = Operation::Kind::clamp;
      clamp.inputs = {materialized(inputs[0])};
      clamp.low = 0;
      clamp.output = newValue(graph_.values[clamp.inputs[0]]);
      graph_.operations.push_back(clamp);
      result.value = clamp.output;
    } else if (type == "Eltwise") {
      if (inputs.size() != 2 || !nchwInput(0) || !nchwInput(1) || inShapes[0] != inShapes[1] || !sums(l)) return false;
      Operation add;
      add.kind = Operation::Kind::add;
      add.inputs = {materialized(inputs[0]), materialized(inputs[1])};
      add.output = newValue(outputDims());
      graph_.operations.push_back(add);
      result.value = add.output;
    } else if (type == "Pooling") {
      const auto pool = l.dynamicCast<cv::dnn::PoolingLayer>();
      if (!pool || pool->type != 0 /* max */ || pool->globalPooling || !nchwInput(0) || out.size() != 4 ||
          pool->kernel_size.size() != 2 || pool->strides.size() != 2)
        return false;
      Operation op;
      op.kind = Operation::Kind::maxPool;
      op.inputs = {materialized(inputs[0])};
      op.kernel = {static_cast<std::uint32_t>(pool->kernel_size[0]), static_cast<std::uint32_t>(pool->kernel_size[1])};
      op.stride = {static_cast<std::uint32_t>(pool->strides[0]), static_cast<std::uint32_t>(pool->strides[1])};
      if (pool->pads_begin.size() == 2 && pool->pads_end.size() == 2)
        op.padding = {static_cast<std::uint32_t>(pool->pads_begin[0]), static_cast<std::uint32_t>(pool->pads_end[1]),
                      static_cast<std::uint32_t>(pool->pads_end[0]), static_cast<std::uint32_t>(pool->pads_begin[1])};
      const Dims& in = graph_.values[op.inputs[0]];
      if (!fits(in, op, outputDims())) return false;
      op.output = newValue(outputDims());
      graph_.operations.push_back(op);
      result.value = op.output;
    } else if (type == "Const") {
      if (l->blobs.size() != 1) return false;
      result.layout = Mapped::Layout::constant;
      result.blob = l->blobs[0];
    } else if (type == "Concat") {
      // Channel padding: a value and a constant of zeros, joined on channels.
      const auto concat = l.dynamicCast<cv::dnn::ConcatLayer>();
      if (!concat || concat->axis != 1 || concat->padding || inputs.size() != 2 || out.size() != 4) return false;
      const bool zerosFirst = inputs[0].layout == Mapped::Layout::constant;
      const Mapped& zeros = inputs[zerosFirst ? 0 : 1];
      const std::size_t valueIndex = zerosFirst ? 1 : 0;
      if (zeros.layout != Mapped::Layout::constant || !nchwInput(valueIndex) || zeros.blob.depth() != CV_32F ||
          cv::countNonZero(zeros.blob.reshape(1, 1)) != 0)
        return false;
      const auto added = static_cast<std::size_t>(out[1] - inShapes[valueIndex][1]);
      Operation pad;
      pad.kind = Operation::Kind::pad;
      pad.inputs = {materialized(inputs[valueIndex])};
      (zerosFirst ? pad.prePad : pad.postPad)[3] = added;
      pad.output = newValue(outputDims());
      if (graph_.values[pad.inputs[0]][3] + added != graph_.values[pad.output][3]) return false;
      graph_.operations.push_back(pad);
      result.value = pad.output;
    } else {
      return false;
    }
    mapped_[id] = result;
    return true;
  }

  // The layer run by itself on `inputs`; empty when OpenCV refuses.
  static std::optional<cv::Mat> probed(const cv::Ptr<cv::dnn::Layer>& l, const std::vector<cv::Mat>& inputs) {
    try {
      std::vector<cv::dnn::MatShape> inShapes, outShapes, internalShapes;
      for (const cv::Mat& m : inputs) inShapes.push_back(cv::dnn::shape(m));
      l->getMemoryShapes(inShapes, 1, outShapes, internalShapes);
      std::vector<cv::Mat> outputs, internals;
      for (const auto& s : outShapes) outputs.emplace_back(s, CV_32F);
      for (const auto& s : internalShapes) internals.emplace_back(s, CV_32F);
      l->finalize(cv::InputArrayOfArrays(inputs), cv::OutputArrayOfArrays(outputs));
      l->forward(inputs, outputs, internals);
      if (outputs.size() != 1) return std::nullopt;
      return outputs[0];
    } catch (const cv::Exception&) {
      return std::nullopt;
    }
  }

  // A padding layer's rows and columns added (top, right, bottom, left),
  // read off a small probe of ones; empty unless it pads rows and columns
  // only, with zeros.
  static std::optional<std::array<std::uint32_t, 4>> zeroPadding(const cv::Ptr<cv::dnn::Layer>& l) {
    const int shape[] = {1, 1, 4, 4};
    const auto out = probed(l, {cv::Mat(4, shape, CV_32F, cv::Scalar(1))});
    if (!out || out->dims != 4 || out->size[0] != 1 || out->size[1] != 1) return std::nullopt;
    const cv::Mat plane(out->size[2], out->size[3], CV_32F, const_cast<float*>(out->ptr<float>()));
    cv::Point top;
    cv::minMaxLoc(plane, nullptr, nullptr, nullptr, &top);
    const auto t = static_cast<std::uint32_t>(top.y), left = static_cast<std::uint32_t>(top.x);
    if (plane.rows < top.y + 4 || plane.cols < top.x + 4) return std::nullopt;
    cv::Mat expected = cv::Mat::zeros(plane.size(), CV_32F);
    expected(cv::Rect(top.x, top.y, 4, 4)).setTo(1);
    if (cv::norm(plane, expected, cv::NORM_INF) != 0) return std::nullopt;
    return std::array<std::uint32_t, 4>{t, static_cast<std::uint32_t>(plane.cols - top.x - 4),
                                        static_cast<std::uint32_t>(plane.rows - top.y - 4), left};
  }

  // Whether an element-wise layer adds its two inputs.
  static bool sums(const cv::Ptr<cv::dnn::Layer>& l) {
    const int shape[] = {1, 2, 1, 1};
    cv::Mat a(4, shape, CV_32F), b(4, shape, CV_32F);
    a.ptr<float>()[0] = 1.5f, a.ptr<float>()[1] = -2.0f;
    b.ptr<float>()[0] = 2.25f, b.ptr<float>()[1] = 0.5f;
    const auto out = probed(l, {a, b});
    return out && out->total() == 2 && out->ptr<float>()[0] == 3.75f && out->ptr<float>()[1] == -1.5f;
  }

  // Whether an operation with this kernel, stride, dilation and padding
  // turns `in` into `out`.
  static bool fits(const Dims& in, const Operation& op, const Dims& out) {
    return windowOutput(in, op, out[3]) == out;
  }

  bool convolution(const cv::Ptr<cv::dnn::Layer>& l, const std::vector<Mapped>& inputs,
                   const std::vector<cv::dnn::MatShape>& inShapes, const cv::dnn::MatShape& out, Mapped& result) {
    const auto conv = l.dynamicCast<cv::dnn::BaseConvolutionLayer>();
    if (!conv || inputs.size() != 1 || inputs[0].layout != Mapped::Layout::nchw || inShapes.size() != 1 ||
        out.size() != 4 || l->blobs.empty() || (!conv->padMode.empty() && conv->padMode != "VALID") ||
        conv->kernel_size.size() != 2 || conv->strides.size() != 2 || conv->dilations.size() != 2 ||
        conv->pads_begin.size() != 2 || conv->pads_end.size() != 2)
      return false;
    const cv::Mat& w = l->blobs[0];
    if (w.dims != 4 || w.depth() != CV_32F || !w.isContinuous()) return false;
    const int outC = w.size[0], perGroup = w.size[1], kh = w.size[2], kw = w.size[3];
    const int inC = inShapes[0][1];
    if (outC != out[1] || kh != static_cast<int>(conv->kernel_size[0]) || kw != static_cast<int>(conv->kernel_size[1]))
      return false;
    Operation op;
    if (perGroup == inC) {
      op.kind = Operation::Kind::convolution;
    } else if (perGroup == 1 && outC == inC) {
      op.kind = Operation::Kind::depthwise;
    } else {
      return false;
    }
    const float* src = w.ptr<float>();
    std::vector<float> filter(static_cast<std::size_t>(outC) * perGroup * kh * kw);
    for (int o = 0; o < outC; ++o)
      for (int i = 0; i < perGroup; ++i)
        for (int y = 0; y < kh; ++y)
          for (int x = 0; x < kw; ++x) {
            const float v = src[((static_cast<std::size_t>(o) * perGroup + i) * kh + y) * kw + x];
            // Plain: [out, kh, kw, in]; depthwise: [1, kh, kw, channels].
            const std::size_t at = op.kind == Operation::Kind::convolution
                                       ? ((static_cast<std::size_t>(o) * kh + y) * kw + x) * perGroup + i
                                       : (static_cast<std::size_t>(y) * kw + x) * outC + o;
            filter[at] = v;
          }
    std::vector<float> bias(static_cast<std::size_t>(outC), 0.0f);
    if (l->blobs.size() >= 2) {
      const cv::Mat& b = l->blobs[1];
      if (b.depth() != CV_32F || b.total() != static_cast<std::size_t>(outC) || !b.isContinuous()) return false;
      std::copy_n(b.ptr<float>(), outC, bias.begin());
    }
    op.inputs = {inputs[0].value};
    const auto& pending = inputs[0].pendingPad;
    op.padding = {pending[0] + static_cast<std::uint32_t>(conv->pads_begin[0]),
                  pending[1] + static_cast<std::uint32_t>(conv->pads_end[1]),
                  pending[2] + static_cast<std::uint32_t>(conv->pads_end[0]),
                  pending[3] + static_cast<std::uint32_t>(conv->pads_begin[1])};
    op.kernel = {static_cast<std::uint32_t>(kh), static_cast<std::uint32_t>(kw)};
    op.stride = {static_cast<std::uint32_t>(conv->strides[0]), static_cast<std::uint32_t>(conv->strides[1])};
    op.dilation = {static_cast<std::uint32_t>(conv->dilations[0]), static_cast<std::uint32_t>(conv->dilations[1])};
    op.inputChannels = static_cast<std::size_t>(inC);
    op.outputChannels = static_cast<std::size_t>(outC);
    op.filter = addWeights(std::move(filter));
    op.bias = addWeights(std::move(bias));
    const Dims outDims = dims(out[0], out[2], out[3], out[1]);
    if (!fits(graph_.values[op.inputs[0]], op, outDims)) return false;
    op.output = newValue(outDims);
    graph_.operations.push_back(op);
    result.value = op.output;
    return true;
  }

  cv::dnn::Net& net_;
  std::vector<int> inputShape_;
  Graph graph_;
  std::map<int, Mapped> mapped_;
  std::map<int, std::pair<std::vector<cv::dnn::MatShape>, std::vector<cv::dnn::MatShape>>> shapes_;
};

// Defines the graph's values and operations in a new XNNPACK subgraph.
xnn_subgraph_t defined(const Graph& graph) {
  xnn_subgraph_t subgraph = nullptr;
  if (xnn_create_subgraph(static_cast<std::uint32_t>(1 + graph.outputCount), 0, &subgraph) != xnn_status_success)
    return nullptr;
  std::vector<std::uint32_t> ids(graph.values.size(), XNN_INVALID_VALUE_ID);
  bool ok = true;
  for (std::size_t v = 0; v < graph.values.size() && ok; ++v) {
    const bool external = v <= graph.outputCount;
    const std::uint32_t flags = v == 0 ? XNN_VALUE_FLAG_EXTERNAL_INPUT : external ? XNN_VALUE_FLAG_EXTERNAL_OUTPUT : 0;
    ok = xnn_define_tensor_value(subgraph, xnn_datatype_fp32, 4, graph.values[v].data(), nullptr,
                                 external ? static_cast<std::uint32_t>(v) : XNN_INVALID_VALUE_ID, flags,
                                 &ids[v]) == xnn_status_success;
  }
  const auto constant = [&](const std::vector<float>& data, std::vector<std::size_t> shape) {
    std::uint32_t id = XNN_INVALID_VALUE_ID;
    if (xnn_define_tensor_value(subgraph, xnn_datatype_fp32, shape.size(), shape.data(), data.data(),
                                XNN_INVALID_VALUE_ID, 0, &id) != xnn_status_success)
      ok = false;
    return id;
  };
  for (const Operation& op : graph.operations) {
    if (!ok) break;
    const std::uint32_t in = ids[op.inputs[0]], out = ids[op.output];
    xnn_status status = xnn_status_success;
    switch (op.kind) {
      case Operation::Kind::convolution: {
        const std::uint32_t filter = constant(graph.weights[op.filter], {op.outputChannels, op.kernel[0], op.kernel[1],
                                                                         op.inputChannels});
        const std::uint32_t bias = constant(graph.weights[op.bias], {op.outputChannels});
        status = xnn_define_convolution_2d(subgraph, op.padding[0], op.padding[1], op.padding[2], op.padding[3],
                                           op.kernel[0], op.kernel[1], op.stride[0], op.stride[1], op.dilation[0],
                                           op.dilation[1], 1, op.inputChannels, op.outputChannels, op.low, op.high, in,
                                           filter, bias, out, 0);
        break;
      }
      case Operation::Kind::depthwise: {
        const std::uint32_t filter = constant(graph.weights[op.filter], {1, op.kernel[0], op.kernel[1], op.outputChannels});
        const std::uint32_t bias = constant(graph.weights[op.bias], {op.outputChannels});
        status = xnn_define_depthwise_convolution_2d(subgraph, op.padding[0], op.padding[1], op.padding[2], op.padding[3],
                                                     op.kernel[0], op.kernel[1], op.stride[0], op.stride[1],
                                                     op.dilation[0], op.dilation[1], 1, op.inputChannels, op.low,
                                                     op.high, in, filter, bias, out, 0);
        break;
      }
      case Operation::Kind::clamp:
        status = xnn_define_clamp(subgraph, op.low, op.high, in, out, 0);
        break;
      case Operation::Kind::add:
        status = xnn_define_add2(subgraph, op.low, op.high, in, ids[op.inputs[1]], out, 0);
        break;
      case Operation::Kind::maxPool:
        status = xnn_define_max_pooling_2d(subgraph, op.padding[0], op.padding[1], op.padding[2], op.padding[3],
                                           op.kernel[0], op.kernel[1], op.stride[0], op.stride[1], 1, 1, op.low,
                                           op.high, in, out, 0);
        break;
      case Operation::Kind::pad:
        status = xnn_define_static_constant_pad(subgraph, op.prePad.data(), op.postPad.data(), 0.0f, in, out, 0);
        break;
      case Operation::Kind::copy:
        status = xnn_define_static_reshape(subgraph, 4, graph.values[op.output].data(), in, out, 0);
        break;
    }
    ok = ok && status == xnn_status_success;
  }
  if (!ok) {
    xnn_delete_subgraph(subgraph);
    return nullptr;
  }
  return subgraph;
}

}  // namespace

std::shared_ptr<const Graph> compile(cv::dnn::Net& net, const std::vector<int>& inputShape,
                                     const std::vector<cv::String>& outputNames) {
  if (!xnnpackReady()) return nullptr;
  std::optional<Graph> graph;
  try {
    graph = Compiler(net, inputShape).compile(outputNames);
  } catch (const cv::Exception&) {
    return nullptr;
  }
  if (!graph) return nullptr;
  return std::make_shared<const Graph>(std::move(*graph));
}

struct Runner::Runtime {
  xnn_runtime_t runtime = nullptr;
  ~Runtime() {
    if (runtime) xnn_delete_runtime(runtime);
  }
};

Runner::Runner(std::shared_ptr<const Graph> graph) : graph_(std::move(graph)), runtime_(std::make_unique<Runtime>()) {
  if (!graph_) return;
  input_.resize(elements(graph_->values[0]));
  for (std::size_t i = 1; i <= graph_->outputCount; ++i) outputs_.emplace_back(elements(graph_->values[i]));
  xnn_subgraph_t subgraph = defined(*graph_);
  if (!subgraph) return;
  if (xnn_create_runtime_v2(subgraph, nullptr, 0, &runtime_->runtime) != xnn_status_success) runtime_->runtime = nullptr;
  xnn_delete_subgraph(subgraph);
  if (!runtime_->runtime) return;
  std::vector<xnn_external_value> external{{0, input_.data()}};
  for (std::size_t i = 0; i < outputs_.size(); ++i)
    external.push_back({static_cast<std::uint32_t>(1 + i), outputs_[i].data()});
  if (xnn_setup_runtime(runtime_->runtime, external.size(), external.data()) != xnn_status_success) {
    xnn_delete_runtime(runtime_->runtime);
    runtime_->runtime = nullptr;
  }
}

Runner::~Runner() = default;

bool Runner::usable() const { return runtime_->runtime != nullptr; }

bool Runner::run(const float* input) {
  if (!runtime_->runtime) return false;
  if (input != input_.data()) std::copy_n(input, input_.size(), input_.begin());
  return xnn_invoke_runtime(runtime_->runtime) == xnn_status_success;
}

}  // namespace vision::compiled
