#pragma once
// The service tool's command line and the dispatch of its one command.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tesmira {

struct VcamCommandOptions {
  std::wstring command = L"help";
  std::wstring mediaSourceDllPath;
  std::wstring ownExecutablePath;
  std::wstring producerExecutable;
  std::wstring producerRepoRoot;
  int32_t producerCameraIndex = 0;
  int32_t allUsers = 1;
  std::wstring manifestUrl;
  std::wstring srcTag = L"manual";
  std::wstring installedVersion;
  bool interactive = false;
  bool allowUnsigned = false;
};

// The defaults that depend on where the tool lies.
VcamCommandOptions defaultVcamCommandOptions();

// arguments: everything after the program name; the first one is the command. Throws
// std::runtime_error "unknown option", "missing option value" or the stoi texts.
VcamCommandOptions parseVcamCommandLine(const std::vector<std::wstring>& arguments);

// The help text, exactly as printed.
const wchar_t* vcamHelpText();

// Prints "<step> succeeded" (0) or the failure with its detail and hint (1).
int reportStep(const std::wstring& step, HRESULT hr);

// Copies the tool and the media source DLL under fresh names into the staging folder
// and points the options at the copies.
HRESULT stageInstallFiles(VcamCommandOptions& options);

// The whole program: parse, dispatch, print; the process exit code.
int runVcamTool(int argc, wchar_t** argv);

// Console output as UTF-8.
void writeStdout(const std::wstring& text);
void writeStderr(const std::wstring& text);
// An exception's message (UTF-8) as wide text.
std::wstring widenUtf8(const char* text);

}  // namespace tesmira
