// Stand-in for the producer in the agent's process tests: records its arguments in
// <machine root>/test-producer/<pid>.args (one a line) and waits until it is ended.
// When <machine root>/test-producer/exit-once exists it removes it and exits at once instead.
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  const char* root = std::getenv("TESMIRA_MACHINE_ROOT");
  if (!root) return 2;
  const std::filesystem::path folder = std::filesystem::path(root) / "test-producer";
  std::filesystem::create_directories(folder);
  {
    const std::string pid = std::to_string(GetCurrentProcessId());
    std::ofstream out(folder / (pid + ".partial"));
    for (int i = 0; i < argc; ++i) out << argv[i] << '\n';
    out.close();
    std::filesystem::rename(folder / (pid + ".partial"), folder / (pid + ".args"));
  }
  std::error_code ec;
  if (std::filesystem::remove(folder / "exit-once", ec)) return 3;
  for (;;) Sleep(INFINITE);
}
