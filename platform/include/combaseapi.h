#pragma once
#include "guiddef.h"
#include "minwindef.h"

WINBASEAPI LPVOID WINAPI CoTaskMemAlloc(SIZE_T size);
WINBASEAPI LPVOID WINAPI CoTaskMemRealloc(LPVOID block, SIZE_T size);
WINBASEAPI void WINAPI CoTaskMemFree(LPVOID block);
