#pragma once
#include "minwindef.h"

// The current process and thread (pseudo handle -1 for the process, as on Windows).
WINBASEAPI HANDLE WINAPI GetCurrentProcess();
WINBASEAPI DWORD WINAPI GetCurrentProcessId();
WINBASEAPI DWORD WINAPI GetCurrentThreadId();
