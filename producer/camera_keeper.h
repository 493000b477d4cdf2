#pragma once
// The physical camera as the main loop keeps it: the capture selection, an open
// attempt at most once a second while it is closed, frames and read-misses, release.
#include <windows.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>

#include "producer/capture_source.h"

namespace tesmira {

class CameraKeeper {
 public:
  enum class OpenAttempt { kNotDue, kOpened, kFailed };

  // mirror: the producer's mirror option. The first open attempt is due at once.
  CameraKeeper(std::unique_ptr<ICaptureSource> source, bool mirror, int64_t startNs);
  ~CameraKeeper() { release(); }
  CameraKeeper(const CameraKeeper&) = delete;
  CameraKeeper& operator=(const CameraKeeper&) = delete;

  // The first request, and any that differs from the selection, becomes the selection:
  // an open camera is stopped (it reopens with the new one) and the change is logged.
  // True on a change.
  bool select(const CaptureRequest& request);
  const CaptureRequest& selection() const { return selection_; }

  // From a successful open until release(); a capture that dies keeps it.
  bool opened() const { return opened_; }
  // While closed: opens with the selection when 1 s has passed since the last attempt.
  // On kFailed, lastHresult() says why. device: the retouch engine's, or none.
  OpenAttempt openIfDue(int64_t nowNs, ID3D11Device* device = nullptr);
  HRESULT lastHresult() const { return source_->lastHresult(); }

  // The newest frame within timeoutMs, with its camera texture in texture mode; false
  // (a read-miss) when none came or its image is empty.
  bool takeFrame(CameraFrame& frame, uint32_t timeoutMs);
  // Counts a read-miss; true once misses have gone on for more than 2000 ms.
  bool noteReadMiss();
  void forgetReadMisses() { firstFailedReadTick_ = 0; }
  // The one mirror decision: with the mirror option on, the image is flipped left-right
  // unless the capture did, and the engine is told to mirror a camera texture.
  void mirror(CameraFrame& frame) const;

  // Stops an open camera; true when it was open.
  bool release();

 private:
  std::unique_ptr<ICaptureSource> source_;
  bool mirror_;
  bool opened_ = false;
  bool selectionMade_ = false;
  CaptureRequest selection_;
  int64_t lastOpenAttemptNs_;
  uint64_t firstFailedReadTick_ = 0;  // GetTickCount64 of the first miss of the current run; 0: none
};

}  // namespace tesmira
