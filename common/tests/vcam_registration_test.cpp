#include "common/vcam_registration.h"

#include <objbase.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfvirtualcamera.h>
#include <winreg.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "common/error_text.h"
#include "common/file_log.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace {
namespace fs = std::filesystem;
using namespace tesmira;
namespace faults = tesmira::platform::faults;
namespace testclock = tesmira::platform::testclock;
namespace tc = tesmira::platform::testcameras;

std::string platformToUtf8(const std::wstring& wide) {
  std::string out;
  for (wchar_t wc : wide) {
    const uint32_t c = uint32_t(wc);
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6)), out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12)), out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18)), out += char(0x80 | ((c >> 12) & 0x3F)), out += char(0x80 | ((c >> 6) & 0x3F)),
          out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring platformFromUtf8(const std::string& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char b = text[i];
    const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    uint32_t c = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < text.size(); ++k) c = (c << 6) | (text[i + k] & 0x3F);
    out += wchar_t(c);
    i += extra + 1;
  }
  return out;
}

constexpr wchar_t kClsidKey[] = L"Software\\Classes\\CLSID\\{fb0afedc-9b71-404f-8154-36cc0ef0a550}";

// Log messages without their time stamps ("YYYY-mm-dd HH:MM:SS ").
std::vector<std::wstring> logLines() {
  std::ifstream in(serviceLogPath());
  std::vector<std::wstring> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > 20) lines.push_back(platformFromUtf8(line.substr(20)));
  }
  return lines;
}

struct RegValue {
  DWORD type = 0;
  std::vector<uint8_t> bytes;
};

RegValue readValue(const std::wstring& subKey, const wchar_t* name) {
  RegValue value;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &bytes) == ERROR_SUCCESS) {
    value.bytes.resize(bytes);
    RegQueryValueExW(key, name, nullptr, &value.type, value.bytes.data(), &bytes);
  }
  RegCloseKey(key);
  return value;
}

std::vector<uint8_t> wideBytes(const std::wstring& text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.c_str());
  return std::vector<uint8_t>(p, p + (text.size() + 1) * sizeof(wchar_t));
}

bool clsidKeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClsidKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

class VcamRegistrationTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
    dll_ = root() / "Vcam" / "tesmira_windows_vcam_source.dll";
    fs::create_directories(dll_.parent_path());
    std::ofstream(dll_) << "module";
  }
  VcamRegistrationOptions options() const { return {dll_.wstring(), 1, 1}; }
  // The stored virtual cameras of the machine, as the layer keeps them.
  std::vector<nlohmann::json> storedCameras() const {
    std::vector<nlohmann::json> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root() / "devices" / "virtual-cameras", ec)) {
      if (entry.path().extension() != ".json") continue;
      std::ifstream in(entry.path());
      out.push_back(nlohmann::json::parse(in));
    }
    return out;
  }
  fs::path dll_;
};

TEST_F(VcamRegistrationTest, RegistersTheClassInHklmByteForByte) {
  const fs::path cwd = fs::current_path();
  fs::current_path(root());
  const HRESULT hr = registerComServer(L"Vcam/tesmira_windows_vcam_source.dll");  // made absolute
  fs::current_path(cwd);
  ASSERT_EQ(hr, S_OK);
  const RegValue name = readValue(kClsidKey, nullptr);
  EXPECT_EQ(name.type, DWORD(REG_SZ));
  EXPECT_EQ(name.bytes, wideBytes(L"Tesmira Retouch Media Source"));
  const std::wstring inproc = std::wstring(kClsidKey) + L"\\InprocServer32";
  const RegValue path = readValue(inproc, nullptr);
  EXPECT_EQ(path.type, DWORD(REG_EXPAND_SZ));
  EXPECT_EQ(path.bytes, wideBytes(dll_.wstring()));
  const RegValue model = readValue(inproc, L"ThreadingModel");
  EXPECT_EQ(model.type, DWORD(REG_SZ));
  EXPECT_EQ(model.bytes, wideBytes(L"Both"));
  EXPECT_EQ(lastFailureDetail(), L"");
  EXPECT_TRUE(logLines().empty());
}

TEST_F(VcamRegistrationTest, MissingDllWritesNoKey) {
  const std::wstring missing = (root() / "nowhere" / "x.dll").wstring();
  EXPECT_EQ(registerComServer(missing), HRESULT(0x80070002));
  EXPECT_FALSE(clsidKeyExists());
  const std::wstring message = L"Media source DLL does not exist: " + missing;
  EXPECT_EQ(lastFailureDetail(), message);
  EXPECT_EQ(logLines(), (std::vector<std::wstring>{message, message + L" failed: " + hresultToText(0x80070002)}));
  // ensureVirtualCamera stops there too, and creates no camera.
  EXPECT_EQ(ensureVirtualCamera({missing, 1, 1}), HRESULT(0x80070002));
  EXPECT_TRUE(storedCameras().empty());
}

TEST_F(VcamRegistrationTest, EmptyDllPathIsAMissingDll) {
  EXPECT_EQ(registerComServer(L""), HRESULT(0x80070002));
  EXPECT_EQ(lastFailureDetail(), L"Media source DLL does not exist: ");
  EXPECT_FALSE(clsidKeyExists());
}

TEST_F(VcamRegistrationTest, RefusedHklmNamesTheKeyInTheFailure) {
  faults::inject("Registry.HKLM", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(registerComServer(dll_.wstring()), E_ACCESSDENIED);
  const std::wstring step = std::wstring(L"Create HKLM COM CLSID key ") + kClsidKey;
  EXPECT_EQ(lastFailureDetail(), step);
  EXPECT_EQ(logLines(), (std::vector<std::wstring>{step + L" failed: " + hresultToText(E_ACCESSDENIED)}));
  EXPECT_FALSE(clsidKeyExists());
}

TEST_F(VcamRegistrationTest, UnregisterTwice) {
  ASSERT_EQ(registerComServer(dll_.wstring()), S_OK);
  EXPECT_EQ(unregisterComServer(), S_OK);
  EXPECT_FALSE(clsidKeyExists());
  EXPECT_EQ(unregisterComServer(), HRESULT(0x80070002));
}

// ---- ensureVirtualCamera and its retries -------------------------------------

struct RetryCase {
  const char* name;
  std::vector<HRESULT> createFailures;
  std::vector<HRESULT> startFailures;
  HRESULT expected;
  std::wstring detail;
  std::vector<std::wstring> log;
};

class EnsureRetryTest : public VcamRegistrationTest, public ::testing::WithParamInterface<RetryCase> {};

const DWORD kDelays[] = {1000, 2000, 3000, 5000};
const std::wstring kNoCamera = L"No physical camera was available during virtual camera registration.";
const std::wstring kCreate = L"MFCreateVirtualCamera";
const std::wstring kStart = L"IMFVirtualCamera::Start";
const HRESULT kRpcUnavailable = HRESULT(0x800706BA);
const HRESULT kNotReady = HRESULT(0x80070015);

std::wstring retry(const std::wstring& step, HRESULT hr, int attempt) {
  return step + L" failed transiently (" + hresultToText(hr) + L"), retrying in " + std::to_wstring(kDelays[attempt - 1]) +
         L" ms (attempt " + std::to_wstring(attempt) + L"/5) \u2014 the Camera Frame Server was likely still starting";
}
std::wstring failed(const std::wstring& step, HRESULT hr) { return step + L" failed: " + hresultToText(hr); }
std::wstring succeeded(int attempt) {
  return L"Virtual camera registration succeeded on attempt " + std::to_wstring(attempt);
}

TEST_P(EnsureRetryTest, RetriesTransientFailuresWithTheirWaits) {
  const RetryCase& c = GetParam();
  tc::scriptVirtualCameraFailures("MFCreateVirtualCamera", c.createFailures);
  tc::scriptVirtualCameraFailures("IMFVirtualCamera::Start", c.startFailures);
  testclock::freeze();
  const ULONGLONG started = GetTickCount64();
  std::atomic<bool> done{false};
  HRESULT result = E_UNEXPECTED;
  std::wstring detail = L"<unset>";
  std::thread worker([&] {
    result = ensureVirtualCamera(options());
    detail = lastFailureDetail();
    done = true;
  });
  // The clock moves only when a retry line says how long the call now waits and the
  // call sleeps on it, so the next attempt can only come once that wait is over.
  size_t retries = 0;
  ULONGLONG waited = 0;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done && std::chrono::steady_clock::now() < giveUp) {
    size_t seen = 0;
    for (const auto& line : logLines()) seen += line.find(L"failed transiently") != std::wstring::npos;
    if (seen > retries && testclock::sleepers() > 0) {
      ASSERT_EQ(seen, retries + 1) << "a retry came before its wait was over";
      testclock::advanceMs(kDelays[retries]);
      waited += kDelays[retries];
      ++retries;
    }
    std::this_thread::yield();
  }
  worker.join();
  EXPECT_EQ(result, c.expected);
  EXPECT_EQ(detail, c.detail);
  EXPECT_EQ(logLines(), c.log);
  EXPECT_EQ(GetTickCount64() - started, waited);
  EXPECT_EQ(storedCameras().size(), SUCCEEDED(c.expected) ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EnsureRetryTest,
    ::testing::Values(
        RetryCase{"first_try", {}, {}, S_OK, L"", {kNoCamera}},
        RetryCase{"four_transient_then_success",
                  {kRpcUnavailable, kRpcUnavailable, kRpcUnavailable, kRpcUnavailable},
                  {},
                  S_OK,
                  L"",
                  {retry(kCreate, kRpcUnavailable, 1), retry(kCreate, kRpcUnavailable, 2),
                   retry(kCreate, kRpcUnavailable, 3), retry(kCreate, kRpcUnavailable, 4), kNoCamera, succeeded(5)}},
        RetryCase{"five_transient_failures",
                  {kRpcUnavailable, kNotReady, kRpcUnavailable, kRpcUnavailable, kNotReady},
                  {},
                  kNotReady,
                  kCreate,
                  {retry(kCreate, kRpcUnavailable, 1), retry(kCreate, kNotReady, 2), retry(kCreate, kRpcUnavailable, 3),
                   retry(kCreate, kRpcUnavailable, 4), failed(kCreate, kNotReady)}},
        RetryCase{"start_access_denied_not_retried",
                  {},
                  {E_ACCESSDENIED},
                  E_ACCESSDENIED,
                  kStart,
                  {kNoCamera, failed(kStart, E_ACCESSDENIED)}},
        RetryCase{"non_transient_creation_failure", {E_INVALIDARG}, {}, E_INVALIDARG, kCreate, {failed(kCreate, E_INVALIDARG)}},
        RetryCase{"start_transient_then_success",
                  {},
                  {HRESULT(0x800706BE)},
                  S_OK,
                  L"",
                  {kNoCamera, retry(kStart, HRESULT(0x800706BE), 1), kNoCamera, succeeded(2)}},
        RetryCase{"creation_then_start_transient",
                  {HRESULT(0x80070426)},
                  {HRESULT(0x800706D9), HRESULT(0x800706BF)},
                  S_OK,
                  L"",
                  {retry(kCreate, HRESULT(0x80070426), 1), kNoCamera, retry(kStart, HRESULT(0x800706D9), 2), kNoCamera,
                   retry(kStart, HRESULT(0x800706BF), 3), kNoCamera, succeeded(4)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VcamRegistrationTest, MissingVirtualCameraLibraryFailsWithTheLongStep) {
  faults::inject("LoadLibraryW.mfsensorgroup.dll", ERROR_MOD_NOT_FOUND, 1);
  const std::wstring step =
      L"Load MFCreateVirtualCamera from mfsensorgroup.dll. Windows build 22000+ is required for this registration path";
  EXPECT_EQ(ensureVirtualCamera(options()), HRESULT(0x8007007E));
  EXPECT_EQ(lastFailureDetail(), step);
  EXPECT_EQ(logLines().back(), step + L" failed: " + hresultToText(HRESULT(0x8007007E)));
  EXPECT_TRUE(clsidKeyExists());  // the class was registered before
  EXPECT_TRUE(storedCameras().empty());
}

TEST_F(VcamRegistrationTest, AssociatesThePreferredCameraAndStoresTheFolder) {
  tc::TestCamera usb, front, integrated;
  usb.friendlyName = L"USB Camera";
  front.friendlyName = L"HD Front Camera";
  integrated.friendlyName = L"Integrated Webcam";
  tc::installTestCamera(usb, 1);
  const std::wstring frontLink = tc::installTestCamera(front, 2);
  tc::installTestCamera(integrated, 3);
  std::wstring link;
  ASSERT_EQ(ensureVirtualCamera(options(), &link), S_OK);
  EXPECT_EQ(logLines(), (std::vector<std::wstring>{L"Associated physical camera: HD Front Camera"}));
  const auto cameras = storedCameras();
  ASSERT_EQ(cameras.size(), 1u);
  EXPECT_EQ(cameras[0]["friendlyName"], "Tesmira");
  EXPECT_EQ(cameras[0]["sourceId"], "{fb0afedc-9b71-404f-8154-36cc0ef0a550}");
  EXPECT_EQ(cameras[0]["access"], 1);
  EXPECT_EQ(cameras[0]["lifetime"], 1);
  EXPECT_EQ(cameras[0]["categories"],
            nlohmann::json({"{e5323777-f976-4f5b-9b55-b94699c46e44}", "{6994ad05-93ef-11d0-a3cc-00a0c9223196}",
                            "{65e8773d-8f56-11d0-a3b9-00a0c9223196}"}));
  const std::string front8 = platformToUtf8(frontLink);
  EXPECT_EQ(cameras[0]["deviceSources"], nlohmann::json({front8}));
  EXPECT_EQ(cameras[0]["strings"]["{3fe6a436-b25d-45ea-8e1c-e31292a9b090}"], front8);
  EXPECT_EQ(cameras[0]["strings"]["{39fb8338-7d42-4efb-9027-e3fca8907224}"], dll_.parent_path().string());
  EXPECT_EQ(platformFromUtf8(cameras[0]["symbolicLink"].get<std::string>()), link);
  // Ours in the device list now, so never offered as the physical camera.
  const auto raw = listCamerasRaw();
  ASSERT_EQ(raw.size(), 4u);
  EXPECT_EQ(raw[3].friendlyName, L"Tesmira");
  EXPECT_TRUE(raw[3].ours);
  EXPECT_EQ(listPhysicalCameras().size(), 3u);
}

TEST_F(VcamRegistrationTest, NoPhysicalCameraStillRegistersWithoutAssociation) {
  ASSERT_EQ(ensureVirtualCamera(options()), S_OK);
  EXPECT_EQ(logLines(),
            (std::vector<std::wstring>{L"No physical camera was available during virtual camera registration."}));
  const auto cameras = storedCameras();
  ASSERT_EQ(cameras.size(), 1u);
  EXPECT_TRUE(cameras[0]["deviceSources"].empty());
  EXPECT_FALSE(cameras[0]["strings"].contains("{3fe6a436-b25d-45ea-8e1c-e31292a9b090}"));
  EXPECT_TRUE(cameras[0]["strings"].contains("{39fb8338-7d42-4efb-9027-e3fca8907224}"));
}

TEST_F(VcamRegistrationTest, RefusedAssociationIsLoggedAndRegistrationGoesOn) {
  tc::installTestCamera(tc::TestCamera{});
  tc::scriptVirtualCameraFailures("IMFVirtualCamera::AddDeviceSourceInfo", {E_INVALIDARG});
  ASSERT_EQ(ensureVirtualCamera(options()), S_OK);
  EXPECT_EQ(logLines(), (std::vector<std::wstring>{L"AddDeviceSourceInfo failed: " + hresultToText(E_INVALIDARG),
                                                   L"Associated physical camera: Test Camera"}));
}

TEST_F(VcamRegistrationTest, CurrentUserCameraAndRemoval) {
  ASSERT_EQ(ensureVirtualCamera({dll_.wstring(), 0, 0}), S_OK);
  EXPECT_FALSE(clsidKeyExists());  // register-COM flag off
  ASSERT_EQ(storedCameras().size(), 1u);
  EXPECT_EQ(storedCameras()[0]["access"], 0);
  EXPECT_EQ(removeVirtualCamera(1), S_OK);  // another camera's identity: ours stays
  EXPECT_EQ(storedCameras().size(), 1u);
  EXPECT_EQ(removeVirtualCamera(0), S_OK);
  EXPECT_TRUE(storedCameras().empty());
  EXPECT_TRUE(listCamerasRaw().empty());
  faults::inject("LoadLibraryW.mfsensorgroup.dll", ERROR_MOD_NOT_FOUND, 1);
  EXPECT_EQ(removeVirtualCamera(0), HRESULT(0x8007007E));
  EXPECT_TRUE(logLines().size() == 1);  // removal logs nothing
}

// ---- device lists ------------------------------------------------------------

TEST(PreferredCamera, FirstNameWithAPreferredWordWins) {
  struct Case {
    std::vector<std::wstring> names;
    int chosen;  // -1: none
  } cases[] = {
      {{L"USB Camera", L"HD Front Camera", L"Integrated Webcam"}, 1},
      {{L"USB Camera", L"Integrated Webcam", L"HD Front Camera"}, 1},
      {{L"FaceTime HD Camera", L"Front"}, 0},
      {{L"INTEGRATED camera"}, 0},
      {{L"USB Camera", L"Logitech C920"}, -1},
      {{}, -1},
      {{L"Frontier", L"Rear"}, 0},  // a word inside another still counts
  };
  for (const Case& c : cases) {
    std::vector<CameraDevice> list;
    for (const auto& n : c.names) list.push_back({n, L"\\\\?\\usb#" + n});
    const auto it = choosePreferredCamera(list);
    EXPECT_EQ(it == list.end() ? -1 : int(it - list.begin()), c.chosen) << c.names.size();
  }
}

TEST(OwnVirtualCamera, NameOrLinkGiveItAway) {
  struct Case {
    const wchar_t* name;
    const wchar_t* link;
    bool ours;
  } cases[] = {
      {L"Tesmira", L"\\\\?\\swd#vcamdevapi#1", true},
      {L"My TESMIRA cam", L"\\\\?\\usb#1", true},
      {L"USB Camera", L"\\\\?\\root#TesMira#0", true},
      {L"Windows Virtual Camera", L"\\\\?\\swd#2", true},
      {L"windows VIRTUAL camera (2)", L"", true},
      {L"Virtual Camera", L"\\\\?\\swd#3", false},
      {L"Integrated Webcam", L"\\\\?\\usb#vid_04f2", false},
      {L"", L"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isOwnVirtualCamera({c.name, c.link}), c.ours) << platformToUtf8(c.name);
}

TEST_F(VcamRegistrationTest, RawListNamesUnnamedCamerasAndFlagsOurs) {
  tc::TestCamera unnamed, ours, real;
  unnamed.friendlyName = L"";
  ours.friendlyName = L"Windows Virtual Camera";
  real.friendlyName = L"USB Camera";
  real.symbolicLink = L"\\\\?\\usb#tesmira-lab#0";  // ours by its link
  tc::installTestCamera(unnamed, 1);
  tc::installTestCamera(ours, 2);
  tc::installTestCamera(real, 3);
  const auto raw = listCamerasRaw();
  ASSERT_EQ(raw.size(), 3u);
  EXPECT_EQ(raw[0].index, 0u);
  EXPECT_EQ(raw[0].friendlyName, L"(unnamed camera)");
  EXPECT_FALSE(raw[0].ours);
  EXPECT_EQ(raw[1].index, 1u);
  EXPECT_TRUE(raw[1].ours);
  EXPECT_EQ(raw[2].index, 2u);
  EXPECT_TRUE(raw[2].ours);
  const auto physical = listPhysicalCameras();
  ASSERT_EQ(physical.size(), 1u);
  EXPECT_EQ(physical[0].friendlyName, L"");
}

TEST_F(VcamRegistrationTest, EnumerationFailureGivesEmptyLists) {
  tc::installTestCamera(tc::TestCamera{});
  faults::inject("MFEnumDeviceSources", HRESULT(0x80070005), 2);
  EXPECT_TRUE(listPhysicalCameras().empty());
  EXPECT_TRUE(listCamerasRaw().empty());
  EXPECT_EQ(listPhysicalCameras().size(), 1u);
}

// ---- apartment and failure detail ----------------------------------------------

TEST(ComApartmentGuard, NestedGuardsLeaveNoApartmentBehind) {
  {
    ComApartmentGuard outer;
    EXPECT_EQ(outer.result(), S_OK);
    {
      ComApartmentGuard inner;
      EXPECT_EQ(inner.result(), S_FALSE);
      ComApartmentGuard innermost;
      EXPECT_EQ(innermost.result(), S_FALSE);
    }
  }
  // Every reference was given back: the thread enters afresh.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  CoUninitialize();
}

TEST(ComApartmentGuard, AnotherApartmentIsLeftAlone) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  {
    ComApartmentGuard guard;
    EXPECT_EQ(guard.result(), RPC_E_CHANGED_MODE);
  }
  // Still in the single-threaded apartment we entered ourselves.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  CoUninitialize();
}

TEST_F(VcamRegistrationTest, FailureDetailIsPerThread) {
  EXPECT_EQ(logStepFailure(L"Step A", E_FAIL), E_FAIL);
  std::wstring other = L"<unset>";
  std::thread([&] { other = lastFailureDetail(); }).join();
  EXPECT_EQ(other, L"");
  EXPECT_EQ(lastFailureDetail(), L"Step A");
  EXPECT_EQ(logLines(), (std::vector<std::wstring>{L"Step A failed: " + hresultToText(E_FAIL)}));
}

}  // namespace
