#pragma once
// Splits a Windows command line the way CommandLineToArgvW does.
#include <string>
#include <string_view>
#include <vector>

namespace tesmira::platform::kernel {

// The program token is taken as it stands (quoted or up to the first blank);
// every other argument follows the backslash and quote rules: 2n backslashes
// before a quote give n and the quote toggles quoting, 2n+1 give n and a
// literal quote, other backslashes are literal, and "" inside quotes is a quote.
std::vector<std::wstring> splitCommandLine(std::wstring_view line);

}  // namespace tesmira::platform::kernel
