#pragma once
#include "minwindef.h"

// 10 MHz, like most Windows machines; the same clock as GetTickCount64.
WINBASEAPI BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count);
WINBASEAPI BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency);
