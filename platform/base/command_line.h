#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace tesmira::platform {

// The CommandLineToArgvW rules: the program name ends at the next quote when it starts
// with one (backslashes literal), else at the first blank; afterwards 2n backslashes and
// a quote give n backslashes and toggle quoting, 2n+1 give n and a literal quote, other
// backslashes are literal, and "" inside quotes is a literal quote that ends the quoting.
// An empty line gives no arguments here (CommandLineToArgvW answers the module path).
std::vector<std::wstring> splitCommandLine(std::wstring_view line);

}  // namespace tesmira::platform
