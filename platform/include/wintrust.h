#pragma once
// WinVerifyTrust for Authenticode-signed PE files, on OpenSSL. The chain ends at the
// system's roots or the machine's trusted roots; revocation is never checked.
#include "minwindef.h"
#include "guiddef.h"
#include "wincrypt.h"

typedef struct WINTRUST_FILE_INFO_ {
  DWORD cbStruct;
  LPCWSTR pcwszFilePath;
  HANDLE hFile;
  GUID* pgKnownSubject;
} WINTRUST_FILE_INFO, *PWINTRUST_FILE_INFO;

struct WINTRUST_CATALOG_INFO_;
struct WINTRUST_BLOB_INFO_;
struct WINTRUST_SGNR_INFO_;
struct WINTRUST_CERT_INFO_;
struct WINTRUST_SIGNATURE_SETTINGS_;

typedef struct _WINTRUST_DATA {
  DWORD cbStruct;
  LPVOID pPolicyCallbackData;
  LPVOID pSIPClientData;
  DWORD dwUIChoice;
  DWORD fdwRevocationChecks;
  DWORD dwUnionChoice;
  union {
    struct WINTRUST_FILE_INFO_* pFile;
    struct WINTRUST_CATALOG_INFO_* pCatalog;
    struct WINTRUST_BLOB_INFO_* pBlob;
    struct WINTRUST_SGNR_INFO_* pSgnr;
    struct WINTRUST_CERT_INFO_* pCert;
  };
  DWORD dwStateAction;
  HANDLE hWVTStateData;
  WCHAR* pwszURLReference;
  DWORD dwProvFlags;
  DWORD dwUIContext;
  struct WINTRUST_SIGNATURE_SETTINGS_* pSignatureSettings;
} WINTRUST_DATA, *PWINTRUST_DATA;

#define WTD_UI_ALL 1
#define WTD_UI_NONE 2
#define WTD_UI_NOBAD 3
#define WTD_UI_NOGOOD 4

#define WTD_REVOKE_NONE 0x00000000
#define WTD_REVOKE_WHOLECHAIN 0x00000001

#define WTD_CHOICE_FILE 1
#define WTD_CHOICE_CATALOG 2
#define WTD_CHOICE_BLOB 3
#define WTD_CHOICE_SIGNER 4
#define WTD_CHOICE_CERT 5

#define WTD_STATEACTION_IGNORE 0x00000000
#define WTD_STATEACTION_VERIFY 0x00000001
#define WTD_STATEACTION_CLOSE 0x00000002

#define WTD_REVOCATION_CHECK_NONE 0x00000010
#define WTD_REVOCATION_CHECK_END_CERT 0x00000020
#define WTD_REVOCATION_CHECK_CHAIN 0x00000040
#define WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT 0x00000080
#define WTD_CACHE_ONLY_URL_RETRIEVAL 0x00001000

// WINTRUST_ACTION_GENERIC_VERIFY_V2 only. Results: 0 when trusted, else
// TRUST_E_SUBJECT_FORM_UNKNOWN (not a PE), TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST,
// CERT_E_UNTRUSTEDROOT, CERT_E_CHAINING, CERT_E_EXPIRED or CERT_E_WRONG_USAGE.
WINBASEAPI LONG WINAPI WinVerifyTrust(HWND hwnd, GUID* pgActionID, LPVOID pWVTData);
