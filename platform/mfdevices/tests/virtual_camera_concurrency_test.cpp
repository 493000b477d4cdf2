#include <windows.h>

#include <mfapi.h>
#include <mfidl.h>
#include <mfvirtualcamera.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/mfdevices/tests/device_enumeration.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace {
using Microsoft::WRL::ComPtr;
using tesmira::testing::enumerateDevices;

// Cameras started and removed on some threads while others enumerate: every
// enumeration sees whole cameras only, and the list settles to what is left.
using VirtualCameraConcurrency = tesmira::testing::MachineTest;

TEST_F(VirtualCameraConcurrency, EnumerationDuringStartAndRemoveSeesWholeCameras) {
  tesmira::platform::testcameras::setV4l2Discovery(false);
  const wchar_t* ids[] = {L"{00000001-0000-0000-0000-000000000001}", L"{00000002-0000-0000-0000-000000000002}",
                          L"{00000003-0000-0000-0000-000000000003}"};
  std::atomic<bool> stop{false};
  std::atomic<int> broken{0};
  std::vector<std::thread> threads;
  for (const wchar_t* id : ids) {
    threads.emplace_back([&, id] {
      for (int round = 0; round < 40; ++round) {
        ComPtr<IMFVirtualCamera> camera;
        if (FAILED(MFCreateVirtualCamera(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_System,
                                         MFVirtualCameraAccess_AllUsers, L"Tesmira", id, nullptr, 0, &camera))) {
          ++broken;
          continue;
        }
        camera->SetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, L"ignored");
        if (FAILED(camera->Start(nullptr))) ++broken;
        if (round % 2 == 0 && FAILED(camera->Remove())) ++broken;
      }
    });
  }
  for (int reader = 0; reader < 2; ++reader) {
    threads.emplace_back([&] {
      while (!stop) {
        std::vector<ComPtr<IMFActivate>> devices;
        if (FAILED(enumerateDevices(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID, devices)) || devices.size() > 3) {
          ++broken;
        }
        for (const ComPtr<IMFActivate>& device : devices) {
          WCHAR* name = nullptr;
          UINT32 length = 0;
          if (FAILED(device->GetAllocatedString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, &name, &length)) ||
              std::wstring(name, length) != L"Tesmira") {
            ++broken;
          }
          CoTaskMemFree(name);
        }
      }
    });
  }
  for (size_t i = 0; i < std::size(ids); ++i) threads[i].join();
  stop = true;
  for (size_t i = std::size(ids); i < threads.size(); ++i) threads[i].join();
  EXPECT_EQ(broken, 0);
  // Each camera's last round started it and left it.
  std::vector<ComPtr<IMFActivate>> devices;
  ASSERT_EQ(enumerateDevices(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID, devices), S_OK);
  EXPECT_EQ(devices.size(), 3u);
}

}  // namespace
