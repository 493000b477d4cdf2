#pragma once
// The retouch graphs we author ourselves (no public skin or teeth model exists), and the
// adapter that turns the public 468-point mesh into the landmarker's 478-point contract.
#include <vector>

#include "tools/models/onnx_writer.h"
#include "tools/models/tflite_reader.h"

namespace tesmira::models {

// Fixed 40 x 64 zone weights (0..1) from the canonical face, indexed x * 64 + y.
struct SkinZones {
  std::vector<float> wrinkle;
  std::vector<float> bags;
};

// "data" {1,3,320,512} (dim 2 the column, 3 the row, raw bytes R, G, B) and "cond"
// {1,4,1,1} -> "output_0" {1,4,40,64}: per 8x8 cell the blend share and target colour,
// encoded for the compositor (neutral 42.5 and 36.428571 when every strength is 0).
Graph skinGraph(const SkinZones& zones);
// "data" {1,3,128,128} -> "output_0" {1,4,128,128}: whitening towards a lifted neutral
// white on bright, not-red pixels; zeros where nothing should change.
Graph teethGraph();
// "input_12" {1,256,256,3} -> "Identity" {1,1,1,1434} (468 mesh points and 10 iris points,
// x, y in input pixels) and "Identity_1" {1,1,1,1} (the mesh's face logit).
Graph meshAdapterGraph(const TfModel& mesh);

// The 16-point eye contours: the eye of point 33 first.
extern const std::vector<int> kLeftEyeContour;
extern const std::vector<int> kRightEyeContour;

}  // namespace tesmira::models
