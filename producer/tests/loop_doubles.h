#pragma once
// Doubles of the loop's seams to retouch and telemetry, scripted and recorded
// through plain structs that the test owns.
#include <stdexcept>
#include <string>
#include <vector>

#include "producer/retouch_context.h"
#include "producer/telemetry_sink.h"

namespace tesmira::testing {

struct ContextScript {
  bool failBuild = false;
  // The compositor's device the context reports; none: the CPU road. The seam's
  // users only compare it with null or pass it on, so a stand-in address serves.
  ID3D11Device* device = nullptr;
  bool face = false;
  bool throwInProcess = false;
  RetouchTimings timings;  // what each processed frame reports
  // When above 0: the engine hands back NV12 of this size in a buffer of nv12Bytes.
  int nv12Width = 0;
  int nv12Height = 0;
  size_t nv12Bytes = 0;
  int builds = 0;
  int releases = 0;
  int detects = 0;
  std::vector<size_t> pointCounts;  // the points the engine got, frame by frame
  float faceX = 0;                  // where detected points lie across
  std::vector<float> firstX;        // x of the first point the engine got, face frames only
};

class FakeContext final : public IRetouchContext {
 public:
  explicit FakeContext(ContextScript& script) : script_(script) { ++script_.builds; }
  ~FakeContext() override { ++script_.releases; }
  std::string providerName() const override { return "directml"; }
  ID3D11Device* d3dDevice() const override { return script_.device; }
  LandmarkResult detect(const cv::Mat&, int64_t) override {
    ++script_.detects;
    LandmarkResult result;
    result.found = script_.face;
    if (script_.face) result.points.assign(468, LandmarkPoint{script_.faceX, 10, 0});
    return result;
  }
  bool processFrame(const CameraFrame& frame, const std::vector<LandmarkPoint>& points, const RetouchSettings&,
                    std::vector<uint8_t>& nv12, int& outWidth, int& outHeight, cv::Mat& output,
                    RetouchTimings& timings) override {
    script_.pointCounts.push_back(points.size());
    if (!points.empty()) script_.firstX.push_back(points.front().x);
    timings = script_.timings;
    if (script_.throwInProcess) {
      output = cv::Mat(2, 2, CV_8UC3, cv::Scalar(0, 0, 0));  // a half-finished output must not be published
      throw std::runtime_error("engine broke");
    }
    output = frame.image;
    if (script_.nv12Width <= 0) return false;
    nv12.assign(script_.nv12Bytes, 16);
    outWidth = script_.nv12Width;
    outHeight = script_.nv12Height;
    return true;
  }

 private:
  ContextScript& script_;
};

struct TelemetryRecord {
  std::vector<CameraStateReason> reasons;
  std::vector<CameraStateSnapshot> snapshots;
  int previewOffs = 0;
};

class FakeTelemetry final : public ITelemetrySink {
 public:
  explicit FakeTelemetry(TelemetryRecord& record) : record_(record) {}
  void setSurfaceActive(TelemetrySurface, bool) override {}
  void setConsumerKey(const std::string&) override {}
  void recordCameraState(const CameraStateSnapshot& snapshot, CameraStateReason reason) override {
    record_.reasons.push_back(reason);
    record_.snapshots.push_back(snapshot);
  }
  void recordPreviewOff(const CameraStateSnapshot&) override { ++record_.previewOffs; }

 private:
  TelemetryRecord& record_;
};

}  // namespace tesmira::testing
