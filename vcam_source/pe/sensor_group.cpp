// The two sensor-group functions the source calls, resolved from mfsensorgroup.dll
// when first called rather than imported: Windows builds and Media Foundation
// implementations without that DLL still load the media source, and the source
// already goes on without sensor profiles when they fail. Only the Windows link
// takes this file; elsewhere the functions come with the system.
#include <windows.h>
#include <mfidl.h>

#include "common/sdk_compat.h"

namespace {

HRESULT lastErrorHresult() {
  const DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// Never freed: a resolved function stays callable for the life of the process.
template <typename Function>
HRESULT resolve(const char* name, Function& function) {
  HMODULE module = LoadLibraryExW(L"mfsensorgroup.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) return lastErrorHresult();
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return function ? S_OK : lastErrorHresult();
}

}  // namespace

STDAPI MFCreateSensorProfile(REFGUID profileType, UINT32 profileIndex, LPCWSTR constraints,
                             IMFSensorProfile** profile) {
  if (!profile) return E_POINTER;
  *profile = nullptr;
  using Function = HRESULT(WINAPI*)(REFGUID, UINT32, LPCWSTR, IMFSensorProfile**);
  Function function = nullptr;
  const HRESULT hr = resolve("MFCreateSensorProfile", function);
  return FAILED(hr) ? hr : function(profileType, profileIndex, constraints, profile);
}

STDAPI MFCreateSensorProfileCollection(IMFSensorProfileCollection** collection) {
  if (!collection) return E_POINTER;
  *collection = nullptr;
  using Function = HRESULT(WINAPI*)(IMFSensorProfileCollection**);
  Function function = nullptr;
  const HRESULT hr = resolve("MFCreateSensorProfileCollection", function);
  return FAILED(hr) ? hr : function(collection);
}
