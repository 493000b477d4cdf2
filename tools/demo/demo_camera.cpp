#include "tools/demo/demo_camera.h"

#include <windows.h>

#include <mfapi.h>
#include <mfreadwrite.h>

#include <filesystem>
#include <vector>

#include "common/hresult.h"
#include "common/pixel_format.h"
#include "common/vcam_registration.h"
#include "tools/framesvr/framesvr.h"
#include "tools/vcamctl/vcam_client.h"

namespace tesmira::demo {
namespace {

std::string failure(const char* step, HRESULT hr) {
  return std::filesystem::path(failureText(std::filesystem::path(step).wstring(), hr)).string();
}

// An application that finds "Tesmira" among the video capture devices and reads NV12 samples
// through the frame server stand-in, one request at a time.
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
    Microsoft::WRL::ComPtr<IMFActivate> device;
    if (HRESULT hr = vcamctl::findCameraByName(friendlyName, &device); FAILED(hr)) return failure("find camera", hr);
    if (HRESULT hr = harness_.useActivate(device.Get()); FAILED(hr)) return failure("use activation object", hr);
    if (HRESULT hr = harness_.activate(friendlyName); FAILED(hr)) return failure("activate", hr);
    framesvr::VideoFormat nv12;
    nv12.subtype = MFVideoFormat_NV12;
    if (HRESULT hr = harness_.start(nv12); FAILED(hr)) return failure("start", hr);
    started_ = true;
    return {};
  }

  std::string next(ReceivedSample& sample) override {
    framesvr::ReceivedSample received;
    if (HRESULT hr = harness_.requestSample(received); FAILED(hr)) return failure("RequestSample", hr);
    const auto& f = received.format;
    if (received.bytes.size() < nv12Bytes(f.width, f.height)) {
      return "a sample of " + std::to_string(received.bytes.size()) + " bytes for " + std::to_string(f.width) + "x" +
             std::to_string(f.height) + " NV12";
    }
    sample.width = f.width;
    sample.height = f.height;
    sample.nv12 = std::move(received.bytes);
    return {};
  }

  void close() override {
    if (!started_) return;
    started_ = false;
    harness_.stop();
    harness_.shutdown();
  }

 private:
  framesvr::FrameServerHarness harness_;
  bool started_ = false;
};

}  // namespace

std::string firstNativeMode(uint32_t index, CameraMode& mode) {
  using Microsoft::WRL::ComPtr;
  std::vector<ComPtr<IMFActivate>> devices;
  HRESULT hr = enumerateVideoCaptureDevices(devices);
  if (FAILED(hr)) return failure("MFEnumDeviceSources", hr);
  ComPtr<IMFMediaSource> source;
  hr = index < devices.size() ? devices[index]->ActivateObject(IID_PPV_ARGS(&source)) : MF_E_NOT_FOUND;
  devices.clear();
  if (FAILED(hr)) return failure("activate camera", hr);
  ComPtr<IMFSourceReader> reader;
  ComPtr<IMFMediaType> type;
  hr = MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader);
  if (SUCCEEDED(hr)) hr = reader->GetNativeMediaType(DWORD(MF_SOURCE_READER_FIRST_VIDEO_STREAM), 0, &type);
  if (SUCCEEDED(hr)) hr = MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &mode.width, &mode.height);
  if (SUCCEEDED(hr)) hr = MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &mode.fpsNumerator, &mode.fpsDenominator);
  reader.Reset();
  source->Shutdown();
  return FAILED(hr) ? failure("read the native media type", hr) : std::string();
}

std::unique_ptr<CameraApp> makeCameraApp(std::string&) { return std::make_unique<FrameServerApp>(); }

}  // namespace tesmira::demo
