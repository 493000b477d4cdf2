#include "producer/camera_keeper.h"

#include <opencv2/core.hpp>

#include <string>

#include "producer/loop_clock.h"
#include "producer/producer_log.h"

namespace tesmira {
namespace {

constexpr int64_t kOpenRetryNs = kNsPerSecond;
constexpr uint64_t kCaptureFailureAfterMs = 2000;

bool sameRequest(const CaptureRequest& a, const CaptureRequest& b) {
  return a.cameraIndex == b.cameraIndex && a.width == b.width && a.height == b.height &&
         a.fpsNumerator == b.fpsNumerator && a.fpsDenominator == b.fpsDenominator;
}

}  // namespace

CameraKeeper::CameraKeeper(std::unique_ptr<ICaptureSource> source, bool mirror, int64_t startNs)
    : source_(std::move(source)), mirror_(mirror), lastOpenAttemptNs_(startNs - 5 * kNsPerSecond) {}

bool CameraKeeper::select(const CaptureRequest& request) {
  if (selectionMade_ && sameRequest(request, selection_)) return false;
  release();
  selection_ = request;
  selectionMade_ = true;
  logLine("capture selection changed to camera-index=" + std::to_string(selection_.cameraIndex) + " " +
          std::to_string(selection_.width) + "x" + std::to_string(selection_.height) + "@" +
          std::to_string(selection_.fpsNumerator) + "/" + std::to_string(selection_.fpsDenominator));
  return true;
}

CameraKeeper::OpenAttempt CameraKeeper::openIfDue(int64_t nowNs, ID3D11Device* device) {
  if (opened_ || nowNs - lastOpenAttemptNs_ < kOpenRetryNs) return OpenAttempt::kNotDue;
  lastOpenAttemptNs_ = nowNs;
  if (!source_->open(selection_, mirror_, device)) return OpenAttempt::kFailed;
  opened_ = true;
  firstFailedReadTick_ = 0;
  return OpenAttempt::kOpened;
}

bool CameraKeeper::takeFrame(CameraFrame& frame, uint32_t timeoutMs) {
  if (!source_->waitFrame(frame, timeoutMs) || frame.image.empty()) return false;
  firstFailedReadTick_ = 0;
  return true;
}

bool CameraKeeper::noteReadMiss() {
  const uint64_t tick = GetTickCount64();
  if (firstFailedReadTick_ == 0) {
    firstFailedReadTick_ = tick;
    return false;
  }
  return tick - firstFailedReadTick_ > kCaptureFailureAfterMs;
}

void CameraKeeper::mirror(CameraFrame& frame) const {
  if (mirror_ && !source_->mirrorsInCapture()) cv::flip(frame.image, frame.image, 1);
  // A camera texture is never mirrored in the capture.
  frame.mirrorTexture = mirror_ && frame.texture;
}

bool CameraKeeper::release() {
  if (!opened_) return false;
  source_->stop();
  opened_ = false;
  return true;
}

}  // namespace tesmira
