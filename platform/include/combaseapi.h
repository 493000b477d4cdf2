#pragma once
#include "guiddef.h"
#include "minwindef.h"
#include "unknwn.h"

WINBASEAPI LPVOID WINAPI CoTaskMemAlloc(SIZE_T size);
WINBASEAPI LPVOID WINAPI CoTaskMemRealloc(LPVOID block, SIZE_T size);
WINBASEAPI void WINAPI CoTaskMemFree(LPVOID block);

typedef enum tagCOINIT {
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_MULTITHREADED = 0x0,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8,
} COINIT;

// Counted per thread: the first call answers S_OK, later ones S_FALSE; a change
// of threading model answers RPC_E_CHANGED_MODE.
WINBASEAPI HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coInit);
WINBASEAPI void WINAPI CoUninitialize();

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case: returns the characters
// written including the terminator (39), or 0 when the buffer holds fewer than 39.
WINBASEAPI int WINAPI StringFromGUID2(REFGUID guid, LPWSTR text, int capacity);
// Parses the braced registry form; CO_E_CLASSSTRING for anything else.
WINBASEAPI HRESULT WINAPI CLSIDFromString(LPCWSTR text, LPCLSID clsid);
#define IIDFromString CLSIDFromString

// A random (version 4) GUID; the "CoCreateGuid" fault site makes it fail with the injected HRESULT.
WINBASEAPI HRESULT WINAPI CoCreateGuid(GUID* pguid);
