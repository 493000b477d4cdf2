#pragma once
#include "minwindef.h"

// Anonymous pipes: the write end can become a child's standard output (STARTF_USESTDHANDLES).
WINBASEAPI BOOL WINAPI CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes,
                                  DWORD nSize);
