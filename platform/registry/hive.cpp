#include "registry/hive.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <set>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/clock.h"
#include "core/exclusive_lock.h"
#include "core/json_members.h"
#include "core/strings.h"
#include "winerror.h"
#include "winreg.h"

namespace tesmira::platform::registry {
namespace {

using nlohmann::json;
using jsonfile::stringMember;
using jsonfile::unsignedMember;

constexpr const char* kFormat = "tesmira-registry-hive";
constexpr uint64_t kFormatVersion = 1;

int compareUpper(std::wstring_view a, std::wstring_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    wint_t x = std::towupper(a[i]), y = std::towupper(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Strings are kept as readable text when their units are all valid characters.
bool unitsAsText(const std::vector<uint8_t>& data, std::wstring& text) {
  if (data.size() % sizeof(wchar_t) != 0) return false;
  text.resize(data.size() / sizeof(wchar_t));
  // An empty value has no buffer, and memcpy from null is undefined even for 0 bytes.
  if (!data.empty()) std::memcpy(text.data(), data.data(), data.size());
  for (wchar_t c : text) {
    uint32_t u = uint32_t(c);
    if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return false;
  }
  return true;
}

std::string toHex(const std::vector<uint8_t>& data) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : data) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool fromHex(const std::string& text, std::vector<uint8_t>& out) {
  if (text.size() % 2) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(uint8_t(hi << 4 | lo));
  }
  return true;
}

json keyToJson(const Key& key) {
  json values = json::array();
  for (const auto& v : key.values) {
    json jv{{"name", toUtf8(v.name)}, {"type", v.type}};
    std::wstring text;
    if (isStringType(v.type) && unitsAsText(v.data, text)) {
      jv["text"] = toUtf8(text);
    } else {
      jv["hex"] = toHex(v.data);
    }
    values.push_back(std::move(jv));
  }
  json keys = json::array();
  for (const auto& k : key.subkeys) keys.push_back(keyToJson(*k));
  // Moved in, not listed: an initializer list copies, which made each level copy all below it.
  json out = json::object();
  out["name"] = toUtf8(key.name);
  out["written"] = key.lastWrite;
  out["values"] = std::move(values);
  out["keys"] = std::move(keys);
  return out;
}

// Exactly the shapes keyToJson writes; anything else makes the whole hive corrupt.
bool valueFromJson(const json& jv, Value& v) {
  std::string name, text;
  uint64_t type = 0;
  if (!jv.is_object() || !stringMember(jv, "name", name) || !unsignedMember(jv, "type", 0xFFFFFFFFu, type)) {
    return false;
  }
  v.name = fromUtf8(name);
  v.type = DWORD(type);
  bool hasText = jv.contains("text"), hasHex = jv.contains("hex");
  if (hasText == hasHex) return false;
  if (hasText) {
    if (!stringMember(jv, "text", text)) return false;
    std::wstring units = fromUtf8(text);
    v.data.resize(units.size() * sizeof(wchar_t));
    if (!units.empty()) std::memcpy(v.data.data(), units.data(), v.data.size());
  } else if (!stringMember(jv, "hex", text) || !fromHex(text, v.data)) {
    return false;
  }
  return v.data.size() <= kMaxValueBytes;
}

bool keyFromJson(const json& j, Key& key, size_t depth) {
  if (depth > kMaxKeyDepth || !j.is_object()) return false;
  std::string name;
  if (!stringMember(j, "name", name)) return false;
  key.name = fromUtf8(name);
  // Below the root, only names that a path can reach.
  if (depth > 0 && (key.name.empty() || key.name.size() > kMaxKeyNameChars ||
                    key.name.find(L'\\') != std::wstring::npos)) {
    return false;
  }
  if (j.contains("written") && !unsignedMember(j, "written", UINT64_MAX, key.lastWrite)) return false;
  // Names are compared as the registry compares them; a set keeps large keys from costing n squared.
  std::set<std::wstring> seen;
  if (auto values = j.find("values"); values != j.end()) {
    if (!values->is_array()) return false;
    for (const auto& jv : *values) {
      Value v;
      if (!valueFromJson(jv, v) || !seen.insert(lowerCase(v.name)).second) return false;  // two values of one name
      key.values.push_back(std::move(v));
    }
  }
  seen.clear();
  if (auto keys = j.find("keys"); keys != j.end()) {
    if (!keys->is_array()) return false;
    for (const auto& jk : *keys) {
      auto child = std::make_unique<Key>();
      if (!keyFromJson(jk, *child, depth + 1) || !seen.insert(lowerCase(child->name)).second) return false;
      key.subkeys.push_back(std::move(child));
    }
    std::stable_sort(key.subkeys.begin(), key.subkeys.end(),
                     [](const auto& a, const auto& b) { return compareUpper(a->name, b->name) < 0; });
  }
  return true;
}

// A key at level d lies 2d + 2 containers deep (objects inside "keys" arrays); its values
// array and their objects two more.
constexpr int kMaxHiveNesting = int(2 * kMaxKeyDepth + 4);

// Parses a hive's text, refusing objects that name a member twice (the parser
// would silently keep the last one) and nesting deeper than the key limit allows:
// a refused container is skipped as it is read, so nothing deep is built, copied or
// walked recursively.
json parseHive(const std::string& text) {
  std::vector<std::set<std::string>> members;
  bool duplicate = false, tooDeep = false;
  json::parser_callback_t check = [&](int depth, json::parse_event_t event, json& parsed) {
    if (tooDeep) return false;
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth >= kMaxHiveNesting) {
      tooDeep = true;
      return false;
    }
    if (event == json::parse_event_t::object_start) {
      members.emplace_back();
    } else if (event == json::parse_event_t::object_end) {
      if (!members.empty()) members.pop_back();
    } else if (event == json::parse_event_t::key && !members.empty()) {
      duplicate = duplicate || !members.back().insert(parsed.get<std::string>()).second;
    }
    return true;
  };
  json j = json::parse(text, check, false);
  // Returned by name, not through ?: (which would copy the whole tree, recursively).
  if (duplicate || tooDeep) return json(json::value_t::discarded);
  return j;
}

DWORD writeAtomically(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::path temp = file;
  temp += ".tmp." + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return ERROR_CANTWRITE;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      ::unlink(temp.c_str());
      return ERROR_CANTWRITE;
    }
    done += size_t(n);
  }
  bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (!synced || ::rename(temp.c_str(), file.c_str()) != 0) {
    ::unlink(temp.c_str());
    return ERROR_CANTWRITE;
  }
  int dir = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return ERROR_SUCCESS;
}

void stampWrites(Key& key, uint64_t now) {
  // Only keys that the change touched carry lastWrite 0 (fresh keys) - stamp those.
  if (key.lastWrite == 0) key.lastWrite = now;
  for (auto& k : key.subkeys) stampWrites(*k, now);
}

}  // namespace

Key* Key::child(std::wstring_view childName) const {
  for (const auto& k : subkeys) {
    if (equalsNoCase(k->name, childName)) return k.get();
  }
  return nullptr;
}

Key& Key::addChild(std::wstring_view childName) {
  if (Key* existing = child(childName)) return *existing;
  auto made = std::make_unique<Key>();
  made->name = std::wstring(childName);
  auto at = std::upper_bound(subkeys.begin(), subkeys.end(), made,
                             [](const auto& a, const auto& b) { return compareUpper(a->name, b->name) < 0; });
  return **subkeys.insert(at, std::move(made));
}

bool Key::removeChild(std::wstring_view childName) {
  auto it = std::find_if(subkeys.begin(), subkeys.end(),
                         [&](const auto& k) { return equalsNoCase(k->name, childName); });
  if (it == subkeys.end()) return false;
  subkeys.erase(it);
  return true;
}

const Value* Key::value(std::wstring_view valueName) const {
  for (const auto& v : values) {
    if (equalsNoCase(v.name, valueName)) return &v;
  }
  return nullptr;
}

void Key::setValue(std::wstring_view valueName, DWORD type, std::vector<uint8_t> data) {
  lastWrite = 0;
  for (auto& v : values) {
    if (equalsNoCase(v.name, valueName)) {
      v.type = type;
      v.data = std::move(data);
      return;
    }
  }
  values.push_back(Value{std::wstring(valueName), type, std::move(data)});
}

bool Key::removeValue(std::wstring_view valueName) {
  auto it = std::find_if(values.begin(), values.end(), [&](const Value& v) { return equalsNoCase(v.name, valueName); });
  if (it == values.end()) return false;
  values.erase(it);
  lastWrite = 0;
  return true;
}

Key* findKey(Key& root, const KeyPath& path) {
  Key* key = &root;
  for (const auto& part : path) {
    key = key->child(part);
    if (!key) return nullptr;
  }
  return key;
}

DWORD parseHiveText(const std::string& text, std::unique_ptr<Key>& root) {
  root = std::make_unique<Key>();
  try {
    json j = parseHive(text);
    std::string format;
    uint64_t version = 0;
    if (j.is_object() && stringMember(j, "format", format) && format == kFormat &&
        unsignedMember(j, "version", kFormatVersion, version) && version == kFormatVersion && j.contains("root") &&
        keyFromJson(j["root"], *root, 0)) {
      return ERROR_SUCCESS;
    }
    root = std::make_unique<Key>();
    return ERROR_REGISTRY_CORRUPT;
  } catch (const std::bad_alloc&) {
    root = std::make_unique<Key>();
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (const json::exception&) {
    root = std::make_unique<Key>();
    return ERROR_REGISTRY_CORRUPT;
  }
}

std::string hiveText(const Key& root) {
  json j{{"format", kFormat}, {"version", kFormatVersion}, {"root", keyToJson(root)}};
  return j.dump(1);
}

DWORD Hive::read(std::unique_ptr<Key>& root) const {
  root = std::make_unique<Key>();
  std::ifstream in(file_, std::ios::binary);
  if (!in) return ERROR_SUCCESS;  // a hive nobody has written yet
  std::stringstream text;
  text << in.rdbuf();
  return parseHiveText(text.str(), root);
}

DWORD Hive::update(const std::function<DWORD(Key& root, bool& changed)>& change) const {
  std::filesystem::path lockPath = file_;
  lockPath += ".lock";
  ExclusiveLock lock(lockPath, O_RDWR | O_CREAT);
  if (!lock.held()) return ERROR_CANTWRITE;
  std::unique_ptr<Key> root;
  if (DWORD error = read(root); error != ERROR_SUCCESS) return error;
  bool changed = false;
  DWORD result = change(*root, changed);
  if (result != ERROR_SUCCESS || !changed) return result;
  stampWrites(*root, clock::wallNs1601() / 100);
  return writeAtomically(file_, hiveText(*root));
}

}  // namespace tesmira::platform::registry
