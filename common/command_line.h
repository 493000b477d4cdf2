#pragma once
// Command lines for child processes: every argument quoted.
#include <string>
#include <vector>

namespace tesmira {

// Quoted so that CommandLineToArgvW gives back exactly the original argument.
std::wstring quoteArgument(const std::wstring& argument);
std::wstring joinCommandLine(const std::vector<std::wstring>& arguments);

}  // namespace tesmira
