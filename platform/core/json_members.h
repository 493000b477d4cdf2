#pragma once
// Reading members of the layer's own JSON files by their exact type: nlohmann's
// value() and get<>() throw on another type or convert silently (a fraction or a
// negative number into an unsigned field), and a file on disk can hold anything.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace tesmira::platform::jsonfile {

// False when the member is missing or not a string.
inline bool stringMember(const nlohmann::json& object, const char* member, std::string& out) {
  auto it = object.find(member);
  if (it == object.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

// False when the member is missing, not a non-negative integer, or above `max`.
inline bool unsignedMember(const nlohmann::json& object, const char* member, uint64_t max, uint64_t& out) {
  auto it = object.find(member);
  if (it == object.end() || !it->is_number_unsigned()) return false;
  out = it->get<uint64_t>();
  return out <= max;
}

inline bool uint32Member(const nlohmann::json& object, const char* member, uint32_t& out) {
  uint64_t value = 0;
  if (!unsignedMember(object, member, UINT32_MAX, value)) return false;
  out = uint32_t(value);
  return true;
}

}  // namespace tesmira::platform::jsonfile
