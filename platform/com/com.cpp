// COM basics: GUID text, per-thread initialization counting, PROPVARIANT.
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

struct ThreadComState {
  int count = 0;
  DWORD model = 0;
};
thread_local ThreadComState comState;

int hexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Reads `digits` hexadecimal characters; false on anything else.
bool readHex(const wchar_t*& p, int digits, uint64_t& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    int v = hexValue(p[i]);
    if (v < 0) return false;
    value = (value << 4) | uint64_t(v);
  }
  p += digits;
  return true;
}

bool expect(const wchar_t*& p, wchar_t c) {
  if (*p != c) return false;
  ++p;
  return true;
}

}  // namespace

HRESULT WINAPI CoInitializeEx(LPVOID, DWORD coInit) {
  DWORD model = coInit & COINIT_APARTMENTTHREADED;
  if (comState.count > 0) {
    if (comState.model != model) return RPC_E_CHANGED_MODE;
    ++comState.count;
    return S_FALSE;
  }
  comState.count = 1;
  comState.model = model;
  return S_OK;
}

void WINAPI CoUninitialize() {
  if (comState.count > 0) --comState.count;
}

int WINAPI StringFromGUID2(REFGUID g, LPWSTR text, int capacity) {
  constexpr int kChars = 39;
  if (!text || capacity < kChars) return 0;
  char narrow[kChars + 1];
  std::snprintf(narrow, sizeof(narrow), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  for (int i = 0; i < kChars; ++i) text[i] = wchar_t(narrow[i]);
  return kChars;
}

HRESULT WINAPI CLSIDFromString(LPCWSTR text, LPCLSID clsid) {
  if (!text || !clsid) return E_INVALIDARG;
  const wchar_t* p = text;
  GUID g{};
  uint64_t v = 0;
  if (!expect(p, L'{') || !readHex(p, 8, v)) return CO_E_CLASSSTRING;
  g.Data1 = uint32_t(v);
  if (!expect(p, L'-') || !readHex(p, 4, v)) return CO_E_CLASSSTRING;
  g.Data2 = uint16_t(v);
  if (!expect(p, L'-') || !readHex(p, 4, v)) return CO_E_CLASSSTRING;
  g.Data3 = uint16_t(v);
  if (!expect(p, L'-')) return CO_E_CLASSSTRING;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !expect(p, L'-')) return CO_E_CLASSSTRING;
    if (!readHex(p, 2, v)) return CO_E_CLASSSTRING;
    g.Data4[i] = uint8_t(v);
  }
  if (!expect(p, L'}') || *p != 0) return CO_E_CLASSSTRING;
  *clsid = g;
  return S_OK;
}

HRESULT WINAPI PropVariantClear(PROPVARIANT* value) {
  if (!value) return S_OK;
  switch (value->vt) {
    case VT_LPWSTR:
      CoTaskMemFree(value->pwszVal);
      break;
    case VT_CLSID:
      CoTaskMemFree(value->puuid);
      break;
    case VT_VECTOR | VT_UI1:
      CoTaskMemFree(value->caub.pElems);
      break;
    case VT_UNKNOWN:
      if (value->punkVal) value->punkVal->Release();
      break;
    default:
      break;
  }
  PropVariantInit(value);
  return S_OK;
}

HRESULT WINAPI PropVariantCopy(PROPVARIANT* destination, const PROPVARIANT* source) {
  if (!destination || !source) return E_INVALIDARG;
  PROPVARIANT copy = *source;
  switch (source->vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_BOOL: case VT_I1:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      break;
    case VT_UNKNOWN:
      if (copy.punkVal) copy.punkVal->AddRef();
      break;
    case VT_LPWSTR: {
      if (source->pwszVal) {
        size_t bytes = (std::wcslen(source->pwszVal) + 1) * sizeof(wchar_t);
        copy.pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (!copy.pwszVal) return E_OUTOFMEMORY;
        std::memcpy(copy.pwszVal, source->pwszVal, bytes);
      }
      break;
    }
    case VT_CLSID: {
      if (source->puuid) {
        copy.puuid = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
        if (!copy.puuid) return E_OUTOFMEMORY;
        *copy.puuid = *source->puuid;
      }
      break;
    }
    case VT_VECTOR | VT_UI1: {
      copy.caub.pElems = nullptr;
      if (source->caub.cElems) {
        copy.caub.pElems = static_cast<BYTE*>(CoTaskMemAlloc(source->caub.cElems));
        if (!copy.caub.pElems) return E_OUTOFMEMORY;
        std::memcpy(copy.caub.pElems, source->caub.pElems, source->caub.cElems);
      }
      break;
    }
    default:
      return DISP_E_BADVARTYPE;
  }
  *destination = copy;
  return S_OK;
}
