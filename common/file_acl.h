#pragma once
// Folders and files with the product's fixed access-control lists.
#include <windows.h>

#include <filesystem>

namespace tesmira {

HRESULT applyFileAcl(const std::filesystem::path& path, bool folder);
HRESULT createDirectoryWithAcl(const std::filesystem::path& folder);
HRESULT copyFileWithAcl(const std::filesystem::path& source, const std::filesystem::path& destination);

}  // namespace tesmira
