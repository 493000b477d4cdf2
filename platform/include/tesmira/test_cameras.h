#pragma once
// Test hooks for the machine's camera devices. A camera is a JSON file under
// <machine root>/devices/cameras, so a child process on the same machine sees it.
// Product code never includes this header.
#include <cstdint>
#include <string>
#include <vector>

#include "../minwindef.h"

namespace tesmira::platform::testcameras {

enum class Format : uint32_t { NV12, YUYV, BGR24 };

struct Ratio {
  uint32_t numerator = 0;
  uint32_t denominator = 0;
};

struct Mode {
  uint32_t width = 640;   // 0 is allowed here: a native type no application can use
  uint32_t height = 480;
  uint32_t fpsNumerator = 30;
  uint32_t fpsDenominator = 1;
  Format format = Format::NV12;
  // MF_MT_FRAME_RATE_RANGE_MIN / _MAX on the native type; a ratio of two zeros is left out.
  Ratio rangeMin;
  Ratio rangeMax;
  bool withoutFrameRate = false;  // the native type has no MF_MT_FRAME_RATE
  bool withoutFrameSize = false;  // ... no MF_MT_FRAME_SIZE
};

// GetNativeMediaType at `index` fails with `error`.
struct NativeTypeFailure {
  uint32_t index = 0;
  HRESULT error = 0;
};

// A scripted camera: its modes, failures and frames.
struct TestCamera {
  std::wstring friendlyName = L"Test Camera";
  std::wstring symbolicLink;        // empty: "\\?\testcam#<file name>#{e5323777-...}\global"
  std::vector<Mode> modes = {Mode{}};
  HRESULT openError = 0;            // start() fails with this (busy, access denied, ...)
  HRESULT readError = 0;            // readFrame fails with this ...
  uint32_t readErrorAfterFrames = 0;  // ... after this many good frames
  uint32_t rowPadding = 0;          // stride = minimum stride + padding (filled with 0xEE)
  uint32_t shortFrameIndex = UINT32_MAX;  // this frame comes one row short
  uint32_t deliveredWidth = 0;      // non-zero: frames come in this size whatever the mode
  uint32_t deliveredHeight = 0;
  HRESULT activateError = 0;        // IMFActivate::ActivateObject fails with this
  std::vector<NativeTypeFailure> nativeTypeFailures;
  HRESULT everyNativeTypeError = 0;  // every GetNativeMediaType fails with this (none ends the list)
};

// Writes the camera into the machine's list; `order` sorts it among the others
// (the list is ordered by file name). Returns its symbolic link.
TESMIRA_EXPORT std::wstring installTestCamera(const TestCamera& camera, int order = 0);
// A file camera: the video at `videoPath` played at its own frame rate, looping.
TESMIRA_EXPORT std::wstring installFileCamera(const std::wstring& friendlyName, const std::string& videoPath,
                                              int order = 0);
TESMIRA_EXPORT void removeAllCameras();
// V4L2 discovery under /dev is on unless a test turns it off for its machine.
TESMIRA_EXPORT void setV4l2Discovery(bool enabled);

// The bytes a test camera delivers for frame `index` (rows of `stride` bytes,
// padding filled with 0xEE), so tests can compare exactly.
TESMIRA_EXPORT std::vector<uint8_t> testFrame(Format format, uint32_t width, uint32_t height, uint32_t stride,
                                              uint64_t index);

}  // namespace tesmira::platform::testcameras

namespace tesmira::platform::testcameras {

// Queues failures for the virtual camera calls of any process on this machine, one
// per call in order. Sites: "MFCreateVirtualCamera", "IMFVirtualCamera::Start",
// "IMFVirtualCamera::AddDeviceSourceInfo". (faults::inject on the same site works
// in-process.) A missing mfsensorgroup.dll: fault site "LoadLibraryW.mfsensorgroup.dll".
TESMIRA_EXPORT void scriptVirtualCameraFailures(const std::string& site, const std::vector<HRESULT>& failures);

}  // namespace tesmira::platform::testcameras
