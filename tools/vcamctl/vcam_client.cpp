#include "tools/vcamctl/vcam_client.h"

#include <combaseapi.h>
#include <mfapi.h>
#include <mferror.h>

#include <cwctype>

#include "common/vcam_registration.h"

namespace tesmira::vcamctl {
namespace {
using Microsoft::WRL::ComPtr;

bool sameName(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

}  // namespace

HRESULT listVideoCameras(std::vector<VideoCamera>& cameras) {
  std::vector<ComPtr<IMFActivate>> devices;
  const HRESULT hr = enumerateVideoCaptureDevices(devices);
  for (auto& d : devices) {
    cameras.push_back({getAllocatedStringAttribute(d.Get(), MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME),
                       getAllocatedStringAttribute(d.Get(), MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK)});
  }
  return hr;
}

HRESULT findCameraByName(const std::wstring& name, IMFActivate** activate) {
  if (!activate) return E_POINTER;
  *activate = nullptr;
  std::vector<ComPtr<IMFActivate>> devices;
  const HRESULT hr = enumerateVideoCaptureDevices(devices);
  if (FAILED(hr)) return hr;
  for (auto& d : devices) {
    if (sameName(getAllocatedStringAttribute(d.Get(), MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME), name)) return d.CopyTo(activate);
  }
  return MF_E_NOT_FOUND;
}

}  // namespace tesmira::vcamctl
