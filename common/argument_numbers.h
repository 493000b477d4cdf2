#pragma once
// Numbers from command-line arguments, as every tool of the product converts them.
#include <cstdint>
#include <string>

namespace tesmira {

// std::stoi / std::stod / std::stof (leading blanks skipped, trailing characters
// ignored) with the standard library's own error texts, "invalid stoi argument" and
// "stoi argument out of range", whatever the library prints; NaN and infinity are
// refused as invalid.
int32_t parseIntArgument(const std::string& text);
int32_t parseIntArgument(const std::wstring& text);
double parseDoubleArgument(const std::string& text);
float parseFloatArgument(const std::string& text);

}  // namespace tesmira
