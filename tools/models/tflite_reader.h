#pragma once
// Reads a TFLite model (FlatBuffers) without generated code: tensors, constant buffers and
// the operators of the first subgraph, with every offset checked against the file size.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tesmira::models {

enum TfTensorType : int32_t { kTfFloat32 = 0, kTfFloat16 = 1, kTfInt32 = 2, kTfUint8 = 3, kTfInt64 = 4 };

enum TfBuiltin : int32_t {
  kTfAdd = 0,
  kTfConcatenation = 2,
  kTfConv2d = 3,
  kTfDepthwiseConv2d = 4,
  kTfDequantize = 6,
  kTfMaxPool2d = 17,
  kTfRelu = 19,
  kTfRelu6 = 21,
  kTfReshape = 22,
  kTfPad = 34,
  kTfPrelu = 54,
};

// Fused activations: NONE 0, RELU 1, RELU_N1_TO_1 2, RELU6 3, TANH 4, SIGN_BIT 5.
struct TfOptions {
  bool samePadding = true;  // Padding SAME 0, VALID 1
  int32_t strideW = 1, strideH = 1;
  int32_t dilationW = 1, dilationH = 1;
  int32_t depthMultiplier = 1;
  int32_t filterW = 1, filterH = 1;
  int32_t activation = 0;
  int32_t axis = 0;
};

struct TfTensor {
  std::vector<int32_t> shape;
  int32_t type = kTfFloat32;
  std::string name;
  // Constant bytes (little endian) when the tensor has a buffer with data.
  std::optional<std::string> data;
};

struct TfOperator {
  int32_t builtin = 0;
  std::string customCode;
  std::vector<int32_t> inputs;   // -1: an optional input left out
  std::vector<int32_t> outputs;
  TfOptions options;
};

struct TfModel {
  std::vector<TfTensor> tensors;
  std::vector<TfOperator> operators;
  std::vector<int32_t> inputs;
  std::vector<int32_t> outputs;
};

// Throws std::runtime_error for a file that is not a well-formed TFLite model.
TfModel readTflite(const std::string& bytes);
TfModel readTfliteFile(const std::string& path);
// The operator's TFLite name ("CONV_2D", ...), for messages.
std::string tfOperatorName(const TfOperator& op);
// A constant tensor's values as 32-bit floats (float32 as is, float16 widened).
std::vector<float> tfConstantFloats(const TfTensor& tensor);
std::vector<int32_t> tfConstantInts(const TfTensor& tensor);

}  // namespace tesmira::models
