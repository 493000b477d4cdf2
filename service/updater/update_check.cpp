#include "service/updater/update_check.h"

#include <sddl.h>

#include <nlohmann/json.hpp>

#include "common/bounded_json.h"
#include "service/updater/update_apply.h"
#include "service/updater/update_download.h"
#include "service/updater_log.h"

namespace tesmira {

namespace {

using json = nlohmann::json;

// One run of decimal digits from `at`; false when there is none or it passes INT32_MAX.
bool readVersionField(const std::wstring& text, size_t& at, int32_t& value) {
  const size_t start = at;
  int64_t v = 0;
  for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
    v = v * 10 + (text[at] - L'0');
    if (v > INT32_MAX) return false;
  }
  value = int32_t(v);
  return at > start;
}

}  // namespace

UpdaterMutex::UpdaterMutex() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
  const bool converted =
      ConvertStringSecurityDescriptorToSecurityDescriptorW(kUpdaterMutexSddl, SDDL_REVISION_1, &descriptor, nullptr);
  attributes.lpSecurityDescriptor = descriptor;
  handle_ = CreateMutexW(converted ? &attributes : nullptr, FALSE, kUpdaterMutexName);
  if (descriptor) LocalFree(descriptor);
  if (!handle_) return;
  // An owner that died without releasing leaves it abandoned: ours now.
  const DWORD wait = WaitForSingleObject(handle_, 0);
  held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

UpdaterMutex::~UpdaterMutex() {
  if (held_) ReleaseMutex(handle_);
  if (handle_) CloseHandle(handle_);
}

VersionTriple parseVersion(const std::wstring& text) {
  VersionTriple v;
  size_t at = 0;
  if (!readVersionField(text, at, v.major) || at >= text.size() || text[at++] != L'.') return {};
  if (!readVersionField(text, at, v.minor) || at >= text.size() || text[at++] != L'.') return {};
  if (!readVersionField(text, at, v.patch) || at != text.size()) return {};
  v.valid = true;
  return v;
}

bool compareVersions(const VersionTriple& a, const VersionTriple& b) {
  if (a.major != b.major) return a.major < b.major;
  if (a.minor != b.minor) return a.minor < b.minor;
  return a.patch < b.patch;
}

std::optional<std::wstring> installedVersion(const UpdateOptions& options) {
  if (!options.installedVersionOverride.empty()) return options.installedVersionOverride;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  wchar_t buffer[64] = {};
  DWORD type = 0;
  DWORD bytes = sizeof(buffer);
  const LSTATUS status =
      RegQueryValueExW(key, L"DisplayVersion", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
  // Taken by its length: a value stored without its terminator is not read past.
  std::wstring value(buffer, bytes / sizeof(wchar_t));
  if (const size_t end = value.find(L'\0'); end != std::wstring::npos) value.resize(end);
  return value;
}

std::wstring filterSrcTag(const std::wstring& src) {
  std::wstring tag;
  for (wchar_t c : src) {
    if ((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9')) tag += c;
  }
  return tag.empty() ? L"manual" : tag;
}

std::wstring manifestRequestUrl(const UpdateOptions& options, const std::wstring& installed) {
  const wchar_t* joiner = options.manifestUrl.find(L'?') == std::wstring::npos ? L"?" : L"&";
  return options.manifestUrl + joiner + L"v=" + installed + L"&src=" + filterSrcTag(options.srcTag);
}

ReleaseManifest parseManifest(const std::string& body, std::wstring& error) {
  ReleaseManifest manifest;
  const json doc = parseBoundedJson(body);
  // A key of the wrong type is as unusable as text that does not parse.
  const auto wrongType = [&](const json& object, const char* key, bool (json::*is)() const noexcept) {
    const auto it = object.find(key);
    return it != object.end() && !((*it).*is)();
  };
  if (!doc.is_object() || wrongType(doc, "version", &json::is_string) ||
      wrongType(doc, "installer", &json::is_object)) {
    error = L"manifest is not valid JSON";
    return manifest;
  }
  const json installer = doc.value("installer", json::object());
  if (wrongType(installer, "url", &json::is_string) || wrongType(installer, "sha256", &json::is_string) ||
      wrongType(installer, "sizeBytes", &json::is_number_unsigned)) {
    error = L"manifest is not valid JSON";
    return manifest;
  }
  manifest.versionText = utf8ToWide(doc.value("version", std::string()));
  manifest.version = parseVersion(manifest.versionText);
  if (!manifest.version.valid) {
    error = L"manifest version missing or not X.Y.Z";
    return manifest;
  }
  manifest.installerUrl = utf8ToWide(installer.value("url", std::string()));
  manifest.sha256 = installer.value("sha256", std::string());
  manifest.sizeBytes = installer.value("sizeBytes", uint64_t(0));
  bool hex = manifest.sha256.size() == 64;
  for (char& c : manifest.sha256) {
    if (c >= 'A' && c <= 'F') c = char(c - 'A' + 'a');
    hex = hex && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
  }
  if (manifest.installerUrl.empty() || !hex || manifest.sizeBytes == 0) {
    error = L"manifest installer entry incomplete";
    return manifest;
  }
  if (!crackHttpsUrl(manifest.installerUrl).valid) {
    error = L"manifest installer.url is not HTTPS";
    return manifest;
  }
  if (const auto it = doc.find("minVersion"); it != doc.end() && it->is_string()) {
    manifest.minVersion = utf8ToWide(it->get<std::string>());
  }
  if (const auto it = doc.find("notesUrl"); it != doc.end() && it->is_string()) {
    manifest.notesUrl = utf8ToWide(it->get<std::string>());
  }
  manifest.valid = true;
  return manifest;
}

ReleaseManifest fetchManifest(const UpdateOptions& options, const std::wstring& installed, std::wstring& error) {
  std::string body;
  if (!httpsGetToMemory(manifestRequestUrl(options, installed), kManifestMaxBytes, kManifestDeadlineMs, error,
                        body)) return {};
  return parseManifest(body, error);
}

int updateCheck(const UpdateOptions& options) {
  UpdaterMutex mutex;
  if (!mutex.held()) {
    logUpdater(L"update-check: another updater instance is running");
    return 16;
  }
  const std::optional<std::wstring> installed = installedVersion(options);
  const VersionTriple installedTriple = installed ? parseVersion(*installed) : VersionTriple{};
  if (!installedTriple.valid) {
    logUpdater(L"update-check: no installed version found (uninstall key missing?) - not an installed copy");
    return 1;
  }
  logUpdater(L"update-check: installed " + *installed + L", feed " + options.manifestUrl);

  std::wstring error;
  const ReleaseManifest manifest = fetchManifest(options, *installed, error);
  if (!manifest.valid) {
    logUpdater(L"update-check: manifest fetch failed: " + error);
    buildStatusJson(L"failed", *installed, nullptr, options, nullptr, error);
    return 12;
  }
  if (!manifest.minVersion.empty()) {
    const VersionTriple minimum = parseVersion(manifest.minVersion);
    if (minimum.valid && compareVersions(installedTriple, minimum)) {
      logUpdater(L"update-check: installed version is below manifest minVersion " + manifest.minVersion +
                 L" (not enforced)");
    }
  }
  if (!compareVersions(installedTriple, manifest.version)) {
    logUpdater(L"update-check: up to date (latest " + manifest.versionText + L")");
    removeStaleInstallers({});
    buildStatusJson(L"upToDate", *installed, &manifest, options, nullptr, L"");
    return 0;
  }

  const std::filesystem::path target = stagedInstallerPath(manifest.versionText);
  removeStaleInstallers(target);
  std::error_code ec;
  const std::optional<std::string> stagedHash =
      std::filesystem::exists(target, ec) ? sha256File(target) : std::nullopt;
  if (stagedHash && *stagedHash == manifest.sha256) {
    logUpdater(L"update-check: " + target.filename().wstring() + L" already staged with matching hash");
  } else {
    logUpdater(L"update-check: downloading " + manifest.installerUrl + L" (" +
               std::to_wstring(manifest.sizeBytes / 1048576) + L" MB)");
    if (!downloadInstaller(manifest, target, error)) {
      logUpdater(L"update-check: download failed: " + error);
      buildStatusJson(L"failed", *installed, &manifest, options, nullptr, error);
      return 12;
    }
  }
  if (!verifyInstaller(target, manifest, options, error)) {
    logUpdater(L"update-check: verification failed: " + error);
    buildStatusJson(L"failed", *installed, &manifest, options, nullptr, error);
    return 13;
  }
  logUpdater(L"update-check: " + manifest.versionText + L" staged and verified at " + target.wstring());
  buildStatusJson(L"staged", *installed, &manifest, options, &target, L"");
  return 0;
}

}  // namespace tesmira
