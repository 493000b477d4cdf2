#include "mfreader/camera_reader.h"

#include <cstring>

namespace tesmira::platform::mfreader {
namespace {

Subtype nativeSubtype(cameras::PixelFormat format) {
  switch (format) {
    case cameras::PixelFormat::NV12: return Subtype::NV12;
    case cameras::PixelFormat::YUYV: return Subtype::YUY2;
    case cameras::PixelFormat::BGR24: return Subtype::RGB24;
  }
  return Subtype::NV12;
}

bool sameRate(uint64_t aNum, uint64_t aDen, uint64_t bNum, uint64_t bDen) { return aNum * bDen == aDen * bNum; }

}  // namespace

CameraReader::CameraReader(cameras::ICameraDevice* device, bool allowConversion)
    : device_(device), allowConversion_(allowConversion) {
  if (device_) modes_ = device_->modes();
  if (!modes_.empty()) current_ = typeFor(modes_[0], nativeSubtype(modes_[0].format));
}

CameraReader::~CameraReader() {
  if (device_ && started_) device_->stop();
}

VideoType CameraReader::typeFor(const cameras::CameraMode& mode, Subtype delivered) const {
  VideoType type{delivered, mode.width, mode.height, mode.fpsNumerator, mode.fpsDenominator, 0};
  switch (delivered) {
    case Subtype::NV12: type.stride = mode.width; break;
    case Subtype::YUY2: type.stride = mode.width * 2; break;
    case Subtype::RGB24: type.stride = mode.width * 3; break;
    case Subtype::RGB32: type.stride = mode.width * 4; break;
  }
  return type;
}

std::optional<VideoType> CameraReader::nativeType(size_t index) const {
  if (index >= modes_.size()) return std::nullopt;
  const cameras::CameraMode& mode = modes_[index];
  VideoType type = typeFor(mode, nativeSubtype(mode.format));
  type.rangeMin[0] = mode.rangeMinNumerator;
  type.rangeMin[1] = mode.rangeMinDenominator;
  type.rangeMax[0] = mode.rangeMaxNumerator;
  type.rangeMax[1] = mode.rangeMaxDenominator;
  type.withoutFrameRate = mode.withoutFrameRate;
  type.withoutFrameSize = mode.withoutFrameSize;
  return type;
}

HRESULT CameraReader::setCurrentType(const WantedType& wanted) {
  if (!device_ || !wanted.subtype) return cameras::kCameraModeRefused;
  const Subtype subtype = *wanted.subtype;
  const bool convertible = allowConversion_ && (subtype == Subtype::NV12 || subtype == Subtype::RGB32);
  const bool sized = wanted.width && wanted.height;
  const bool rated = wanted.fpsNumerator && wanted.fpsDenominator && *wanted.fpsNumerator > 0 &&
                     *wanted.fpsDenominator > 0;
  std::optional<size_t> chosen;
  for (size_t i = 0; i < modes_.size(); ++i) {
    const cameras::CameraMode& mode = modes_[i];
    const bool native = nativeSubtype(mode.format) == subtype;
    if (!native && !convertible) continue;
    if (sized && (mode.width != *wanted.width || mode.height != *wanted.height)) continue;
    if (rated && !sameRate(mode.fpsNumerator, mode.fpsDenominator, *wanted.fpsNumerator, *wanted.fpsDenominator)) {
      continue;
    }
    if (!native && subtype == Subtype::NV12 && outputBytes(OutputFormat::NV12, mode.width, mode.height) == 0) continue;
    // A mode that delivers the subtype itself beats one that needs converting.
    if (native) {
      chosen = i;
      break;
    }
    if (!chosen) chosen = i;
  }
  if (!chosen) return cameras::kCameraModeRefused;

  if (!started_ || *chosen != currentMode_) {
    if (started_) {
      device_->stop();
      started_ = false;
    }
    const HRESULT hr = device_->start(modes_[*chosen]);
    if (FAILED(hr)) return hr;
    started_ = true;
    lastSequence_.reset();
    pending_.reset();
  }
  currentMode_ = *chosen;
  current_ = typeFor(modes_[*chosen], subtype);
  return S_OK;
}

HRESULT CameraReader::ensureStarted() {
  if (started_) return S_OK;
  if (modes_.empty()) return cameras::kCameraNotFound;
  const HRESULT hr = device_->start(modes_[currentMode_]);
  if (SUCCEEDED(hr)) started_ = true;
  return hr;
}

HRESULT CameraReader::read(ReadResult& result, const std::function<uint8_t*(size_t)>& bufferFor) {
  result = {};
  if (FAILED(error_)) {
    result.flags = kReadError;
    return error_;
  }
  if (ended_) {
    result.flags = kReadEndOfStream;
    return S_OK;
  }
  if (!device_) return cameras::kCameraNotFound;
  if (const HRESULT hr = ensureStarted(); FAILED(hr)) {
    error_ = hr;
    result.flags = kReadError;
    return hr;
  }

  cameras::CameraFrame frame;
  if (pending_) {
    frame = *pending_;
    pending_.reset();
  } else {
    const HRESULT hr = device_->readFrame(frame);
    if (hr == cameras::kCameraStopped || ended_) {
      ended_ = true;
      result.flags = kReadEndOfStream;
      return S_OK;
    }
    if (FAILED(hr)) {
      error_ = hr;
      result.flags = kReadError;
      return hr;
    }
    const bool gap = lastSequence_ && frame.sequence > *lastSequence_ + 1;
    lastSequence_ = frame.sequence;
    if (gap) {
      // Frames went missing: say so with a tick, deliver the frame on the next read.
      pending_ = frame;
      result.flags = kReadStreamTick;
      result.timestamp = int64_t(frame.timestampNs / 100);
      return S_OK;
    }
  }

  const bool passThrough = current_.subtype == nativeSubtype(frame.format);
  const uint32_t stride = passThrough ? frame.stride : current_.stride;
  if (frame.width != current_.width || frame.height != current_.height || stride != current_.stride) {
    cameras::CameraMode delivered = modes_[currentMode_];
    delivered.width = frame.width;
    delivered.height = frame.height;
    current_ = typeFor(delivered, current_.subtype);
    if (passThrough) current_.stride = frame.stride;
    result.flags |= kReadCurrentTypeChanged;
  }
  result.timestamp = int64_t(frame.timestampNs / 100);
  if (current_.fpsNumerator > 0) {
    result.duration = int64_t(10'000'000ull * current_.fpsDenominator / current_.fpsNumerator);
  }

  size_t length = 0;
  if (passThrough) {
    length = frame.size;  // as delivered, a short frame stays short
  } else {
    const auto format = current_.subtype == Subtype::RGB32 ? OutputFormat::RGB32 : OutputFormat::NV12;
    length = size_t(outputBytes(format, frame.width, frame.height));
  }
  if (length == 0) return S_OK;
  uint8_t* buffer = bufferFor(length);
  if (buffer == nullptr) return E_OUTOFMEMORY;
  if (passThrough) {
    std::memcpy(buffer, frame.data, length);
  } else if (!convertFrame(frame, current_.subtype == Subtype::RGB32 ? OutputFormat::RGB32 : OutputFormat::NV12,
                           buffer, length)) {
    return S_OK;  // a frame that cannot be converted (short) delivers nothing
  }
  result.sample = true;
  result.length = length;
  return S_OK;
}

void CameraReader::cancel() {
  ended_ = true;
  if (device_) device_->cancel();
}

}  // namespace tesmira::platform::mfreader
