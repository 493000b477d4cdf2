#pragma once
#include "minwindef.h"

// Milliseconds of the one monotonic clock that every process shares.
WINBASEAPI ULONGLONG WINAPI GetTickCount64();
WINBASEAPI DWORD WINAPI GetTickCount();
WINBASEAPI void WINAPI GetSystemTimeAsFileTime(LPFILETIME time);
WINBASEAPI void WINAPI GetSystemTime(LPSYSTEMTIME time);
WINBASEAPI void WINAPI GetLocalTime(LPSYSTEMTIME time);
WINBASEAPI BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);
WINBASEAPI BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime);
