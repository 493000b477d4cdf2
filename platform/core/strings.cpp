#include "core/strings.h"

#include <cwctype>

namespace tesmira::platform {

std::string toUtf8(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (wchar_t wc : wide) {
    uint32_t c = uint32_t(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring fromUtf8(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned char b = utf8[i];
    uint32_t c;
    size_t extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out += wchar_t(0xFFFD);
      ++i;
      continue;
    }
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      if (i + k >= utf8.size() || (static_cast<unsigned char>(utf8[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    if (!ok) {
      out += wchar_t(0xFFFD);
      ++i;
      continue;
    }
    out += wchar_t(c);
    i += extra + 1;
  }
  return out;
}

std::u16string toUtf16(std::wstring_view wide) {
  std::u16string out;
  out.reserve(wide.size());
  for (wchar_t wc : wide) {
    uint32_t c = uint32_t(wc);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      out += char16_t(0xD800 + (c >> 10));
      out += char16_t(0xDC00 + (c & 0x3FF));
    } else {
      out += char16_t(c > 0x10FFFF ? 0xFFFD : c);
    }
  }
  return out;
}

std::wstring fromUtf16(std::u16string_view utf16) {
  std::wstring out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    }
    out += wchar_t(c);
  }
  return out;
}

std::filesystem::path toLinuxPath(std::wstring_view windowsPath) {
  std::wstring p(windowsPath);
  for (auto& c : p) {
    if (c == L'\\') c = L'/';
  }
  if (p.size() >= 2 && p[1] == L':' && std::iswalpha(p[0])) p.erase(0, 2);
  return std::filesystem::path(toUtf8(p));
}

std::filesystem::path toLinuxPath(LPCWSTR windowsPath) {
  return toLinuxPath(std::wstring_view(windowsPath ? windowsPath : L""));
}

bool equalsNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

std::wstring lowerCase(std::wstring_view text) {
  std::wstring out(text);
  for (auto& c : out) c = wchar_t(std::towlower(c));
  return out;
}

std::string escapedFileName(std::wstring_view name) {
  std::string utf8 = toUtf8(name);
  std::string out;
  for (unsigned char c : utf8) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                 c == '_' || c == '-';
    if (plain && !(out.empty() && c == '.')) {
      out += char(c);
    } else {
      static const char* hex = "0123456789ABCDEF";
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace tesmira::platform
