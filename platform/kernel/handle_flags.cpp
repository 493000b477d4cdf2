// Handle flags, kept per handle of this process.
#include <map>
#include <mutex>

#include "core/handles.h"
#include "errhandlingapi.h"
#include "handleapi.h"
#include "winerror.h"

namespace {

std::mutex gFlagsMutex;
std::map<HANDLE, DWORD>& flagsTable() {
  static auto* t = new std::map<HANDLE, DWORD>;
  return *t;
}

bool known(HANDLE handle) {
  if (tesmira::platform::handles::lookup(handle)) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

}  // namespace

BOOL WINAPI SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags) {
  if (!known(handle)) return FALSE;
  std::lock_guard lock(gFlagsMutex);
  DWORD& value = flagsTable()[handle];
  value = (value & ~mask) | (flags & mask);
  return TRUE;
}

BOOL WINAPI GetHandleInformation(HANDLE handle, LPDWORD flags) {
  if (!flags) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!known(handle)) return FALSE;
  std::lock_guard lock(gFlagsMutex);
  auto it = flagsTable().find(handle);
  *flags = it == flagsTable().end() ? 0 : it->second;
  return TRUE;
}
