#include <windows.h>

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfvirtualcamera.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/child_main.h"

#include "platform/mfdevices/tests/device_enumeration.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

extern char** environ;

namespace {
using Microsoft::WRL::ComPtr;
namespace tc = tesmira::platform::testcameras;
namespace faults = tesmira::platform::faults;

constexpr wchar_t kSourceId[] = L"{fb0afedc-9b71-404f-8154-36cc0ef0a550}";
constexpr GUID kCategories[] = {{0xe5323777, 0xf976, 0x4f5b, {0x9b, 0x55, 0xb9, 0x46, 0x99, 0xc4, 0x6e, 0x44}}};
constexpr GUID kCustomKey = {0x3fe6a436, 0xb25d, 0x45ea, {0x8e, 0x1c, 0xe3, 0x12, 0x92, 0xa9, 0xb0, 0x90}};

struct Device {
  std::wstring name, link;
  UINT32 hardware = 2;
};

std::wstring stringOf(IMFAttributes* attributes, REFGUID key) {
  WCHAR* value = nullptr;
  UINT32 length = 0;
  if (FAILED(attributes->GetAllocatedString(key, &value, &length))) return L"<none>";
  std::wstring text(value, length);
  CoTaskMemFree(value);
  return text;
}

std::vector<Device> videoDevices() {
  std::vector<Device> out;
  for (const ComPtr<IMFActivate>& device : tesmira::testing::videoCaptureDevices()) {
    Device d{stringOf(device.Get(), MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME),
             stringOf(device.Get(), MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK)};
    device->GetUINT32(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_HW_SOURCE, &d.hardware);
    out.push_back(d);
  }
  return out;
}

class VirtualCameraTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
    ::setenv("USERNAME", "alice", 1);
  }
  ComPtr<IMFVirtualCamera> create(MFVirtualCameraAccess access = MFVirtualCameraAccess_AllUsers,
                                  MFVirtualCameraLifetime lifetime = MFVirtualCameraLifetime_System) {
    ComPtr<IMFVirtualCamera> camera;
    EXPECT_EQ(MFCreateVirtualCamera(MFVirtualCameraType_SoftwareCameraSource, lifetime, access, L"Tesmira", kSourceId,
                                    kCategories, 1, &camera),
              S_OK);
    return camera;
  }
};

TEST_F(VirtualCameraTest, LoadedAtRunTimeFromMfsensorgroup) {
  HMODULE module = LoadLibraryW(L"mfsensorgroup.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, "MFCreateVirtualCamera")),
            reinterpret_cast<void*>(&MFCreateVirtualCamera));
  faults::inject("LoadLibraryW.mfsensorgroup.dll", ERROR_MOD_NOT_FOUND, 1);
  EXPECT_EQ(LoadLibraryW(L"mfsensorgroup.dll"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST_F(VirtualCameraTest, CreationRefusesBadArguments) {
  struct Case {
    const char* what;
    int type, lifetime, access;
    const wchar_t* name;
    const wchar_t* source;
    const GUID* categories;
    ULONG count;
    bool out;
    HRESULT expected;
  } cases[] = {
      {"no out pointer", 0, 1, 1, L"Tesmira", kSourceId, kCategories, 1, false, E_POINTER},
      {"unknown type", 1, 1, 1, L"Tesmira", kSourceId, kCategories, 1, true, E_INVALIDARG},
      {"unknown lifetime", 0, 2, 1, L"Tesmira", kSourceId, kCategories, 1, true, E_INVALIDARG},
      {"unknown access", 0, 1, 7, L"Tesmira", kSourceId, kCategories, 1, true, E_INVALIDARG},
      {"no name", 0, 1, 1, nullptr, kSourceId, kCategories, 1, true, E_INVALIDARG},
      {"empty name", 0, 1, 1, L"", kSourceId, kCategories, 1, true, E_INVALIDARG},
      {"no source id", 0, 1, 1, L"Tesmira", nullptr, kCategories, 1, true, E_INVALIDARG},
      {"categories missing", 0, 1, 1, L"Tesmira", kSourceId, nullptr, 3, true, E_INVALIDARG},
      {"no categories at all", 0, 1, 1, L"Tesmira", kSourceId, nullptr, 0, true, S_OK},
  };
  for (const Case& c : cases) {
    IMFVirtualCamera* camera = reinterpret_cast<IMFVirtualCamera*>(0x1);
    const HRESULT hr =
        MFCreateVirtualCamera(MFVirtualCameraType(c.type), MFVirtualCameraLifetime(c.lifetime),
                              MFVirtualCameraAccess(c.access), c.name, c.source, c.categories, c.count, c.out ? &camera : nullptr);
    EXPECT_EQ(hr, c.expected) << c.what;
    if (!c.out) continue;
    if (SUCCEEDED(hr)) {
      ASSERT_NE(camera, nullptr);
      camera->Release();
    } else {
      EXPECT_EQ(camera, nullptr) << c.what;
    }
  }
}

TEST_F(VirtualCameraTest, StartedCameraIsEnumeratedAfterThePhysicalOnesUntilRemoved) {
  tc::TestCamera physical;
  physical.friendlyName = L"USB Camera";
  const std::wstring physicalLink = tc::installTestCamera(physical);
  ComPtr<IMFVirtualCamera> camera = create();
  EXPECT_EQ(camera->AddDeviceSourceInfo(physicalLink.c_str()), S_OK);
  EXPECT_EQ(camera->SetString(kCustomKey, physicalLink.c_str()), S_OK);
  EXPECT_EQ(videoDevices().size(), 1u);  // created, not started: nothing to see yet

  ASSERT_EQ(camera->Start(nullptr), S_OK);
  const std::wstring link = stringOf(camera.Get(), MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK);
  EXPECT_EQ(link.rfind(L"\\\\?\\SWD#VCAMDEVAPI#", 0), 0u) << link.size();
  auto devices = videoDevices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].name, L"USB Camera");
  EXPECT_EQ(devices[0].hardware, 1u);
  EXPECT_EQ(devices[1].name, L"Tesmira");
  EXPECT_EQ(devices[1].link, link);
  EXPECT_EQ(devices[1].hardware, 0u);

  // System lifetime: the camera outlives the object that started it, and a new
  // object for the same camera removes it.
  camera.Reset();
  EXPECT_EQ(videoDevices().size(), 2u);
  ComPtr<IMFVirtualCamera> again;
  ASSERT_EQ(MFCreateVirtualCamera(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_System,
                                  MFVirtualCameraAccess_AllUsers, L"Tesmira", kSourceId, nullptr, 0, &again),
            S_OK);
  EXPECT_EQ(again->Remove(), S_OK);
  EXPECT_EQ(videoDevices().size(), 1u);
  EXPECT_EQ(again->Remove(), S_OK);
}

TEST_F(VirtualCameraTest, AStoredCameraOfAnotherShapeIsNoCamera) {
  ASSERT_EQ(create()->Start(nullptr), S_OK);
  const auto folder = root() / "devices" / "virtual-cameras";
  ASSERT_EQ(videoDevices().size(), 1u);
  std::filesystem::path file;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) file = entry.path();
  const std::string good = tesmira::testing::readFile(file);
  // Each replacement keeps the JSON valid but gives one field a type the store never writes.
  const std::pair<std::string, std::string> edits[] = {
      {"\"type\":", "\"type\":1e300,\"was\":"},
      {"\"access\":", "\"access\":-1,\"was\":"},
      {"\"ownerProcess\":", "\"ownerProcess\":\"1\",\"was\":"},
      {"\"lifetime\":", "\"lifetime\":true,\"was\":"},
      {"\"categories\":", "\"categories\":[5],\"was\":"},
      {"\"strings\":", "\"strings\":[],\"was\":"},
      {"\"sourceId\":", "\"sourceId\":null,\"was\":"},
  };

  for (const auto& [field, replacement] : edits) {
    SCOPED_TRACE(replacement);
    std::string text = good;
    const size_t at = text.find(field);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, field.size(), replacement);
    { std::ofstream(file, std::ios::trunc) << text; }
    EXPECT_TRUE(videoDevices().empty());
  }
  { std::ofstream(file, std::ios::trunc) << good; }
  EXPECT_EQ(videoDevices().size(), 1u);
}

TEST_F(VirtualCameraTest, CurrentUserCameraIsSeenByItsUserOnly) {
  ASSERT_EQ(create(MFVirtualCameraAccess_CurrentUser)->Start(nullptr), S_OK);
  EXPECT_EQ(videoDevices().size(), 1u);
  ::setenv("USERNAME", "bob", 1);
  EXPECT_TRUE(videoDevices().empty());
  ASSERT_EQ(create(MFVirtualCameraAccess_CurrentUser)->Start(nullptr), S_OK);
  EXPECT_EQ(videoDevices().size(), 1u);  // bob's own
  ASSERT_EQ(create(MFVirtualCameraAccess_AllUsers)->Start(nullptr), S_OK);
  EXPECT_EQ(videoDevices().size(), 2u);
}

TEST_F(VirtualCameraTest, ScriptedFailuresComeOncePerCallInOrder) {
  faults::inject("MFCreateVirtualCamera", 0x800706BA, 1);
  tc::scriptVirtualCameraFailures("MFCreateVirtualCamera", {HRESULT(0x80070015)});
  tc::scriptVirtualCameraFailures("IMFVirtualCamera::Start", {E_ACCESSDENIED, HRESULT(0x800706BE)});
  IMFVirtualCamera* raw = nullptr;
  auto createRaw = [&] {
    return MFCreateVirtualCamera(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_System,
                                 MFVirtualCameraAccess_AllUsers, L"Tesmira", kSourceId, nullptr, 0, &raw);
  };
  EXPECT_EQ(createRaw(), HRESULT(0x800706BA));  // injected in-process first
  EXPECT_EQ(createRaw(), HRESULT(0x80070015));  // then the machine's queue
  ASSERT_EQ(createRaw(), S_OK);
  ComPtr<IMFVirtualCamera> camera;
  camera.Attach(raw);
  EXPECT_EQ(camera->Start(nullptr), E_ACCESSDENIED);
  EXPECT_EQ(camera->Start(nullptr), HRESULT(0x800706BE));
  EXPECT_TRUE(videoDevices().empty());
  EXPECT_EQ(camera->Start(nullptr), S_OK);
  EXPECT_EQ(videoDevices().size(), 1u);
}

// Starts a camera of the given lifetime and ends the process.
TESMIRA_CHILD_MAIN(startCameraAndExit) {
  const auto lifetime = args.at(0) == "system" ? MFVirtualCameraLifetime_System : MFVirtualCameraLifetime_Session;
  ComPtr<IMFVirtualCamera> camera;
  if (FAILED(MFCreateVirtualCamera(MFVirtualCameraType_SoftwareCameraSource, lifetime, MFVirtualCameraAccess_AllUsers,
                                   L"Tesmira", args.at(0) == "system" ? kSourceId : L"{00000000-0000-0000-0000-00000000000f}",
                                   nullptr, 0, &camera)) ||
      FAILED(camera->Start(nullptr))) {
    return 1;
  }
  return 0;
}

TEST_F(VirtualCameraTest, SessionCameraEndsWithItsProcessSystemCameraStays) {
  for (const char* lifetime : {"session", "system"}) {
    auto argv = tesmira::testing::childArgv("startCameraAndExit", {lifetime});
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, cargv[0], nullptr, nullptr, cargv.data(), environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << lifetime;
  }
  const auto devices = videoDevices();
  ASSERT_EQ(devices.size(), 1u);  // the session camera went with its process
  EXPECT_EQ(devices[0].name, L"Tesmira");
}

TEST_F(VirtualCameraTest, ShutdownEndsTheObject) {
  ComPtr<IMFVirtualCamera> camera = create();
  EXPECT_EQ(camera->Shutdown(), S_OK);
  EXPECT_EQ(camera->Start(nullptr), MF_E_SHUTDOWN);
  EXPECT_EQ(camera->AddDeviceSourceInfo(L"\\\\?\\usb#x"), MF_E_SHUTDOWN);
  EXPECT_EQ(camera->Remove(), MF_E_SHUTDOWN);
  EXPECT_EQ(camera->AddDeviceSourceInfo(nullptr), E_POINTER);
}

TEST_F(VirtualCameraTest, QueryInterfaceAnswersItsChain) {
  ComPtr<IMFVirtualCamera> camera = create();
  ComPtr<IMFAttributes> attributes;
  EXPECT_EQ(camera->QueryInterface(IID_PPV_ARGS(&attributes)), S_OK);
  EXPECT_EQ(static_cast<IMFAttributes*>(camera.Get()), attributes.Get());
  ComPtr<IMFActivate> activate;
  EXPECT_EQ(camera->QueryInterface(IID_PPV_ARGS(&activate)), E_NOINTERFACE);
  EXPECT_EQ(activate.Get(), nullptr);
}

}  // namespace
