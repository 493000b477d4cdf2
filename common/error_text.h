#pragma once
// HRESULTs and Win32 error codes as the log shows them.
#include <windows.h>

#include <string>

namespace tesmira {

// Win32 codes above 0 become 0x80070000 plus their low 16 bits; 0 and negative values pass.
HRESULT win32ToHresult(LONG code);
// GetLastError() as an HRESULT; a call that failed without a code counts as ERROR_GEN_FAILURE.
HRESULT lastErrorAsHresult();
std::wstring formatSystemMessage(DWORD extraFlags, DWORD code);
// "0x" and eight upper-case hex digits, then " (system text)" when the system has one.
std::wstring hresultToText(HRESULT hr);
std::wstring win32ErrorToText(DWORD code);

}  // namespace tesmira
