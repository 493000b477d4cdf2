#include "mfdevices/decoders/ffmpeg_video.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace tesmira::platform::cameras {

bool FfmpegVideo::open(const std::string& path, bool sequence) {
  close();
  const AVInputFormat* container = sequence ? av_find_input_format("image2") : nullptr;
  if (avformat_open_input(&format_, path.c_str(), container, nullptr) != 0) return false;
  const AVCodec* decoder = nullptr;
  if (avformat_find_stream_info(format_, nullptr) < 0 ||
      (stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0)) < 0 || !decoder) {
    close();
    return false;
  }
  codec_ = avcodec_alloc_context3(decoder);
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (!codec_ || !frame_ || !packet_ || avcodec_parameters_to_context(codec_, format_->streams[stream_]->codecpar) < 0 ||
      avcodec_open2(codec_, decoder, nullptr) < 0 || codec_->width <= 0 || codec_->height <= 0) {
    close();
    return false;
  }
  return true;
}

int FfmpegVideo::width() const { return codec_ ? codec_->width : 0; }
int FfmpegVideo::height() const { return codec_ ? codec_->height : 0; }

double FfmpegVideo::fps() const {
  if (!codec_) return 0.0;
  AVStream* stream = format_->streams[stream_];
  const double average = av_q2d(stream->avg_frame_rate);
  return average > 1e-6 ? average : av_q2d(av_guess_frame_rate(format_, stream, nullptr));
}

bool FfmpegVideo::receive(cv::Mat& bgr) {
  if (avcodec_receive_frame(codec_, frame_) != 0) return false;
  const int width = frame_->width, height = frame_->height;
  scaler_ = sws_getCachedContext(scaler_, width, height, AVPixelFormat(frame_->format), width, height,
                                 AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
  bool ok = scaler_ != nullptr && width > 0 && height > 0;
  if (ok) {
    bgr.create(height, width, CV_8UC3);
    uint8_t* planes[4] = {bgr.data, nullptr, nullptr, nullptr};
    int strides[4] = {int(bgr.step[0]), 0, 0, 0};
    ok = sws_scale(scaler_, frame_->data, frame_->linesize, 0, height, planes, strides) == height;
  }
  av_frame_unref(frame_);
  return ok;
}

bool FfmpegVideo::read(cv::Mat& bgr) {
  if (!codec_) return false;
  for (;;) {
    if (receive(bgr)) return true;
    if (draining_) return false;
    const int status = av_read_frame(format_, packet_);
    if (status < 0) {
      // The decoder may still hold frames: flush it once.
      draining_ = true;
      avcodec_send_packet(codec_, nullptr);
      continue;
    }
    if (packet_->stream_index == stream_) avcodec_send_packet(codec_, packet_);
    av_packet_unref(packet_);
  }
}

bool FfmpegVideo::rewind() {
  if (!codec_) return false;
  if (av_seek_frame(format_, stream_, 0, AVSEEK_FLAG_BACKWARD) < 0 &&
      avformat_seek_file(format_, -1, INT64_MIN, 0, 0, 0) < 0) {
    return false;
  }
  avcodec_flush_buffers(codec_);
  draining_ = false;
  return true;
}

void FfmpegVideo::close() {
  sws_freeContext(scaler_);
  scaler_ = nullptr;
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&codec_);
  avformat_close_input(&format_);
  stream_ = -1;
  draining_ = false;
}

}  // namespace tesmira::platform::cameras
