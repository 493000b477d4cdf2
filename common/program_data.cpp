#include "common/program_data.h"

#include <shlobj.h>

#include <string>
#include <system_error>

#include "common/environment.h"

namespace tesmira {

std::filesystem::path programDataFolder() {
  PWSTR known = nullptr;
  HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known);
  std::filesystem::path folder;
  if (SUCCEEDED(hr) && known && *known) folder = known;
  CoTaskMemFree(known);
  if (folder.empty()) folder = programDataFromEnvironment();
  if (folder.empty()) {
    // A relative folder would put the product's files below whatever the current folder is.
    const DWORD error = GetLastError();
    throw std::filesystem::filesystem_error(
        "temp_directory_path", std::error_code(int(error ? error : ERROR_PATH_NOT_FOUND), std::system_category()));
  }
  return folder;
}

std::filesystem::path programDataFromEnvironment() {
  if (auto value = environmentValue(L"ProgramData")) return std::filesystem::path(*value);

  // Last resort: the temporary folder; without one there is no folder at all.
  WCHAR temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return {};
  return std::filesystem::path(std::wstring(temp, length));
}

std::filesystem::path vcamStagingFolder() { return programDataFolder() / L"Tesmira" / L"Vcam"; }

}  // namespace tesmira
