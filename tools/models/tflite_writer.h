#pragma once
// Writes a TFLite model (FlatBuffers, schema version 3) from what the reader keeps: the
// operators the converter maps, with their options. Used to hand an outside TFLite runtime a
// copy of a model it could not read as published.
#include <string>

#include "tools/models/tflite_reader.h"

namespace tesmira::models {

std::string writeTflite(const TfModel& model);

// The model with its fp16 weights widened to fp32 constants and the DEQUANTIZE operators
// that widened them at run time removed; everything else as it was.
TfModel widenWeights(const TfModel& model);

}  // namespace tesmira::models
