#include "tools/demo/demo_processes.h"

#include <tlhelp32.h>

#include <algorithm>
#include <set>

#include "common/command_line.h"

namespace tesmira::demo {
namespace fs = std::filesystem;

Program spawnProgram(const fs::path& program, const std::vector<std::wstring>& arguments) {
  std::vector<std::wstring> all = {program.wstring()};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::wstring commandLine = joinCommandLine(all);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return {};
  }
  CloseHandle(info.hThread);
  return {info.hProcess, info.dwProcessId};
}

void killProgram(Program& program) {
  if (!program.process) return;
  TerminateProcess(program.process, 1);
  WaitForSingleObject(program.process, INFINITE);
  CloseHandle(program.process);
  program = {};
}

namespace {

// The processes whose image is `program`'s file (ended ones that wait for their
// parent are not listed).
std::set<DWORD> processesRunning(const fs::path& program) {
  std::set<DWORD> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  const std::wstring image = program.filename().wstring();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (image == entry.szExeFile) found.insert(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return found;
}

}  // namespace

ProcessWatch::ProcessWatch(fs::path program) : program_(fs::weakly_canonical(program)), thread_([this] { poll(); }) {}

ProcessWatch::~ProcessWatch() {
  stop_ = true;
  thread_.join();
}

void ProcessWatch::poll() {
  while (!stop_) {
    const std::set<DWORD> now = processesRunning(program_);
    const auto at = Clock::now();
    {
      std::lock_guard lock(mutex_);
      for (Run& run : runs_) {
        if (run.ended == Clock::time_point{} && !now.count(run.pid)) run.ended = at;
      }
      for (DWORD pid : now) {
        const bool known = std::any_of(runs_.begin(), runs_.end(), [&](const Run& r) {
          return r.pid == pid && r.ended == Clock::time_point{};
        });
        if (!known) runs_.push_back({pid, at, {}});
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<ProcessWatch::Run> ProcessWatch::runs() const {
  std::lock_guard lock(mutex_);
  return runs_;
}

bool ProcessWatch::anyRunning() const {
  std::lock_guard lock(mutex_);
  return std::any_of(runs_.begin(), runs_.end(), [](const Run& r) { return r.ended == Clock::time_point{}; });
}

}  // namespace tesmira::demo
