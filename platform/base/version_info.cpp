// The version resource of a PE file: found through the resource directory, every
// offset checked against what the file holds. The block handed out is the resource
// followed by a copy of its texts as wide strings (wchar_t is not UTF-16 here).
#include <algorithm>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/strings.h"
#include "errhandlingapi.h"
#include "winerror.h"
#include "winver.h"

namespace tesmira::platform::version {
namespace {

constexpr uint32_t kResourceTypeVersion = 16;  // RT_VERSION
constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr uint16_t kTextValue = 1;
constexpr size_t kMaxSections = 96;
constexpr size_t kMaxDirectoryEntries = 4096;
constexpr int kMaxNodeDepth = 16;
constexpr uint64_t kMaxResourceBytes = 1 << 20;

uint16_t u16At(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t u32At(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }
size_t align4(size_t n) { return (n + 3) & ~size_t(3); }

class PeFile {
 public:
  explicit PeFile(const std::filesystem::path& path) : in_(path, std::ios::binary) {
    if (!in_) return;
    in_.seekg(0, std::ios::end);
    size_ = uint64_t(std::max<std::streamoff>(in_.tellg(), 0));
  }
  bool opened() const { return bool(in_); }

  bool read(uint64_t offset, size_t bytes, std::vector<uint8_t>& out) {
    if (offset > size_ || bytes > size_ - offset) return false;
    out.resize(bytes);
    in_.seekg(std::streamoff(offset));
    return bytes == 0 || bool(in_.read(reinterpret_cast<char*>(out.data()), std::streamsize(bytes)));
  }

  // The raw version resource; the Win32 error when there is none.
  DWORD versionResource(std::vector<uint8_t>& resource) {
    std::vector<uint8_t> b;
    if (!read(0, 64, b) || b[0] != 'M' || b[1] != 'Z') return ERROR_BAD_EXE_FORMAT;
    const uint32_t pe = u32At(&b[0x3C]);
    if (!read(pe, 24, b) || std::memcmp(b.data(), "PE\0\0", 4) != 0) return ERROR_BAD_EXE_FORMAT;
    const size_t sectionCount = u16At(&b[6]);
    const size_t optionalBytes = u16At(&b[20]);
    if (sectionCount > kMaxSections) return ERROR_BAD_EXE_FORMAT;
    std::vector<uint8_t> optional;
    if (!read(uint64_t(pe) + 24, optionalBytes, optional) || optionalBytes < 2) return ERROR_BAD_EXE_FORMAT;
    const uint16_t magic = u16At(optional.data());
    if (magic != 0x10b && magic != 0x20b) return ERROR_BAD_EXE_FORMAT;
    const size_t countAt = magic == 0x10b ? 92 : 108;
    const size_t directoriesAt = countAt + 4;
    if (optionalBytes < directoriesAt + 3 * 8 || u32At(&optional[countAt]) < 3) return ERROR_RESOURCE_DATA_NOT_FOUND;
    resourceRva_ = u32At(&optional[directoriesAt + 16]);
    if (resourceRva_ == 0 || u32At(&optional[directoriesAt + 20]) == 0) return ERROR_RESOURCE_DATA_NOT_FOUND;
    std::vector<uint8_t> table;
    if (!read(uint64_t(pe) + 24 + optionalBytes, sectionCount * 40, table)) return ERROR_BAD_EXE_FORMAT;
    for (size_t i = 0; i < sectionCount; ++i) {
      const uint8_t* s = &table[i * 40];
      sections_.push_back({u32At(s + 12), u32At(s + 16), u32At(s + 20)});
    }

    // Type, then the first name, then the first language.
    uint32_t directory = 0;
    std::optional<uint32_t> entry = findEntry(directory, kResourceTypeVersion);
    if (!entry || !(*entry & kSubdirectoryFlag)) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    for (int level = 0; level < 2; ++level) {
      directory = *entry & ~kSubdirectoryFlag;
      entry = findEntry(directory, std::nullopt);
      if (!entry) return ERROR_RESOURCE_DATA_NOT_FOUND;
      if (level == 0 && !(*entry & kSubdirectoryFlag)) return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    if (*entry & kSubdirectoryFlag) return ERROR_RESOURCE_DATA_NOT_FOUND;
    std::vector<uint8_t> data;
    if (!readRva(uint64_t(resourceRva_) + *entry, 8, data)) return ERROR_RESOURCE_DATA_NOT_FOUND;
    const uint32_t dataRva = u32At(&data[0]);
    const uint32_t dataBytes = u32At(&data[4]);
    if (dataBytes > kMaxResourceBytes || !readRva(dataRva, dataBytes, resource)) return ERROR_RESOURCE_DATA_NOT_FOUND;
    return ERROR_SUCCESS;
  }

 private:
  struct Section {
    uint32_t virtualAddress;
    uint32_t rawBytes;
    uint32_t rawOffset;
  };

  bool readRva(uint64_t rva, size_t bytes, std::vector<uint8_t>& out) {
    for (const Section& s : sections_) {
      if (rva < s.virtualAddress || rva - s.virtualAddress > s.rawBytes) continue;
      if (bytes > s.rawBytes - (rva - s.virtualAddress)) return false;
      return read(uint64_t(s.rawOffset) + (rva - s.virtualAddress), bytes, out);
    }
    return false;
  }

  // The offset field of the directory's entry with that id (any entry when none is given).
  std::optional<uint32_t> findEntry(uint32_t directory, std::optional<uint32_t> id) {
    std::vector<uint8_t> head;
    if (!readRva(uint64_t(resourceRva_) + directory, 16, head)) return std::nullopt;
    const size_t count = size_t(u16At(&head[12])) + u16At(&head[14]);
    if (count == 0 || count > kMaxDirectoryEntries) return std::nullopt;
    std::vector<uint8_t> entries;
    if (!readRva(uint64_t(resourceRva_) + directory + 16, count * 8, entries)) return std::nullopt;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t name = u32At(&entries[i * 8]);
      if (!id || name == *id) return u32At(&entries[i * 8 + 4]);
    }
    return std::nullopt;
  }

  std::ifstream in_;
  uint64_t size_ = 0;
  uint32_t resourceRva_ = 0;
  std::vector<Section> sections_;
};

// One node of the version block: its key, value and children, all inside [start, end).
struct Node {
  size_t start = 0;
  size_t end = 0;
  std::u16string key;
  uint16_t type = 0;
  size_t valueAt = 0;
  size_t valueUnits = 0;  // as stored: characters for text, bytes otherwise
  size_t valueBytes = 0;
  size_t childrenAt = 0;
};

std::optional<Node> nodeAt(const uint8_t* block, size_t at, size_t limit) {
  if (at + 6 > limit) return std::nullopt;
  Node node;
  node.start = at;
  const size_t length = u16At(block + at);
  if (length < 6 || length > limit - at) return std::nullopt;
  node.end = at + length;
  node.valueUnits = u16At(block + at + 2);
  node.type = u16At(block + at + 4);
  size_t cursor = at + 6;
  for (;;) {
    if (cursor + 2 > node.end) return std::nullopt;
    const char16_t unit = char16_t(u16At(block + cursor));
    cursor += 2;
    if (unit == 0) break;
    node.key.push_back(unit);
  }
  node.valueAt = align4(cursor);
  node.valueBytes = node.type == kTextValue ? node.valueUnits * 2 : node.valueUnits;
  if (node.valueAt > node.end || node.valueBytes > node.end - node.valueAt) {
    if (node.valueUnits != 0) return std::nullopt;
    node.valueAt = node.end;
  }
  node.childrenAt = std::min(align4(node.valueAt + node.valueBytes), node.end);
  return node;
}

template <class Visit>
void forEachChild(const uint8_t* block, const Node& parent, Visit&& visit) {
  for (size_t at = parent.childrenAt; at < parent.end;) {
    const std::optional<Node> child = nodeAt(block, at, parent.end);
    if (!child) return;
    if (!visit(*child)) return;
    at = align4(child->end);
  }
}

bool sameKey(const std::u16string& a, std::wstring_view b) {
  const std::u16string wanted = toUtf16(b);
  if (a.size() != wanted.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(wint_t(a[i])) != std::towlower(wint_t(wanted[i]))) return false;
  }
  return true;
}

size_t rawBytesOf(const uint8_t* block) { return u16At(block); }
size_t mirrorAt(size_t rawBytes) { return align4(rawBytes); }
size_t blockBytes(size_t rawBytes) { return mirrorAt(rawBytes) + (rawBytes / 2 + 1) * sizeof(wchar_t); }

// Every text value of the tree as a wide string at its place in the mirror.
void mirrorTexts(uint8_t* block, const Node& node, int depth) {
  if (depth > kMaxNodeDepth) return;
  if (node.type == kTextValue && node.valueUnits > 0) {
    std::u16string units;
    for (size_t i = 0; i < node.valueUnits; ++i) units.push_back(char16_t(u16At(block + node.valueAt + 2 * i)));
    std::wstring text = fromUtf16(units);
    if (text.size() > node.valueUnits) text.resize(node.valueUnits);
    auto* out = reinterpret_cast<wchar_t*>(block + mirrorAt(rawBytesOf(block)) + node.valueAt / 2 * sizeof(wchar_t));
    std::fill_n(out, node.valueUnits, L'\0');
    std::copy(text.begin(), text.end(), out);
  }
  forEachChild(block, node, [&](const Node& child) {
    mirrorTexts(block, child, depth + 1);
    return true;
  });
}

bool loadResource(LPCWSTR fileName, std::vector<uint8_t>& resource) {
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  PeFile file(toLinuxPath(fileName));
  if (!file.opened()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (const DWORD error = file.versionResource(resource); error != ERROR_SUCCESS) {
    SetLastError(error);
    return false;
  }
  const std::optional<Node> root = nodeAt(resource.data(), 0, resource.size());
  if (!root || !sameKey(root->key, L"VS_VERSION_INFO")) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return false;
  }
  resource.resize(root->end);
  return true;
}

}  // namespace
}  // namespace tesmira::platform::version

using namespace tesmira::platform::version;

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle) {
  if (handle) *handle = 0;
  std::vector<uint8_t> resource;
  if (!loadResource(fileName, resource)) return 0;
  SetLastError(ERROR_SUCCESS);
  return DWORD(blockBytes(resource.size()));
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR fileName, DWORD, DWORD bytes, LPVOID data) {
  if (!data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<uint8_t> resource;
  if (!loadResource(fileName, resource)) return FALSE;
  if (bytes < blockBytes(resource.size())) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* block = static_cast<uint8_t*>(data);
  std::memset(block, 0, blockBytes(resource.size()));
  std::memcpy(block, resource.data(), resource.size());
  if (const auto root = nodeAt(block, 0, resource.size())) mirrorTexts(block, *root, 0);
  return TRUE;
}

BOOL WINAPI VerQueryValueW(LPCVOID data, LPCWSTR subBlock, LPVOID* value, PUINT length) {
  if (!data || !subBlock || !value || !length) return FALSE;
  *value = nullptr;
  *length = 0;
  const auto* block = static_cast<const uint8_t*>(data);
  std::optional<Node> node = nodeAt(block, 0, rawBytesOf(block));
  if (!node) return FALSE;
  std::wstring_view rest(subBlock);
  int depth = 0;
  while (!rest.empty()) {
    const size_t cut = rest.find(L'\\');
    const std::wstring_view part = rest.substr(0, cut);
    rest = cut == std::wstring_view::npos ? std::wstring_view() : rest.substr(cut + 1);
    if (part.empty()) continue;
    if (++depth > kMaxNodeDepth) return FALSE;
    std::optional<Node> found;
    forEachChild(block, *node, [&](const Node& child) {
      if (sameKey(child.key, part)) found = child;
      return !found;
    });
    if (!found) return FALSE;
    node = found;
  }
  if (node->valueBytes == 0 || node->valueAt >= node->end) return FALSE;
  if (node->type == kTextValue) {
    auto* text = reinterpret_cast<const wchar_t*>(block + mirrorAt(rawBytesOf(block)) + node->valueAt / 2 * sizeof(wchar_t));
    *value = const_cast<wchar_t*>(text);
    *length = UINT(node->valueUnits);
  } else {
    *value = const_cast<uint8_t*>(block + node->valueAt);
    *length = UINT(node->valueBytes);
  }
  return TRUE;
}
