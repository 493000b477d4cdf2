#pragma once
// A user's environment block, built from the user's token.
#include "minwindef.h"

WINBASEAPI BOOL WINAPI CreateEnvironmentBlock(LPVOID* lpEnvironment, HANDLE hToken, BOOL bInherit);
WINBASEAPI BOOL WINAPI DestroyEnvironmentBlock(LPVOID lpEnvironment);
