#pragma once
// Common controls: the standard classes need no set-up here beyond the call itself.
#include "winuser.h"

typedef struct tagINITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
} INITCOMMONCONTROLSEX, *LPINITCOMMONCONTROLSEX;

#define ICC_STANDARD_CLASSES 0x00004000

WINUSERAPI BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce);
