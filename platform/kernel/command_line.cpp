#include "kernel/command_line.h"

namespace tesmira::platform::kernel {
namespace {

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::vector<std::wstring> splitCommandLine(std::wstring_view line) {
  std::vector<std::wstring> args;
  size_t i = 0;
  if (line.empty()) return args;
  std::wstring program;
  if (line[0] == L'"') {
    size_t close = line.find(L'"', 1);
    program = std::wstring(line.substr(1, close == std::wstring_view::npos ? std::wstring_view::npos : close - 1));
    i = close == std::wstring_view::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && !isBlank(line[i])) program += line[i++];
  }
  args.push_back(std::move(program));

  for (;;) {
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::wstring arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !isBlank(line[i]))) {
      if (line[i] == L'\\') {
        size_t run = 0;
        while (i < line.size() && line[i] == L'\\') {
          ++run;
          ++i;
        }
        if (i < line.size() && line[i] == L'"') {
          arg.append(run / 2, L'\\');
          if (run % 2) {
            arg += L'"';
            ++i;
          }
        } else {
          arg.append(run, L'\\');
        }
      } else if (line[i] == L'"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
          arg += L'"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg += line[i++];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace tesmira::platform::kernel
