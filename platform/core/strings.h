#pragma once
// Text and path conversions at the layer's boundary with Linux.
#include <filesystem>
#include <string>
#include <string_view>

#include "minwindef.h"

namespace tesmira::platform {

std::string toUtf8(std::wstring_view wide);
std::wstring fromUtf8(std::string_view utf8);
std::u16string toUtf16(std::wstring_view wide);
std::wstring fromUtf16(std::u16string_view utf16);

// A Windows path as the product writes it (backslashes or slashes, a drive
// letter of C: standing for the Linux root) turned into a Linux path.
std::filesystem::path toLinuxPath(LPCWSTR windowsPath);
std::filesystem::path toLinuxPath(std::wstring_view windowsPath);

// Case-insensitive (towlower) equality, as Windows compares object and key names.
bool equalsNoCase(std::wstring_view a, std::wstring_view b);
std::wstring lowerCase(std::wstring_view text);

// A name as one file name: UTF-8 with everything outside [A-Za-z0-9._-] (and a leading
// dot) %-escaped, so that no name can reach outside its folder.
std::string escapedFileName(std::wstring_view name);

}  // namespace tesmira::platform
