#pragma once
// TFLite to ONNX (opset 13) for the face models: NCHW inside, transposes at the NHWC edges,
// fp16 weights folded to fp32, SAME padding made explicit. Other operators are refused.
#include <map>
#include <string>
#include <vector>

#include "tools/models/onnx_writer.h"
#include "tools/models/tflite_reader.h"

namespace tesmira::models {

// Adds the model's operators to `graph`. `nchwInputs` names, for TFLite input tensors, an
// ONNX value that already holds them in NCHW; other inputs become graph inputs (NHWC) under
// their TFLite names. Returns the ONNX names of the TFLite outputs, each in TFLite (NHWC)
// layout. Throws std::runtime_error naming an unsupported operator.
std::vector<std::string> convertTflite(const TfModel& model, Graph& graph,
                                       const std::map<int32_t, std::string>& nchwInputs = {});

// A standalone graph: TFLite inputs and outputs under their own names and shapes.
Graph convertTfliteModel(const TfModel& model);

}  // namespace tesmira::models
