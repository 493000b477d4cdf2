#include "common/bounded_json.h"

#include <fstream>
#include <sstream>

namespace tesmira {

bool jsonNestsDeeperThan(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

bool readWholeFile(const std::filesystem::path& file, std::string& text) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) return false;
  text = std::move(out).str();
  return true;
}

}  // namespace tesmira
