#include <windows.h>

#include <dlfcn.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfvirtualcamera.h>
#include <winreg.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include "platform/mfdevices/tests/device_enumeration.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace {
using Microsoft::WRL::ComPtr;

constexpr wchar_t kSourceId[] = L"{0b5a3c11-2f3e-4e5d-9a61-7c2d1e0f4b21}";
const std::wstring kInproc = std::wstring(L"Software\\Classes\\CLSID\\") + kSourceId + L"\\InprocServer32";

// A module that loads but is no COM server: the layer's own library.
std::wstring moduleWithoutExports() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&MFCreateVirtualCamera), &info);
  const std::string path = info.dli_fname ? info.dli_fname : "";
  return std::wstring(path.begin(), path.end());
}

class FrameServerTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tesmira::platform::testcameras::setV4l2Discovery(false);
    ComPtr<IMFVirtualCamera> camera;
    ASSERT_EQ(MFCreateVirtualCamera(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_System,
                                    MFVirtualCameraAccess_AllUsers, L"Tesmira", kSourceId, nullptr, 0, &camera),
              S_OK);
    ASSERT_EQ(camera->Start(nullptr), S_OK);
  }
  void registerModule(const wchar_t* path, DWORD type = REG_EXPAND_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInproc.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (path) {
      ASSERT_EQ(RegSetValueExW(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(path),
                               DWORD((wcslen(path) + 1) * sizeof(wchar_t))),
                ERROR_SUCCESS);
    }
    RegCloseKey(key);
  }
  HRESULT activate() {
    const auto devices = tesmira::testing::videoCaptureDevices();
    EXPECT_EQ(devices.size(), 1u);
    HRESULT hr = E_UNEXPECTED;
    if (devices.size() == 1) {
      IMFMediaSource* source = reinterpret_cast<IMFMediaSource*>(0x1);
      hr = devices[0]->ActivateObject(__uuidof(IMFMediaSource), reinterpret_cast<void**>(&source));
      EXPECT_EQ(source, nullptr);
    }
    return hr;
  }
};

TEST_F(FrameServerTest, UnregisteredClassIsNotRegistered) { EXPECT_EQ(activate(), REGDB_E_CLASSNOTREG); }

TEST_F(FrameServerTest, ClassWithoutModulePathIsNotRegistered) {
  registerModule(nullptr);
  EXPECT_EQ(activate(), REGDB_E_CLASSNOTREG);
  registerModule(L"");
  EXPECT_EQ(activate(), REGDB_E_CLASSNOTREG);
}

TEST_F(FrameServerTest, MissingModuleFailsAsTheLoaderDoes) {
  registerModule((root() / "gone" / "tesmira_windows_vcam_source.dll").wstring().c_str());
  EXPECT_EQ(activate(), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
  ::setenv("TESMIRA_MODULE_DIR", (root() / "gone").c_str(), 1);
  registerModule(L"%TESMIRA_MODULE_DIR%/tesmira_windows_vcam_source.dll");
  EXPECT_EQ(activate(), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
}

TEST_F(FrameServerTest, ModuleWithoutClassObjectIsAnErrorInTheDll) {
  const std::wstring module = moduleWithoutExports();
  ASSERT_FALSE(module.empty());
  registerModule(module.c_str(), REG_SZ);
  EXPECT_EQ(activate(), CO_E_ERRORINDLL);
}

}  // namespace
