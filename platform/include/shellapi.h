#pragma once
#include "minwindef.h"

// Splits a command line by the documented rules; the array (strings included) is one
// block freed with LocalFree.
WINBASEAPI LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs);
