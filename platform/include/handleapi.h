#pragma once
#include "minwindef.h"

WINBASEAPI BOOL WINAPI CloseHandle(HANDLE handle);
