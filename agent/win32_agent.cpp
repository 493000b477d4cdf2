#include "agent/win32_agent.h"

#include <combaseapi.h>
#include <mfapi.h>

#include "agent/channel_publisher.h"
#include "common/command_line.h"
#include "common/error_text.h"
#include "common/executable_paths.h"
#include "common/file_log.h"

namespace tesmira::agent {

static_assert(kRegSz == REG_SZ && kRegDword == REG_DWORD);

LSTATUS RegistrySettingsKey::query(const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kAgentSettingsKey, 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return status;
  status = RegQueryValueExW(key, name, nullptr, type, data, size);
  RegCloseKey(key);
  return status;
}

VcamControlBlock* MappedControlChannel::map() {
  if (!channel_.view) {
    channel_ = openExistingChannel(kVcamControlChannelName, FILE_MAP_READ | FILE_MAP_WRITE, sizeof(VcamControlBlock));
  }
  return channel_.as<VcamControlBlock>();
}

JobProducerControl::~JobProducerControl() {
  // The producer itself is left to the job: closing it when the agent ends kills the producer.
  if (record_.thread) CloseHandle(record_.thread);
  if (record_.process) CloseHandle(record_.process);
}

bool JobProducerControl::exited() {
  return record_.running && WaitForSingleObject(record_.process, 0) == WAIT_OBJECT_0;
}

bool JobProducerControl::exists(const std::filesystem::path& program) {
  return GetFileAttributesW(program.wstring().c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD JobProducerControl::start(const std::vector<std::wstring>& arguments) {
  std::wstring commandLine = joinCommandLine(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &info)) {
    return GetLastError();
  }
  if (job_) AssignProcessToJobObject(job_, info.hProcess);
  ResumeThread(info.hThread);
  record_ = {info.hProcess, info.hThread, info.dwProcessId, info.dwThreadId, true};
  return 0;
}

void JobProducerControl::stop() {
  if (!record_.running) return;
  TerminateProcess(record_.process, 0);
  WaitForSingleObject(record_.process, kProducerStopWaitMs);
  CloseHandle(record_.thread);
  CloseHandle(record_.process);
  record_ = {};
}

std::wstring JobProducerControl::errorText(DWORD code) { return win32ErrorToText(code); }

void FileLog::line(const std::wstring& message) { appendLogLineTo(agentLogPath(), message); }

HANDLE createKillOnCloseJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

int runAgent() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_LITE);
  FileLog log;

  SetLastError(ERROR_SUCCESS);
  HANDLE singleton = CreateMutexW(nullptr, TRUE, kAgentMutexName);
  if (singleton && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(singleton);
    log.line(L"agent already running in this session; exiting");
    return 0;
  }
  log.line(L"agent starting");

  JobProducerControl producer(createKillOnCloseJob());
  RegistrySettingsKey settings;
  MappedControlChannel control;
  ChannelPublisher publisher(log);
  Supervisor supervisor(settings, control, producer, publisher, log, executableDirectory());
  for (;;) {
    supervisor.runPass();
    Sleep(kPassIntervalMs);
  }
}

}  // namespace tesmira::agent
