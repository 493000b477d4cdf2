#pragma once
// %ProgramData%\Tesmira and the folders below it.
#include <windows.h>

#include <filesystem>

namespace tesmira {

// The known folder FOLDERID_ProgramData, else programDataFromEnvironment(); throws the
// file-system error "temp_directory_path" when that is empty too.
std::filesystem::path programDataFolder();
// The environment variable "ProgramData" (under 260 characters), else the temporary
// folder; empty when neither is there.
std::filesystem::path programDataFromEnvironment();
std::filesystem::path vcamStagingFolder();  // ...\Tesmira\Vcam (throws as programDataFolder)

}  // namespace tesmira
