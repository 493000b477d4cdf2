// A stand-in for the producer in the agent's folder: writes its process id and
// command line to stand-in-producer.txt beside itself, then waits to be ended.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring file(path, length);
  file = file.substr(0, file.find_last_of(L'\\') + 1) + L"stand-in-producer.txt";
  if (FILE* out = _wfopen(file.c_str(), L"w")) {
    std::fprintf(out, "%lu\n%ls\n", GetCurrentProcessId(), GetCommandLineW());
    std::fclose(out);
  }
  for (;;) Sleep(1000);
}
