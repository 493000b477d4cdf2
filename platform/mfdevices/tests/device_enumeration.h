#pragma once
// The device sources of one type, asked for the way an application asks.
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <vector>

namespace tesmira::testing {

// A failed call must leave no list behind.
inline HRESULT enumerateDevices(REFGUID type, std::vector<Microsoft::WRL::ComPtr<IMFActivate>>& out) {
  Microsoft::WRL::ComPtr<IMFAttributes> query;
  EXPECT_EQ(MFCreateAttributes(&query, 1), S_OK);
  query->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, type);
  IMFActivate** devices = reinterpret_cast<IMFActivate**>(0x1);
  UINT32 count = 7;
  const HRESULT hr = MFEnumDeviceSources(query.Get(), &devices, &count);
  if (FAILED(hr)) {
    EXPECT_EQ(devices, nullptr);
    EXPECT_EQ(count, 0u);
  }
  for (UINT32 i = 0; i < count; ++i) out.emplace_back().Attach(devices[i]);
  CoTaskMemFree(devices);
  return hr;
}

inline std::vector<Microsoft::WRL::ComPtr<IMFActivate>> videoCaptureDevices() {
  std::vector<Microsoft::WRL::ComPtr<IMFActivate>> devices;
  EXPECT_EQ(enumerateDevices(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID, devices), S_OK);
  return devices;
}

}  // namespace tesmira::testing
