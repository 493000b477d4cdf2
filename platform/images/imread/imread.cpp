// cv::imread for programs that read only the data folder's PNG images: OpenCV's image reader
// (which pulls in GDAL and a hundred libraries more) is loaded only for any other image.
#include <dlfcn.h>

#include <opencv2/imgcodecs.hpp>

#include "images/png_reader.h"

namespace {

using Imread = cv::Mat (*)(const std::string&, int);

Imread loadOpenCvImread() {
  void* library = dlopen(TESMIRA_OPENCV_IMGCODECS_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (!library) return nullptr;
  return reinterpret_cast<Imread>(dlsym(library, "_ZN2cv6imreadERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEi"));
}

}  // namespace

cv::Mat cv::imread(const std::string& filename, int flags) {
  cv::Mat image;
  if (tesmira::platform::images::readPng(filename, flags, image)) return image;
  static const Imread openCv = loadOpenCvImread();
  return openCv ? openCv(filename, flags) : cv::Mat();
}
