#pragma once
// The media source that device activation returns for a physical camera. The
// source reader reaches the camera behind it through ICameraDeviceSource:
//   ComPtr<ICameraDeviceSource> camera;
//   std::unique_ptr<cameras::ICameraDevice> device;
//   if (SUCCEEDED(source->QueryInterface(IID_PPV_ARGS(&camera)))) camera->takeDevice(device);
#include <mfidl.h>

#include "camera_device.h"

struct ICameraDeviceSource : IUnknown {
  // Hands the opened camera to the caller (once: MF_E_NOT_AVAILABLE afterwards).
  // Until then the source owns it, and its Shutdown cancels a read that waits.
  STDMETHOD(takeDevice)(std::unique_ptr<tesmira::platform::cameras::ICameraDevice>& device) = 0;
};
TESMIRA_INTERFACE_IID(ICameraDeviceSource, 0x6f1d2a47, 0x0b3e, 0x4c1a, 0x9e, 0x52, 0x7d, 0x40, 0x2b, 0x8c, 0x11, 0xa5);

namespace tesmira::platform::mfdevices {

// The MF subtype of a camera pixel format (NV12, YUY2, RGB24) and the media
// type of a mode (major type video, subtype, frame size, frame rate, progressive).
GUID subtypeOf(cameras::PixelFormat format);
HRESULT mediaTypeOf(const cameras::CameraMode& mode, IMFMediaType** type);

}  // namespace tesmira::platform::mfdevices
