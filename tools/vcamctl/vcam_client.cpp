#include "tools/vcamctl/vcam_client.h"

#include <combaseapi.h>
#include <mfapi.h>
#include <mferror.h>

#include <cwctype>

namespace tesmira::vcamctl {
namespace {
using Microsoft::WRL::ComPtr;

std::wstring stringAttribute(IMFAttributes* attributes, REFGUID key) {
  WCHAR* value = nullptr;
  UINT32 length = 0;
  if (FAILED(attributes->GetAllocatedString(key, &value, &length)) || !value) return {};
  std::wstring text(value, length);
  CoTaskMemFree(value);
  return text;
}

bool sameName(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

HRESULT enumerate(std::vector<ComPtr<IMFActivate>>& devices) {
  ComPtr<IMFAttributes> query;
  HRESULT hr = MFCreateAttributes(&query, 1);
  if (SUCCEEDED(hr)) hr = query->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
  IMFActivate** array = nullptr;
  UINT32 count = 0;
  if (SUCCEEDED(hr)) hr = MFEnumDeviceSources(query.Get(), &array, &count);
  if (FAILED(hr)) return hr;
  for (UINT32 i = 0; i < count; ++i) devices.emplace_back().Attach(array[i]);
  CoTaskMemFree(array);
  return S_OK;
}

}  // namespace

HRESULT listVideoCameras(std::vector<VideoCamera>& cameras) {
  std::vector<ComPtr<IMFActivate>> devices;
  const HRESULT hr = enumerate(devices);
  for (auto& d : devices) {
    cameras.push_back({stringAttribute(d.Get(), MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME),
                       stringAttribute(d.Get(), MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK)});
  }
  return hr;
}

HRESULT findCameraByName(const std::wstring& name, IMFActivate** activate) {
  if (!activate) return E_POINTER;
  *activate = nullptr;
  std::vector<ComPtr<IMFActivate>> devices;
  const HRESULT hr = enumerate(devices);
  if (FAILED(hr)) return hr;
  for (auto& d : devices) {
    if (sameName(stringAttribute(d.Get(), MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME), name)) return d.CopyTo(activate);
  }
  return MF_E_NOT_FOUND;
}

}  // namespace tesmira::vcamctl
