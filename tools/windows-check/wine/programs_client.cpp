// programs_client.exe: checks the agent, the launcher and their resources as a
// Windows machine runs them, with one "passed: <case>" or "failed: <case>: <why>"
// line per case.
//   programs_client.exe agent <agent exe>      the agent starts and stops a producer on demand
//   programs_client.exe window <launcher exe>  the launcher's window opens and closes
//   programs_client.exe manifest <exe>         the executable's manifest asks for elevation
// Built with MinGW-w64 and run under Wine.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "common/channels.h"
#include "tools/windows-check/wine/result.h"

namespace {

using tesmira::wine_checks::failures;
using tesmira::wine_checks::result;

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? char(c) : '?';
  return out;
}

std::wstring expand(const wchar_t* text) {
  wchar_t buffer[MAX_PATH];
  const DWORD length = ExpandEnvironmentStringsW(text, buffer, MAX_PATH);
  return length && length <= MAX_PATH ? std::wstring(buffer) : std::wstring();
}

std::string readAll(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::wstring folderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/")); }

// Polls `done` every 50 ms until it holds or `ms` pass; whether it held.
template <class Done>
bool waitFor(DWORD ms, Done done) {
  const ULONGLONG deadline = GetTickCount64() + ms;
  while (!done()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(50);
  }
  return true;
}

PROCESS_INFORMATION start(const std::wstring& exe) {
  std::wstring line = L"\"" + exe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, folderOf(exe).c_str(), &startup,
                      &process))
    process = {};
  return process;
}

void end(PROCESS_INFORMATION& process) {
  if (!process.hProcess) return;
  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, 5000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  process = {};
}

void checkAgent(const std::wstring& agent) {
  const std::wstring log = expand(L"%ProgramData%\\Tesmira\\Logs\\vcam-agent.log");
  DeleteFileW(log.c_str());
  const std::wstring marker = folderOf(agent) + L"\\stand-in-producer.txt";
  DeleteFileW(marker.c_str());
  // A short idle stop, so the producer goes soon after demand does.
  const DWORD idleStopMs = 1000;
  RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Tesmira", L"IdleStopMs", REG_DWORD, &idleStopMs, sizeof(idleStopMs));

  // The control channel as the service seeds it; the agent only opens it.
  const std::wstring name = std::wstring(tesmira::kLocalPrefix) + tesmira::kVcamControlChannelName;
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(tesmira::VcamControlBlock), name.c_str());
  auto* control = mapping ? static_cast<tesmira::VcamControlBlock*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
  result("the control channel is made", control ? "" : "mapping failed");
  if (!control) return;
  *control = tesmira::freshVcamControlBlock();

  PROCESS_INFORMATION process = start(agent);
  result("the agent starts", process.hProcess ? "" : "CreateProcess error " + std::to_string(GetLastError()));
  if (process.hProcess) {
    const bool starting = waitFor(15000, [&] { return readAll(log).find("agent starting") != std::string::npos; });
    result("the agent logs \"agent starting\"", starting ? "" : "log: [" + readAll(log) + "]");
    const bool idle = waitFor(5000, [&] { return readAll(log).find("idle; waiting for a consumer to open Tesmira") != std::string::npos; });
    result("without demand the agent waits idle", idle ? "" : "log: [" + readAll(log) + "]");
    result("without demand no producer runs", GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES ? "" : "it started");

    // Demand: sample requests as the media source stamps them.
    const bool started = waitFor(10000, [&] {
      std::atomic_ref<uint64_t>(control->requestTick).store(GetTickCount64());
      return !readAll(marker).empty();
    });
    result("on demand the agent starts the producer", started ? "" : "log: [" + readAll(log) + "]");
    const std::string text = readAll(marker);
    const std::string arguments = "\" \"--camera\" \"--no-mirror\" \"--provider\" \"directml\" \"--camera-index\" \"0\" \"--repo-root\" \"" +
                                  narrow(folderOf(agent)) + "\"";
    result("the producer gets the camera, provider and data folder", text.find(arguments) != std::string::npos ? "" : "command line: " + text);
    result("the agent logs the producer's start",
           readAll(log).find("producer started (camera-index=0 provider=directml)") != std::string::npos ? "" : "log: [" + readAll(log) + "]");

    // No demand: stopped once the idle time is over.
    const DWORD pid = std::strtoul(text.c_str(), nullptr, 10);
    HANDLE producer = pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
    const bool stopped = producer && WaitForSingleObject(producer, 10000) == WAIT_OBJECT_0;
    result("without demand the agent stops the producer", stopped ? "" : "still running");
    if (producer) CloseHandle(producer);
    result("the agent logs the idle stop",
           readAll(log).find("no demand for 1000 ms; stopping producer") != std::string::npos ? "" : "log: [" + readAll(log) + "]");
    result("the agent runs on", WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT ? "" : "it ended");
    end(process);
  }
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Tesmira", L"IdleStopMs");
  UnmapViewOfFile(control);
  CloseHandle(mapping);
}

void checkWindow(const std::wstring& launcher) {
  PROCESS_INFORMATION process = start(launcher);
  result("the launcher starts", process.hProcess ? "" : "CreateProcess error " + std::to_string(GetLastError()));
  if (!process.hProcess) return;
  HWND window = nullptr;
  const bool shown = waitFor(20000, [&] {
    window = FindWindowW(L"TesmiraLauncherWindow", L"Tesmira Launcher");
    return window && IsWindowVisible(window);
  });
  result("the launcher's window opens", window ? "" : "no TesmiraLauncherWindow titled Tesmira Launcher");
  result("the window is shown", shown ? "" : "hidden");
  if (window) {
    RECT client{};
    GetClientRect(window, &client);
    result("the window's client area is 596 x 600",
           client.right == 596 && client.bottom == 600
               ? ""
               : std::to_string(client.right) + " x " + std::to_string(client.bottom));
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD code = 1;
    const bool ended = WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0 && GetExitCodeProcess(process.hProcess, &code);
    result("closing the window ends the launcher with 0", ended && code == 0 ? "" : "exit " + std::to_string(code));
  }
  end(process);
}

// The RT_MANIFEST resource 1, as the loader reads it.
void checkManifest(const std::wstring& path) {
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  HRSRC found = module ? FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) : nullptr;
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  const std::string manifest = data ? std::string(data, SizeofResource(module, found)) : std::string();
  result("the launcher has a process manifest resource", manifest.empty() ? "none" : "");
  result("the launcher's manifest reads requireAdministrator",
         manifest.find("level=\"requireAdministrator\"") != std::string::npos ? "" : "no requireAdministrator");
  if (module) FreeLibrary(module);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc == 3 ? argv[1] : L"";
  if (mode == L"agent") {
    checkAgent(argv[2]);
  } else if (mode == L"window") {
    checkWindow(argv[2]);
  } else if (mode == L"manifest") {
    checkManifest(argv[2]);
  } else {
    std::fprintf(stderr, "usage: programs_client.exe agent|window|manifest <exe>\n");
    return 2;
  }
  return failures ? 1 : 0;
}
