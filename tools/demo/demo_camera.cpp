#include "tools/demo/demo_camera.h"

#include <windows.h>

#include <mfapi.h>

#include <cstdio>

#include "common/helpers.h"
#include "tools/vcamctl/vcam_client.h"

namespace tesmira::demo {
namespace {

std::string failure(const char* step, HRESULT hr) {
  return std::string(step) + " failed: " + std::filesystem::path(hresultToText(hr)).string();
}

// An application that finds "Tesmira" among the video capture devices (the frame server
// stand-in activates it from the registry) and reads NV12 samples one request at a time.
class FrameServerApp : public CameraApp {
 public:
  FrameServerApp() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
  }
  ~FrameServerApp() override {
    close();
    MFShutdown();
    CoUninitialize();
  }

  std::string open(const std::wstring& friendlyName) override {
    Microsoft::WRL::ComPtr<IMFMediaSource> source;
    if (HRESULT hr = vcamctl::openCameraByName(friendlyName, &source); FAILED(hr)) return failure("open camera", hr);
    if (HRESULT hr = reader_.start(source.Get(), MFVideoFormat_NV12); FAILED(hr)) return failure("start stream", hr);
    return {};
  }

  std::string next(ReceivedSample& sample) override {
    vcamctl::Frame frame;
    if (HRESULT hr = reader_.read(frame); FAILED(hr)) return failure("read sample", hr);
    if (frame.bytes.size() < size_t(frame.width) * frame.height * 3 / 2) {
      return "a sample of " + std::to_string(frame.bytes.size()) + " bytes for " + std::to_string(frame.width) + "x" +
             std::to_string(frame.height) + " NV12";
    }
    sample.width = frame.width;
    sample.height = frame.height;
    sample.nv12 = std::move(frame.bytes);
    return {};
  }

  void close() override { reader_.stop(); }

 private:
  vcamctl::SampleReader reader_;
};

}  // namespace

std::unique_ptr<CameraApp> makeCameraApp(std::string&) { return std::make_unique<FrameServerApp>(); }

}  // namespace tesmira::demo
