// tesmira_windows_vcam_service: the administrator's tool and, with run-service, the
// Windows service's process.
#include <windows.h>

#include <string>
#include <vector>

#include "service/vcam_command.h"

int wmain(int argc, wchar_t** argv) { return tesmira::runVcamTool(argc, argv); }

#ifndef _WIN32
// The Windows C runtime enters at wmain; elsewhere the C++ entry hands over to it.
int main(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(tesmira::widenUtf8(argv[i]));
  std::vector<wchar_t*> pointers;
  for (auto& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  return wmain(argc, pointers.data());
}
#endif
