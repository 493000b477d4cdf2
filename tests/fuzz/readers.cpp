#include "tests/fuzz/readers.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "producer/engine/crop_calibration.h"
#include "producer/engine/retouch_engine.h"
#include "producer/engine/retouch_models.h"
#include "tools/models/onnx_writer.h"
#include "producer/telemetry/batch_upload.h"
#include "producer/telemetry/event_queue.h"

#include "registry/hive.h"
#include "vcam_source/channels.h"
#include "vcam_source/status_card.h"
#include "winerror.h"

namespace tesmira::fuzz {

bool readFrame(const uint8_t* view, uint32_t width, uint32_t height, int64_t nowQpc, int64_t qpcFrequency,
               std::vector<uint8_t>& out) {
  return vcam::readFrameFromView(view, width, height, nowQpc, qpcFrequency, out);
}

uint32_t chooseStatusCard(const ProducerStatusBlock* block, uint64_t streamStart, uint64_t lastGood, uint64_t now) {
  StatusCardSelector selector;
  if (streamStart) selector.onStreamStart(streamStart);
  if (lastGood) selector.onGoodFrame(lastGood);
  return uint32_t(selector.chooseFrom(block, now));
}

std::vector<CameraCapability> offeredCapabilities(const uint8_t* view) {
  return vcam::cleanCameraCapabilities(vcam::capabilitiesFromView(view));
}

RetouchSettings readSettings(const RetouchSettingsBlock* block, const RetouchSettings& seeded) {
  return frameSettings(block, seeded);
}

namespace {

// A model whose output is a constant list of floats.
void writeConstantModel(const std::filesystem::path& file, std::vector<std::pair<std::string, std::vector<int64_t>>> inputs,
                        std::vector<float> values) {
  models::Graph g;
  for (const auto& [name, dims] : inputs) g.input(name, dims);
  g.node("Identity", {g.constant("field", {int64_t(values.size())}, values)}, {}, "output_0");
  g.output("output_0", {int64_t(values.size())});
  models::writeModel(file, g);
}

// The engine on files of its own, made once per target process.
struct FrameFixture {
  FrameFixture() {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "tesmira_fuzz_frame";
    std::filesystem::create_directories(folder);
    options.facemaskPath = folder / "facemask.png";
    options.skinMaskPath = folder / "skin_mask.png";
    options.teethMaskPath = folder / "teeth_mask.png";
    options.lookupPath = folder / "lookup.png";
    options.skinModelPath = folder / "skin.onnx";
    options.teethModelPath = folder / "teeth.onnx";
    options.resourcesDir = folder;
    cv::imwrite(options.facemaskPath.string(), cv::Mat(512, 320, CV_8UC3, cv::Scalar::all(255)));
    cv::imwrite(options.skinMaskPath.string(), cv::Mat(64, 64, CV_8UC3, cv::Scalar::all(255)));
    cv::imwrite(options.teethMaskPath.string(), cv::Mat(64, 64, CV_8UC1, cv::Scalar(255)));
    cv::Mat lookup(16, 256, CV_8UC3);
    for (int g = 0; g < 16; ++g)
      for (int tile = 0; tile < 16; ++tile)
        for (int r = 0; r < 16; ++r) lookup.at<cv::Vec3b>(g, tile * 16 + r) = cv::Vec3b(uint8_t(tile * 17), uint8_t(g * 17), uint8_t(r * 17));
    cv::imwrite(options.lookupPath.string(), lookup);
    // Fields that move every pixel they reach: colour 200, amount 100 (raw units).
    std::vector<float> skin(RetouchModels::kSkinFieldFloats, 200.0f);
    std::fill(skin.begin() + 3 * 40 * 64, skin.end(), 100.0f);
    writeConstantModel(options.skinModelPath, {{"data", {1, 3, 320, 512}}, {"cond", {1, 4, 1, 1}}}, skin);
    writeConstantModel(options.teethModelPath, {{"data", {1, 3, 128, 128}}},
                       std::vector<float>(RetouchModels::kTeethFieldFloats, 230.0f));
    // Eye corners 33 and 263 onto crop points (100, 200) and (220, 200): the crop is the
    // frame moved left by 160 pixels.
    calibration.anchor_left_indices = {33};
    calibration.anchor_right_indices = {263};
    calibration.features = {"constant"};
    calibration.feature_mean = {0};
    calibration.feature_scale = {1};
    calibration.constant_mask = {true};
    calibration.coef = {{-0.5, 0, 0.5, 0}};
    calibration.template_left_px = {100, 200};
    calibration.template_right_px = {220, 200};
    models = std::make_unique<RetouchModels>(options.skinModelPath, options.teethModelPath, kProviderCpu);
    engine = std::make_unique<RetouchEngine>(options, *models, calibration, false);

    frame.create(480, 640, CV_8UC3);
    for (int y = 0; y < frame.rows; ++y)
      for (int x = 0; x < frame.cols; ++x)
        frame.at<cv::Vec3b>(y, x) = cv::Vec3b(uint8_t((x * 7 + y * 3) % 200 + 20), uint8_t((x * 3 + y * 5) % 180 + 40),
                                              uint8_t((x + y * 11) % 220 + 10));
    face.assign(478, LandmarkPoint{320, 300, 0});
    const auto put = [&](size_t i, float x, float y) { face[i] = LandmarkPoint{x, y, 0}; };
    put(1, 320, 280), put(10, 320, 120), put(152, 320, 440);
    put(33, 260, 200), put(160, 272, 190), put(158, 288, 190), put(133, 300, 200), put(153, 288, 210), put(144, 272, 210);
    put(362, 340, 200), put(385, 352, 190), put(387, 368, 190), put(263, 380, 200), put(373, 368, 210), put(380, 352, 210);
    const int ring[20] = {78, 191, 80, 81, 82, 13, 312, 311, 310, 415, 308, 324, 318, 402, 317, 14, 87, 178, 88, 95};
    for (int k = 0; k < 20; ++k) {
      const double theta = 3.14159265358979323846 * (1.0 + k / 10.0);
      put(size_t(ring[k]), float(320 + 30 * std::cos(theta)), float(350 + 10 * std::sin(theta)));
    }
  }

  ProducerOptions options;
  CropCalibration calibration;
  std::unique_ptr<RetouchModels> models;
  std::unique_ptr<RetouchEngine> engine;
  cv::Mat frame;
  std::vector<LandmarkPoint> face;
};

}  // namespace

void retouchWithSettingsBlock(const RetouchSettingsBlock& block, RetouchSettings& used, int& changedOutsideCrop) {
  static FrameFixture* fixture = new FrameFixture;
  used = frameSettings(&block, RetouchSettings{});
  // The global effects (sharpening, tone) belong to the GPU road; this one is the face's.
  RetouchSettings faceOnly = used;
  faceOnly.sharpen = 0;
  faceOnly.tone = 0;
  std::vector<uint8_t> nv12;
  uint32_t width = 0, height = 0;
  cv::Mat bgr;
  CameraFrame camera;
  camera.image = fixture->frame;
  fixture->engine->processFrame(camera, fixture->face, faceOnly, nv12, width, height, bgr, nullptr);
  changedOutsideCrop = 0;
  const cv::Rect crop(158, 0, 324, fixture->frame.rows);
  for (int y = 0; y < bgr.rows; ++y)
    for (int x = 0; x < bgr.cols; ++x)
      if (!crop.contains(cv::Point(x, y)) && bgr.at<cv::Vec3b>(y, x) != fixture->frame.at<cv::Vec3b>(y, x))
        ++changedOutsideCrop;
  if (bgr.size() != fixture->frame.size() || bgr.type() != CV_8UC3) changedOutsideCrop = -1;
}

ControlReading readControlBlock(const VcamControlBlock* block, uint64_t now) { return readControl(block, now); }

std::string readConsumerKey(const VcamConsumersBlock* block, uint64_t now) { return consumerKeyFrom(block, now); }

LoadedSettings readConfigJson(const std::string& text, const RetouchSettings& defaults) {
  return applyFilterObject(text, defaults);
}

bool readCalibration(const std::string& text, std::array<double, 6>& transform, bool& frameFailed) {
  // The loader reads a file: one per target process, rewritten for every input.
  static const std::filesystem::path file = std::filesystem::temp_directory_path() / "tesmira_fuzz_calibration.json";
  { std::ofstream(file, std::ios::binary | std::ios::trunc) << text; }
  CropCalibration calibration;
  try {
    calibration.load(file);
  } catch (const std::runtime_error&) {
    return false;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
  static const std::vector<LandmarkPoint> face = [] {
    std::vector<LandmarkPoint> points(478);
    for (size_t i = 0; i < points.size(); ++i) {
      points[i].x = 0.3f + 0.4f * float(i % 23) / 22.0f;
      points[i].y = 0.2f + 0.6f * float(i / 23) / 20.0f;
    }
    return points;
  }();
  frameFailed = false;
  try {
    transform = calibration.cropPoints(face);
  } catch (const std::runtime_error&) {
    frameFailed = true;
  }
  return true;
}

bool readHive(const std::string& text, std::string& written) {
  std::unique_ptr<platform::registry::Key> root;
  if (platform::registry::parseHiveText(text, root) != ERROR_SUCCESS) return false;
  written = platform::registry::hiveText(*root);
  return true;
}

bool telemetryPolicyDrops(const std::string& policyText, const nlohmann::json& event) {
  return telemetry::shouldDropEvent(event, nlohmann::json::parse(policyText, nullptr, false));
}

std::vector<nlohmann::json> telemetryQueueEvents(const std::string& text) { return telemetry::parseEventQueue(text); }

int64_t telemetryBackoffSeconds(uint32_t status, const std::string& body, const std::string& retryAfter) {
  return telemetry::backoffSecondsFor({status, body, retryAfter});
}

nlohmann::json telemetryPolicyFromResponse(const std::string& body, int64_t now) {
  return telemetry::policyFromResponse(body, now);
}

ReleaseManifest readManifest(const std::string& body, std::wstring& error) { return parseManifest(body, error); }

}  // namespace tesmira::fuzz
