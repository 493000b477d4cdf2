#pragma once
// The machine's camera devices, as the layer's Media Foundation pieces see them
// (device enumeration, device activation, the source reader). The list lives in
// <machine root>/devices/cameras/*.json (file cameras, scripted test cameras),
// followed by the V4L2 cameras found under /dev. Errors are HRESULTs:
//   busy            0x80070020 (ERROR_SHARING_VIOLATION) or what the script says
//   access denied   0x80070005 (E_ACCESSDENIED)
//   not found       0xC00D36D5 (MF_E_NOT_FOUND)
//   mode refused    0xC00D36B4 (MF_E_INVALIDMEDIATYPE)
//   stopped         0xC00D3E85 (MF_E_SHUTDOWN)
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "minwindef.h"

namespace tesmira::platform::cameras {

inline constexpr HRESULT kCameraBusy = HRESULT(0x80070020);
inline constexpr HRESULT kCameraAccessDenied = HRESULT(0x80070005);
inline constexpr HRESULT kCameraNotFound = HRESULT(0xC00D36D5);
inline constexpr HRESULT kCameraModeRefused = HRESULT(0xC00D36B4);
inline constexpr HRESULT kCameraStopped = HRESULT(0xC00D3E85);

enum class PixelFormat : uint32_t { NV12, YUYV, BGR24 };

enum class CameraKind : uint32_t { File, Test, V4l2 };

struct CameraMode {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fpsNumerator = 30;
  uint32_t fpsDenominator = 1;
  PixelFormat format = PixelFormat::NV12;
  // What the native type says beyond the mode itself: a frame-rate range (a ratio with
  // both numbers 0 is absent), and types that lack their rate or size attribute.
  uint32_t rangeMinNumerator = 0;
  uint32_t rangeMinDenominator = 0;
  uint32_t rangeMaxNumerator = 0;
  uint32_t rangeMaxDenominator = 0;
  bool withoutFrameRate = false;
  bool withoutFrameSize = false;
  bool operator==(const CameraMode&) const = default;
};

struct CameraInfo {
  std::wstring friendlyName;
  std::wstring symbolicLink;  // "\\?\<bus>#<id>#{e5323777-...}\global"; never contains "tesmira"
  CameraKind kind = CameraKind::Test;
  std::filesystem::path definition;  // the .json of a listed camera, or the /dev node
};

// One delivered frame. The bytes belong to the device and stay valid until the
// next readFrame or stop on the same device.
struct CameraFrame {
  const uint8_t* data = nullptr;
  size_t size = 0;       // bytes at data; a short frame has fewer than stride x rows
  uint32_t stride = 0;   // bytes per row of the first plane (NV12: Y and UV rows share it)
  uint32_t width = 0;
  uint32_t height = 0;
  PixelFormat format = PixelFormat::NV12;
  uint64_t timestampNs = 0;  // on the layer's clock (GetTickCount64 / QPC domain), when due
  uint64_t sequence = 0;     // 0 for the first frame after start
};

// One opened camera. start/readFrame/stop come from one thread; cancel may come
// from any thread and ends a readFrame that waits with kCameraStopped.
class ICameraDevice {
 public:
  virtual ~ICameraDevice() = default;
  virtual const CameraInfo& info() const = 0;
  // The modes the device offers, in its order (the first is its default).
  virtual std::vector<CameraMode> modes() const = 0;
  // Claims the hardware and starts delivering in `mode` (one of modes()).
  virtual HRESULT start(const CameraMode& mode) = 0;
  // Waits until the next frame is due at the mode's rate and delivers it.
  virtual HRESULT readFrame(CameraFrame& frame) = 0;
  virtual void stop() = 0;
  virtual void cancel() = 0;
  // A scripted failure of IMFActivate::ActivateObject, and of GetNativeMediaType at `index`.
  virtual HRESULT activationError() const { return 0; }
  virtual HRESULT nativeTypeError(size_t index) const { return 0; }
};

// The machine's cameras in the system's order (listed files by name, then /dev/video*).
std::vector<CameraInfo> listCameras();

// Opens the camera with this symbolic link (case-insensitive); kCameraNotFound
// when it is not on the machine, or the failure the device reports on open.
HRESULT openCamera(const std::wstring& symbolicLink, std::unique_ptr<ICameraDevice>& device);

// Bytes of one frame in `format` with rows of `stride` bytes.
uint64_t frameBytes(PixelFormat format, uint32_t stride, uint32_t height);
uint32_t minimumStride(PixelFormat format, uint32_t width);

}  // namespace tesmira::platform::cameras
