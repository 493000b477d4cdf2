#include "common/text_search.h"

#include <cwctype>

namespace tesmira {

bool containsNoCase(const std::wstring& haystack, const std::wstring& needle) {
  if (needle.size() > haystack.size()) return false;
  std::wstring h = haystack, n = needle;
  for (auto& c : h) c = wchar_t(std::towlower(c));
  for (auto& c : n) c = wchar_t(std::towlower(c));
  return h.find(n) != std::wstring::npos;
}

}  // namespace tesmira
