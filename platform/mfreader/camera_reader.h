#pragma once
// The source reader's logic over one camera device, free of COM: the native
// types, the choice of a current type, and synchronous reads with their flags.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "../mfdevices/camera_device.h"
#include "frame_convert.h"
#include "winerror.h"

namespace tesmira::platform::mfreader {

enum class Subtype : uint32_t { NV12, YUY2, RGB24, RGB32 };

struct VideoType {
  Subtype subtype = Subtype::NV12;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fpsNumerator = 0;
  uint32_t fpsDenominator = 0;
  uint32_t stride = 0;  // bytes per row of the delivered buffer (first plane)
  // Described on a native type only (see cameras::CameraMode).
  uint32_t rangeMin[2] = {0, 0};
  uint32_t rangeMax[2] = {0, 0};
  bool withoutFrameRate = false;
  bool withoutFrameSize = false;
};

// What a caller asks for; an absent size or rate leaves it to the device.
struct WantedType {
  std::optional<Subtype> subtype;
  std::optional<uint32_t> width, height;
  std::optional<uint32_t> fpsNumerator, fpsDenominator;
};

// Stream flags as ReadSample reports them (their MF_SOURCE_READERF_* values).
inline constexpr uint32_t kReadError = 0x1;
inline constexpr uint32_t kReadEndOfStream = 0x2;
inline constexpr uint32_t kReadCurrentTypeChanged = 0x20;
inline constexpr uint32_t kReadStreamTick = 0x100;

struct ReadResult {
  uint32_t flags = 0;
  int64_t timestamp = 0;  // 100 ns units on the system clock
  int64_t duration = 0;
  bool sample = false;    // a buffer was filled
  size_t length = 0;      // its current length
};

class CameraReader {
 public:
  // allowConversion: the reader may deliver NV12 or RGB32 from another native format.
  // The device belongs to the caller (the camera's media source) and outlives the reader.
  CameraReader(cameras::ICameraDevice* device, bool allowConversion);
  ~CameraReader();

  size_t nativeTypeCount() const { return modes_.size(); }
  std::optional<VideoType> nativeType(size_t index) const;
  // The device's scripted failure for that native type, S_OK without one.
  HRESULT nativeTypeError(size_t index) const { return device_ ? device_->nativeTypeError(index) : S_OK; }
  const VideoType& currentType() const { return current_; }

  // Picks the device mode that serves the wanted type and starts the device in
  // it. MF_E_INVALIDMEDIATYPE when none does; the device's failure (busy, denied)
  // when it cannot start. A failure leaves the current type as it was.
  HRESULT setCurrentType(const WantedType& wanted);

  // One synchronous read. `bufferFor` gives memory for a sample of that many
  // bytes (nullptr: out of memory). Returns S_OK with flags, or the device's
  // failure (then kReadError is set and every later read fails the same way).
  HRESULT read(ReadResult& result, const std::function<uint8_t*(size_t)>& bufferFor);

  // Ends a read that waits, from any thread; later reads report the end of the stream.
  void cancel();

 private:
  HRESULT ensureStarted();
  VideoType typeFor(const cameras::CameraMode& mode, Subtype delivered) const;

  cameras::ICameraDevice* device_;
  std::vector<cameras::CameraMode> modes_;
  bool allowConversion_;
  size_t currentMode_ = 0;
  VideoType current_;
  bool started_ = false;
  HRESULT error_ = 0;
  std::atomic<bool> ended_{false};
  std::optional<uint64_t> lastSequence_;
  std::optional<cameras::CameraFrame> pending_;  // held back behind a stream tick
};

}  // namespace tesmira::platform::mfreader
