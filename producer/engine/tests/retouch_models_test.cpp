#include <gtest/gtest.h>
#include <windows.h>

#include <opencv2/core.hpp>

#include "producer/engine/retouch_models.h"
#include "tests/support/machine_fixture.h"
#include "tools/models/onnx_writer.h"

namespace tesmira {
namespace {

using models::ElemType;
using models::Graph;

constexpr int64_t kSkinElements = 3 * 320 * 512;
constexpr int64_t kTeethElements = 3 * 128 * 128;

// Skin stand-in: output_0 = cond's four values, then the packed crop as it came in.
Graph skinEcho() {
  Graph g;
  g.input("data", {1, 3, 320, 512});
  g.input("cond", {1, 4, 1, 1});
  auto cond = g.node("Reshape", {"cond", g.int64s({4})});
  auto data = g.node("Reshape", {"data", g.int64s({kSkinElements})});
  g.node("Concat", {cond, data}, {models::attrInt("axis", 0)}, "output_0");
  g.output("output_0", {4 + kSkinElements});
  return g;
}

// Teeth stand-in: the packed patch (49,152 floats, fewer than the 65,536 of the contract).
Graph teethEcho() {
  Graph g;
  g.input("data", {1, 3, 128, 128});
  g.node("Identity", {"data"}, {}, "output_0");
  g.output("output_0", {1, 3, 128, 128});
  return g;
}

// Skin stand-in whose output is only cond: shorter than the field.
Graph skinShort() {
  Graph g;
  g.input("data", {1, 3, 320, 512});
  g.input("cond", {1, 4, 1, 1});
  g.node("Reshape", {"cond", g.int64s({4})}, {}, "output_0");
  g.output("output_0", {4});
  return g;
}

Graph teethInt64() {
  Graph g;
  g.input("data", {1, 3, 128, 128});
  g.node("Cast", {"data"}, {models::attrInt("to", int64_t(ElemType::Int64))}, "output_0");
  g.output("output_0", {1, 3, 128, 128}, ElemType::Int64);
  return g;
}

class RetouchModelsTest : public testing::MachineTest {
 protected:
  std::filesystem::path write(const std::string& name, const Graph& g) {
    auto file = root() / name;
    models::writeModel(file, g);
    return file;
  }
  std::filesystem::path skin() { return write("skin.onnx", skinEcho()); }
  std::filesystem::path teeth() { return write("teeth.onnx", teethEcho()); }
};

cv::Mat gradient(int width, int height) {
  cv::Mat m(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) m.at<cv::Vec3b>(y, x) = cv::Vec3b(uint8_t(x), uint8_t(y), uint8_t(x + 2 * y));
  return m;
}

TEST_F(RetouchModelsTest, SkinPacksColumnsBeforeRowsAndRedFirst) {
  RetouchModels models(skin(), teeth(), kProviderCpu);
  EXPECT_EQ(models.providerUsed(), "cpu");
  cv::Mat crop(512, 320, CV_8UC3, cv::Scalar(0, 0, 0));
  crop.at<cv::Vec3b>(7, 5) = cv::Vec3b(10, 20, 30);  // B, G, R at column 5, row 7
  RetouchSettings settings;
  settings.clearSkin = 0.1f;
  settings.eyeBags = 0.2f;
  settings.wrinkles = 0.3f;
  auto field = models.runSkin(crop, settings);
  ASSERT_EQ(field.size(), RetouchModels::kSkinFieldFloats);
  EXPECT_FLOAT_EQ(field[0], 0.1f);
  EXPECT_FLOAT_EQ(field[1], 0.2f);
  EXPECT_FLOAT_EQ(field[2], 0.3f);
  EXPECT_FLOAT_EQ(field[3], 0.3f);  // wrinkles twice
  EXPECT_EQ(field[4 + 5 * 512 + 7], 30.0f);
  EXPECT_EQ(field[4 + 7 * 512 + 5], 0.0f);  // a transposed packing would put it here
}

TEST_F(RetouchModelsTest, TeethPacksEveryChannelAndCopiesAShortOutputWhole) {
  RetouchModels models(skin(), teeth(), kProviderCpu);
  cv::Mat patch = gradient(128, 128);
  auto field = models.runTeeth(patch);
  ASSERT_EQ(field.size(), size_t(kTeethElements));  // never padded nor read past the end
  for (int y : {0, 9, 127})
    for (int x : {0, 3, 127}) {
      const cv::Vec3b px = patch.at<cv::Vec3b>(y, x);
      size_t at = size_t(x) * 128 + size_t(y);
      EXPECT_EQ(field[at], px[2]);
      EXPECT_EQ(field[128 * 128 + at], px[1]);
      EXPECT_EQ(field[2 * 128 * 128 + at], px[0]);
    }
}

TEST_F(RetouchModelsTest, ZeroStrengthsStillRunWithZeroCond) {
  RetouchModels models(skin(), teeth(), kProviderCpu);
  RetouchSettings zero;
  zero.clearSkin = zero.eyeBags = zero.wrinkles = 0;
  auto field = models.runSkin(gradient(320, 512), zero);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(field[size_t(i)], 0.0f);
}

TEST_F(RetouchModelsTest, ShortSkinOutputIsCopiedAsItIs) {
  RetouchModels models(write("short.onnx", skinShort()), teeth(), kProviderCpu);
  EXPECT_EQ(models.runSkin(gradient(320, 512), RetouchSettings{}).size(), 4u);
}

TEST_F(RetouchModelsTest, NonFloatOutputIsAFrameError) {
  RetouchModels models(skin(), write("int.onnx", teethInt64()), kProviderCpu);
  try {
    models.runTeeth(gradient(128, 128));
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "ONNX output is not a float tensor.");
  }
}

TEST_F(RetouchModelsTest, CropsOfTheWrongShapeAreRejectedBeforeAnyTensor) {
  RetouchModels models(skin(), teeth(), kProviderCpu);
  struct Case {
    const char* what;
    cv::Mat crop;
    bool skin;
  } cases[] = {
      {"transposed skin crop", cv::Mat(320, 512, CV_8UC3), true},
      {"empty", cv::Mat(), true},
      {"grey", cv::Mat(512, 320, CV_8UC1), true},
      {"four channels", cv::Mat(512, 320, CV_8UC4), true},
      {"16-bit", cv::Mat(512, 320, CV_16UC3), true},
      {"teeth 127", cv::Mat(127, 128, CV_8UC3), false},
      {"teeth float", cv::Mat(128, 128, CV_32FC3), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      if (c.skin) models.runSkin(c.crop, RetouchSettings{});
      else models.runTeeth(c.crop);
      ADD_FAILURE() << "accepted";
    } catch (const Ort::Exception& e) {
      ADD_FAILURE() << "reached the runtime: " << e.what();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Unexpected model crop shape.");
    }
  }
}

TEST_F(RetouchModelsTest, CpuProviderPrintsNothing) {
  ::testing::internal::CaptureStderr();
  RetouchModels models(skin(), teeth(), kProviderCpu);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(RetouchModelsTest, GpuProviderWithoutItsExportFallsBackToTheCpu) {
  struct Case {
    InferenceProvider provider;
    const char* line;
  } cases[] = {
      {kProviderCuda,
       "Requested ONNX provider 'cuda' is unavailable; using CPU. onnxruntime.dll does not export "
       "OrtSessionOptionsAppendExecutionProvider_CUDA\n"},
      {kProviderDirectMl,
       "Requested ONNX provider 'directml' is unavailable; using CPU. onnxruntime.dll does not export "
       "OrtSessionOptionsAppendExecutionProvider_DML\n"},
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    RetouchModels models(skin(), teeth(), c.provider);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line);
    EXPECT_EQ(models.providerUsed(), "cpu");
    // The models still run on the CPU.
    EXPECT_EQ(models.runTeeth(gradient(128, 128)).size(), size_t(kTeethElements));
  }
}

TEST_F(RetouchModelsTest, TheLoadedRuntimeAnswersAsOnnxruntimeDll) {
  HMODULE runtime = GetModuleHandleW(L"onnxruntime.dll");
  ASSERT_NE(runtime, nullptr);
  EXPECT_NE(GetProcAddress(runtime, "OrtGetApiBase"), nullptr);
  HMODULE loaded = LoadLibraryW(L"ONNXRUNTIME.DLL");
  EXPECT_EQ(loaded, runtime);
  FreeLibrary(loaded);
}

TEST_F(RetouchModelsTest, MissingOrBrokenModelThrowsTheRuntimeError) {
  auto good = teeth();
  EXPECT_THROW(RetouchModels(root() / "missing.onnx", good, kProviderCpu), Ort::Exception);
  auto junk = root() / "junk.onnx";
  models::writeFileAtomically(junk, "not a model");
  EXPECT_THROW(RetouchModels(skin(), junk, kProviderCpu), Ort::Exception);
}

}  // namespace
}  // namespace tesmira
