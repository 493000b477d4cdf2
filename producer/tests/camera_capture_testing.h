#pragma once
// A scripted camera behind the capture thread: each read takes the next step the
// test queued, and blocks while none is queued, as a camera waiting for its next frame.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "producer/camera_capture.h"

namespace tesmira::testing {

struct CameraStep {
  HRESULT hr = S_OK;
  std::vector<BYTE> nv12;  // delivered buffer, empty for none
  std::optional<CaptureFormat> newFormat;
  CaptureTextureRef texture;
  UINT subresource = 0;
};

class ScriptedCamera {
 public:
  explicit ScriptedCamera(CaptureFormat format) : format_(format) {}

  void push(CameraStep step) {
    {
      std::lock_guard lock(mutex_);
      steps_.push_back(std::move(step));
    }
    changed_.notify_all();
  }
  void pushFrame(const cv::Mat& nv12) {
    CameraStep step;
    step.nv12.assign(nv12.datastart, nv12.dataend);
    push(std::move(step));
  }
  // Waits until every queued step has been read and the camera waits for more.
  void waitIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return steps_.empty() && waiting_; });
  }
  // As waitIdle, also returning once the reader is gone; false then.
  bool waitIdleOrClosed() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return (steps_.empty() && waiting_) || closed_; });
    return !closed_;
  }
  bool closed() {
    std::lock_guard lock(mutex_);
    return closed_;
  }
  // Waits until the capture thread has released the reader (its thread ended).
  void waitClosed() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return closed_; });
  }
  int reads() {
    std::lock_guard lock(mutex_);
    return reads_;
  }
  bool readInProgress() {
    std::lock_guard lock(mutex_);
    return waiting_;
  }

  CameraOpener opener(HRESULT openResult = S_OK) {
    return [this, openResult](const CameraOpenRequest& request, std::unique_ptr<CaptureCamera>& camera) {
      lastRequest = request;
      if (FAILED(openResult)) return openResult;
      camera = std::make_unique<Reader>(*this);
      return S_OK;
    };
  }

  CameraOpenRequest lastRequest;

 private:
  class Reader final : public CaptureCamera {
   public:
    explicit Reader(ScriptedCamera& camera) : camera_(camera) {
      std::lock_guard lock(camera_.mutex_);
      camera_.closed_ = false;
    }
    ~Reader() override {
      {
        std::lock_guard lock(camera_.mutex_);
        camera_.closed_ = true;
      }
      camera_.changed_.notify_all();
    }
    CaptureFormat currentFormat() override { return camera_.format_; }
    HRESULT readSample(CaptureSampleSink& sink) override {
      CameraStep step;
      {
        std::unique_lock lock(camera_.mutex_);
        camera_.waiting_ = true;
        camera_.changed_.notify_all();
        camera_.changed_.wait(lock, [this] { return !camera_.steps_.empty(); });
        camera_.waiting_ = false;
        step = std::move(camera_.steps_.front());
        camera_.steps_.pop_front();
        ++camera_.reads_;
      }
      if (step.newFormat) sink.onFormatChanged(step.newFormat->width, step.newFormat->height, step.newFormat->stride);
      if (!step.nv12.empty()) sink.onNv12(step.nv12.data(), step.nv12.size());
      if (step.texture) sink.onTexture(step.texture, step.subresource);
      return step.hr;
    }

   private:
    ScriptedCamera& camera_;
  };

  CaptureFormat format_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<CameraStep> steps_;
  bool waiting_ = false;
  bool closed_ = false;
  int reads_ = 0;
};

// Random NV12 content: any bytes are a valid NV12 frame.
inline cv::Mat randomNv12(int width, int height, int seed) {
  cv::Mat nv12(height * 3 / 2, width, CV_8UC1);
  cv::RNG rng(static_cast<uint64_t>(seed));
  rng.fill(nv12, cv::RNG::UNIFORM, 0, 256);
  return nv12;
}

inline bool sameMat(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

}  // namespace tesmira::testing
