#pragma once
#include "propidl.h"

inline HRESULT InitPropVariantFromInt64(LONGLONG value, PROPVARIANT* out) {
  PropVariantInit(out);
  out->vt = VT_I8;
  out->hVal.QuadPart = value;
  return S_OK;
}
inline HRESULT InitPropVariantFromUInt32(ULONG value, PROPVARIANT* out) {
  PropVariantInit(out);
  out->vt = VT_UI4;
  out->ulVal = value;
  return S_OK;
}
