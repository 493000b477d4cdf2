#include "agent/agent_settings.h"

#include <cwctype>
#include <optional>

namespace tesmira::agent {
namespace {

std::optional<DWORD> readDword(SettingsKey& key, const wchar_t* name) {
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (key.query(name, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS) return std::nullopt;
  if (type != kRegDword || size != sizeof(value)) return std::nullopt;
  return value;
}

// A blank value would only make every producer start fail, so it counts as missing.
std::optional<std::wstring> readString(SettingsKey& key, const wchar_t* name) {
  wchar_t buffer[kSettingStringChars] = {};
  DWORD type = 0;
  DWORD size = sizeof(buffer);
  if (key.query(name, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) return std::nullopt;
  if (type != kRegSz || size > sizeof(buffer)) return std::nullopt;
  size_t length = size / sizeof(wchar_t);
  while (length > 0 && buffer[length - 1] == L'\0') --length;
  // The terminator must fit in the buffer too.
  if (length >= kSettingStringChars) return std::nullopt;
  std::wstring value(buffer, length);
  if (auto nul = value.find(L'\0'); nul != std::wstring::npos) value.resize(nul);
  bool blank = true;
  for (wchar_t c : value) blank = blank && std::iswspace(static_cast<wint_t>(c));
  if (blank) return std::nullopt;
  return value;
}

}  // namespace

AgentSettings readAgentSettings(SettingsKey& key, const std::filesystem::path& agentFolder) {
  AgentSettings settings;
  settings.producerExe = agentFolder / kProducerExeName;
  settings.repoRoot = agentFolder;
  if (auto index = readDword(key, L"CameraIndex")) settings.cameraIndex = static_cast<int32_t>(*index);
  if (auto provider = readString(key, L"Provider")) settings.provider = *provider;
  if (auto enabled = readDword(key, L"Enabled")) settings.enabled = *enabled != 0;
  if (auto idle = readDword(key, L"IdleStopMs")) settings.idleStopMs = *idle;
  if (auto exe = readString(key, L"ProducerExe")) settings.producerExe = *exe;
  if (auto root = readString(key, L"RepoRoot")) settings.repoRoot = *root;
  return settings;
}

}  // namespace tesmira::agent
