#include "common/environment.h"

namespace tesmira {

std::optional<std::wstring> environmentValue(const wchar_t* name) {
  WCHAR value[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
  // 0 is unset or empty; MAX_PATH and above is the size a longer value would need.
  if (length == 0 || length >= MAX_PATH) return std::nullopt;
  return std::wstring(value, length);
}

bool environmentBeginsWith(const wchar_t* name, wchar_t first) {
  const auto value = environmentValue(name);
  return value && value->front() == first;
}

bool environmentBeginsWith(const char* name, char first) {
  std::wstring wide;
  for (const char* c = name; *c; ++c) wide += wchar_t(static_cast<unsigned char>(*c));
  return environmentBeginsWith(wide.c_str(), wchar_t(static_cast<unsigned char>(first)));
}

}  // namespace tesmira
