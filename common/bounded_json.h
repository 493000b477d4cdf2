#pragma once
// Outside JSON (files any user can write, server answers) read with a nesting bound:
// the parser, copies and dumps of nlohmann recurse per level, so a deep document is
// refused before any of it is built.
#include <cstddef>
#include <filesystem>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tesmira {

// Deeper than any document of ours, shallow enough for a 1 MiB stack.
inline constexpr size_t kJsonDepthLimit = 64;

// Whether arrays and objects nest deeper than limit (brackets inside strings do not count).
bool jsonNestsDeeperThan(std::string_view text, size_t limit);

// The value, or discarded when the text is not JSON or nests deeper than limit.
inline nlohmann::json parseBoundedJson(std::string_view text, size_t limit = kJsonDepthLimit) {
  if (jsonNestsDeeperThan(text, limit)) return nlohmann::json(nlohmann::json::value_t::discarded);
  return nlohmann::json::parse(text, nullptr, false);
}

// The whole file as text; false when it cannot be opened or read.
bool readWholeFile(const std::filesystem::path& file, std::string& text);

// The file's value, or discarded when it is missing, unreadable, not JSON or too deep.
inline nlohmann::json readBoundedJsonFile(const std::filesystem::path& file, size_t limit = kJsonDepthLimit) {
  std::string text;
  if (!readWholeFile(file, text)) return nlohmann::json(nlohmann::json::value_t::discarded);
  return parseBoundedJson(text, limit);
}

}  // namespace tesmira
