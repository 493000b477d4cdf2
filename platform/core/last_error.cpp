#include "errhandlingapi.h"

namespace {
thread_local DWORD tLastError = 0;
}

DWORD WINAPI GetLastError() { return tLastError; }
void WINAPI SetLastError(DWORD code) { tLastError = code; }
