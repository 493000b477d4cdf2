// Scripted test cameras: modes, failures and frames from their list file.
#include <cstring>

#include "mfdevices/camera_internal.h"

namespace tesmira::platform::cameras {
namespace {

HRESULT scriptedHresult(const nlohmann::json& definition, const char* key) {
  const auto it = definition.find(key);
  if (it == definition.end() || !it->is_number_integer()) return S_OK;
  return HRESULT(uint32_t(it->get<int64_t>()));
}

uint32_t scriptedCount(const nlohmann::json& definition, const char* key, uint32_t fallback, uint32_t max) {
  const auto it = definition.find(key);
  if (it == definition.end() || !it->is_number_unsigned()) return fallback;
  return uint32_t(std::min<uint64_t>(it->get<uint64_t>(), max));
}

class TestCameraDevice final : public ICameraDevice {
 public:
  TestCameraDevice(const CameraInfo& info, const nlohmann::json& definition) : info_(info) {
    const auto modes = definition.find("modes");
    if (modes != definition.end() && modes->is_array()) {
      for (const auto& m : *modes) {
        CameraMode mode;
        if (parseMode(m, mode, /*scripted=*/true)) modes_.push_back(mode);
      }
    }
    activateError_ = scriptedHresult(definition, "activateError");
    everyNativeTypeError_ = scriptedHresult(definition, "everyNativeTypeError");
    const auto typeErrors = definition.find("nativeTypeErrors");
    if (typeErrors != definition.end() && typeErrors->is_array()) {
      for (const auto& failure : *typeErrors) {
        const auto index = failure.find("index");
        if (!failure.is_object() || index == failure.end() || !index->is_number_unsigned()) continue;
        nativeTypeErrors_.emplace_back(index->get<uint64_t>(), scriptedHresult(failure, "error"));
      }
    }
    openError_ = scriptedHresult(definition, "openError");
    readError_ = scriptedHresult(definition, "readError");
    readErrorAfter_ = scriptedCount(definition, "readErrorAfterFrames", 0, UINT32_MAX);
    rowPadding_ = scriptedCount(definition, "rowPadding", 0, 4096);
    shortFrameIndex_ = scriptedCount(definition, "shortFrameIndex", UINT32_MAX, UINT32_MAX);
    deliveredWidth_ = scriptedCount(definition, "deliveredWidth", 0, kMaxDimension);
    deliveredHeight_ = scriptedCount(definition, "deliveredHeight", 0, kMaxDimension);
  }

  const CameraInfo& info() const override { return info_; }
  std::vector<CameraMode> modes() const override { return modes_; }

  HRESULT start(const CameraMode& mode) override {
    if (FAILED(openError_)) return openError_;
    if (std::find(modes_.begin(), modes_.end(), mode) == modes_.end()) return kCameraModeRefused;
    mode_ = mode;
    width_ = deliveredWidth_ ? deliveredWidth_ : mode.width;
    height_ = deliveredHeight_ ? deliveredHeight_ : mode.height;
    stride_ = minimumStride(mode.format, width_) + rowPadding_;
    buffer_.assign(frameBytes(mode.format, stride_, height_), 0);
    sequence_ = 0;
    started_ = true;
    pacer_.start(mode.fpsNumerator, mode.fpsDenominator);
    return S_OK;
  }

  HRESULT readFrame(CameraFrame& frame) override {
    if (!started_) return kCameraStopped;
    if (FAILED(readError_) && sequence_ >= readErrorAfter_) return readError_;
    uint64_t dueNs = 0;
    if (!pacer_.waitNext(dueNs)) return kCameraStopped;
    renderTestFrame(mode_.format, width_, height_, stride_, sequence_, buffer_.data());
    frame.data = buffer_.data();
    frame.size = buffer_.size();
    if (sequence_ == shortFrameIndex_) frame.size -= stride_;
    frame.stride = stride_;
    frame.width = width_;
    frame.height = height_;
    frame.format = mode_.format;
    frame.timestampNs = dueNs;
    frame.sequence = sequence_++;
    return S_OK;
  }

  void stop() override {
    started_ = false;
    pacer_.reset();
  }
  void cancel() override { pacer_.cancel(); }

  HRESULT activationError() const override { return activateError_; }
  HRESULT nativeTypeError(size_t index) const override {
    if (FAILED(everyNativeTypeError_)) return everyNativeTypeError_;
    for (const auto& [failing, error] : nativeTypeErrors_) {
      if (failing == index) return error;
    }
    return S_OK;
  }

 private:
  CameraInfo info_;
  std::vector<CameraMode> modes_;
  HRESULT openError_ = S_OK;
  HRESULT readError_ = S_OK;
  uint32_t readErrorAfter_ = 0;
  uint32_t rowPadding_ = 0;
  uint32_t shortFrameIndex_ = UINT32_MAX;
  uint32_t deliveredWidth_ = 0;
  uint32_t deliveredHeight_ = 0;
  HRESULT activateError_ = S_OK;
  HRESULT everyNativeTypeError_ = S_OK;
  std::vector<std::pair<uint64_t, HRESULT>> nativeTypeErrors_;
  CameraMode mode_;
  uint32_t width_ = 0, height_ = 0, stride_ = 0;
  std::vector<uint8_t> buffer_;
  uint64_t sequence_ = 0;
  bool started_ = false;
  FramePacer pacer_;
};

}  // namespace

std::unique_ptr<ICameraDevice> makeTestCamera(const CameraInfo& info, const nlohmann::json& definition) {
  return std::make_unique<TestCameraDevice>(info, definition);
}

// A pattern that differs per pixel, plane and frame, so any misplaced byte shows.
void renderTestFrame(PixelFormat format, uint32_t width, uint32_t height, uint32_t stride, uint64_t index,
                     uint8_t* out) {
  const uint8_t shift = uint8_t(index * 5);
  const uint32_t used = minimumStride(format, width);
  auto pad = [&](uint8_t* row) { std::memset(row + used, 0xEE, stride - used); };
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = out + uint64_t(y) * stride;
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t luma = uint8_t(x + 2 * y + shift);
      switch (format) {
        case PixelFormat::NV12: row[x] = luma; break;
        case PixelFormat::YUYV:
          row[2 * x] = luma;
          row[2 * x + 1] = x % 2 ? uint8_t(192 - y + shift) : uint8_t(64 + x / 2 + shift);
          break;
        case PixelFormat::BGR24:
          row[3 * x] = uint8_t(x + shift);
          row[3 * x + 1] = uint8_t(y);
          row[3 * x + 2] = uint8_t((x ^ y) + shift);
          break;
      }
    }
    pad(row);
  }
  if (format != PixelFormat::NV12) return;
  uint8_t* chroma = out + uint64_t(height) * stride;
  for (uint32_t y = 0; y < height / 2; ++y) {
    uint8_t* row = chroma + uint64_t(y) * stride;
    for (uint32_t x = 0; x < width / 2; ++x) {
      row[2 * x] = uint8_t(64 + x + shift);
      row[2 * x + 1] = uint8_t(192 - y + shift);
    }
    pad(row);
  }
}

}  // namespace tesmira::platform::cameras
