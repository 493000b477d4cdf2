#pragma once
// Events, mutexes, waits and Sleep. Named objects work across processes.
#include "minwindef.h"
#include "winnt.h"

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_ABANDONED_0 WAIT_ABANDONED
#ifndef WAIT_TIMEOUT
#define WAIT_TIMEOUT 258L
#endif
#define WAIT_FAILED 0xFFFFFFFFu

#define EVENT_MODIFY_STATE 0x0002u
#define EVENT_ALL_ACCESS 0x001F0003u
#define MUTANT_QUERY_STATE 0x0001u
#define MUTEX_MODIFY_STATE MUTANT_QUERY_STATE
#define MUTEX_ALL_ACCESS 0x001F0001u

WINBASEAPI HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                                      LPCWSTR name);
WINBASEAPI HANDLE WINAPI OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
WINBASEAPI BOOL WINAPI SetEvent(HANDLE event);
WINBASEAPI BOOL WINAPI ResetEvent(HANDLE event);

WINBASEAPI HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
WINBASEAPI HANDLE WINAPI OpenMutexW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
WINBASEAPI BOOL WINAPI ReleaseMutex(HANDLE mutex);

// Time-outs follow the layer's clock, so a frozen test clock holds them until advanced.
WINBASEAPI DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
WINBASEAPI void WINAPI Sleep(DWORD milliseconds);
