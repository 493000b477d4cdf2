// File cameras: a video file played at its own frame rate, looping.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <numeric>

#include <opencv2/imgproc.hpp>

#include "mfdevices/camera_decoders.h"
#include "mfdevices/camera_internal.h"
#include "mfdevices/decoders/ffmpeg_video.h"

namespace tesmira::platform::cameras {
namespace {

// 29.97 -> 30000/1001, 25 -> 25/1.
void rateOf(double fps, uint32_t& numerator, uint32_t& denominator) {
  if (!(fps > 0.0 && fps <= 1000.0)) fps = 30.0;
  if (std::fabs(fps * 1001.0 / 1000.0 - std::round(fps * 1001.0 / 1000.0)) < 1e-3 &&
      std::fabs(fps - std::round(fps)) > 1e-3) {
    numerator = uint32_t(std::lround(fps * 1001.0));
    denominator = 1001;
    return;
  }
  numerator = uint32_t(std::lround(fps * 1000.0));
  denominator = 1000;
  const uint32_t g = std::gcd(numerator, denominator);
  numerator /= g;
  denominator /= g;
}

// A video file, or an image sequence ("clip_%02d.png") through FFmpeg's image-sequence reader.
// Nothing else is opened: a folder or a device path is no file camera.
bool takenPath(const std::string& path, bool& sequence) {
  std::error_code ec;
  sequence = !std::filesystem::is_regular_file(path, ec) && path.find('%') != std::string::npos;
  return sequence || std::filesystem::is_regular_file(path, ec);
}

class FileCameraDevice final : public ICameraDevice {
 public:
  FileCameraDevice(const CameraInfo& info, std::string path) : info_(info), path_(std::move(path)) {
    if (!takenPath(path_, imageSequence_)) return;
    FfmpegVideo probe;
    if (!probe.open(path_, imageSequence_)) return;
    // NV12 needs even sizes: an odd edge row or column is left out.
    const uint32_t width = uint32_t(probe.width()) & ~1u;
    const uint32_t height = uint32_t(probe.height()) & ~1u;
    if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension) return;
    CameraMode mode{width, height, 30, 1, PixelFormat::NV12};
    rateOf(probe.fps(), mode.fpsNumerator, mode.fpsDenominator);
    modes_.push_back(mode);
    mode.format = PixelFormat::BGR24;
    modes_.push_back(mode);
  }

  const CameraInfo& info() const override { return info_; }
  std::vector<CameraMode> modes() const override { return modes_; }

  HRESULT start(const CameraMode& mode) override {
    if (modes_.empty()) return kCameraNotFound;
    if (std::find(modes_.begin(), modes_.end(), mode) == modes_.end()) return kCameraModeRefused;
    if (!capture_.open(path_, imageSequence_)) return kCameraNotFound;
    mode_ = mode;
    stride_ = minimumStride(mode.format, mode.width);
    buffer_.resize(frameBytes(mode.format, stride_, mode.height));
    sequence_ = 0;
    pacer_.start(mode.fpsNumerator, mode.fpsDenominator);
    return S_OK;
  }

  HRESULT readFrame(CameraFrame& frame) override {
    if (!capture_.isOpened()) return kCameraStopped;
    uint64_t dueNs = 0;
    if (!pacer_.waitNext(dueNs)) return kCameraStopped;
    if (!capture_.read(decoded_)) {
      // Loop; a sequence is opened again, as its reader cannot seek.
      const bool back = imageSequence_ ? capture_.open(path_, imageSequence_) : capture_.rewind();
      if (!back || !capture_.read(decoded_)) return HRESULT(0x80070026);  // ERROR_HANDLE_EOF
    }
    if (decoded_.cols < int(mode_.width) || decoded_.rows < int(mode_.height) || decoded_.type() != CV_8UC3) {
      return HRESULT(0x8007000D);  // ERROR_INVALID_DATA: the stream changed size under us
    }
    const cv::Mat bgr = decoded_(cv::Rect(0, 0, int(mode_.width), int(mode_.height)));
    if (mode_.format == PixelFormat::BGR24) {
      bgr.copyTo(cv::Mat(int(mode_.height), int(mode_.width), CV_8UC3, buffer_.data(), stride_));
    } else {
      toNv12(bgr);
    }
    frame.data = buffer_.data();
    frame.size = buffer_.size();
    frame.stride = stride_;
    frame.width = mode_.width;
    frame.height = mode_.height;
    frame.format = mode_.format;
    frame.timestampNs = dueNs;
    frame.sequence = sequence_++;
    return S_OK;
  }

  void stop() override {
    capture_.close();
    pacer_.reset();
  }
  void cancel() override { pacer_.cancel(); }

 private:
  void toNv12(const cv::Mat& bgr) {
    cv::cvtColor(bgr, i420_, cv::COLOR_BGR2YUV_I420);
    const size_t lumaBytes = size_t(mode_.width) * mode_.height;
    const size_t chromaBytes = lumaBytes / 4;
    std::memcpy(buffer_.data(), i420_.data, lumaBytes);
    const uint8_t* u = i420_.data + lumaBytes;
    const uint8_t* v = u + chromaBytes;
    uint8_t* uv = buffer_.data() + lumaBytes;
    for (size_t i = 0; i < chromaBytes; ++i) {
      uv[2 * i] = u[i];
      uv[2 * i + 1] = v[i];
    }
  }

  CameraInfo info_;
  std::string path_;
  bool imageSequence_ = false;
  std::vector<CameraMode> modes_;
  FfmpegVideo capture_;
  cv::Mat decoded_, i420_;
  CameraMode mode_;
  uint32_t stride_ = 0;
  std::vector<uint8_t> buffer_;
  uint64_t sequence_ = 0;
  FramePacer pacer_;
};

}  // namespace

std::unique_ptr<ICameraDevice> makeFileCameraDevice(const CameraInfo& info, const std::string& path) {
  return std::make_unique<FileCameraDevice>(info, path);
}

}  // namespace tesmira::platform::cameras
