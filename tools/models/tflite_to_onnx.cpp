#include "tools/models/tflite_to_onnx.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace tesmira::models {
namespace {

std::vector<int64_t> dims64(const std::vector<int32_t>& shape) { return {shape.begin(), shape.end()}; }

// Reorders a constant's elements: out dimension i is input dimension perm[i].
std::vector<float> permute(const std::vector<float>& in, const std::vector<int32_t>& shape,
                           const std::vector<int>& perm, std::vector<int32_t>& outShape) {
  size_t rank = shape.size();
  outShape.assign(rank, 0);
  for (size_t i = 0; i < rank; ++i) outShape[i] = shape[size_t(perm[i])];
  std::vector<int64_t> inStride(rank, 1);
  for (size_t i = rank - 1; i-- > 0;) inStride[i] = inStride[i + 1] * shape[i + 1];
  std::vector<float> out(in.size());
  std::vector<int32_t> idx(rank, 0);
  for (size_t o = 0; o < out.size(); ++o) {
    int64_t src = 0;
    for (size_t i = 0; i < rank; ++i) src += idx[i] * inStride[size_t(perm[i])];
    out[o] = in[size_t(src)];
    for (size_t i = rank; i-- > 0;) {
      if (++idx[i] < outShape[i]) break;
      idx[i] = 0;
    }
  }
  return out;
}

// TFLite SAME: output ceil(in / stride), the odd pixel of padding at the end.
std::pair<int64_t, int64_t> samePads(int64_t in, int64_t kernel, int64_t stride, int64_t dilation) {
  int64_t out = (in + stride - 1) / stride;
  int64_t total = std::max<int64_t>((out - 1) * stride + (kernel - 1) * dilation + 1 - in, 0);
  return {total / 2, total - total / 2};
}

class Converter {
 public:
  Converter(const TfModel& model, Graph& graph) : m_(model), g_(graph) {}

  std::vector<std::string> run(const std::map<int32_t, std::string>& nchwInputs) {
    for (int32_t in : m_.inputs) {
      const TfTensor& t = m_.tensors[size_t(in)];
      if (auto it = nchwInputs.find(in); it != nchwInputs.end()) {
        values_[in] = {it->second, true};
      } else {
        g_.input(t.name, dims64(t.shape));
        values_[in] = {t.name, false};
      }
    }
    for (const TfOperator& op : m_.operators) convert(op);
    std::vector<std::string> outs;
    for (int32_t out : m_.outputs) outs.push_back(nhwc(out));
    return outs;
  }

 private:
  struct Value {
    std::string name;
    bool nchw = false;  // a rank-4 activation held as NCHW
  };

  const TfTensor& tensor(int32_t i) const { return m_.tensors[size_t(i)]; }
  bool isConstant(int32_t i) const { return tensor(i).data.has_value() || folded_.count(i); }
  std::vector<float> floats(int32_t i) const {
    if (auto it = folded_.find(i); it != folded_.end()) return it->second;
    return tfConstantFloats(tensor(i));
  }

  Value& value(int32_t i) {
    auto it = values_.find(i);
    if (it == values_.end()) throw std::runtime_error("Tensor " + tensor(i).name + " is used before it is made");
    return it->second;
  }

  std::string nchw(int32_t i) {
    Value& v = value(i);
    if (v.nchw || tensor(i).shape.size() != 4) return v.name;
    return g_.node("Transpose", {v.name}, {attrInts("perm", {0, 3, 1, 2})});
  }
  std::string nhwc(int32_t i) {
    Value& v = value(i);
    if (!v.nchw) return v.name;
    return g_.node("Transpose", {v.name}, {attrInts("perm", {0, 2, 3, 1})});
  }

  void produce(const TfOperator& op, std::string name, bool isNchw) {
    name = fuse(op, name);
    values_[op.outputs.at(0)] = {name, isNchw};
  }

  std::string fuse(const TfOperator& op, const std::string& name) {
    switch (op.options.activation) {
      case 0: return name;
      case 1: return g_.node("Relu", {name});
      case 3: return g_.node("Clip", {name, g_.scalar(0), g_.scalar(6)});
      default:
        throw std::runtime_error("Unsupported fused activation " + std::to_string(op.options.activation) + " on " +
                                 tfOperatorName(op));
    }
  }

  std::string constant(const std::string& stem, std::vector<int32_t> shape, std::vector<float> data) {
    return g_.constant(g_.freshName(stem), dims64(shape), std::move(data));
  }

  // A constant operand beside an NCHW activation: channel vectors become [C, 1, 1],
  // rank-3 HWC become CHW, rank-4 NHWC become NCHW.
  std::string constantFor(int32_t i, bool besideNchw) {
    const TfTensor& t = tensor(i);
    std::vector<float> data = floats(i);
    if (!besideNchw) return constant("const", t.shape, std::move(data));
    std::vector<int32_t> shape;
    if (t.shape.size() == 1) return constant("const", {t.shape[0], 1, 1}, std::move(data));
    if (t.shape.size() == 3) data = permute(data, t.shape, {2, 0, 1}, shape);
    else if (t.shape.size() == 4) data = permute(data, t.shape, {0, 3, 1, 2}, shape);
    else throw std::runtime_error("Unsupported constant rank for " + t.name);
    return constant("const", shape, std::move(data));
  }

  std::vector<int64_t> pads(const TfOperator& op, int64_t kh, int64_t kw) {
    if (!op.options.samePadding) return {0, 0, 0, 0};
    const auto& in = tensor(op.inputs.at(0)).shape;
    if (in.size() != 4) throw std::runtime_error(tfOperatorName(op) + " needs a rank-4 input");
    auto [top, bottom] = samePads(in[1], kh, op.options.strideH, op.options.dilationH);
    auto [left, right] = samePads(in[2], kw, op.options.strideW, op.options.dilationW);
    return {top, left, bottom, right};
  }

  void conv(const TfOperator& op, bool depthwise) {
    const TfTensor& w = tensor(op.inputs.at(1));
    if (w.shape.size() != 4) throw std::runtime_error("Convolution weights must be rank 4");
    int32_t kh = w.shape[1], kw = w.shape[2];
    std::vector<int32_t> shape;
    std::vector<float> weights;
    int64_t group = 1;
    if (depthwise) {
      // [1, kh, kw, C * m] -> [C * m, 1, kh, kw]
      weights = permute(floats(op.inputs[1]), w.shape, {3, 0, 1, 2}, shape);
      group = tensor(op.inputs[0]).shape.at(3);
    } else {
      // [O, kh, kw, I] -> [O, I, kh, kw]
      weights = permute(floats(op.inputs[1]), w.shape, {0, 3, 1, 2}, shape);
    }
    std::vector<std::string> inputs = {nchw(op.inputs[0]), constant("weight", shape, std::move(weights))};
    if (op.inputs.size() > 2 && op.inputs[2] >= 0) inputs.push_back(constantFor(op.inputs[2], false));
    std::string out = g_.node("Conv", inputs,
                              {attrInts("kernel_shape", {kh, kw}), attrInts("strides", {op.options.strideH, op.options.strideW}),
                               attrInts("dilations", {op.options.dilationH, op.options.dilationW}),
                               attrInts("pads", pads(op, kh, kw)), attrInt("group", group)});
    produce(op, out, true);
  }

  void convert(const TfOperator& op) {
    switch (op.builtin) {
      case kTfDequantize: {
        int32_t in = op.inputs.at(0);
        if (!isConstant(in)) throw std::runtime_error("DEQUANTIZE of a non-constant tensor is not supported");
        folded_[op.outputs.at(0)] = floats(in);
        return;
      }
      case kTfConv2d: return conv(op, false);
      case kTfDepthwiseConv2d: return conv(op, true);
      case kTfAdd: {
        int32_t a = op.inputs.at(0), b = op.inputs.at(1);
        if (isConstant(a)) std::swap(a, b);
        if (isConstant(a)) throw std::runtime_error("ADD of two constants is not supported");
        bool four = tensor(a).shape.size() == 4;
        std::string left = four ? nchw(a) : nhwc(a);
        std::string right = isConstant(b) ? constantFor(b, four) : (four ? nchw(b) : nhwc(b));
        return produce(op, g_.node("Add", {left, right}), four);
      }
      case kTfRelu: {
        Value v = value(op.inputs.at(0));
        return produce(op, g_.node("Relu", {v.name}), v.nchw);
      }
      case kTfRelu6: {
        Value v = value(op.inputs.at(0));
        return produce(op, g_.node("Clip", {v.name, g_.scalar(0), g_.scalar(6)}), v.nchw);
      }
      case kTfPrelu: {
        bool four = tensor(op.inputs.at(0)).shape.size() == 4;
        std::string x = four ? nchw(op.inputs[0]) : nhwc(op.inputs[0]);
        return produce(op, g_.node("PRelu", {x, constantFor(op.inputs.at(1), four)}), four);
      }
      case kTfPad: {
        std::vector<int32_t> p = tfConstantInts(tensor(op.inputs.at(1)));
        if (p.size() != 8 || tensor(op.inputs[0]).shape.size() != 4) throw std::runtime_error("PAD must be rank 4");
        // NHWC [n0, n1, h0, h1, w0, w1, c0, c1] -> NCHW begins then ends.
        std::string padsName = g_.int64s({p[0], p[6], p[2], p[4], p[1], p[7], p[3], p[5]});
        return produce(op, g_.node("Pad", {nchw(op.inputs[0]), padsName}, {attrString("mode", "constant")}), true);
      }
      case kTfMaxPool2d: {
        int32_t kh = op.options.filterH, kw = op.options.filterW;
        std::string out = g_.node("MaxPool", {nchw(op.inputs.at(0))},
                                  {attrInts("kernel_shape", {kh, kw}),
                                   attrInts("strides", {op.options.strideH, op.options.strideW}),
                                   attrInts("pads", pads(op, kh, kw))});
        return produce(op, out, true);
      }
      case kTfReshape: {
        // The element order is the TFLite one, so the data goes back to NHWC first.
        std::string shape = g_.int64s(dims64(tensor(op.outputs.at(0)).shape));
        return produce(op, g_.node("Reshape", {nhwc(op.inputs.at(0)), shape}), false);
      }
      case kTfConcatenation: {
        size_t rank = tensor(op.outputs.at(0)).shape.size();
        int32_t axis = op.options.axis < 0 ? op.options.axis + int32_t(rank) : op.options.axis;
        bool anyNchw = false;
        for (int32_t in : op.inputs) anyNchw |= value(in).nchw;
        std::vector<std::string> inputs;
        for (int32_t in : op.inputs) inputs.push_back(anyNchw ? nchw(in) : nhwc(in));
        if (anyNchw) axis = std::array<int32_t, 4>{0, 2, 3, 1}[size_t(axis)];
        return produce(op, g_.node("Concat", inputs, {attrInt("axis", axis)}), anyNchw);
      }
      default: throw std::runtime_error("Unsupported TFLite operator: " + tfOperatorName(op));
    }
  }

  const TfModel& m_;
  Graph& g_;
  std::map<int32_t, Value> values_;
  std::map<int32_t, std::vector<float>> folded_;
};

}  // namespace

std::vector<std::string> convertTflite(const TfModel& model, Graph& graph,
                                       const std::map<int32_t, std::string>& nchwInputs) {
  return Converter(model, graph).run(nchwInputs);
}

Graph convertTfliteModel(const TfModel& model) {
  Graph graph("converted");
  std::vector<std::string> outs = convertTflite(model, graph);
  for (size_t i = 0; i < outs.size(); ++i) {
    const TfTensor& t = model.tensors[size_t(model.outputs[i])];
    graph.node("Identity", {outs[i]}, {}, t.name);
    graph.output(t.name, dims64(t.shape));
  }
  return graph;
}

}  // namespace tesmira::models
