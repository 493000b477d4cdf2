#pragma once
#include <filesystem>

namespace tesmira::platform {

// Folders of the machine root; each is created on first use.
std::filesystem::path machinePath(const std::filesystem::path& relative);

}  // namespace tesmira::platform
