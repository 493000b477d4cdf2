#include "service/updater/update_download.h"

#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cwchar>
#include <functional>
#include <limits>
#include <vector>

#include "common/atomic_file.h"
#include "common/error_text.h"
#include "common/https_client.h"
#include "service/updater_log.h"

namespace tesmira {

namespace {

namespace fs = std::filesystem;

constexpr size_t kHashBlockBytes = 1 << 20;

std::wstring lastErrorText() { return win32ErrorToText(GetLastError()); }

// The GET both transfers share; `take` receives each block and says whether it was kept.
bool httpsGet(const std::wstring& url, uint64_t maxBytes, uint64_t deadlineMs, std::wstring& error,
              const std::function<bool(const char*, size_t)>& take) {
  const HttpsUrlParts parts = crackHttpsUrl(url);
  if (!parts.valid) {
    error = L"invalid or non-HTTPS URL: " + url;
    return false;
  }
  HttpsRequest request;
  request.userAgent = L"TesmiraUpdater/1.0";
  request.automaticProxy = true;
  request.host = parts.host;
  request.port = parts.port;
  request.path = parts.path;
  request.timeouts = {10000, 10000, 30000, 30000};
  request.deadlineMs = deadlineMs;
  request.onlyStatus = 200;
  request.maxBodyBytes = maxBytes;
  request.take = take;
  const HttpsResponse response = sendHttpsRequest(request);
  if (response.failure == HttpsFailure::kStatus) {
    error = L"HTTP status " + std::to_wstring(response.status) + L" for " + url;
  } else if (!response.ok()) {
    error = response.error;
  }
  return response.ok();
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

}  // namespace

bool DownloadSink::write(const char* bytes, size_t count) {
  out->write(bytes, std::streamsize(count));
  written += count;
  if (written >= nextMark) {
    logUpdater(L"downloaded " + std::to_wstring(written / 1048576) + L" MB...");
    nextMark += kProgressStepBytes;
  }
  return bool(*out);
}

bool httpsGetToMemory(const std::wstring& url, uint64_t maxBytes, uint64_t deadlineMs, std::wstring& error,
                      std::string& body) {
  return httpsGet(url, maxBytes, deadlineMs, error, [&body](const char* bytes, size_t count) {
    body.append(bytes, count);
    return true;
  });
}

bool httpsGetToFile(const std::wstring& url, uint64_t maxBytes, uint64_t deadlineMs, std::wstring& error,
                    DownloadSink& sink) {
  return httpsGet(url, maxBytes, deadlineMs, error, [&sink](const char* bytes, size_t count) { return sink.write(bytes, count); });
}

fs::path stagedInstallerPath(const std::wstring& versionText) {
  return updatesFolder() / (L"TesmiraSetup-" + versionText + L".exe");
}

void removeStaleInstallers(const fs::path& keep) {
  std::error_code ec;
  fs::directory_iterator it(updatesFolder(), ec);
  if (ec) return;  // no Updates folder: nothing staged
  for (; it != fs::directory_iterator(); ++it) {
    const std::wstring name = it->path().filename().wstring();
    const auto endsWith = [&name](const std::wstring& tail) {
      return name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (name.size() > 13 && name.rfind(L"TesmiraSetup-", 0) == 0 && (endsWith(L".exe") || endsWith(L".partial")) &&
        it->path() != keep) {
      fs::remove(it->path(), ec);
    }
  }
}

uint64_t downloadCap(uint64_t sizeBytes) { return saturatingAdd(sizeBytes, kDownloadSlackBytes); }

uint64_t installerDeadlineMs(uint64_t sizeBytes) {
  const uint64_t perByteMs = sizeBytes / kSlowestTransferBytesPerSecond * 1000 +
                             sizeBytes % kSlowestTransferBytesPerSecond * 1000 / kSlowestTransferBytesPerSecond;
  return saturatingAdd(kManifestDeadlineMs, perByteMs);
}

uint64_t stagingSpaceNeeded(uint64_t sizeBytes) { return saturatingAdd(sizeBytes, sizeBytes); }

bool downloadInstaller(const ReleaseManifest& manifest, const fs::path& target, std::wstring& error) {
  // A size whose doubling saturates can never be staged, whatever the disk reports (or
  // when it reports nothing).
  const uint64_t needed = stagingSpaceNeeded(manifest.sizeBytes);
  ULARGE_INTEGER available{};
  const bool known = GetDiskFreeSpaceExW(updatesFolder().wstring().c_str(), &available, nullptr, nullptr);
  if (needed == std::numeric_limits<uint64_t>::max() || (known && available.QuadPart < needed)) {
    error = L"not enough disk space to stage the update";
    return false;
  }
  const fs::path partial = fs::path(target.wstring() + L".partial");
  AtomicFileWriter staging(target, partial);
  if (!staging.opened()) {
    error = L"cannot create " + partial.wstring();
    return false;
  }
  DownloadSink sink{&staging.stream()};
  if (!httpsGetToFile(manifest.installerUrl, downloadCap(manifest.sizeBytes), installerDeadlineMs(manifest.sizeBytes),
                      error, sink)) {
    return false;
  }
  switch (staging.commit()) {
    case AtomicWrite::kDone:
      return true;
    case AtomicWrite::kNotWritten:
      error = L"local write failed";
      return false;
    case AtomicWrite::kNotReplaced:
      error = L"cannot finalize download: " + lastErrorText();
      return false;
  }
  return false;
}

std::optional<std::string> sha256File(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return std::nullopt;
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::optional<std::string> result;
  if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
    std::vector<char> block(kHashBlockBytes);
    bool ok = true;
    while (ok && in) {
      in.read(block.data(), std::streamsize(block.size()));
      const std::streamsize got = in.gcount();
      if (got > 0) ok = BCryptHashData(hash, reinterpret_cast<PUCHAR>(block.data()), ULONG(got), 0) == 0;
    }
    unsigned char digest[32];
    if (ok && in.eof() && !in.bad() && BCryptFinishHash(hash, digest, sizeof(digest), 0) == 0) {
      static const char kHex[] = "0123456789abcdef";
      std::string text;
      for (unsigned char b : digest) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
      }
      result = text;
    }
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return result;
}

std::wstring signerCommonName(const fs::path& path) {
  const std::wstring file = path.wstring();
  DWORD encoding = 0, content = 0, format = 0;
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format, &store, &message, nullptr)) {
    return {};
  }
  std::wstring name;
  DWORD size = 0;
  if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size >= sizeof(CMSG_SIGNER_INFO)) {
    std::vector<unsigned char> buffer(size);
    auto* signer = reinterpret_cast<CMSG_SIGNER_INFO*>(buffer.data());
    if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, signer, &size)) {
      CERT_INFO wanted{};
      wanted.Issuer = signer->Issuer;
      wanted.SerialNumber = signer->SerialNumber;
      if (PCCERT_CONTEXT certificate = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                                  CERT_FIND_SUBJECT_CERT, &wanted, nullptr)) {
        wchar_t text[256] = {};
        char oid[] = szOID_COMMON_NAME;
        if (CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, oid, text, 256) > 1) name = text;
        CertFreeCertificateContext(certificate);
      }
    }
  }
  CryptMsgClose(message);
  CertCloseStore(store, 0);
  return name;
}

bool verifyAuthenticode(const fs::path& path, const UpdateOptions& options, std::wstring& error) {
  if (options.allowUnsigned) {
    logUpdater(L"WARNING: --allow-unsigned set; skipping Authenticode verification (testing only)");
    return true;
  }
  const std::wstring file = path.wstring();
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = file.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(nullptr, &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(nullptr, &action, &data);
  if (result != 0) {
    wchar_t code[16];
    std::swprintf(code, 16, L"0x%08X", unsigned(result));
    error = L"Authenticode verification failed (" + std::wstring(code) + L")";
    return false;
  }
  const std::wstring signer = signerCommonName(path);
  if (signer != kExpectedSigner) {
    error = L"signer CN mismatch: got \"" + signer + L"\", expected \"" + kExpectedSigner + L"\"";
    return false;
  }
  return true;
}

bool verifyInstaller(const fs::path& path, const ReleaseManifest& manifest, const UpdateOptions& options,
                     std::wstring& error) {
  const std::optional<std::string> hash = sha256File(path);
  bool ok = hash && *hash == manifest.sha256;
  if (!ok) {
    error = L"SHA-256 mismatch against manifest";
  } else {
    ok = verifyAuthenticode(path, options, error);
  }
  if (!ok) {
    std::error_code ec;
    fs::remove(path, ec);
  }
  return ok;
}

}  // namespace tesmira
