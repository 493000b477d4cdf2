#pragma once
// update-apply, the camera-in-use test, and status.json in the Updates folder.
#include <windows.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "service/update_options.h"
#include "service/updater/update_check.h"

namespace tesmira {

inline constexpr uint64_t kCameraLiveWindowMs = 3000;

// The hooks a test sets to steer update-apply in its own process: the camera test and the
// installer's start. Empty members mean the real calls.
struct UpdateApplyHooks {
  std::function<bool()> cameraLive;
  std::function<BOOL(LPWSTR commandLine, DWORD flags, LPCWSTR currentDirectory)> startProcess;
};
void setUpdateApplyHooks(UpdateApplyHooks hooks);

bool isCameraLive();

std::filesystem::path statusJsonPath();
nlohmann::json readStatusJson();
void writeStatusJson(const nlohmann::json& document);
// Replaces update-check's keys of status.json.
void buildStatusJson(const std::wstring& state, const std::wstring& installed, const ReleaseManifest* manifest,
                     const UpdateOptions& options, const std::filesystem::path* staged, const std::wstring& error);
void writeLastApply(const std::string& result);
std::string utcTimestamp();
std::string wideToUtf8(const std::wstring& wide);
std::wstring utf8ToWide(const std::string& utf8);
// The installer's command line for the staged file.
std::wstring installerCommandLine(const std::filesystem::path& staged, const std::filesystem::path& installerLog,
                                  bool interactive);

}  // namespace tesmira
