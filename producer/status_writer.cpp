#include "producer/status_writer.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "producer/producer_log.h"

namespace tesmira {

ProducerState stateFromHresult(HRESULT hr) {
  switch (uint32_t(hr)) {
    case 0x80070005u:  // E_ACCESSDENIED
      return kProducerStateCameraPermissionDenied;
    case 0xC00D36D5u:  // MF_E_NOT_FOUND
      return kProducerStateNoCamera;
    case 0x80070020u:  // ERROR_SHARING_VIOLATION
    case 0xC00D3704u:  // MF_E_HW_MFT_FAILED_START_STREAMING
      return kProducerStateCameraBusy;
    default:
      return kProducerStateCaptureFailure;
  }
}

const char* stateLogName(uint32_t state) {
  switch (state) {
    case kProducerStateStarting:
      return "starting";
    case kProducerStateLive:
      return "live";
    case kProducerStateNoCamera:
      return "no-camera";
    case kProducerStateCameraPermissionDenied:
      return "camera-permission-denied";
    case kProducerStateCameraBusy:
      return "camera-busy";
    case kProducerStateCaptureFailure:
      return "capture-failure";
    case kProducerStateModelFailure:
      return "model-failure";
    default:
      return "unknown";
  }
}

void ProducerStatusWriter::open() {
  close();
  forgetWrites();
  channel_ = openOrCreateChannel(kProducerStatusChannelName, sizeof(ProducerStatusBlock));
  view_ = channel_.view;
  if (view_) writeFreshBlockIfInvalid();
  logLine(view_ ? "status mapping ready" : "warning: status mapping unavailable");
}

void ProducerStatusWriter::openOn(void* view) {
  close();
  forgetWrites();
  view_ = view;
  if (view_) writeFreshBlockIfInvalid();
}

void ProducerStatusWriter::forgetWrites() {
  lastState_ = lastHr_ = detail_ = lastDetail_ = loggedState_ = 0;
  lastWriteTick_ = 0;
}

void ProducerStatusWriter::writeFreshBlockIfInvalid() {
  ProducerStatusBlock* b = block();
  if (!hasCurrentHeader(*b)) *b = freshProducerStatusBlock();
}

void ProducerStatusWriter::setState(uint32_t state, uint32_t hr) {
  if (!view_) return;
  const uint64_t tick = GetTickCount64();
  if (state == loggedState_ && state == lastState_ && hr == lastHr_ && detail_ == lastDetail_ &&
      tick - lastWriteTick_ < 1000) {
    return;
  }
  if (state != loggedState_) {
    std::string line = std::string("status: ") + stateLogName(state);
    if (hr != 0) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%08x", unsigned(hr));
      line += std::string(" hr=0x") + hex;
    }
    logLine(line);
    loggedState_ = state;
  }
  ProducerStatusBlock* b = block();
  if (!hasCurrentHeader(*b)) return;
  b->state = state;
  b->hr = hr;
  b->detail = detail_;
  b->producerPid = GetCurrentProcessId();
  b->heartbeat = tick;
  std::atomic_ref<uint32_t>(b->sequence).fetch_add(1);
  lastState_ = state;
  lastHr_ = hr;
  lastDetail_ = detail_;
  lastWriteTick_ = tick;
}

void ProducerStatusWriter::close() {
  if (!view_) return;
  setState(kProducerStateNone, 0);
  channel_.close();
  view_ = nullptr;
}

}  // namespace tesmira
