#pragma once
#include <string>

namespace tesmira {

// towlower on both, then a plain substring search; an empty needle is always found.
bool containsNoCase(const std::wstring& haystack, const std::wstring& needle);

}  // namespace tesmira
