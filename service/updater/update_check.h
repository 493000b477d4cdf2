#pragma once
// update-check: the installed version, the release manifest from the feed, the
// version rules and the updater mutex that update-check and update-apply share.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "service/update_options.h"

namespace tesmira {

struct VersionTriple {
  int32_t major = 0;
  int32_t minor = 0;
  int32_t patch = 0;
  bool valid = false;
};

struct ReleaseManifest {
  VersionTriple version;
  std::wstring versionText;
  std::wstring installerUrl;
  std::string sha256;  // 64 lower-case hexadecimal digits
  uint64_t sizeBytes = 0;
  std::wstring minVersion;
  std::wstring notesUrl;
  bool valid = false;
};

inline constexpr const wchar_t* kUpdaterMutexName = L"Global\\TesmiraUpdaterMutex";
inline constexpr const wchar_t* kUpdaterMutexSddl = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100001;;;BU)";
inline constexpr const wchar_t* kUninstallKey =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{B8F4B2B1-9C3A-4D6E-A1F2-3C7E9D210A55}_is1";
inline constexpr size_t kManifestMaxBytes = 65536;

// Held for the whole run of either update command; released and closed on destruction.
class UpdaterMutex {
 public:
  UpdaterMutex();
  ~UpdaterMutex();
  UpdaterMutex(const UpdaterMutex&) = delete;
  UpdaterMutex& operator=(const UpdaterMutex&) = delete;
  bool held() const { return held_; }

 private:
  HANDLE handle_ = nullptr;
  bool held_ = false;
};

// "X.Y.Z": three runs of decimal digits joined by points, each at most INT32_MAX.
VersionTriple parseVersion(const std::wstring& text);
// a < b, field by field.
bool compareVersions(const VersionTriple& a, const VersionTriple& b);
// The override when given, else DisplayVersion of the uninstall key (HKLM, 64-bit view).
std::optional<std::wstring> installedVersion(const UpdateOptions& options);
// Only "a".."z" and "0".."9" are kept; "manual" when nothing is left.
std::wstring filterSrcTag(const std::wstring& src);
// The manifest URL with the installed version and the filtered src tag as its query.
std::wstring manifestRequestUrl(const UpdateOptions& options, const std::wstring& installed);
// A manifest body as the feed sent it; invalid with `error` set when it is refused.
ReleaseManifest parseManifest(const std::string& body, std::wstring& error);
ReleaseManifest fetchManifest(const UpdateOptions& options, const std::wstring& installed, std::wstring& error);

}  // namespace tesmira
