#include "common/vcam_registration.h"

#include <objbase.h>
#include <mfapi.h>
#include <mfidl.h>

#include <filesystem>

#include "common/com_ownership.h"
#include "common/error_text.h"
#include "common/file_log.h"
#include "common/hresult.h"
#include "common/sdk_compat.h"
#include "common/text_search.h"

namespace tesmira {
namespace {

constexpr const wchar_t* kClsidKeyPath = L"Software\\Classes\\CLSID\\{fb0afedc-9b71-404f-8154-36cc0ef0a550}";
constexpr const wchar_t* kLoadStep =
    L"Load MFCreateVirtualCamera from mfsensorgroup.dll. Windows build 22000+ is required for this registration path";

// KSCATEGORY_VIDEO_CAMERA, KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE, in this order.
constexpr GUID kCategories[] = {
    {0xe5323777, 0xf976, 0x4f5b, {0x9b, 0x55, 0xb9, 0x46, 0x99, 0xc4, 0x6e, 0x44}},
    {0x6994ad05, 0x93ef, 0x11d0, {0xa3, 0xcc, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}},
    {0x65e8773d, 0x8f56, 0x11d0, {0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}},
};

constexpr DWORD kRetryDelaysMs[] = {1000, 2000, 3000, 5000};
constexpr int kMaxAttempts = 5;
constexpr HRESULT kTransientHresults[] = {HRESULT(0x800706BA), HRESULT(0x800706BE), HRESULT(0x800706BF),
                                          HRESULT(0x800706D9), HRESULT(0x80070015), HRESULT(0x80070426)};

using CreateVirtualCameraFn = HRESULT(WINAPI*)(MFVirtualCameraType, MFVirtualCameraLifetime, MFVirtualCameraAccess,
                                               LPCWSTR, LPCWSTR, const GUID*, ULONG, IMFVirtualCamera**);

thread_local std::wstring tFailureDetail;

bool isTransient(HRESULT hr) {
  for (HRESULT t : kTransientHresults) {
    if (hr == t) return true;
  }
  return false;
}

// GetLastError as an HRESULT; a failed call that left no code still counts as failed.
HRESULT lastErrorHresult() {
  const DWORD error = GetLastError();
  return error ? win32ToHresult(LONG(error)) : E_FAIL;
}

// Never freed: the function stays callable for the life of the process.
HRESULT loadCreateVirtualCamera(CreateVirtualCameraFn& create) {
  HMODULE module = LoadLibraryW(L"mfsensorgroup.dll");
  if (!module) return lastErrorHresult();
  create = reinterpret_cast<CreateVirtualCameraFn>(reinterpret_cast<void*>(GetProcAddress(module, "MFCreateVirtualCamera")));
  return create ? S_OK : lastErrorHresult();
}

MFVirtualCameraAccess accessFor(int32_t allUsers) {
  return allUsers == 1 ? MFVirtualCameraAccess_AllUsers : MFVirtualCameraAccess_CurrentUser;
}

// An empty path has no absolute form; it stays empty and so does not exist.
std::filesystem::path absolutePath(const std::wstring& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ec ? std::filesystem::path(path) : absolute;
}

template <typename T>
void release(T*& object) {
  if (object) object->Release();
  object = nullptr;
}

// Every video capture device in the system's order; false when any step fails.
bool enumerateVideoDevices(std::vector<CameraDevice>& devices) {
  ComApartmentGuard com;
  if (FAILED(MFStartup(MF_VERSION, MFSTARTUP_FULL))) return false;
  std::vector<Microsoft::WRL::ComPtr<IMFActivate>> activates;
  const bool ok = SUCCEEDED(enumerateVideoCaptureDevices(activates));
  for (const auto& activate : activates) {
    devices.push_back({getAllocatedStringAttribute(activate.Get(), MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME),
                       getAllocatedStringAttribute(activate.Get(), MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK)});
  }
  activates.clear();
  MFShutdown();
  return ok;
}

// One attempt of ensureVirtualCamera: creation, association, attributes, start.
HRESULT createAndStart(CreateVirtualCameraFn create, const VcamRegistrationOptions& options,
                       const std::filesystem::path& dllPath, int attempt, std::wstring* symbolicLink,
                       std::wstring& step) {
  step = L"MFCreateVirtualCamera";
  IMFVirtualCamera* camera = nullptr;
  HRESULT hr = create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_System,
                      accessFor(options.allUsers), kVirtualCameraFriendlyName, kMediaSourceClsidText, kCategories,
                      ULONG(std::size(kCategories)), &camera);
  if (SUCCEEDED(hr)) {
    const std::vector<CameraDevice> physical = listPhysicalCameras();
    if (physical.empty()) {
      appendLogLine(L"No physical camera was available during virtual camera registration.");
    } else {
      auto chosen = choosePreferredCamera(physical);
      if (chosen == physical.end()) chosen = physical.begin();
      const HRESULT added = camera->AddDeviceSourceInfo(chosen->symbolicLink.c_str());
      if (FAILED(added)) appendLogLine(failureText(L"AddDeviceSourceInfo", added));
      camera->SetString(VCAM_ATTR_PHYSICAL_CAMERA_LINK, chosen->symbolicLink.c_str());
      appendLogLine(L"Associated physical camera: " + chosen->friendlyName);
    }
    camera->SetString(VCAM_ATTR_MEDIA_SOURCE_FOLDER, dllPath.parent_path().wstring().c_str());
    hr = camera->Start(nullptr);
    if (SUCCEEDED(hr)) {
      if (attempt > 1) appendLogLine(L"Virtual camera registration succeeded on attempt " + std::to_wstring(attempt));
      if (symbolicLink) {
        *symbolicLink = getAllocatedStringAttribute(camera, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK);
      }
      tFailureDetail.clear();
      release(camera);
      return S_OK;
    }
    step = L"IMFVirtualCamera::Start";
  }
  release(camera);
  return hr;
}

}  // namespace

ComApartmentGuard::ComApartmentGuard() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}

ComApartmentGuard::~ComApartmentGuard() {
  // S_FALSE took a reference too; RPC_E_CHANGED_MODE and failures took none.
  if (SUCCEEDED(result_)) CoUninitialize();
}

HRESULT logStepFailure(const std::wstring& step, HRESULT hr) {
  tFailureDetail = step;
  appendLogLine(failureText(step, hr));
  return hr;
}

std::wstring lastFailureDetail() { return tFailureDetail; }

HRESULT registerComServer(const std::wstring& dllPath) {
  tFailureDetail.clear();
  const std::filesystem::path absolute = absolutePath(dllPath);
  std::error_code ec;
  const bool present = std::filesystem::exists(absolute, ec);
  if (ec) throw std::filesystem::filesystem_error("exists", absolute, ec);
  if (!present) {
    const std::wstring message = L"Media source DLL does not exist: " + absolute.wstring();
    appendLogLine(message);
    return logStepFailure(message, HRESULT(0x80070002));
  }

  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kClsidKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    return logStepFailure(std::wstring(L"Create HKLM COM CLSID key ") + kClsidKeyPath, win32ToHresult(status));
  }
  status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(kMediaSourceClassName),
                          DWORD((std::wcslen(kMediaSourceClassName) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return logStepFailure(L"Write HKLM COM CLSID default value", win32ToHresult(status));

  status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kClsidKeyPath) + L"\\InprocServer32").c_str(), 0,
                           nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return logStepFailure(L"Create HKLM InprocServer32 key", win32ToHresult(status));
  const std::wstring path = absolute.wstring();
  status = RegSetValueExW(key, nullptr, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                          DWORD((path.size() + 1) * sizeof(wchar_t)));
  if (status == ERROR_SUCCESS) {
    static constexpr wchar_t kBoth[] = L"Both";
    status = RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(kBoth), sizeof kBoth);
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return logStepFailure(L"Write HKLM InprocServer32 values", win32ToHresult(status));
  return S_OK;
}

HRESULT ensureVirtualCamera(const VcamRegistrationOptions& options, std::wstring* symbolicLink) {
  tFailureDetail.clear();
  if (options.registerCom) RETURN_IF_FAILED(registerComServer(options.dllPath));
  ComApartmentGuard com;
  HRESULT hr = MFStartup(MF_VERSION, MFSTARTUP_FULL);
  if (FAILED(hr)) return logStepFailure(L"Media Foundation startup", hr);

  CreateVirtualCameraFn create = nullptr;
  hr = loadCreateVirtualCamera(create);
  if (FAILED(hr)) {
    hr = logStepFailure(kLoadStep, hr);
  } else {
    const std::filesystem::path dllPath = absolutePath(options.dllPath);
    for (int attempt = 1;; ++attempt) {
      std::wstring step;
      hr = createAndStart(create, options, dllPath, attempt, symbolicLink, step);
      if (SUCCEEDED(hr)) break;
      if (attempt == kMaxAttempts || !isTransient(hr)) {
        hr = logStepFailure(step, hr);
        break;
      }
      const DWORD delay = kRetryDelaysMs[attempt - 1];
      // The wait is counted from before the log line, so it is the delay however long logging takes.
      const ULONGLONG retryAt = GetTickCount64() + delay;
      appendLogLine(step + L" failed transiently (" + hresultToText(hr) + L"), retrying in " + std::to_wstring(delay) +
                    L" ms (attempt " + std::to_wstring(attempt) + L"/5) \u2014 the Camera Frame Server was likely still starting");
      for (ULONGLONG now = GetTickCount64(); now < retryAt; now = GetTickCount64()) Sleep(DWORD(retryAt - now));
    }
  }
  MFShutdown();
  return hr;
}

HRESULT removeVirtualCamera(int32_t allUsers) {
  ComApartmentGuard com;
  RETURN_IF_FAILED(MFStartup(MF_VERSION, MFSTARTUP_FULL));
  CreateVirtualCameraFn create = nullptr;
  HRESULT hr = loadCreateVirtualCamera(create);
  if (SUCCEEDED(hr)) {
    IMFVirtualCamera* camera = nullptr;
    hr = create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_System, accessFor(allUsers),
                kVirtualCameraFriendlyName, kMediaSourceClsidText, nullptr, 0, &camera);
    if (SUCCEEDED(hr)) hr = camera->Remove();
    release(camera);
  }
  MFShutdown();
  return hr;
}

HRESULT unregisterComServer() { return win32ToHresult(RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClsidKeyPath)); }

std::vector<CameraDevice> listPhysicalCameras() {
  std::vector<CameraDevice> all, physical;
  if (!enumerateVideoDevices(all)) return {};
  for (CameraDevice& device : all) {
    if (!device.symbolicLink.empty() && !isOwnVirtualCamera(device)) physical.push_back(std::move(device));
  }
  return physical;
}

std::vector<RawCameraEntry> listCamerasRaw() {
  std::vector<CameraDevice> all;
  if (!enumerateVideoDevices(all)) return {};
  std::vector<RawCameraEntry> entries;
  for (size_t i = 0; i < all.size(); ++i) {
    entries.push_back({uint32_t(i), all[i].friendlyName.empty() ? L"(unnamed camera)" : all[i].friendlyName,
                       isOwnVirtualCamera(all[i])});
  }
  return entries;
}

bool isOwnVirtualCamera(const CameraDevice& device) {
  return containsNoCase(device.friendlyName, L"tesmira") || containsNoCase(device.symbolicLink, L"tesmira") ||
         containsNoCase(device.friendlyName, L"windows virtual camera");
}

std::vector<CameraDevice>::const_iterator choosePreferredCamera(const std::vector<CameraDevice>& cameras) {
  for (auto it = cameras.begin(); it != cameras.end(); ++it) {
    for (const wchar_t* word : {L"front", L"integrated", L"facetime"}) {
      if (containsNoCase(it->friendlyName, word)) return it;
    }
  }
  return cameras.end();
}

std::wstring getAllocatedStringAttribute(IMFAttributes* attributes, const GUID& key) {
  if (!attributes) return {};
  WCHAR* value = nullptr;
  UINT32 length = 0;
  if (FAILED(attributes->GetAllocatedString(key, &value, &length)) || !value) return {};
  std::wstring text(value, length);
  CoTaskMemFree(value);
  return text;
}

HRESULT enumerateVideoCaptureDevices(std::vector<Microsoft::WRL::ComPtr<IMFActivate>>& devices) {
  devices.clear();
  Microsoft::WRL::ComPtr<IMFAttributes> query;
  RETURN_IF_FAILED(MFCreateAttributes(&query, 1));
  RETURN_IF_FAILED(query->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID));
  IMFActivate** array = nullptr;
  UINT32 count = 0;
  RETURN_IF_FAILED(MFEnumDeviceSources(query.Get(), &array, &count));
  for (UINT32 i = 0; i < count; ++i) devices.push_back(adoptReference(array[i]));
  CoTaskMemFree(array);
  return S_OK;
}

}  // namespace tesmira
