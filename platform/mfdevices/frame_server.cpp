#include "mfdevices/frame_server.h"

#include <combaseapi.h>
#include <errhandlingapi.h>
#include <libloaderapi.h>
#include <processenv.h>
#include <winreg.h>
#include <propidl.h>
#include <wrl/client.h>

#include <vector>

namespace tesmira::platform::mfdevices {
namespace {
using Microsoft::WRL::ComPtr;

HRESULT lastErrorHresult() {
  const DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// The module path registered for the class, with environment strings expanded.
HRESULT inprocServerPath(const std::wstring& classId, std::wstring& path) {
  const std::wstring keyPath = L"Software\\Classes\\CLSID\\" + classId + L"\\InprocServer32";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return REGDB_E_CLASSNOTREG;
  }
  DWORD type = 0, bytes = 0;
  LSTATUS status = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &bytes);
  std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 1, L'\0');
  if (status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
    status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes);
  } else if (status == ERROR_SUCCESS) {
    status = ERROR_INVALID_DATA;
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || !value[0]) return REGDB_E_CLASSNOTREG;
  value.back() = L'\0';  // a stored value need not end in a terminator
  const DWORD needed = ExpandEnvironmentStringsW(value.data(), nullptr, 0);
  if (needed == 0) return lastErrorHresult();
  std::vector<wchar_t> expanded(needed);
  if (ExpandEnvironmentStringsW(value.data(), expanded.data(), needed) == 0) return lastErrorHresult();
  path = expanded.data();
  return S_OK;
}

}  // namespace

HRESULT activateVirtualCamera(const vcams::VirtualCameraRecord& camera, IMFAttributes* device, REFIID riid,
                              void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  CLSID classId{};
  if (!vcams::parseGuid(camera.sourceId, classId)) return REGDB_E_CLASSNOTREG;
  std::wstring modulePath;
  HRESULT hr = inprocServerPath(camera.sourceId, modulePath);
  if (FAILED(hr)) return hr;

  // Loaded for good, as the frame server keeps a source module loaded.
  HMODULE module = LoadLibraryW(modulePath.c_str());
  if (!module) return lastErrorHresult();
  auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  if (!getClassObject) return CO_E_ERRORINDLL;

  ComPtr<IClassFactory> factory;
  hr = getClassObject(classId, __uuidof(IClassFactory), reinterpret_cast<void**>(factory.GetAddressOf()));
  if (FAILED(hr)) return hr;
  if (!factory) return E_NOINTERFACE;
  ComPtr<IMFActivate> activate;
  hr = factory->CreateInstance(nullptr, __uuidof(IMFActivate), reinterpret_cast<void**>(activate.GetAddressOf()));
  if (FAILED(hr)) return hr;
  if (!activate) return E_NOINTERFACE;

  // What the camera's creator stored on it, then what the device carries.
  for (const auto& [key, value] : camera.strings) activate->SetString(key, value.c_str());
  UINT32 count = 0;
  if (device && SUCCEEDED(device->GetCount(&count))) {
    for (UINT32 i = 0; i < count; ++i) {
      GUID key{};
      PROPVARIANT value;
      PropVariantInit(&value);
      if (SUCCEEDED(device->GetItemByIndex(i, &key, &value))) activate->SetItem(key, &value);
      PropVariantClear(&value);
    }
  }
  return activate->ActivateObject(riid, object);
}

}  // namespace tesmira::platform::mfdevices
