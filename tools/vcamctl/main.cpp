// tesmira_vcamctl: the road an application takes to a camera, by hand.
//   tesmira_vcamctl list
//   tesmira_vcamctl open <friendly name> [--frames N] [--out folder] [--format NV12|RGB32] [--size WxH]
// "open" finds the camera among the devices; a virtual camera goes through the
// frame server harness, a physical one is read from its device. Each received
// frame is saved as frame-NNN.png.
#include <windows.h>

#include <mfapi.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "common/hresult.h"
#include "common/pixel_format.h"
#include "platform/mfdevices/camera_media_source.h"
#include "tools/framesvr/framesvr.h"
#include "tools/vcamctl/vcam_client.h"

namespace {
using namespace tesmira;

std::wstring wide(const std::string& text) {
  std::wstring out(text.size() + 1, L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.size()), out.data(), int(out.size()));
  out.resize(n > 0 ? size_t(n) : 0);
  return out;
}

std::string narrow(const std::wstring& text) {
  std::string out(text.size() * 4 + 1, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), out.data(), int(out.size()), nullptr, nullptr);
  out.resize(n > 0 ? size_t(n) : 0);
  return out;
}

int usage() {
  std::fprintf(stderr,
               "usage: tesmira_vcamctl list\n"
               "       tesmira_vcamctl open <friendly name> [--frames N] [--out folder] [--format NV12|RGB32] [--size WxH]\n");
  return 2;
}

int fail(const char* what, HRESULT hr) {
  std::fprintf(stderr, "%s\n", narrow(failureText(wide(what), hr)).c_str());
  return 1;
}

int list() {
  std::vector<vcamctl::VideoCamera> cameras;
  const HRESULT hr = vcamctl::listVideoCameras(cameras);
  if (FAILED(hr)) return fail("MFEnumDeviceSources", hr);
  for (size_t i = 0; i < cameras.size(); ++i) {
    std::printf("%zu: %s  %s\n", i, narrow(cameras[i].friendlyName).c_str(), narrow(cameras[i].symbolicLink).c_str());
  }
  return 0;
}

std::filesystem::path frameFile(const std::filesystem::path& out, int i) {
  char file[32];
  std::snprintf(file, sizeof file, "frame-%03d.png", i);
  return out / file;
}

// A physical camera straight from its device, as the source reader takes it.
int openPhysical(IMFActivate* device, int frames, const std::filesystem::path& out, const framesvr::VideoFormat& wanted) {
  namespace cameras = tesmira::platform::cameras;
  Microsoft::WRL::ComPtr<ICameraDeviceSource> source;
  HRESULT hr = device->ActivateObject(IID_PPV_ARGS(&source));
  std::unique_ptr<cameras::ICameraDevice> camera;
  if (SUCCEEDED(hr)) hr = source->takeDevice(camera);
  if (FAILED(hr)) return fail("activate", hr);
  std::vector<cameras::CameraMode> modes = camera->modes();
  auto mode = std::find_if(modes.begin(), modes.end(), [&](const cameras::CameraMode& m) {
    return wanted.width == 0 || (m.width == wanted.width && m.height == wanted.height);
  });
  if (mode == modes.end()) return fail("choose mode", HRESULT(0xC00D36B4));
  hr = camera->start(*mode);
  if (FAILED(hr)) return fail("start", hr);
  for (int i = 0; i < frames; ++i) {
    cameras::CameraFrame frame;
    hr = camera->readFrame(frame);
    if (FAILED(hr)) return fail("read frame", hr);
    if (frame.size < cameras::frameBytes(frame.format, frame.stride, frame.height)) {
      std::fprintf(stderr, "frame %d came short (%zu bytes)\n", i, frame.size);
      continue;
    }
    const int w = int(frame.width), h = int(frame.height);
    auto* data = const_cast<uint8_t*>(frame.data);
    cv::Mat bgr;
    switch (frame.format) {
      case cameras::PixelFormat::NV12: cv::cvtColor(cv::Mat(int(tesmira::nv12Rows(h)), w, CV_8UC1, data, frame.stride), bgr, cv::COLOR_YUV2BGR_NV12); break;
      case cameras::PixelFormat::YUYV: cv::cvtColor(cv::Mat(h, w, CV_8UC2, data, frame.stride), bgr, cv::COLOR_YUV2BGR_YUY2); break;
      case cameras::PixelFormat::BGR24: bgr = cv::Mat(h, w, CV_8UC3, data, frame.stride); break;
    }
    if (!cv::imwrite(frameFile(out, i).string(), bgr)) return fail("write PNG", E_FAIL);
    std::printf("%s %dx%d time=%llu ns\n", frameFile(out, i).filename().string().c_str(), w, h,
                static_cast<unsigned long long>(frame.timestampNs));
  }
  camera->stop();
  return 0;
}

int open(const std::string& name, int frames, const std::filesystem::path& out, const framesvr::VideoFormat& wanted) {
  Microsoft::WRL::ComPtr<IMFActivate> device;
  HRESULT hr = vcamctl::findCameraByName(wide(name), &device);
  if (FAILED(hr)) return fail("find camera", hr);
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  UINT32 hardware = 0;
  if (SUCCEEDED(device->GetUINT32(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_HW_SOURCE, &hardware)) && hardware) {
    return openPhysical(device.Get(), frames, out, wanted);
  }
  framesvr::FrameServerHarness harness;
  hr = harness.useActivate(device.Get());
  if (SUCCEEDED(hr)) hr = harness.activate(wide(name));
  if (FAILED(hr)) return fail("activate", hr);
  hr = harness.start(wanted);
  if (FAILED(hr)) return fail("start", hr);
  for (int i = 0; i < frames; ++i) {
    framesvr::ReceivedSample sample;
    hr = harness.requestSample(sample);
    if (FAILED(hr)) return fail("RequestSample", hr);
    if (!framesvr::writeSamplePng(sample, frameFile(out, i))) return fail("write PNG", E_FAIL);
    std::printf("%s %s time=%lld\n", frameFile(out, i).filename().string().c_str(),
                narrow(framesvr::formatText(sample.format)).c_str(), static_cast<long long>(sample.time));
  }
  harness.stop();
  harness.shutdown();
  return 0;
}

int run(int argc, char** argv) {
  const std::string command = argv[1];
  if (command == "list" && argc == 2) return list();
  if (command != "open" || argc < 3) return usage();
  int frames = 10;
  std::filesystem::path out = "vcamctl-frames";
  framesvr::VideoFormat wanted;
  wanted.subtype = MFVideoFormat_NV12;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    const std::string value = argv[++i];
    if (arg == "--frames") {
      frames = std::max(1, std::atoi(value.c_str()));
    } else if (arg == "--out") {
      out = value;
    } else if (arg == "--format") {
      if (!framesvr::parseSubtype(value, wanted.subtype)) return usage();
    } else if (arg == "--size") {
      if (std::sscanf(value.c_str(), "%ux%u", &wanted.width, &wanted.height) != 2) return usage();
    } else {
      return usage();
    }
  }
  return open(argv[2], frames, out, wanted);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_FULL);
  const int rc = run(argc, argv);
  MFShutdown();
  CoUninitialize();
  return rc;
}
