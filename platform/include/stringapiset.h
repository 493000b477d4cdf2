#pragma once
#include "minwindef.h"

#define CP_ACP 0
#define CP_UTF8 65001
#define WC_ERR_INVALID_CHARS 0x00000080
#define MB_ERR_INVALID_CHARS 0x00000008

// CP_ACP is UTF-8 here, as on a Windows machine with the UTF-8 code page.
WINBASEAPI int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR out,
                                          int outBytes, LPCSTR defaultChar, LPBOOL usedDefault);
WINBASEAPI int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int byteCount, LPWSTR out,
                                          int outChars);
