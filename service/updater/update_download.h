#pragma once
// The updater's transfers (HTTPS GET into memory or a file), the Updates folder and
// its staged installer, and the checks an installer must pass before it may run.
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "common/https_client.h"
#include "service/update_options.h"
#include "service/updater/update_check.h"

namespace tesmira {

inline constexpr const wchar_t* kExpectedSigner = L"Pellucor Inc.";
inline constexpr uint64_t kProgressStepBytes = 20ull << 20;
inline constexpr uint64_t kDownloadSlackBytes = 1ull << 20;
// Whole-transfer limits: the idle time-outs alone let a feed that drips hold the updater
// (and its machine-wide mutex) for ever. The manifest gets two minutes; the installer
// two minutes plus its declared size at 64 KiB/s.
inline constexpr uint64_t kManifestDeadlineMs = 120000;
inline constexpr uint64_t kSlowestTransferBytesPerSecond = 64 << 10;

struct DownloadSink {
  std::ofstream* out = nullptr;
  uint64_t written = 0;
  uint64_t nextMark = kProgressStepBytes;
  bool write(const char* bytes, size_t count);
};

// Both fail with "transfer took longer than <n> s" once deadlineMs have passed since the start.
bool httpsGetToMemory(const std::wstring& url, uint64_t maxBytes, uint64_t deadlineMs, std::wstring& error,
                      std::string& body);
bool httpsGetToFile(const std::wstring& url, uint64_t maxBytes, uint64_t deadlineMs, std::wstring& error,
                    DownloadSink& sink);

// ...\Updates\TesmiraSetup-<version>.exe
std::filesystem::path stagedInstallerPath(const std::wstring& versionText);
// Deletes every staged installer and partial download but `keep` (empty: keeps none).
void removeStaleInstallers(const std::filesystem::path& keep);
// What the download may take: sizeBytes + 1 MiB, saturated.
uint64_t downloadCap(uint64_t sizeBytes);
// How long it may take: kManifestDeadlineMs + sizeBytes at the slowest rate, saturated.
uint64_t installerDeadlineMs(uint64_t sizeBytes);
// The free space staging needs: 2 x sizeBytes, saturated.
uint64_t stagingSpaceNeeded(uint64_t sizeBytes);
bool downloadInstaller(const ReleaseManifest& manifest, const std::filesystem::path& target, std::wstring& error);

// 64 lower-case hexadecimal digits, or nothing when the file cannot be hashed.
std::optional<std::string> sha256File(const std::filesystem::path& path);
std::wstring signerCommonName(const std::filesystem::path& path);
bool verifyAuthenticode(const std::filesystem::path& path, const UpdateOptions& options, std::wstring& error);
// Hash against the manifest, then the signature; a refused file is deleted.
bool verifyInstaller(const std::filesystem::path& path, const ReleaseManifest& manifest, const UpdateOptions& options,
                     std::wstring& error);

}  // namespace tesmira
