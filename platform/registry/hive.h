#pragma once
// A registry hive: a tree of keys kept in one JSON file under the machine root.
// A change rewrites the whole file through a temporary file and a rename, under
// an exclusive lock shared by every process, so a crash leaves the old or the
// new hive, never a broken one.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "minwindef.h"

namespace tesmira::platform::registry {

// Windows' own limits: 512 levels below a hive's root, 255 characters a key name.
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxKeyNameChars = 255;
// The largest value RegSetValueExW stores; a hive holding a larger one is corrupt.
inline constexpr DWORD kMaxValueBytes = 16u << 20;

struct Value {
  std::wstring name;  // empty: the key's default value
  DWORD type = 0;
  std::vector<uint8_t> data;
};

struct Key {
  std::wstring name;
  uint64_t lastWrite = 0;                    // 100 ns units since 1601
  std::vector<Value> values;                 // in the order they were first set
  std::vector<std::unique_ptr<Key>> subkeys; // sorted as Windows enumerates: by upper-cased name

  Key* child(std::wstring_view name) const;
  Key& addChild(std::wstring_view name);     // the existing child or a new one, in order
  bool removeChild(std::wstring_view name);
  const Value* value(std::wstring_view name) const;
  void setValue(std::wstring_view name, DWORD type, std::vector<uint8_t> data);
  bool removeValue(std::wstring_view name);
};

using KeyPath = std::vector<std::wstring>;

class Hive {
 public:
  explicit Hive(std::filesystem::path file) : file_(std::move(file)) {}

  // Reads the hive (an empty tree when there is no file yet). ERROR_REGISTRY_CORRUPT
  // when the file is not exactly a hive of the shape this layer writes (wrong types,
  // duplicate names, too deep, too large): it is then never overwritten.
  DWORD read(std::unique_ptr<Key>& root) const;
  // Read, change and write back under the hive's lock; `change` returns the
  // result; the file is written only when it returns ERROR_SUCCESS and says so.
  DWORD update(const std::function<DWORD(Key& root, bool& changed)>& change) const;

 private:
  std::filesystem::path file_;
};

// The tree a hive file's text holds; ERROR_REGISTRY_CORRUPT (and an empty tree) for any
// text that is not exactly a hive of the shape hiveText writes. Never throws.
DWORD parseHiveText(const std::string& text, std::unique_ptr<Key>& root);
// The text of a hive file holding `root`.
std::string hiveText(const Key& root);

// The key at `path` below root, or null.
Key* findKey(Key& root, const KeyPath& path);

}  // namespace tesmira::platform::registry
