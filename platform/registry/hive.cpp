#include "registry/hive.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/clock.h"
#include "core/exclusive_lock.h"
#include "core/strings.h"
#include "winerror.h"
#include "winreg.h"

namespace tesmira::platform::registry {
namespace {

using nlohmann::json;

constexpr const char* kFormat = "tesmira-registry-hive";
constexpr int kFormatVersion = 1;

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
  std::memcpy(text.data(), data.data(), data.size());
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
  return json{{"name", toUtf8(key.name)}, {"written", key.lastWrite}, {"values", values}, {"keys", keys}};
}

bool keyFromJson(const json& j, Key& key, int depth) {
  if (depth > 512 || !j.is_object()) return false;
  if (!j.contains("name") || !j["name"].is_string()) return false;
  key.name = fromUtf8(j["name"].get<std::string>());
  key.lastWrite = j.value("written", uint64_t(0));
  if (j.contains("values")) {
    if (!j["values"].is_array()) return false;
    for (const auto& jv : j["values"]) {
      if (!jv.is_object() || !jv.contains("name") || !jv["name"].is_string() || !jv.contains("type") ||
          !jv["type"].is_number_unsigned()) {
        return false;
      }
      Value v;
      v.name = fromUtf8(jv["name"].get<std::string>());
      v.type = jv["type"].get<DWORD>();
      if (jv.contains("text") && jv["text"].is_string()) {
        std::wstring text = fromUtf8(jv["text"].get<std::string>());
        v.data.resize(text.size() * sizeof(wchar_t));
        std::memcpy(v.data.data(), text.data(), v.data.size());
      } else if (!jv.contains("hex") || !jv["hex"].is_string() || !fromHex(jv["hex"].get<std::string>(), v.data)) {
        return false;
      }
      key.values.push_back(std::move(v));
    }
  }
  if (j.contains("keys")) {
    if (!j["keys"].is_array()) return false;
    for (const auto& jk : j["keys"]) {
      auto child = std::make_unique<Key>();
      if (!keyFromJson(jk, *child, depth + 1)) return false;
      if (key.child(child->name)) return false;  // two keys of one name
      Key& slot = key.addChild(child->name);
      slot = std::move(*child);
    }
  }
  return true;
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

DWORD Hive::read(std::unique_ptr<Key>& root) const {
  root = std::make_unique<Key>();
  std::ifstream in(file_, std::ios::binary);
  if (!in) return ERROR_SUCCESS;  // a hive nobody has written yet
  std::stringstream text;
  text << in.rdbuf();
  json j = json::parse(text.str(), nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.value("format", std::string()) != kFormat ||
      j.value("version", 0) != kFormatVersion || !j.contains("root")) {
    return ERROR_REGISTRY_CORRUPT;
  }
  if (!keyFromJson(j["root"], *root, 0)) return ERROR_REGISTRY_CORRUPT;
  return ERROR_SUCCESS;
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
  json j{{"format", kFormat}, {"version", kFormatVersion}, {"root", keyToJson(*root)}};
  return writeAtomically(file_, j.dump(1));
}

}  // namespace tesmira::platform::registry
