#include "service/vcam_command.h"

#include <cstdio>
#include <exception>
#include <stdexcept>

#include "common/argument_numbers.h"
#include "common/error_text.h"
#include "common/executable_paths.h"
#include "common/file_acl.h"
#include "common/process_token.h"
#include "common/program_data.h"
#include "common/vcam_registration.h"
#include "service/relaunch.h"
#include "service/update_options.h"
#include "service/windows_service.h"

namespace tesmira {
namespace {

constexpr const wchar_t* kHelpText =
    L"Tesmira Windows virtual camera service\n"
    L"\n"
    L"Commands:\n"
    L"  install          Register COM, create/start vcam, install the auto-start broker service\n"
    L"  ensure           Register COM and create/start the vcam once\n"
    L"  run-service      Internal SCM entry point (broker: owns shared IPC objects, re-ensures vcam)\n"
    L"  remove-vcam      Remove the Windows 11 virtual camera\n"
    L"  uninstall        Stop/delete service, remove vcam, unregister COM\n"
    L"  list-cameras     List physical cameras visible to Media Foundation\n"
    L"  list-cameras-raw Machine-readable raw enumeration (index<TAB>tesmira<TAB>name)\n"
    L"  update-check     Fetch the release manifest; download + verify a newer installer\n"
    L"                   into %ProgramData%\\Tesmira\\Updates (writes status.json)\n"
    L"  update-apply     Re-verify and silently run the staged installer (elevated;\n"
    L"                   defers while an app is using the Tesmira camera)\n"
    L"  relaunch-agent   Start tesmira_agent.exe in active user sessions (SYSTEM only)\n"
    L"\n"
    L"Options:\n"
    L"  --media-source-dll <path>   Path to tesmira_windows_vcam_source.dll\n"
    L"  --producer-exe <path>       Optional retouch producer executable\n"
    L"  --producer-repo-root <path> Repo/assets root passed to the producer\n"
    L"  --producer-camera-index <n> Camera index passed to the producer (default 0)\n"
    L"  --current-user              Register vcam for current user only\n"
    L"  --all-users                 Register vcam for all users (default, admin required)\n"
    L"  --manifest-url <url>        Update feed override (HTTPS; testing/staging)\n"
    L"  --src <name>                Update telemetry source tag: task|studio|manual\n"
    L"  --interactive               update-apply: relaunch Studio after the install\n"
    L"  --allow-unsigned            update: skip Authenticode (local testing only)\n"
    L"  --installed-version <v>     update: override the installed version (testing only)\n"
    L"\n"
    L"Update exit codes: 0 ok, 11 camera-in-use, 12 network, 13 verify failed,\n"
    L"  14 needs elevation, 15 nothing staged, 16 updater already running\n";

constexpr const wchar_t* kAccessDeniedHint =
    L"hint: The default --all-users install requires an elevated PowerShell. If already elevated, enable Windows "
    L"Settings > Privacy & security > Camera > Camera access and Let desktop apps access your camera.\n";

constexpr const wchar_t* kDefaultManifestUrl = L"https://updates.tesmira.app/tesmira-releases/windows/manifest.json";

void writeUtf8(FILE* stream, const std::wstring& text) {
  if (text.empty()) return;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string utf8(size_t(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), utf8.data(), bytes, nullptr, nullptr);
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
  std::fflush(stream);
}

ServiceConfig serviceConfigFrom(const VcamCommandOptions& options) {
  ServiceConfig config;
  config.serviceExecutablePath = options.ownExecutablePath;
  config.mediaSourceDllPath = options.mediaSourceDllPath;
  config.producerExecutable = options.producerExecutable;
  config.producerRepoRoot = options.producerRepoRoot;
  config.producerCameraIndex = options.producerCameraIndex;
  config.allUsers = options.allUsers;
  return config;
}

UpdateOptions updateOptionsFrom(const VcamCommandOptions& options) {
  UpdateOptions update;
  update.manifestUrl = options.manifestUrl.empty() ? std::wstring(kDefaultManifestUrl) : options.manifestUrl;
  update.srcTag = options.srcTag;
  update.installedVersionOverride = options.installedVersion;
  update.interactive = options.interactive;
  update.allowUnsigned = options.allowUnsigned;
  return update;
}

int listCameras() {
  const std::vector<CameraDevice> cameras = listPhysicalCameras();
  for (size_t i = 0; i < cameras.size(); ++i) {
    writeStdout(std::to_wstring(i) + L": " + cameras[i].friendlyName + L"\n   " + cameras[i].symbolicLink + L"\n");
  }
  return cameras.empty() ? 1 : 0;
}

int listCamerasRawCommand() {
  const std::vector<RawCameraEntry> entries = listCamerasRaw();
  for (const RawCameraEntry& entry : entries) {
    writeStdout(std::to_wstring(entry.index) + L"\t" + (entry.ours ? L"1" : L"0") + L"\t" + entry.friendlyName + L"\n");
  }
  return entries.empty() ? 1 : 0;
}

int ensureCommand(const VcamCommandOptions& options) {
  std::wstring link;
  const HRESULT hr = ensureVirtualCamera({options.mediaSourceDllPath, options.allUsers, 1}, &link);
  if (SUCCEEDED(hr) && !link.empty()) writeStdout(L"Symbolic link: " + link + L"\n");
  return reportStep(L"ensure", hr);
}

int installCommand(VcamCommandOptions& options) {
  HRESULT hr = stageInstallFiles(options);
  if (FAILED(hr)) return reportStep(L"stage install files", hr);
  std::wstring link;
  hr = ensureVirtualCamera({options.mediaSourceDllPath, options.allUsers, 1}, &link);
  if (FAILED(hr)) return reportStep(L"ensure", hr);
  return reportStep(L"install service", installService(serviceConfigFrom(options)));
}

int uninstallCommand(const VcamCommandOptions& options) {
  HRESULT hr = uninstallService();
  if (FAILED(hr)) return reportStep(L"uninstall service", hr);
  hr = removeVirtualCamera(options.allUsers);
  if (FAILED(hr)) writeStderr(L"remove vcam failed: " + hresultToText(hr) + L"\n");
  hr = unregisterComServer();
  if (SUCCEEDED(hr) || HRESULT_CODE(hr) == ERROR_FILE_NOT_FOUND) {
    writeStdout(L"uninstall succeeded\n");
    return 0;
  }
  return reportStep(L"unregister COM", hr);
}

int dispatch(VcamCommandOptions& options) {
  const std::wstring& command = options.command;
  if (command == L"help" || command == L"--help" || command == L"-h" || command == L"/?") {
    writeStdout(kHelpText);
    return 0;
  }
  if (command == L"run-service") return runServiceDispatcher(serviceConfigFrom(options));
  if (command == L"list-cameras") return listCameras();
  if (command == L"list-cameras-raw") return listCamerasRawCommand();
  if (command == L"update-check") return updateCheck(updateOptionsFrom(options));
  if (command == L"update-apply") return updateApply(updateOptionsFrom(options));
  if (command == L"relaunch-agent") return relaunchAgent();
  if (options.allUsers == 1 && !isProcessElevated()) {
    writeStderr(L"All-users registration requires an elevated terminal.\n");
    return 1;
  }
  if (command == L"ensure") return ensureCommand(options);
  if (command == L"install") return installCommand(options);
  if (command == L"remove-vcam") return reportStep(L"remove vcam", removeVirtualCamera(options.allUsers));
  if (command == L"uninstall") return uninstallCommand(options);
  writeStdout(kHelpText);
  return 1;
}

}  // namespace

void writeStdout(const std::wstring& text) { writeUtf8(stdout, text); }

std::wstring widenUtf8(const char* text) {
  std::wstring out;
  const int count = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (count <= 1) return out;
  out.resize(size_t(count));
  MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), count);
  out.resize(size_t(count - 1));
  return out;
}
void writeStderr(const std::wstring& text) { writeUtf8(stderr, text); }

const wchar_t* vcamHelpText() { return kHelpText; }

VcamCommandOptions defaultVcamCommandOptions() {
  VcamCommandOptions options;
  options.mediaSourceDllPath = defaultMediaSourceDllPath().wstring();
  options.ownExecutablePath = executablePath().wstring();
  options.producerExecutable = (executableDirectory() / L"tesmira_windows_retouch_vcam_producer.exe").wstring();
  return options;
}

VcamCommandOptions parseVcamCommandLine(const std::vector<std::wstring>& arguments) {
  VcamCommandOptions options = defaultVcamCommandOptions();
  if (arguments.empty()) return options;
  options.command = arguments[0];
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::wstring& option = arguments[i];
    // A value option takes the next argument, whatever it looks like.
    auto value = [&]() -> const std::wstring& {
      if (i + 1 >= arguments.size()) throw std::runtime_error("missing option value");
      return arguments[++i];
    };
    if (option == L"--media-source-dll") {
      options.mediaSourceDllPath = value();
    } else if (option == L"--producer-exe") {
      options.producerExecutable = value();
    } else if (option == L"--producer-repo-root") {
      options.producerRepoRoot = value();
    } else if (option == L"--producer-camera-index") {
      options.producerCameraIndex = parseIntArgument(value());
    } else if (option == L"--current-user") {
      options.allUsers = 0;
    } else if (option == L"--all-users") {
      options.allUsers = 1;
    } else if (option == L"--manifest-url") {
      options.manifestUrl = value();
    } else if (option == L"--src") {
      options.srcTag = value();
    } else if (option == L"--installed-version") {
      options.installedVersion = value();
    } else if (option == L"--interactive") {
      options.interactive = true;
    } else if (option == L"--allow-unsigned") {
      options.allowUnsigned = true;
    } else {
      throw std::runtime_error("unknown option");
    }
  }
  return options;
}

int reportStep(const std::wstring& step, HRESULT hr) {
  if (hr >= 0) {
    writeStdout(step + L" succeeded\n");
    return 0;
  }
  std::wstring text = step + L" failed: " + hresultToText(hr) + L"\n";
  const std::wstring detail = lastFailureDetail();
  if (!detail.empty()) text += L"detail: " + detail + L"\n";
  if (hr == E_ACCESSDENIED) text += kAccessDeniedHint;
  writeStderr(text);
  return 1;
}

HRESULT stageInstallFiles(VcamCommandOptions& options) {
  const std::filesystem::path staging = vcamStagingFolder();
  const std::wstring suffix = L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount64());
  const std::filesystem::path executable = staging / (L"tesmira_windows_vcam_service" + suffix + L".exe");
  const std::filesystem::path dll = staging / (L"tesmira_windows_vcam_source" + suffix + L".dll");
  // The product folder gets the protected ACL that the staging folder then inherits.
  HRESULT hr = createDirectoryWithAcl(staging.parent_path());
  if (FAILED(hr)) return hr;
  hr = copyFileWithAcl(options.ownExecutablePath, executable);
  if (FAILED(hr)) return hr;
  hr = copyFileWithAcl(options.mediaSourceDllPath, dll);
  if (FAILED(hr)) return hr;
  options.ownExecutablePath = executable.wstring();
  options.mediaSourceDllPath = dll.wstring();
  writeStdout(L"Staged vcam binaries in " + staging.wstring() + L"\n");
  return S_OK;
}

int runVcamTool(int argc, wchar_t** argv) {
  try {
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    VcamCommandOptions options = parseVcamCommandLine(arguments);
    return dispatch(options);
  } catch (const std::exception& error) {
    writeStderr(L"fatal: " + widenUtf8(error.what()) + L"\n");
    return 1;
  }
}

}  // namespace tesmira
