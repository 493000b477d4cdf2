#pragma once
// The application's side of the demo: opens "Tesmira" through the frame server stand-in
// and pulls NV12 samples from it.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesmira::demo {

struct ReceivedSample {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> nv12;  // width x height luma rows, then the interleaved chroma rows
};

class CameraApp {
 public:
  virtual ~CameraApp() = default;
  // Opens the named camera and starts its stream; empty on success, else what failed.
  virtual std::string open(const std::wstring& friendlyName) = 0;
  // The next sample; empty on success, else what failed.
  virtual std::string next(ReceivedSample& sample) = 0;
  virtual void close() = 0;
};

struct CameraMode {
  uint32_t width = 0, height = 0, fpsNumerator = 0, fpsDenominator = 0;
};

// The first native mode of the video capture device at `index`; empty on success, else what failed.
std::string firstNativeMode(uint32_t index, CameraMode& mode);

// nullptr with `missing` set when the frame server stand-in is not built in.
std::unique_ptr<CameraApp> makeCameraApp(std::string& missing);

}  // namespace tesmira::demo
