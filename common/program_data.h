#pragma once
// %ProgramData%\Tesmira and the folders below it.
#include <windows.h>

#include <filesystem>

namespace tesmira {

// The known folder FOLDERID_ProgramData, else programDataFromEnvironment().
std::filesystem::path programDataFolder();
// The environment variable "ProgramData" (under 260 characters), else the temporary
// folder; empty when neither is there.
std::filesystem::path programDataFromEnvironment();
std::filesystem::path vcamStagingFolder();  // ...\Tesmira\Vcam

}  // namespace tesmira
