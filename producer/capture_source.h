#pragma once
// The main loop's seam to the physical camera: the real capture and the test
// doubles both sit behind it.
#include <windows.h>

#include <d3d11.h>
#include <opencv2/core.hpp>
#include <wrl/client.h>

#include <cstdint>
#include <memory>

#include "common/channels.h"
#include "producer/engine/road_inputs.h"

namespace tesmira {

struct CaptureRequest {
  int32_t cameraIndex = 0;
  uint32_t width = kDefaultCaptureMode.width;
  uint32_t height = kDefaultCaptureMode.height;
  uint32_t fpsNumerator = kDefaultCaptureMode.fpsNumerator;
  uint32_t fpsDenominator = kDefaultCaptureMode.fpsDenominator;
};

class ICaptureSource {
 public:
  virtual ~ICaptureSource() = default;
  // Opens the camera for the request (logging as the producer does); false on
  // failure, with lastHresult() saying why. mirror: the producer's mirror option.
  // device: the retouch engine's Direct3D device, or none.
  virtual bool open(const CaptureRequest& request, bool mirror, ID3D11Device* device) = 0;
  // True when a frame newer than the last one taken was handed out within timeoutMs:
  // its image, and in texture mode also the camera texture (one reference) and its
  // subresource index. Whether anything is mirrored is the keeper's to say.
  virtual bool waitFrame(CameraFrame& frame, uint32_t timeoutMs) = 0;
  // Stops and releases the camera; safe when nothing runs.
  virtual void stop() = 0;
  virtual HRESULT lastHresult() const = 0;
  // Whether the frames handed out are already mirrored as requested (a camera
  // texture never is).
  virtual bool mirrorsInCapture() const = 0;
};

struct ProducerOptions;

// The physical camera. The build links exactly one definition: the camera capture
// when it is there, otherwise a source that finds no camera.
std::unique_ptr<ICaptureSource> makePhysicalCamera(const ProducerOptions& options);

}  // namespace tesmira
