#pragma once
// How an application finds a camera: the video capture devices and one of them
// by its friendly name. The frame server harness (tools/framesvr) then serves it.
#include <windows.h>

#include <mfidl.h>
#include <wrl/client.h>

#include <string>
#include <vector>

namespace tesmira::vcamctl {

struct VideoCamera {
  std::wstring friendlyName;
  std::wstring symbolicLink;
};

HRESULT listVideoCameras(std::vector<VideoCamera>& cameras);
// The first device whose friendly name equals `name` (case-insensitive);
// MF_E_NOT_FOUND when there is none.
HRESULT findCameraByName(const std::wstring& name, IMFActivate** activate);

}  // namespace tesmira::vcamctl
