// Version resources and PE files for tests, laid out as the linker and the
// resource compiler lay them out.
#include "tesmira/version_testing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/strings.h"

namespace tesmira::platform::versiontesting {
namespace {

constexpr size_t kRawDataAt = 0x200;
constexpr uint32_t kSectionRva = 0x1000;
constexpr size_t kBlockInSection = 0x58;

void put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = uint8_t(v);
  out[at + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}
void pad4(std::vector<uint8_t>& out) {
  while (out.size() % 4) out.push_back(0);
}
void appendUnits(std::vector<uint8_t>& out, const std::wstring& text) {
  for (char16_t unit : toUtf16(text)) {
    out.push_back(uint8_t(unit));
    out.push_back(uint8_t(unit >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

// wLength, wValueLength, wType, key, value, children; wLength covers all but trailing padding.
std::vector<uint8_t> node(const std::wstring& key, uint16_t type, uint16_t valueLength,
                          const std::vector<uint8_t>& value, const std::vector<std::vector<uint8_t>>& children) {
  std::vector<uint8_t> out(6, 0);
  appendUnits(out, key);
  pad4(out);
  out.insert(out.end(), value.begin(), value.end());
  for (const auto& child : children) {
    pad4(out);
    out.insert(out.end(), child.begin(), child.end());
  }
  put16(out, 0, uint16_t(out.size()));
  put16(out, 2, valueLength);
  put16(out, 4, type);
  return out;
}

}  // namespace

std::vector<uint8_t> versionBlock(const VersionStrings& strings) {
  std::vector<uint8_t> fixed(52, 0);
  put32(fixed, 0, 0xFEEF04BD);
  put32(fixed, 4, 0x00010000);
  std::vector<std::vector<uint8_t>> entries;
  for (const auto& [name, text] : strings.strings) {
    std::vector<uint8_t> value;
    appendUnits(value, text);
    entries.push_back(node(name, 1, uint16_t(value.size() / 2), value, {}));
  }
  wchar_t table[16];
  std::swprintf(table, 16, L"%04x%04x", unsigned(strings.language), unsigned(strings.codePage));
  std::vector<std::vector<uint8_t>> children = {node(L"StringFileInfo", 1, 0, {}, {node(table, 1, 0, {}, entries)})};
  if (strings.withTranslation) {
    std::vector<uint8_t> translation(4, 0);
    put16(translation, 0, strings.language);
    put16(translation, 2, strings.codePage);
    children.push_back(node(L"VarFileInfo", 1, 0, {}, {node(L"Translation", 0, 4, translation, {})}));
  }
  return node(L"VS_VERSION_INFO", 0, uint16_t(fixed.size()), fixed, children);
}

size_t versionBlockOffset() { return kRawDataAt + kBlockInSection; }

std::vector<uint8_t> peWithVersionResource(const std::vector<uint8_t>& block) {
  std::vector<uint8_t> section(kBlockInSection, 0);
  // Root (type) -> name -> language -> data entry, each directory with one id entry.
  auto directory = [&](size_t at, uint32_t id, uint32_t target) {
    put16(section, at + 14, 1);
    put32(section, at + 16, id);
    put32(section, at + 20, target);
  };
  directory(0x00, 16, 0x80000000u | 0x18);
  directory(0x18, 1, 0x80000000u | 0x30);
  directory(0x30, 0x0409, 0x48);
  put32(section, 0x48, kSectionRva + uint32_t(kBlockInSection));
  put32(section, 0x4C, uint32_t(block.size()));
  section.insert(section.end(), block.begin(), block.end());
  while (section.size() % 0x200) section.push_back(0);

  std::vector<uint8_t> pe(kRawDataAt + section.size(), 0);
  std::copy(section.begin(), section.end(), pe.begin() + std::ptrdiff_t(kRawDataAt));
  pe[0] = 'M';
  pe[1] = 'Z';
  put32(pe, 0x3C, 0x40);
  std::memcpy(&pe[0x40], "PE\0\0", 4);
  put16(pe, 0x44, 0x8664);  // x64
  put16(pe, 0x46, 1);       // one section
  put16(pe, 0x54, 240);     // PE32+ optional header with 16 directories
  put16(pe, 0x56, 0x22);
  const size_t optional = 0x58;
  put16(pe, optional, 0x20b);
  put32(pe, optional + 108, 16);
  if (!block.empty()) {
    put32(pe, optional + 112 + 16, kSectionRva);
    put32(pe, optional + 112 + 20, uint32_t(section.size()));
  }
  const size_t table = optional + 240;
  std::memcpy(&pe[table], ".rsrc", 5);
  put32(pe, table + 8, uint32_t(section.size()));
  put32(pe, table + 12, kSectionRva);
  put32(pe, table + 16, uint32_t(section.size()));
  put32(pe, table + 20, uint32_t(kRawDataAt));
  return pe;
}

}  // namespace tesmira::platform::versiontesting
