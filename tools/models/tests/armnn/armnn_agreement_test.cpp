// The converter checked against an outside runtime: Arm NN's TFLite parser and reference
// backend run the published detector (weights widened to fp32, which that parser needs) and
// ONNX Runtime runs our conversion of it. The mesh uses PRELU, which that parser cannot read;
// the NHWC evaluator in the model tools' tests covers it.
#include <gtest/gtest.h>

#include <armnn/ArmNN.hpp>
#include <armnnTfLiteParser/ITfLiteParser.hpp>

#include <cmath>
#include <iostream>
#include <random>

#include "tools/models/tests/model_test_support.h"
#include "tools/models/tflite_to_onnx.h"
#include "tools/models/tflite_writer.h"

namespace tesmira::models {
namespace {

using namespace modeltest;

std::vector<NTensor> runArmnn(const std::string& tflite, const std::string& inputName, const NTensor& input,
                              const std::vector<std::string>& outputNames) {
  auto parser = armnnTfLiteParser::ITfLiteParser::Create();
  armnn::INetworkPtr network = parser->CreateNetworkFromBinary(std::vector<uint8_t>(tflite.begin(), tflite.end()));
  armnn::IRuntimePtr runtime = armnn::IRuntime::Create(armnn::IRuntime::CreationOptions());
  armnn::IOptimizedNetworkPtr optimized = armnn::Optimize(*network, {armnn::Compute::CpuRef}, runtime->GetDeviceSpec());
  armnn::NetworkId id;
  std::string error;
  if (runtime->LoadNetwork(id, std::move(optimized), error, armnn::INetworkProperties()) != armnn::Status::Success)
    throw std::runtime_error("Arm NN could not load the network: " + error);
  auto in = parser->GetNetworkInputBindingInfo(0, inputName);
  if (in.second.GetNumElements() != input.data.size()) throw std::runtime_error("input size differs");
  armnn::InputTensors inputs{{in.first, armnn::ConstTensor(in.second, input.data.data())}};
  std::vector<NTensor> result;
  armnn::OutputTensors outputs;
  for (const auto& name : outputNames) {
    auto out = parser->GetNetworkOutputBindingInfo(0, name);
    NTensor t;
    for (unsigned d = 0; d < out.second.GetNumDimensions(); ++d) t.shape.push_back(int32_t(out.second.GetShape()[d]));
    t.data.resize(out.second.GetNumElements());
    result.push_back(std::move(t));
  }
  for (size_t i = 0; i < outputNames.size(); ++i) {
    auto out = parser->GetNetworkOutputBindingInfo(0, outputNames[i]);
    outputs.push_back({out.first, armnn::Tensor(out.second, result[i].data.data())});
  }
  if (runtime->EnqueueWorkload(id, inputs, outputs) != armnn::Status::Success)
    throw std::runtime_error("Arm NN could not run the network");
  return result;
}

NTensor noiseInput(int size, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> value(-1, 1);
  NTensor t{{1, size, size, 3}, std::vector<float>(size_t(size) * size_t(size) * 3)};
  for (float& f : t.data) f = value(random);
  return t;
}

TEST(ArmnnAgreementTest, ConvertedDetectorAgreesWithArmnnOnTheWidenedOriginal) {
  const std::vector<std::string> outputs = {"regressors", "classificators"};
  const std::string onnx = serializeModel(convertTfliteModel(detector()));
  const std::string widened = writeTflite(widenWeights(detector()));
  struct Case {
    const char* name;
    NTensor input;
  } cases[] = {
      {"astronaut", astronautInput(128, -1, 1)},
      {"noise", noiseInput(128, 7)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto want = runArmnn(widened, "input", c.input, outputs);
    auto got = runOnnx(onnx, {{"input", c.input}}, outputs);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].shape, want[i].shape) << outputs[i];
      ASSERT_EQ(got[i].data.size(), want[i].data.size());
      double diff = 0, peak = 0;
      for (size_t k = 0; k < got[i].data.size(); ++k) {
        diff = std::max(diff, double(std::fabs(got[i].data[k] - want[i].data[k])));
        peak = std::max(peak, double(std::fabs(want[i].data[k])));
      }
      std::cout << c.name << " " << outputs[i] << ": max diff " << diff << " (outputs up to " << peak << ")\n";
      EXPECT_GT(peak, 1.0) << "a degenerate output checks nothing";
      EXPECT_LT(diff, 5e-6 * std::max(1.0, peak)) << outputs[i];
    }
  }
}

TEST(ArmnnAgreementTest, TheMeshIsOutOfArmnnsReachForItsPrelu) {
  // Should a later Arm NN read PRELU, this fails as a reminder to check the mesh here too.
  const std::string widened = writeTflite(widenWeights(mesh()));
  auto parser = armnnTfLiteParser::ITfLiteParser::Create();
  try {
    parser->CreateNetworkFromBinary(std::vector<uint8_t>(widened.begin(), widened.end()));
    ADD_FAILURE() << "Arm NN now reads the mesh";
  } catch (const armnn::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("PRELU"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace tesmira::models
