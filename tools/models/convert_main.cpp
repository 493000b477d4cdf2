// tesmira_tflite_to_onnx <model.tflite> <model.onnx>: converts one TFLite model.
#include <exception>
#include <iostream>

#include "tools/models/tflite_to_onnx.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " <model.tflite> <model.onnx>\n";
    return 2;
  }
  try {
    using namespace tesmira::models;
    writeModel(argv[2], convertTfliteModel(readTfliteFile(argv[1])));
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << "\n";
    return 1;
  }
  return 0;
}
