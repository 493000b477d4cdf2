#include "common/executable_paths.h"

#include <string>

namespace tesmira {

std::filesystem::path executablePath() {
  constexpr DWORD kLongestPath = 32768;
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size() - 1) return std::filesystem::path(buffer.substr(0, length));
    if (buffer.size() >= kLongestPath) return {};
    buffer.assign(buffer.size() * 2, L'\0');
  }
}

std::filesystem::path executableDirectory() { return executablePath().parent_path(); }

std::filesystem::path defaultMediaSourceDllPath() {
  return executableDirectory() / L"tesmira_windows_vcam_source.dll";
}

}  // namespace tesmira
