#include "mfdevices/consent_store.h"

#include "tesmira/consent_testing.h"

#include <libloaderapi.h>
#include <sysinfoapi.h>
#include <winerror.h>
#include <winreg.h>

#include <vector>

namespace tesmira::platform::consent {
namespace {

constexpr const wchar_t* kNonPackagedKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\CapabilityAccessManager\\ConsentStore\\webcam\\NonPackaged";
constexpr size_t kMaxKeyNameChars = 255;

uint64_t fileTimeNow() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

uint64_t qword(HKEY key, const wchar_t* name) {
  uint64_t value = 0;
  DWORD type = 0, bytes = sizeof(value);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) != ERROR_SUCCESS ||
      type != REG_QWORD) {
    return 0;
  }
  return value;
}

std::wstring keyPath(const std::wstring& name) { return std::wstring(kNonPackagedKey) + L"\\" + name; }

bool setQword(HKEY key, const wchar_t* name, uint64_t value) {
  return RegSetValueExW(key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
         ERROR_SUCCESS;
}

}  // namespace

std::wstring ownConsentKeyName() {
  std::vector<wchar_t> path(4096);
  const DWORD chars = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
  if (chars == 0 || chars >= path.size()) return {};
  std::wstring name(path.data(), chars);
  // The Linux root stands for C:.
  if (!name.empty() && name[0] == L'/') name.insert(0, L"C:");
  for (wchar_t& c : name) {
    if (c == L'/' || c == L'\\') c = L'#';
  }
  return name;
}

void recordCameraUse(bool inUse) {
  const std::wstring name = ownConsentKeyName();
  if (name.empty() || name.size() > kMaxKeyNameChars) return;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath(name).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return;
  }
  const uint64_t now = fileTimeNow();
  if (inUse) {
    setQword(key, L"LastUsedTimeStart", now);
    setQword(key, L"LastUsedTimeStop", 0);
  } else {
    setQword(key, L"LastUsedTimeStop", now);
  }
  RegCloseKey(key);
}

}  // namespace tesmira::platform::consent

namespace tesmira::platform::consenttesting {

std::optional<CameraUse> ownCameraUse() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, consent::keyPath(consent::ownConsentKeyName()).c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  const CameraUse use{consent::qword(key, L"LastUsedTimeStart"), consent::qword(key, L"LastUsedTimeStop")};
  RegCloseKey(key);
  return use;
}

}  // namespace tesmira::platform::consenttesting
