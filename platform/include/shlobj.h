#pragma once
#include "combaseapi.h"
#include "knownfolders.h"
#include "minwindef.h"
#include "winerror.h"

#define KF_FLAG_DEFAULT 0x00000000
#define KF_FLAG_CREATE 0x00008000
#define KF_FLAG_DONT_VERIFY 0x00004000

// The known folders live under the machine root (ProgramData, Users\<user>\AppData\...);
// the path is a CoTaskMemAlloc buffer, NULL on failure.
WINBASEAPI HRESULT WINAPI SHGetKnownFolderPath(REFKNOWNFOLDERID rfid, DWORD dwFlags, HANDLE hToken, PWSTR* ppszPath);
