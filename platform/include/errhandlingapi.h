#pragma once
#include "minwindef.h"

WINBASEAPI DWORD WINAPI GetLastError();
WINBASEAPI void WINAPI SetLastError(DWORD code);
