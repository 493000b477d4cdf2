#pragma once
#include "minwindef.h"

WINBASEAPI BOOL WINAPI CloseHandle(HANDLE handle);

#define HANDLE_FLAG_INHERIT 0x00000001u
#define HANDLE_FLAG_PROTECT_FROM_CLOSE 0x00000002u

// Handles reach a child only as its standard handles (STARTF_USESTDHANDLES),
// so the inherit flag is kept for GetHandleInformation and changes nothing else.
WINBASEAPI BOOL WINAPI SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags);
WINBASEAPI BOOL WINAPI GetHandleInformation(HANDLE handle, LPDWORD flags);
