// Stand-in for the HRESULT text of the common helpers, compiled only while the
// common library does not provide it yet.
#include <cstdio>

#include "common/helpers.h"

namespace tesmira {

std::wstring hresultToText(HRESULT hr) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08X", unsigned(hr));
  return text;
}

}  // namespace tesmira
