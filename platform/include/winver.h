#pragma once
// The version resource of an executable file.
#include "minwindef.h"

// Bytes that GetFileVersionInfoW needs for the file's version resource; 0 (and the
// Win32 error) when the file has none.
WINBASEAPI DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);
WINBASEAPI BOOL WINAPI GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD bytes, LPVOID data);
// "\" (the fixed file information), "\VarFileInfo\Translation" and
// "\StringFileInfo\<language><code page>\<name>" within a block from GetFileVersionInfoW.
// Text values are wide strings and `length` counts characters; others count bytes.
WINBASEAPI BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* value, PUINT length);
