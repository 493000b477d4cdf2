#pragma once
// The physical webcam on a thread of its own: the source reader delivers NV12
// (or camera textures), the thread converts each frame and hands only the
// newest one to the main loop.
#include <windows.h>

#include <d3d11.h>
#include <opencv2/core.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/pixel_format.h"
#include "producer/capture_source.h"

namespace tesmira {

struct CaptureTextureDesc {
  UINT width = 0;
  UINT height = 0;
  UINT mipLevels = 1;
  UINT arraySize = 1;
  UINT format = 0;
};

// A 2D texture of the compositor's device (a camera texture or a staging copy).
class CaptureTexture {
 public:
  virtual ~CaptureTexture() = default;
  virtual CaptureTextureDesc desc() const = 0;
  // The Direct3D texture behind it; none for a texture of a test device.
  virtual ID3D11Texture2D* d3dTexture() const { return nullptr; }
};
using CaptureTextureRef = std::shared_ptr<CaptureTexture>;

// What the texture read-back needs of the compositor's Direct3D 11 device and its
// immediate context.
class CaptureDevice {
 public:
  virtual ~CaptureDevice() = default;
  // The Direct3D device the camera fills its textures on; none for a test device.
  virtual ID3D11Device* d3dDevice() const { return nullptr; }
  // One mip level, one slice, no multisampling, staging usage with CPU read access.
  virtual HRESULT createStagingTexture(UINT format, UINT width, UINT height, CaptureTextureRef& staging) = 0;
  // Copies width x height of the source subresource to subresource 0 at 0, 0.
  virtual void copySubresourceRegion(CaptureTexture& destination, CaptureTexture& source, UINT subresource,
                                     UINT width, UINT height) = 0;
  virtual HRESULT mapRead(CaptureTexture& staging, const BYTE** data, UINT* rowPitch) = 0;
  virtual void unmap(CaptureTexture& staging) = 0;
};

// The delivered type as the capture thread uses it.
struct CaptureFormat {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t stride = 0;
  uint32_t fpsNumerator = 0;
  uint32_t fpsDenominator = 0;
};

// What one read delivered, seen while the sample's buffer is locked.
class CaptureSampleSink {
 public:
  virtual ~CaptureSampleSink() = default;
  virtual void onFormatChanged(uint32_t width, uint32_t height, uint32_t stride) = 0;
  virtual void onNv12(const BYTE* data, size_t length) = 0;
  virtual void onTexture(const CaptureTextureRef& texture, UINT subresource) = 0;
};

// The opened camera the capture thread reads: the source reader over the device.
// Destroyed on the capture thread, which releases the reader and shuts down.
class CaptureCamera {
 public:
  virtual ~CaptureCamera() = default;
  virtual CaptureFormat currentFormat() = 0;
  // One synchronous read: S_OK (a sample or nothing), S_FALSE at the end of the
  // stream, a failure HRESULT otherwise.
  virtual HRESULT readSample(CaptureSampleSink& sink) = 0;
};

struct CameraOpenRequest {
  int32_t cameraIndex = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t fpsNumerator = 0;
  int32_t fpsDenominator = 0;
  bool textureMode = false;
  CaptureDevice* device = nullptr;
};

// Opens the camera on the capture thread (apartment, Media Foundation, device,
// reader, wanted type); on failure releases what it made and returns why.
using CameraOpener = std::function<HRESULT(const CameraOpenRequest&, std::unique_ptr<CaptureCamera>&)>;
CameraOpener mediaFoundationCameraOpener();

// 0 when the delivered type serves the request, else MF_E_INVALIDMEDIATYPE.
// The read-back on a real Direct3D 11 device: holds its own references to the device
// and its immediate context. Null without a device.
std::shared_ptr<CaptureDevice> makeD3D11CaptureDevice(ID3D11Device* device);
// A camera texture as the read-back takes it (one more reference held). Null without one.
CaptureTextureRef wrapD3D11Texture(ID3D11Texture2D* texture);

HRESULT checkDeliveredFormat(const CameraOpenRequest& request, const CaptureFormat& delivered);
// Copies a locked NV12 buffer (rows of `stride` bytes) into `nv12` (height x 3 / 2
// rows of width bytes). False, leaving `nv12` as it was, when the buffer is too short.
bool copyNv12(const BYTE* data, size_t length, const CaptureFormat& format, cv::Mat& nv12);

// The staging texture the read-back reuses while its format and size stay.
struct StagingCache {
  CaptureTextureRef texture;
  UINT format = 0;
  UINT width = 0;
  UINT height = 0;
};
// Reads a camera texture back into BGR, at most maxWidth x maxHeight when those are positive.
bool readTextureToBgr(CaptureDevice& device, StagingCache& staging, CaptureTexture& texture, UINT subresource,
                      int32_t maxWidth, int32_t maxHeight, cv::Mat& bgr);

class CameraCapture {
 public:
  CameraCapture();
  explicit CameraCapture(CameraOpener opener);
  ~CameraCapture();
  CameraCapture(const CameraCapture&) = delete;
  CameraCapture& operator=(const CameraCapture&) = delete;

  // Blocks until the capture thread has opened the camera or failed.
  bool start(int32_t cameraIndex, int32_t width, int32_t height, int32_t fpsNumerator, int32_t fpsDenominator,
             bool convertInReader, bool mirror, std::shared_ptr<CaptureDevice> device, bool textureMode);
  // True when a frame newer than the last one taken was handed out. One consumer thread.
  bool waitFrame(cv::Mat& bgr, int32_t timeoutMs, CaptureTextureRef* texture = nullptr,
                 UINT* subresource = nullptr);
  void stop();

  HRESULT lastHresult() const { return lastHresult_.load(); }
  bool opened() const { return opened_.load(); }
  bool convertInReader() const { return convertInReader_; }
  bool textureMode() const { return textureMode_; }
  bool mirror() const { return mirror_; }

 private:
  class Sink;
  void captureThread(CameraOpenRequest request);
  // Forgets the handed-out frame and the start outcome.
  void clearFrames();
  void finishStart(bool opened);
  bool frameReady() const;

  CameraOpener opener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> opened_{false};
  std::atomic<HRESULT> lastHresult_{S_OK};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  cv::Mat nv12_;
  cv::Mat bgr_;
  CaptureTextureRef texture_;
  UINT subresource_ = 0;
  uint64_t producedSequence_ = 0;
  uint64_t consumedSequence_ = 0;
  bool startFinished_ = false;
  bool convertInReader_ = true;
  bool mirror_ = false;
  bool textureMode_ = false;
  std::shared_ptr<CaptureDevice> device_;
  StagingCache staging_;  // capture thread only
  cv::Mat takenNv12_;     // consumer only
};

// The producer's switches for the capture, read from the environment.
struct CaptureSwitches {
  bool convertInReader = true;  // TESMIRA_CAPTURE_CONVERT_IN_READER not beginning with "0"
  bool d3dTexture = false;      // TESMIRA_CAPTURE_D3D_TEXTURE beginning with "1"
};
CaptureSwitches readCaptureSwitches();

using CaptureLog = std::function<void(const std::string& line)>;

// Starts the capture for the request and logs the outcome. device: the retouch
// engine's Direct3D device, or none.
bool openPhysicalCamera(CameraCapture& capture, bool mirrorOption, const CaptureRequest& request,
                        std::shared_ptr<CaptureDevice> device, const CaptureSwitches& switches, const CaptureLog& log);

// The main loop's physical camera.
class PhysicalCameraSource final : public ICaptureSource {
 public:
  explicit PhysicalCameraSource(CaptureLog log, CameraOpener opener = mediaFoundationCameraOpener());
  bool open(const CaptureRequest& request, bool mirror, ID3D11Device* device) override;
  bool waitFrame(CameraFrame& frame, uint32_t timeoutMs) override;
  void stop() override;
  HRESULT lastHresult() const override;
  bool mirrorsInCapture() const override;

 private:
  CaptureLog log_;
  CameraCapture capture_;
};

}  // namespace tesmira
