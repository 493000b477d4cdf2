#include "common/command_line.h"

namespace tesmira {

std::wstring quoteArgument(const std::wstring& argument) {
  // Backslashes are doubled only where they precede a quote (an embedded one or the
  // closing one); anywhere else they are read back literally.
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  quoted += L'"';
  return quoted;
}

std::wstring joinCommandLine(const std::vector<std::wstring>& arguments) {
  std::wstring line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i) line += L' ';
    line += quoteArgument(arguments[i]);
  }
  return line;
}

}  // namespace tesmira
