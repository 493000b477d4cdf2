#pragma once
// The multimedia timer resolution: accepted, and without effect here.
#include "minwindef.h"

typedef UINT MMRESULT;
#define TIMERR_NOERROR 0u
#define TIMERR_BASE 96u
#define TIMERR_NOCANDO (TIMERR_BASE + 1u)

WINBASEAPI MMRESULT WINAPI timeBeginPeriod(UINT period);
WINBASEAPI MMRESULT WINAPI timeEndPeriod(UINT period);
