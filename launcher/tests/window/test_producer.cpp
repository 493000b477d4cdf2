// Stand-in for the producer in the launcher's window tests. What it prints comes from
// TESMIRA_TEST_PRODUCER: "lines" (its arguments and a statistics line, then it waits
// to be ended), "flood" (over 100,000 characters of lines, then it waits) or "exit"
// (a last line without a line break, then it exits).
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  wchar_t mode[32] = L"lines";
  GetEnvironmentVariableW(L"TESMIRA_TEST_PRODUCER", mode, 32);
  const std::wstring what = mode;
  if (what == L"exit") {
    std::fputs("bye", stdout);
    return 0;
  }
  std::string arguments;
  for (int i = 1; i < argc; ++i) arguments += std::string(i > 1 ? " " : "") + argv[i];
  std::printf("test producer: %s\n", arguments.c_str());
  wchar_t d3d[8] = L"";
  GetEnvironmentVariableW(L"TESMIRA_CAPTURE_D3D_TEXTURE", d3d, 8);
  std::printf("d3d capture: %ls\n", d3d);
  if (what == L"flood") {
    // Over six minutes of statistics lines at once: 1,100 lines of 95 characters and "\n".
    for (int i = 0; i < 1100; ++i) std::printf("flood %04d %s\n", i, std::string(84, '=').c_str());
    std::printf("last line of the flood\n");
  } else {
    std::printf("[stats] 30.0 fps, frame 7.1 ms \xE2\x80\x94 retouch 3.2 ms\n");
  }
  std::fflush(stdout);
  for (;;) Sleep(INFINITE);
}
