#pragma once
// WinVerifyTrust on a file as the updater calls it: generic verify, no UI, no
// revocation, verify then close.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <filesystem>
#include <string>

namespace tesmira::testing {

struct TrustAnswer {
  LONG result;  // of the verify
  LONG closed;  // of the close that follows
};

inline TrustAnswer winVerifyTrustFile(const std::filesystem::path& file) {
  WINTRUST_FILE_INFO info{};
  info.cbStruct = sizeof(info);
  const std::wstring path = file.wstring();
  info.pcwszFilePath = path.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  TrustAnswer answer{};
  answer.result = WinVerifyTrust(nullptr, &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  answer.closed = WinVerifyTrust(nullptr, &action, &data);
  return answer;
}

}  // namespace tesmira::testing
