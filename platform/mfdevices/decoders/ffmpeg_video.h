#pragma once
// A video file decoded with FFmpeg into BGR frames, the way OpenCV's FFmpeg reader gives
// them, without OpenCV's video module (and the GStreamer and GDAL it loads).
#include <string>

#include <opencv2/core.hpp>

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace tesmira::platform::cameras {

class FfmpegVideo {
 public:
  FfmpegVideo() = default;
  FfmpegVideo(const FfmpegVideo&) = delete;
  FfmpegVideo& operator=(const FfmpegVideo&) = delete;
  ~FfmpegVideo() { close(); }

  // `sequence`: a printf pattern of numbered images rather than one file.
  bool open(const std::string& path, bool sequence);
  bool isOpened() const { return codec_ != nullptr; }
  int width() const;
  int height() const;
  double fps() const;  // 0 when the file tells none
  // The next frame as 8-bit BGR; false at the end of the file or on a decoding failure.
  bool read(cv::Mat& bgr);
  // Back to the first frame.
  bool rewind();
  void close();

 private:
  bool receive(cv::Mat& bgr);

  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* scaler_ = nullptr;
  int stream_ = -1;
  bool draining_ = false;
};

}  // namespace tesmira::platform::cameras
