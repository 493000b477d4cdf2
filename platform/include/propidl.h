#pragma once
// PROPVARIANT with the value types the product uses.
#include "guiddef.h"
#include "minwindef.h"
#include "combaseapi.h"
#include "unknwn.h"

#include <cstddef>

typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_BOOL = 11,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_LPWSTR = 31,
  VT_CLSID = 72,
  VT_VECTOR = 0x1000,
};

typedef struct tagCAUB {
  ULONG cElems;
  BYTE* pElems;
} CAUB;

typedef struct tagBLOB {
  ULONG cbSize;
  BYTE* pBlobData;
} BLOB;

typedef struct tagPROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    CHAR cVal;
    BYTE bVal;
    SHORT iVal;
    USHORT uiVal;
    LONG lVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    LARGE_INTEGER hVal;
    ULARGE_INTEGER uhVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    CLSID* puuid;
    LPWSTR pwszVal;
    IUnknown* punkVal;
    CAUB caub;
    BLOB blob;
  };
} PROPVARIANT;
typedef PROPVARIANT* LPPROPVARIANT;
typedef const PROPVARIANT* REFPROPVARIANT;
static_assert(sizeof(PROPVARIANT) == 24, "PROPVARIANT layout");
static_assert(offsetof(PROPVARIANT, hVal) == 8, "PROPVARIANT layout");

inline void PropVariantInit(PROPVARIANT* value) { std::memset(value, 0, sizeof(*value)); }
// Frees what the value owns (strings, GUIDs and vectors with CoTaskMemFree,
// interfaces with Release) and leaves VT_EMPTY.
WINBASEAPI HRESULT WINAPI PropVariantClear(PROPVARIANT* value);
// Deep copy: owned memory is duplicated, interfaces AddRef'd. DISP_E_BADVARTYPE
// for a type outside the supported set.
WINBASEAPI HRESULT WINAPI PropVariantCopy(PROPVARIANT* destination, const PROPVARIANT* source);
