#include "common/argument_numbers.h"

#include <cmath>
#include <stdexcept>

namespace tesmira {
namespace {

// Runs a standard conversion and gives its errors the texts that users see,
// whatever the standard library itself would print.
template <typename Convert>
auto convertArgument(const char* name, Convert convert) {
  try {
    return convert();
  } catch (const std::invalid_argument&) {
    throw std::runtime_error(std::string("invalid ") + name + " argument");
  } catch (const std::out_of_range&) {
    throw std::runtime_error(std::string(name) + " argument out of range");
  }
}

template <typename Floating>
Floating finiteOrInvalid(const char* name, Floating value) {
  if (!std::isfinite(value)) throw std::runtime_error(std::string("invalid ") + name + " argument");
  return value;
}

}  // namespace

int32_t parseIntArgument(const std::string& text) {
  return convertArgument("stoi", [&] { return std::stoi(text, nullptr, 10); });
}

int32_t parseIntArgument(const std::wstring& text) {
  return convertArgument("stoi", [&] { return std::stoi(text, nullptr, 10); });
}

double parseDoubleArgument(const std::string& text) {
  return finiteOrInvalid("stod", convertArgument("stod", [&] { return std::stod(text); }));
}

float parseFloatArgument(const std::string& text) {
  return finiteOrInvalid("stof", convertArgument("stof", [&] { return std::stof(text); }));
}

}  // namespace tesmira
