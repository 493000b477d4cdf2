// One-thread inference times of the data folder's models, and the crop packing beside them.
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/environment.h"
#include "producer/engine/retouch_models.h"
#include "tools/models/data_builder.h"
#include "tools/models/tflite_to_onnx.h"

namespace {

using namespace tesmira::models;

std::filesystem::path modelsDir() {
  const auto dir = tesmira::environmentValue(L"TESMIRA_CACHE_DIR");
  return (dir ? std::filesystem::path(*dir) : std::filesystem::path(TESMIRA_SOURCE_DIR) / ".cache") / "models";
}

std::string readAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Model {
  Ort::Session session;
  std::vector<std::string> inputs, outputs;
  std::vector<std::vector<int64_t>> shapes;
  std::vector<std::vector<float>> data;
};

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "models-bench");
  return e;
}

std::unique_ptr<Model> load(const Graph& g) {
  std::string bytes = serializeModel(g);
  Ort::SessionOptions options;
  options.SetIntraOpNumThreads(1);
  options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  auto m = std::unique_ptr<Model>(new Model{Ort::Session(env(), bytes.data(), bytes.size(), options), {}, {}, {}, {}});
  for (const auto& in : g.inputs()) {
    m->inputs.push_back(in.name);
    m->shapes.push_back(in.dims);
    size_t n = 1;
    for (int64_t d : in.dims) n *= size_t(d);
    m->data.emplace_back(n, 0.5f);
  }
  for (const auto& out : g.outputs()) m->outputs.push_back(out.name);
  return m;
}

void run(benchmark::State& state, Model& m) {
  auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<const char*> in, out;
  for (size_t i = 0; i < m.inputs.size(); ++i) {
    values.push_back(Ort::Value::CreateTensor<float>(memory, m.data[i].data(), m.data[i].size(), m.shapes[i].data(),
                                                     m.shapes[i].size()));
    in.push_back(m.inputs[i].c_str());
  }
  for (const auto& o : m.outputs) out.push_back(o.c_str());
  for (auto _ : state) {
    auto result = m.session.Run(Ort::RunOptions{nullptr}, in.data(), values.data(), values.size(), out.data(), out.size());
    benchmark::DoNotOptimize(result);
  }
}

void BM_Detector(benchmark::State& state) {
  static auto m = load(convertTfliteModel(readTfliteFile((modelsDir() / "face_detection_short_range.tflite").string())));
  run(state, *m);
}
void BM_MeshWithAdapter(benchmark::State& state) {
  static auto m = load(meshAdapterGraph(readTfliteFile((modelsDir() / "face_landmark.tflite").string())));
  run(state, *m);
}
void BM_MeshAlone(benchmark::State& state) {
  static auto m = load(convertTfliteModel(readTfliteFile((modelsDir() / "face_landmark.tflite").string())));
  run(state, *m);
}
void BM_Skin(benchmark::State& state) {
  static auto m = load(skinGraph(buildSkinZones(readCanonicalFace(readAll(modelsDir() / "geometry_pipeline_metadata_landmarks.binarypb")))));
  run(state, *m);
}
void BM_Teeth(benchmark::State& state) {
  static auto m = load(teethGraph());
  run(state, *m);
}
void BM_PackSkinCrop(benchmark::State& state) {
  cv::Mat crop(512, 320, CV_8UC3, cv::Scalar(90, 120, 170));
  std::vector<float> packed;
  for (auto _ : state) {
    tesmira::packModelCrop(crop, 320, 512, packed);
    benchmark::DoNotOptimize(packed.data());
  }
}

BENCHMARK(BM_Detector)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeshWithAdapter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeshAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Skin)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Teeth)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackSkinCrop)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
