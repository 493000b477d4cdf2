// jpeglib.h needs size_t and FILE declared first.
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include "mfdevices/camera_decoders.h"
#include "mfdevices/camera_internal.h"

namespace tesmira::platform::cameras {
namespace {

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

void onJpegError(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }
void onJpegMessage(j_common_ptr) {}

// libjpeg reports errors by longjmp: this function holds no C++ objects across it.
bool decodeInto(jpeg_decompress_struct& info, const uint8_t* data, size_t size, int width, int height,
                cv::Mat* out) {
  JpegError* error = reinterpret_cast<JpegError*>(info.err);
  if (setjmp(error->jump)) return false;
  jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) return false;
  // The header's size is the camera's word: another one is refused before it costs memory.
  if (info.image_width != JDIMENSION(width) || info.image_height != JDIMENSION(height)) return false;
  info.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&info);
  if (info.output_components != 3) return false;
  out->create(int(info.output_height), int(info.output_width), CV_8UC3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out->ptr<JSAMPLE>(int(info.output_scanline));
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  return true;
}

bool decodeJpeg(const uint8_t* data, size_t size, int width, int height, cv::Mat& image) {
  if (!data || size == 0 || width <= 0 || height <= 0) return false;
  jpeg_decompress_struct info{};
  JpegError error{};
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = onJpegError;
  error.manager.output_message = onJpegMessage;
  jpeg_create_decompress(&info);
  const bool ok = decodeInto(info, data, size, width, height, &image);
  jpeg_destroy_decompress(&info);
  return ok;
}

constexpr CameraDecoders kDecoders{makeFileCameraDevice, decodeJpeg};

}  // namespace
}  // namespace tesmira::platform::cameras

extern "C" __attribute__((visibility("default"))) const tesmira::platform::cameras::CameraDecoders*
tesmira_camera_decoders() {
  return &tesmira::platform::cameras::kDecoders;
}
