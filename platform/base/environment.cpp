#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "core/strings.h"
#include "errhandlingapi.h"
#include "processenv.h"
#include "winerror.h"

extern char** environ;

namespace tesmira::platform {
namespace {

// The variable's real name: an exact match first, else one that differs only in case.
std::optional<std::string> environmentName(std::wstring_view name) {
  std::string narrow = toUtf8(name);
  if (std::getenv(narrow.c_str())) return narrow;
  for (char** entry = environ; entry && *entry; ++entry) {
    const char* eq = std::strchr(*entry, '=');
    if (!eq) continue;
    std::string candidate(*entry, size_t(eq - *entry));
    if (equalsNoCase(fromUtf8(candidate), name)) return candidate;
  }
  return std::nullopt;
}

std::optional<std::wstring> environmentValue(std::wstring_view name) {
  auto real = environmentName(name);
  if (!real) return std::nullopt;
  const char* value = std::getenv(real->c_str());
  if (!value) return std::nullopt;
  return fromUtf8(value);
}

bool validName(LPCWSTR name) { return name && *name && !std::wcschr(name, L'='); }

}  // namespace
}  // namespace tesmira::platform

using namespace tesmira::platform;

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  if (!validName(lpName)) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  auto value = environmentValue(lpName);
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  // Too small: the size needed, terminator included; else the length copied.
  if (!lpBuffer || value->size() + 1 > nSize) return DWORD(value->size() + 1);
  std::memcpy(lpBuffer, value->c_str(), (value->size() + 1) * sizeof(WCHAR));
  if (value->empty()) SetLastError(ERROR_SUCCESS);
  return DWORD(value->size());
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  if (!validName(lpName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string name = environmentName(lpName).value_or(toUtf8(lpName));
  if (!lpValue) {
    if (!std::getenv(name.c_str())) {
      SetLastError(ERROR_ENVVAR_NOT_FOUND);
      return FALSE;
    }
    ::unsetenv(name.c_str());
    return TRUE;
  }
  if (::setenv(name.c_str(), toUtf8(lpValue).c_str(), 1) != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
  if (!lpSrc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // %NAME% of a defined variable is replaced; anything else stays as written.
  std::wstring_view source(lpSrc);
  std::wstring out;
  size_t i = 0;
  while (i < source.size()) {
    size_t open = source.find(L'%', i);
    if (open == std::wstring_view::npos) {
      out.append(source.substr(i));
      break;
    }
    out.append(source.substr(i, open - i));
    size_t close = source.find(L'%', open + 1);
    if (close == std::wstring_view::npos) {
      out.append(source.substr(open));
      break;
    }
    std::wstring_view name = source.substr(open + 1, close - open - 1);
    auto value = name.empty() ? std::nullopt : environmentValue(name);
    if (value) {
      out += *value;
      i = close + 1;
    } else {
      // The closing % may open the next reference.
      out.append(source.substr(open, close - open));
      i = close;
    }
  }
  DWORD needed = DWORD(out.size() + 1);
  if (lpDst && nSize >= needed) std::memcpy(lpDst, out.c_str(), needed * sizeof(WCHAR));
  return needed;
}
