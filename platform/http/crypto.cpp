// CNG hashing and GUID creation on OpenSSL.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <cwchar>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "bcrypt.h"
#include "combaseapi.h"
#include "core/faults.h"
#include "winerror.h"

namespace {

constexpr ULONG kSha256Bytes = 32;

struct Algorithm {
  uint32_t magic = 0x41534832;  // "2HSA"
};

struct Hash {
  EVP_MD_CTX* context = nullptr;
};

// Live handles, so a stale or foreign handle answers STATUS_INVALID_HANDLE instead of crashing;
// never destroyed, as threads may still hash while the process exits.
std::mutex& handlesMutex = *new std::mutex;
auto& algorithms = *new std::unordered_set<void*>;
auto& hashes = *new std::unordered_set<void*>;

// OpenSSL without its clean-up at exit, for the same reason.
void initOpenSsl() {
  static std::once_flag once;
  std::call_once(once, [] { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); });
}

bool live(std::unordered_set<void*>& set, void* handle) {
  std::lock_guard lock(handlesMutex);
  return handle && set.count(handle);
}

std::optional<NTSTATUS> injected(const char* site) {
  if (auto error = tesmira::platform::faults::take(site)) return NTSTATUS(*error);
  return std::nullopt;
}

}  // namespace

NTSTATUS WINAPI BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId, LPCWSTR, ULONG) {
  if (!phAlgorithm || !pszAlgId) return STATUS_INVALID_PARAMETER;
  *phAlgorithm = nullptr;
  if (auto status = injected("BCryptOpenAlgorithmProvider")) return *status;
  if (std::wcscmp(pszAlgId, BCRYPT_SHA256_ALGORITHM) != 0) return STATUS_NOT_FOUND;
  initOpenSsl();
  auto* algorithm = new Algorithm;
  std::lock_guard lock(handlesMutex);
  algorithms.insert(algorithm);
  *phAlgorithm = algorithm;
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG) {
  std::lock_guard lock(handlesMutex);
  if (!hAlgorithm || !algorithms.erase(hAlgorithm)) return STATUS_INVALID_HANDLE;
  delete static_cast<Algorithm*>(hAlgorithm);
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptGetProperty(BCRYPT_HANDLE hObject, LPCWSTR pszProperty, PUCHAR pbOutput, ULONG cbOutput,
                                  ULONG* pcbResult, ULONG) {
  if (!live(algorithms, hObject) && !live(hashes, hObject)) return STATUS_INVALID_HANDLE;
  if (!pszProperty || !pcbResult) return STATUS_INVALID_PARAMETER;
  ULONG value = 0;
  if (std::wcscmp(pszProperty, BCRYPT_HASH_LENGTH) == 0) {
    value = kSha256Bytes;
  } else if (std::wcscmp(pszProperty, BCRYPT_OBJECT_LENGTH) == 0) {
    value = sizeof(Hash);
  } else {
    return STATUS_NOT_SUPPORTED;
  }
  *pcbResult = sizeof(ULONG);
  if (!pbOutput) return STATUS_SUCCESS;
  if (cbOutput < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(pbOutput, &value, sizeof(value));
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash, PUCHAR, ULONG, PUCHAR,
                                 ULONG cbSecret, ULONG) {
  if (!phHash) return STATUS_INVALID_PARAMETER;
  *phHash = nullptr;
  if (!live(algorithms, hAlgorithm)) return STATUS_INVALID_HANDLE;
  if (cbSecret) return STATUS_INVALID_PARAMETER;  // an HMAC needs a provider opened for it
  if (auto status = injected("BCryptCreateHash")) return *status;
  // The caller's object buffer is not used: the OpenSSL context lives on the heap either way.
  auto* hash = new Hash;
  hash->context = EVP_MD_CTX_new();
  if (!hash->context || EVP_DigestInit_ex(hash->context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(hash->context);
    delete hash;
    return STATUS_NO_MEMORY;
  }
  std::lock_guard lock(handlesMutex);
  hashes.insert(hash);
  *phHash = hash;
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG) {
  if (!live(hashes, hHash)) return STATUS_INVALID_HANDLE;
  if (!pbInput && cbInput) return STATUS_INVALID_PARAMETER;
  if (auto status = injected("BCryptHashData")) return *status;
  if (cbInput && EVP_DigestUpdate(static_cast<Hash*>(hHash)->context, pbInput, cbInput) != 1) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput, ULONG) {
  if (!live(hashes, hHash)) return STATUS_INVALID_HANDLE;
  if (!pbOutput || cbOutput != kSha256Bytes) return STATUS_INVALID_PARAMETER;
  if (auto status = injected("BCryptFinishHash")) return *status;
  unsigned length = 0;
  if (EVP_DigestFinal_ex(static_cast<Hash*>(hHash)->context, pbOutput, &length) != 1) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) {
  std::lock_guard lock(handlesMutex);
  if (!hHash || !hashes.erase(hHash)) return STATUS_INVALID_HANDLE;
  auto* hash = static_cast<Hash*>(hHash);
  EVP_MD_CTX_free(hash->context);
  delete hash;
  return STATUS_SUCCESS;
}

HRESULT WINAPI CoCreateGuid(GUID* pguid) {
  if (!pguid) return E_INVALIDARG;
  if (auto error = tesmira::platform::faults::take("CoCreateGuid")) return HRESULT(*error);
  initOpenSsl();
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) return E_FAIL;
  std::memcpy(&pguid->Data1, bytes, 4);
  std::memcpy(&pguid->Data2, bytes + 4, 2);
  std::memcpy(&pguid->Data3, bytes + 6, 2);
  std::memcpy(pguid->Data4, bytes + 8, 8);
  pguid->Data3 = uint16_t((pguid->Data3 & 0x0FFF) | 0x4000);  // version 4, as its text shows it
  pguid->Data4[0] = uint8_t((pguid->Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return S_OK;
}
