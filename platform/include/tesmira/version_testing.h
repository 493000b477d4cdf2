#pragma once
// Test hooks: a version resource and a small PE file that carries it, made in code
// so that tests need no Windows executable. Product code never includes this header.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "../minwindef.h"

namespace tesmira::platform::versiontesting {

struct VersionStrings {
  uint16_t language = 0x0409;
  uint16_t codePage = 0x04b0;
  // In the StringTable of that language and code page, in this order.
  std::vector<std::pair<std::wstring, std::wstring>> strings;
  bool withTranslation = true;  // the VarFileInfo\Translation entry
};

// The VS_VERSIONINFO block as a resource compiler writes it (UTF-16 keys and texts).
TESMIRA_EXPORT std::vector<uint8_t> versionBlock(const VersionStrings& strings);
// A PE32+ file whose only section holds a resource directory with `block` as its
// RT_VERSION resource (an empty block: a PE without any resource).
TESMIRA_EXPORT std::vector<uint8_t> peWithVersionResource(const std::vector<uint8_t>& block);
// Offset of the version block inside what peWithVersionResource returns.
TESMIRA_EXPORT size_t versionBlockOffset();

}  // namespace tesmira::platform::versiontesting
