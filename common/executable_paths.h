#pragma once
#include <windows.h>

#include <filesystem>

namespace tesmira {

// Empty when the module name cannot be read.
std::filesystem::path executablePath();
std::filesystem::path executableDirectory();
std::filesystem::path defaultMediaSourceDllPath();

}  // namespace tesmira
