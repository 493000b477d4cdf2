#include "base/command_line.h"

#include <cstring>

#include "errhandlingapi.h"
#include "libloaderapi.h"
#include "shellapi.h"
#include "winbase.h"
#include "winerror.h"

namespace tesmira::platform {
namespace {

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::vector<std::wstring> splitCommandLine(std::wstring_view line) {
  std::vector<std::wstring> args;
  if (line.empty()) return args;
  size_t i = 0;

  // The program name: no escapes at all.
  std::wstring program;
  if (line[0] == L'"') {
    size_t close = line.find(L'"', 1);
    program = std::wstring(line.substr(1, close == std::wstring_view::npos ? std::wstring_view::npos : close - 1));
    i = close == std::wstring_view::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && uint32_t(line[i]) > 0x20) ++i;
    program = std::wstring(line.substr(0, i));
  }
  args.push_back(std::move(program));

  for (;;) {
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::wstring arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !isBlank(line[i]))) {
      wchar_t c = line[i];
      if (c == L'\\') {
        size_t run = 0;
        while (i < line.size() && line[i] == L'\\') {
          ++run;
          ++i;
        }
        if (i < line.size() && line[i] == L'"') {
          arg.append(run / 2, L'\\');
          if (run % 2 == 1) {
            arg += L'"';
            ++i;
          }
        } else {
          arg.append(run, L'\\');
        }
      } else if (c == L'"') {
        ++i;
        if (quoted && i < line.size() && line[i] == L'"') {
          arg += L'"';
          ++i;
          quoted = false;
        } else {
          quoted = !quoted;
        }
      } else {
        arg += c;
        ++i;
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace tesmira::platform

LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs) {
  if (!pNumArgs) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<std::wstring> args;
  if (!lpCmdLine || !*lpCmdLine) {
    WCHAR self[4096];
    DWORD n = GetModuleFileNameW(nullptr, self, 4096);
    args.emplace_back(self, n);
  } else {
    args = tesmira::platform::splitCommandLine(lpCmdLine);
  }

  // One block: the pointer array (NULL-terminated), then the strings.
  size_t chars = 0;
  for (const auto& a : args) chars += a.size() + 1;
  size_t pointerBytes = (args.size() + 1) * sizeof(LPWSTR);
  auto* block = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, pointerBytes + chars * sizeof(WCHAR)));
  if (!block) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto** argv = reinterpret_cast<LPWSTR*>(block);
  auto* text = reinterpret_cast<WCHAR*>(block + pointerBytes);
  for (size_t k = 0; k < args.size(); ++k) {
    argv[k] = text;
    std::memcpy(text, args[k].c_str(), (args[k].size() + 1) * sizeof(WCHAR));
    text += args[k].size() + 1;
  }
  argv[args.size()] = nullptr;
  *pNumArgs = int(args.size());
  return argv;
}
