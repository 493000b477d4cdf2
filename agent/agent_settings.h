#pragma once
// The agent's settings in HKCU\Software\Tesmira, read afresh on every pass.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tesmira::agent {

inline constexpr const wchar_t* kAgentSettingsKey = L"Software\\Tesmira";
inline constexpr const wchar_t* kProducerExeName = L"tesmira_windows_retouch_vcam_producer.exe";
// String values are read into a buffer of this many characters; a longer one counts as missing.
inline constexpr DWORD kSettingStringChars = 1024;
// Registry value types (winnt.h values).
inline constexpr DWORD kRegSz = 1;
inline constexpr DWORD kRegDword = 4;

struct AgentSettings {
  int32_t cameraIndex = 0;
  std::wstring provider = L"directml";
  bool enabled = true;
  uint32_t idleStopMs = 8000;
  std::filesystem::path producerExe;
  std::filesystem::path repoRoot;
};

// One value of the settings key, answered as RegQueryValueExW answers: ERROR_MORE_DATA when
// the buffer is too small, ERROR_FILE_NOT_FOUND when the key or the value is missing.
class SettingsKey {
 public:
  virtual ~SettingsKey() = default;
  virtual LSTATUS query(const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) = 0;
};

// Every value falls back to its default when missing, of another type, too long or (for the
// strings) empty or blank.
AgentSettings readAgentSettings(SettingsKey& key, const std::filesystem::path& agentFolder);

}  // namespace tesmira::agent
