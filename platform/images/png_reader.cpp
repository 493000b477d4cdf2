#include "images/png_reader.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <vector>

#include <opencv2/imgcodecs.hpp>

namespace tesmira::platform::images {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

struct Header {
  png_uint_32 width = 0, height = 0;
  int bitDepth = 0, colorType = 0;
  bool transparency = false, exif = false;
};

// libpng reports errors by longjmp: the functions that call it hold no C++ objects.
bool readHeader(png_structp png, png_infop info, Header& header) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  int interlace = 0, compression = 0, filter = 0;
  png_get_IHDR(png, info, &header.width, &header.height, &header.bitDepth, &header.colorType, &interlace,
               &compression, &filter);
  header.transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
#ifdef PNG_eXIf_SUPPORTED
  header.exif = png_get_valid(png, info, PNG_INFO_eXIf) != 0;
#endif
  return true;
}

bool readRows(png_structp png, png_infop info, bool stripAlpha, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_bgr(png);
  if (stripAlpha) png_set_strip_alpha(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  return true;
}

void quietWarning(png_structp, png_const_charp) {}

}  // namespace

bool readPng(const std::string& path, int flags, cv::Mat& image) {
  if (flags != cv::IMREAD_COLOR && flags != cv::IMREAD_UNCHANGED) return false;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  png_byte signature[8] = {};
  if (std::fread(signature, 1, sizeof signature, file.get()) != sizeof signature ||
      png_sig_cmp(signature, 0, sizeof signature) != 0) {
    return false;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, quietWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  png_init_io(png, file.get());
  png_set_sig_bytes(png, sizeof signature);

  bool taken = true;
  Header header;
  cv::Mat decoded;
  if (!readHeader(png, info, header)) {
    taken = false;
  } else if (header.bitDepth != 8 ||
             (header.colorType != PNG_COLOR_TYPE_RGB && header.colorType != PNG_COLOR_TYPE_RGB_ALPHA) ||
             header.transparency || header.exif || header.width == 0 || header.height == 0 ||
             header.width > uint32_t(INT32_MAX) || header.height > uint32_t(INT32_MAX)) {
    taken = false;
  } else {
    const bool alpha = header.colorType == PNG_COLOR_TYPE_RGB_ALPHA;
    const bool stripAlpha = alpha && flags == cv::IMREAD_COLOR;
    decoded.create(int(header.height), int(header.width), alpha && !stripAlpha ? CV_8UC4 : CV_8UC3);
    std::vector<png_bytep> rows(header.height);
    for (png_uint_32 row = 0; row < header.height; ++row) rows[row] = decoded.ptr<png_byte>(int(row));
    taken = readRows(png, info, stripAlpha, rows.data());
  }
  png_destroy_read_struct(&png, &info, nullptr);
  if (taken) image = decoded;
  return taken;
}

}  // namespace tesmira::platform::images
