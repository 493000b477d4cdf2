#pragma once
// Shared pieces of the camera devices: the list files and frame pacing.
#include <atomic>
#include <condition_variable>
#include <mutex>

#include <nlohmann/json.hpp>

#include "mfdevices/camera_device.h"
#include "winerror.h"

namespace tesmira::platform::cameras {

inline constexpr const wchar_t* kVideoCameraCategory = L"{e5323777-f976-4f5b-9b55-b94699c46e44}";
inline constexpr uint32_t kMaxDimension = 8192;

std::filesystem::path cameraFolder();  // <root>/devices/cameras
const char* formatName(PixelFormat format);
std::wstring defaultSymbolicLink(CameraKind kind, const std::string& fileStem);
std::wstring makeSymbolicLink(const std::wstring& bus, const std::wstring& id);
// A mode from its JSON; false (and nothing changed) when it is malformed or out of range.
// `scripted` also reads the native-type extras of a test camera (ranges, missing
// attributes, and a 0 width or height when the mode says "zeroSize").
bool parseMode(const nlohmann::json& j, CameraMode& mode, bool scripted = false);

// Paces frames at a mode's rate on the layer's clock (so the test clock moves it);
// cancel ends a wait from another thread.
class FramePacer {
 public:
  void start(uint32_t fpsNumerator, uint32_t fpsDenominator);
  // Waits until the next frame is due; false when cancelled. `dueNs` is its time.
  bool waitNext(uint64_t& dueNs);
  void cancel();
  void reset();

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool cancelled_ = false;
  uint64_t startNs_ = 0;
  uint64_t index_ = 0;
  uint64_t periodNum_ = 1;  // period = periodNum_ / periodDen_ ns
  uint64_t periodDen_ = 1;
};

std::unique_ptr<ICameraDevice> makeTestCamera(const CameraInfo& info, const nlohmann::json& definition);
std::unique_ptr<ICameraDevice> makeFileCamera(const CameraInfo& info, const nlohmann::json& definition);
std::unique_ptr<ICameraDevice> makeV4l2Camera(const CameraInfo& info);
std::vector<CameraInfo> discoverV4l2Cameras();

void renderTestFrame(PixelFormat format, uint32_t width, uint32_t height, uint32_t stride, uint64_t index,
                     uint8_t* out);

}  // namespace tesmira::platform::cameras
