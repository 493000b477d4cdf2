#include "service/updater/update_apply.h"

#include <cstring>

#include "common/atomic_file.h"
#include "common/bounded_json.h"
#include "common/channel.h"
#include "common/command_line.h"
#include "common/error_text.h"
#include "common/process_token.h"
#include "service/updater/update_download.h"
#include "service/updater_log.h"

namespace tesmira {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

UpdateApplyHooks& hooks() {
  static UpdateApplyHooks installed;
  return installed;
}

// A name of the control channel is live when its header is current and the newer of its
// two ticks is at most three seconds old (a tick from the future is not trusted). Both
// names are looked at: a stale one does not hide a live one.
bool controlChannelLive(const void* view) {
  VcamControlBlock block;
  std::memcpy(&block, view, sizeof(block));
  return hasCurrentHeader(block) &&
         tickIsFresh(std::max(block.requestTick, block.streamStartTick), GetTickCount64(), kCameraLiveWindowMs);
}

bool startInstaller(std::wstring& commandLine, const fs::path& folder) {
  const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
  const std::wstring directory = folder.wstring();
  if (hooks().startProcess) return hooks().startProcess(commandLine.data(), flags, directory.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, directory.c_str(), &startup,
                      &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

json textOrNull(const std::wstring& text) { return text.empty() ? json(nullptr) : json(wideToUtf8(text)); }

}  // namespace

void setUpdateApplyHooks(UpdateApplyHooks installed) { hooks() = std::move(installed); }

bool isCameraLive() {
  if (hooks().cameraLive) return hooks().cameraLive();
  return openExistingChannel(kVcamControlChannelName, FILE_MAP_READ, sizeof(VcamControlBlock), controlChannelLive)
             .view != nullptr;
}

fs::path statusJsonPath() { return updatesFolder() / L"status.json"; }

json readStatusJson() {
  json doc = readBoundedJsonFile(statusJsonPath());
  return doc.is_object() ? doc : json::object();
}

void writeStatusJson(const json& document) {
  std::error_code ec;
  fs::create_directories(updatesFolder(), ec);
  const fs::path target = statusJsonPath();
  const std::string text = document.dump(2, ' ', false, json::error_handler_t::replace) + '\n';
  const fs::path temporary = fs::path(target).replace_extension(L".json.tmp");
  switch (writeFileAtomically(target, text, temporary)) {
    case AtomicWrite::kDone:
      break;
    case AtomicWrite::kNotWritten:
      logUpdater(L"warning: cannot write " + temporary.wstring());
      break;
    case AtomicWrite::kNotReplaced:
      logUpdater(L"warning: cannot replace status.json: " + win32ErrorToText(GetLastError()));
      break;
  }
}

void buildStatusJson(const std::wstring& state, const std::wstring& installed, const ReleaseManifest* manifest,
                     const UpdateOptions& options, const fs::path* staged, const std::wstring& error) {
  json doc = readStatusJson();
  doc["schemaVersion"] = 1;
  doc["state"] = wideToUtf8(state);
  doc["installedVersion"] = wideToUtf8(installed);
  doc["availableVersion"] = manifest ? json(wideToUtf8(manifest->versionText)) : json(nullptr);
  doc["minVersion"] = manifest ? textOrNull(manifest->minVersion) : json(nullptr);
  doc["notesUrl"] = manifest ? textOrNull(manifest->notesUrl) : json(nullptr);
  doc["stagedInstallerPath"] = staged ? json(wideToUtf8(staged->wstring())) : json(nullptr);
  doc["sha256"] = manifest ? json(manifest->sha256) : json(nullptr);
  doc["sizeBytes"] = manifest ? json(manifest->sizeBytes) : json(nullptr);
  doc["checkedAtUtc"] = utcTimestamp();
  doc["src"] = wideToUtf8(filterSrcTag(options.srcTag));
  doc["error"] = textOrNull(error);
  writeStatusJson(doc);
}

void writeLastApply(const std::string& result) {
  json doc = readStatusJson();
  doc["lastApply"] = {{"attemptedAtUtc", utcTimestamp()}, {"result", result}};
  writeStatusJson(doc);
}

std::string utcTimestamp() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  char text[64];
  std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute, now.wSecond);
  return text;
}

std::string wideToUtf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(size_t(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

std::wstring utf8ToWide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int chars = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(size_t(chars > 0 ? chars : 0), L'\0');
  if (chars > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), chars);
  return wide;
}

std::wstring installerCommandLine(const fs::path& staged, const fs::path& installerLog, bool interactive) {
  std::wstring line = quoteArgument(staged.wstring()) + L" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /LOG=" +
                      quoteArgument(installerLog.wstring());
  if (interactive) line += L" /STUDIORELAUNCH=1";
  return line;
}

int updateApply(const UpdateOptions& options) {
  if (!isProcessElevated()) {
    logUpdater(L"update-apply: requires elevation");
    return 14;
  }
  UpdaterMutex mutex;
  if (!mutex.held()) {
    logUpdater(L"update-apply: another updater instance is running");
    return 16;
  }
  if (isCameraLive()) {
    logUpdater(L"update-apply: deferred - Tesmira is in use right now");
    writeLastApply("deferredCameraLive");
    return 11;
  }
  const std::optional<std::wstring> installed = installedVersion(options);
  const VersionTriple installedTriple = installed ? parseVersion(*installed) : VersionTriple{};
  if (!installedTriple.valid) {
    logUpdater(L"update-apply: no installed version found");
    return 1;
  }
  std::wstring error;
  const ReleaseManifest manifest = fetchManifest(options, *installed, error);
  if (!manifest.valid) {
    logUpdater(L"update-apply: manifest fetch failed: " + error);
    writeLastApply("networkError");
    return 12;
  }
  if (!compareVersions(installedTriple, manifest.version)) {
    logUpdater(L"update-apply: already up to date (" + *installed + L")");
    writeLastApply("upToDate");
    return 0;
  }
  const fs::path staged = stagedInstallerPath(manifest.versionText);
  std::error_code ec;
  if (!fs::exists(staged, ec)) {
    logUpdater(L"update-apply: no staged installer at " + staged.wstring() + L" (run update-check first)");
    writeLastApply("stagedMissing");
    return 15;
  }
  if (!verifyInstaller(staged, manifest, options, error)) {
    logUpdater(L"update-apply: verification failed: " + error);
    writeLastApply("verifyFailed");
    return 13;
  }
  if (isCameraLive()) {
    logUpdater(L"update-apply: deferred - Tesmira became live during verification");
    writeLastApply("deferredCameraLive");
    return 11;
  }
  const fs::path installerLog = updatesFolder() / (L"install-" + manifest.versionText + L".log");
  std::wstring commandLine = installerCommandLine(staged, installerLog, options.interactive);
  if (!startInstaller(commandLine, updatesFolder())) {
    logUpdater(L"update-apply: failed to launch installer: " + win32ErrorToText(GetLastError()));
    writeLastApply("launchFailed");
    return 1;
  }
  logUpdater(L"update-apply: installer " + manifest.versionText + L" launched (log: " + installerLog.wstring() + L")");
  writeLastApply("launched");
  return 0;
}

}  // namespace tesmira
