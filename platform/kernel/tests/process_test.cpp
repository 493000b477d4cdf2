#include <windows.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/kernel/fd_object.h"
#include "platform/kernel/tests/spawn.h"
#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace {

using tesmira::testing::childCommandLine;
using tesmira::testing::readFile;
using tesmira::testing::spawnChild;
using tesmira::testing::waitChild;

class ProcessTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    echoFile_ = root() / "echo.txt";
    ::setenv("TESMIRA_ECHO_FILE", echoFile_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("TESMIRA_ECHO_FILE");
    MachineTest::TearDown();
  }
  std::string echoed() const { return readFile(echoFile_); }
  std::filesystem::path echoFile_;
};

std::wstring self() { return std::filesystem::read_symlink("/proc/self/exe").wstring(); }

// Starts a child of this test binary through CreateProcessW.
BOOL start(std::wstring commandLine, PROCESS_INFORMATION& pi, DWORD flags = 0, LPVOID env = nullptr,
           LPCWSTR cwd = nullptr, STARTUPINFOW* startup = nullptr) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, env, cwd,
                        startup ? startup : &si, &pi);
}

DWORD exitCodeOf(PROCESS_INFORMATION& pi) {
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

void writeEcho(const std::string& text) {
  std::ofstream(std::getenv("TESMIRA_ECHO_FILE"), std::ios::binary) << text;
}

// Child: writes its arguments, one per line in brackets.
TESMIRA_CHILD_MAIN(echoArgs) {
  std::string text;
  for (const auto& a : args) text += "[" + a + "]\n";
  writeEcho(text);
  return 0;
}

TEST_F(ProcessTest, TheCommandLineIsSplitByTheWindowsRules) {
  struct Case {
    std::wstring tail;
    std::string expected;
  };
  const Case cases[] = {
      {L"a b\t c", "[a]\n[b]\n[c]\n"},
      {L"\"a b\" c", "[a b]\n[c]\n"},
      {L"a\\\\b \\c\\", "[a\\\\b]\n[\\c\\]\n"},             // backslashes before no quote are literal
      {L"\"a\\\\\" b", "[a\\]\n[b]\n"},                       // 2n backslashes and a quote: n, quote toggles
      {L"a\\\\\\\"b", "[a\\\"b]\n"},                          // 2n+1 backslashes and a quote: n and a quote
      {L"\"say \\\"hi\\\"\"", "[say \"hi\"]\n"},             // the product's own quoting of a quote
      {L"\"a\"\"b\"", "[a\"b]\n"},                            // "" inside quotes is a quote
      {L"\"\" x", "[]\n[x]\n"},                               // an empty argument
      {L"C:\\Program\" \"Files\\x", "[C:\\Program Files\\x]\n"},
  };
  for (const auto& c : cases) {
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(start(L"\"" + self() + L"\" --tesmira-child echoArgs " + c.tail, pi)) << GetLastError();
    EXPECT_EQ(exitCodeOf(pi), 0u);
    EXPECT_EQ(echoed(), c.expected) << int(&c - cases);
  }
}

TEST_F(ProcessTest, TheProgramIsFoundWithOrWithoutExe) {
  for (std::wstring program : {self(), self() + L".exe", L"C:" + self()}) {
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(start(L"\"" + program + L"\" --tesmira-child echoArgs x", pi)) << GetLastError();
    EXPECT_EQ(exitCodeOf(pi), 0u);
  }
}

// Child: exits with the code it is given, or waits to be terminated.
TESMIRA_CHILD_MAIN(exitWith) {
  if (args[0] == "wait") {
    for (;;) Sleep(1000);
  }
  return std::atoi(args[0].c_str());
}

TEST_F(ProcessTest, AChildsExitCodeComesBack) {
  for (int code : {0, 1, 42, 255}) {
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(start(childCommandLine("exitWith", {std::to_string(code)}), pi));
    EXPECT_NE(pi.dwProcessId, 0u);
    EXPECT_EQ(exitCodeOf(pi), DWORD(code));
  }
}

TEST_F(ProcessTest, TerminateProcessEndsAChildWithTheGivenCode) {
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start(childCommandLine("exitWith", {"wait"}), pi));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, DWORD(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), DWORD(WAIT_TIMEOUT));
  EXPECT_TRUE(TerminateProcess(pi.hProcess, 7));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
  EXPECT_FALSE(TerminateProcess(pi.hProcess, 9)) << "it has already ended";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(WaitForSingleObject(pi.hThread, 0), WAIT_OBJECT_0) << "its main thread ended with it";
  EXPECT_EQ(exitCodeOf(pi), 7u);
}

TEST_F(ProcessTest, ASuspendedChildRunsOnlyAfterResumeThread) {
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start(childCommandLine("echoArgs", {"resumed"}), pi, CREATE_SUSPENDED | CREATE_NO_WINDOW));
  std::string cmdline = readFile("/proc/" + std::to_string(pi.dwProcessId) + "/cmdline");
  EXPECT_EQ(cmdline.find("echoArgs"), std::string::npos) << "it has not started its program yet";
  EXPECT_EQ(ResumeThread(pi.hThread), 1u);
  EXPECT_EQ(ResumeThread(pi.hThread), 0u);
  EXPECT_EQ(exitCodeOf(pi), 0u);
  EXPECT_EQ(echoed(), "[resumed]\n");
}

// Child: writes its working folder and one variable.
TESMIRA_CHILD_MAIN(echoPlace) {
  const char* probe = std::getenv("TESMIRA_PROBE");
  writeEcho(std::filesystem::current_path().string() + "|" + (probe ? probe : "(unset)"));
  return 0;
}

TEST_F(ProcessTest, WorkingFolderAndEnvironmentBlockReachTheChild) {
  auto folder = root() / "work";
  std::filesystem::create_directories(folder);
  std::string echo = "TESMIRA_ECHO_FILE=" + echoFile_.string();
  std::wstring wideBlock;
  for (std::string entry : {std::string("=C:=C:\\"), std::string("TESMIRA_PROBE=wide"), echo}) {
    wideBlock.append(entry.begin(), entry.end());
    wideBlock.push_back(L'\0');
  }
  wideBlock.push_back(L'\0');
  std::string narrowBlock = "TESMIRA_PROBE=narrow" + std::string(1, '\0') + echo + std::string(2, '\0');
  struct Case {
    LPVOID block;
    DWORD flags;
    std::string probe;
  };
  const Case cases[] = {
      {wideBlock.data(), CREATE_UNICODE_ENVIRONMENT, "wide"},
      {narrowBlock.data(), 0, "narrow"},
  };
  for (const auto& c : cases) {
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(start(childCommandLine("echoPlace"), pi, c.flags, c.block, folder.wstring().c_str()));
    EXPECT_EQ(exitCodeOf(pi), 0u);
    EXPECT_EQ(echoed(), folder.string() + "|" + c.probe);
  }
  ::setenv("TESMIRA_PROBE", "inherited", 1);
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start(childCommandLine("echoPlace"), pi));
  EXPECT_EQ(exitCodeOf(pi), 0u);
  EXPECT_EQ(echoed(), std::filesystem::current_path().string() + "|inherited");
  ::unsetenv("TESMIRA_PROBE");
}

TEST_F(ProcessTest, StartFailuresCarryTheWindowsError) {
  auto plain = root() / "not-a-program";
  std::ofstream(plain) << "text";
  struct Case {
    std::wstring commandLine;
    std::wstring cwd;
    DWORD error;
  };
  const Case cases[] = {
      {L"\"C:\\Program Files\\Nowhere\\missing.exe\" --x", L"", ERROR_FILE_NOT_FOUND},
      {L"no-such-program-anywhere", L"", ERROR_FILE_NOT_FOUND},
      {L"\"" + plain.wstring() + L"\"", L"", ERROR_ACCESS_DENIED},
      {childCommandLine("echoArgs"), (root() / "missing").wstring(), ERROR_DIRECTORY},
  };
  for (const auto& c : cases) {
    PROCESS_INFORMATION pi{};
    EXPECT_FALSE(start(c.commandLine, pi, 0, nullptr, c.cwd.empty() ? nullptr : c.cwd.c_str()));
    EXPECT_EQ(GetLastError(), c.error) << int(&c - cases);
    EXPECT_EQ(pi.hProcess, nullptr);
  }
}

// A pipe end as a handle, as the file layer's pipes will be.
class PipeEnd : public tesmira::platform::kernel::FdObject {
 public:
  explicit PipeEnd(int fd) : fd_(fd) {}
  ~PipeEnd() override { ::close(fd_); }
  int fd() const override { return fd_; }

 private:
  int fd_;
};

// Child: prints its arguments to standard output.
TESMIRA_CHILD_MAIN(printArgs) {
  for (const auto& a : args) std::printf("%s\n", a.c_str());
  return 0;
}

TEST_F(ProcessTest, StandardHandlesReachTheChild) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  HANDLE writeEnd = tesmira::platform::handles::insert(std::make_shared<PipeEnd>(fds[1]));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = INVALID_HANDLE_VALUE;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start(childCommandLine("printArgs", {"vcam producer starting"}), pi, CREATE_NO_WINDOW, nullptr,
                    nullptr, &si));
  CloseHandle(writeEnd);
  std::string out;
  char buffer[256];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, size_t(n));
  ::close(fds[0]);
  EXPECT_EQ(out, "vcam producer starting\n");
  EXPECT_EQ(exitCodeOf(pi), 0u);
}

bool runningInSnapshot(DWORD pid, DWORD* parent = nullptr, std::wstring* name = nullptr) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  EXPECT_NE(snap, INVALID_HANDLE_VALUE);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
    if (entry.th32ProcessID != pid) continue;
    found = true;
    if (parent) *parent = entry.th32ParentProcessID;
    if (name) *name = entry.szExeFile;
  }
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
  CloseHandle(snap);
  return found;
}

TEST_F(ProcessTest, SnapshotsListTheRunningProcesses) {
  DWORD parent = 0;
  std::wstring name;
  ASSERT_TRUE(runningInSnapshot(GetCurrentProcessId(), &parent, &name));
  EXPECT_EQ(parent, DWORD(::getppid()));
  EXPECT_EQ(name, std::filesystem::path(self()).filename().wstring());

  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start(childCommandLine("exitWith", {"wait"}), pi));
  EXPECT_TRUE(runningInSnapshot(pi.dwProcessId, &parent));
  EXPECT_EQ(parent, GetCurrentProcessId());
  TerminateProcess(pi.hProcess, 0);
  WaitForSingleObject(pi.hProcess, 30000);
  EXPECT_FALSE(runningInSnapshot(pi.dwProcessId)) << "an ended child is not listed";
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);

  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W small{};
  small.dwSize = 8;
  EXPECT_FALSE(Process32FirstW(snap, &small));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_LENGTH));
  CloseHandle(snap);
}

void setKillOnClose(HANDLE job) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ASSERT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits));
}

// Starts `exitWith wait` suspended in the job, as the agent starts the producer.
PROCESS_INFORMATION startInJob(HANDLE job) {
  PROCESS_INFORMATION pi{};
  EXPECT_TRUE(start(childCommandLine("exitWith", {"wait"}), pi, CREATE_SUSPENDED | CREATE_NO_WINDOW));
  EXPECT_TRUE(AssignProcessToJobObject(job, pi.hProcess));
  EXPECT_EQ(ResumeThread(pi.hThread), 1u);
  return pi;
}

TEST_F(ProcessTest, ClosingAKillOnCloseJobEndsItsChildren) {
  for (bool killOnClose : {true, false}) {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    ASSERT_TRUE(job);
    if (killOnClose) setKillOnClose(job);
    PROCESS_INFORMATION pi = startInJob(job);
    CloseHandle(job);
    if (killOnClose) {
      EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    } else {
      EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), DWORD(WAIT_TIMEOUT));
      TerminateProcess(pi.hProcess, 0);
    }
    exitCodeOf(pi);
  }
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  EXPECT_FALSE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, 8));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_LENGTH));
  CloseHandle(job);
}

// Child: holds a kill-on-close job with one child in it, publishes that child's
// id and waits to be killed.
TESMIRA_CHILD_MAIN(holdJob) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  PROCESS_INFORMATION pi{};
  STARTUPINFOW si{};
  si.cb = sizeof si;
  std::wstring line = childCommandLine("exitWith", {"wait"});
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi)) {
    return 10;
  }
  AssignProcessToJobObject(job, pi.hProcess);
  ResumeThread(pi.hThread);
  writeEcho(std::to_string(pi.dwProcessId));
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\JobReady");
  SetEvent(ready);
  for (;;) Sleep(1000);
}

TEST_F(ProcessTest, AJobsChildDiesWhenItsHolderIsKilled) {
  HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, L"Local\\JobReady");
  pid_t holder = spawnChild("holdJob");
  ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
  pid_t grandchild = std::atoi(echoed().c_str());
  ASSERT_GT(grandchild, 0);
  int pidfd = int(::syscall(SYS_pidfd_open, grandchild, 0));
  ASSERT_GE(pidfd, 0);
  pollfd alive{pidfd, POLLIN, 0};
  EXPECT_EQ(::poll(&alive, 1, 0), 0) << "the job's child runs while its holder lives";
  ::kill(holder, SIGKILL);
  EXPECT_EQ(waitChild(holder), 128 + SIGKILL);
  pollfd gone{pidfd, POLLIN, 0};
  EXPECT_EQ(::poll(&gone, 1, 30000), 1) << "the job's child outlived its holder";
  ::close(pidfd);
  CloseHandle(ready);
}

// Child: starts a waiting grandchild, writes its id and ends, leaving it to another parent.
TESMIRA_CHILD_MAIN(leaveOrphan) {
  PROCESS_INFORMATION pi{};
  STARTUPINFOW si{};
  si.cb = sizeof si;
  std::wstring line = childCommandLine("exitWith", {"wait"});
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 10;
  writeEcho(std::to_string(pi.dwProcessId));
  return 0;
}

TEST_F(ProcessTest, OpenProcessReachesAProcessOfAnotherParentWithTheRightsAskedFor) {
  PROCESS_INFORMATION starter{};
  ASSERT_TRUE(start(childCommandLine("leaveOrphan"), starter));
  ASSERT_EQ(exitCodeOf(starter), 0u);
  const DWORD pid = DWORD(std::atoi(echoed().c_str()));
  ASSERT_GT(pid, 0u);

  const struct {
    const char* label;
    DWORD access;
    bool terminate, wait, query;
  } rows[] = {
      {"query only", PROCESS_QUERY_LIMITED_INFORMATION, false, false, true},
      {"wait only", SYNCHRONIZE, false, true, false},
      {"terminate only", PROCESS_TERMINATE, true, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    HANDLE h = OpenProcess(row.access, FALSE, pid);
    ASSERT_NE(h, nullptr);
    DWORD code = 0;
    EXPECT_EQ(GetExitCodeProcess(h, &code) != FALSE, row.query);
    if (row.query) {
      EXPECT_EQ(code, DWORD(STILL_ACTIVE)) << "alive although it is not our child";
    } else {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(WaitForSingleObject(h, 0), row.wait ? DWORD(WAIT_TIMEOUT) : DWORD(WAIT_FAILED));
    if (!row.wait) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }
    if (!row.terminate) {
      EXPECT_FALSE(TerminateProcess(h, 3));
      EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }
    CloseHandle(h);
  }

  HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  ASSERT_NE(h, nullptr);
  HANDLE watcher = OpenProcess(SYNCHRONIZE, FALSE, pid);
  ASSERT_TRUE(TerminateProcess(h, 7));
  EXPECT_EQ(WaitForSingleObject(h, 30000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(watcher, 30000), WAIT_OBJECT_0) << "every handle sees the end";
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(h, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_FALSE(TerminateProcess(h, 9)) << "it has already ended";
  CloseHandle(watcher);
  CloseHandle(h);
}

TEST_F(ProcessTest, OpenProcessRefusesAnIdThatNamesNoProcess) {
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start(childCommandLine("exitWith", {"0"}), pi));
  const DWORD gone = pi.dwProcessId;
  ASSERT_EQ(exitCodeOf(pi), 0u);  // ended and reaped: its id names nothing now
  for (DWORD id : {DWORD(0), gone, DWORD(0xFFFFFFF0u)}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, id), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  }
  tesmira::platform::faults::inject("OpenProcess", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId()), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(ProcessTest, HandleFlagsAreKeptPerHandle) {
  HANDLE a = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE b = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD flags = 99;
  ASSERT_TRUE(GetHandleInformation(a, &flags));
  EXPECT_EQ(flags, 0u);
  EXPECT_TRUE(SetHandleInformation(a, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT));
  EXPECT_TRUE(SetHandleInformation(b, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT));
  EXPECT_TRUE(SetHandleInformation(b, HANDLE_FLAG_INHERIT, 0));  // the launcher's read end
  GetHandleInformation(a, &flags);
  EXPECT_EQ(flags, HANDLE_FLAG_INHERIT);
  GetHandleInformation(b, &flags);
  EXPECT_EQ(flags, 0u);
  CloseHandle(a);
  CloseHandle(b);
  EXPECT_FALSE(SetHandleInformation(a, HANDLE_FLAG_INHERIT, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(ProcessTest, BadHandlesAreRefused) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeProcess(event, &code));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(TerminateProcess(event, 0));
  EXPECT_EQ(ResumeThread(event), DWORD(-1));
  EXPECT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
  EXPECT_EQ(code, DWORD(STILL_ACTIVE));
  CloseHandle(event);
}

}  // namespace

namespace {

// Polls (real time) until the file exists; false after timeoutMs.
bool waitForFile(const std::filesystem::path& file, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    if (std::filesystem::exists(file)) return true;
    Sleep(20);
  }
  return std::filesystem::exists(file);
}

void writeReadableOnly(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                         std::filesystem::perms::group_read | std::filesystem::perms::others_read);
}

}  // namespace

// Windows starts any readable program file; here a script goes through its interpreter
// and an ELF runs from a copy, with no execute bit on either.
TEST_F(ProcessTest, AReadableProgramWithoutExecuteBitStarts) {
  const auto script = root() / "setup script.exe";
  writeReadableOnly(script, "#!/bin/sh -e\nprintf '[%s]\\n' \"$@\" > \"$TESMIRA_ECHO_FILE\"\n");
  const auto copy = root() / "copy.exe";
  writeReadableOnly(copy, readFile("/proc/self/exe"));
  const struct {
    const char* label;
    std::wstring commandLine;
    std::string echoed;
  } rows[] = {
      {"script", L"\"" + script.wstring() + L"\" /VERYSILENT \"/LOG=C:\\x y\\z.log\"",
       "[/VERYSILENT]\n[/LOG=C:\\x y\\z.log]\n"},
      {"ELF", L"\"" + copy.wstring() + L"\" --tesmira-child echoArgs \"a b\"", "[a b]\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    std::filesystem::remove(echoFile_);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(start(row.commandLine, pi)) << GetLastError();
    EXPECT_EQ(exitCodeOf(pi), 0u);
    EXPECT_EQ(echoed(), row.echoed);
  }
}

// Child: starts the program detached in the folder it is given, then exits at once.
TESMIRA_CHILD_MAIN(launchDetached) {
  std::wstring commandLine = L"\"" + std::filesystem::path(args[0]).wstring() + L"\" " +
                             std::filesystem::path(args[1]).wstring();
  const std::wstring folder = std::filesystem::path(args[2]).wstring();
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP,
                      nullptr, folder.c_str(), &si, &pi)) {
    return int(GetLastError());
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return 0;
}

TEST_F(ProcessTest, ADetachedProcessHasNoConsoleAndOutlivesItsParent) {
  const auto updates = root() / "Program Data" / "Updates";
  std::filesystem::create_directories(updates);
  const auto record = root() / "record.txt";
  const auto release = root() / "release";
  const auto finished = root() / "finished";
  // Records its arguments, folder, session and standard handles; ends once released.
  const auto installer = updates / "TesmiraSetup-1.4.0.exe";
  writeReadableOnly(installer,
                    "#!/bin/sh\n"
                    "handles=$(for fd in 0 1 2; do readlink /proc/$$/fd/$fd; done)\n"
                    "{ printf '[%s]\\n' \"$@\"; pwd; echo \"pid $$\"; awk '{print \"session \" ($6 == $1)}' /proc/$$/stat;\n"
                    "  echo \"$handles\"; } > '" + record.string() + ".tmp'\n"
                    "mv '" + record.string() + ".tmp' '" + record.string() + "'\n"
                    "i=0; while [ ! -e '" + release.string() + "' ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done\n"
                    "touch '" + finished.string() + "'\n");
  const std::string arguments = "/VERYSILENT /SUPPRESSMSGBOXES /NORESTART \"/LOG=" + (updates / "install-1.4.0.log").string() + "\"";
  const pid_t parent = spawnChild("launchDetached", {installer.string(), arguments, updates.string()});
  ASSERT_GT(parent, 0);
  EXPECT_EQ(waitChild(parent), 0) << "the parent started it and exited";
  ASSERT_TRUE(waitForFile(record, 20000));
  const std::string text = readFile(record);
  const std::string expected = "[/VERYSILENT]\n[/SUPPRESSMSGBOXES]\n[/NORESTART]\n[/LOG=" +
                               (updates / "install-1.4.0.log").string() + "]\n" + updates.string() + "\n";
  EXPECT_EQ(text.substr(0, expected.size()), expected);
  EXPECT_NE(text.find("session 1\n/dev/null\n/dev/null\n/dev/null\n"), std::string::npos) << text;
  const size_t pidAt = text.find("pid ");
  ASSERT_NE(pidAt, std::string::npos);
  const pid_t installerPid = pid_t(std::atoi(text.c_str() + pidAt + 4));
  EXPECT_EQ(::kill(installerPid, 0), 0) << "still running after its parent exited";
  EXPECT_FALSE(std::filesystem::exists(finished));
  std::ofstream(release.string()) << "go";
  EXPECT_TRUE(waitForFile(finished, 20000));
}
