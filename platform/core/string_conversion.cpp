#include <cstring>
#include <cwchar>

#include "core/strings.h"
#include "errhandlingapi.h"
#include "stringapiset.h"
#include "winerror.h"

using tesmira::platform::fromUtf8;
using tesmira::platform::toUtf8;

namespace {

bool supported(UINT codePage) { return codePage == CP_UTF8 || codePage == CP_ACP; }

// Copies the converted text out under the Windows buffer rules: a size query with no
// buffer, ERROR_INSUFFICIENT_BUFFER when it does not fit.
template <class Char, class String>
int deliver(const String& converted, Char* out, int outCount) {
  if (converted.size() > size_t(INT32_MAX)) {
    SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return 0;
  }
  int needed = int(converted.size());
  if (outCount == 0) return needed;
  if (needed > outCount) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, converted.data(), converted.size() * sizeof(Char));
  return needed;
}

}  // namespace

int WINAPI WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR wide, int wideCount, LPSTR out, int outBytes, LPCSTR,
                               LPBOOL usedDefault) {
  if (!supported(codePage) || !wide || wideCount == 0 || wideCount < -1 || outBytes < 0 || (outBytes && !out)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (usedDefault) *usedDefault = FALSE;
  // -1: the terminating zero is converted too and counted.
  size_t length = wideCount == -1 ? std::wcslen(wide) + 1 : size_t(wideCount);
  return deliver(toUtf8(std::wstring_view(wide, length)), out, outBytes);
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int byteCount, LPWSTR out, int outChars) {
  if (!supported(codePage) || !text || byteCount == 0 || byteCount < -1 || outChars < 0 || (outChars && !out)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = byteCount == -1 ? std::strlen(text) + 1 : size_t(byteCount);
  return deliver(fromUtf8(std::string_view(text, length)), out, outChars);
}
