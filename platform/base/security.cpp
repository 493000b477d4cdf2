#include "base/security.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "core/handles.h"
#include "core/strings.h"
#include "errhandlingapi.h"
#include "processthreadsapi.h"
#include "sddl.h"
#include "securitybaseapi.h"
#include "winbase.h"
#include "winerror.h"

namespace tesmira::platform::security {
namespace {

enum class Trustee : uint8_t { Privileged, Unprivileged };

struct Ace {
  uint8_t allow;  // 1 allow, 0 deny
  uint8_t flags;  // OI/CI as on Windows: 0x1 object inherit, 0x2 container inherit
  Trustee trustee;
  uint32_t mask;
};

constexpr uint32_t kMagic = 0x53444454;  // "TDDS"
constexpr size_t kMaxAces = 32;

// What ConvertStringSecurityDescriptorToSecurityDescriptorW hands out (one LocalAlloc block).
struct Descriptor {
  uint32_t magic;
  uint32_t hasDacl;
  uint32_t protectedDacl;
  uint32_t aceCount;
  Ace aces[kMaxAces];
};

struct Right {
  std::wstring_view code;
  uint32_t mask;
};

constexpr Right kRights[] = {
    {L"GA", 0x10000000}, {L"GR", 0x80000000}, {L"GW", 0x40000000}, {L"GX", 0x20000000},
    {L"FA", 0x001F01FF}, {L"FR", 0x00120089}, {L"FW", 0x00120116}, {L"FX", 0x001200A0},
    {L"KA", 0x000F003F}, {L"KR", 0x00020019}, {L"KW", 0x00020006}, {L"KX", 0x00020019},
    {L"RC", 0x00020000}, {L"SD", 0x00010000}, {L"WD", 0x00040000}, {L"WO", 0x00080000},
};

struct Alias {
  std::wstring_view alias;
  std::wstring_view sid;
  Trustee trustee;
};

constexpr Alias kAliases[] = {
    {L"SY", L"S-1-5-18", Trustee::Privileged},       {L"BA", L"S-1-5-32-544", Trustee::Privileged},
    {L"LS", L"S-1-5-19", Trustee::Unprivileged},     {L"NS", L"S-1-5-20", Trustee::Unprivileged},
    {L"BU", L"S-1-5-32-545", Trustee::Unprivileged}, {L"IU", L"S-1-5-4", Trustee::Unprivileged},
    {L"AU", L"S-1-5-11", Trustee::Unprivileged},     {L"WD", L"S-1-1-0", Trustee::Unprivileged},
    {L"CO", L"S-1-3-0", Trustee::Privileged},        {L"AC", L"S-1-15-2-1", Trustee::Unprivileged},
};

std::optional<Trustee> parseTrustee(std::wstring_view text) {
  for (const auto& a : kAliases) {
    if (text == a.alias || equalsNoCase(text, a.sid)) return a.trustee;
  }
  // Any other well-formed SID string (a user, a group): an ordinary trustee.
  if (text.size() > 4 && (text.substr(0, 4) == L"S-1-" || text.substr(0, 4) == L"s-1-")) {
    bool digitSeen = false;
    for (wchar_t c : text.substr(4)) {
      if (c == L'-') {
        if (!digitSeen) return std::nullopt;
        digitSeen = false;
      } else if (c >= L'0' && c <= L'9') {
        digitSeen = true;
      } else {
        return std::nullopt;
      }
    }
    if (digitSeen) return Trustee::Unprivileged;
  }
  return std::nullopt;
}

std::optional<uint32_t> parseRights(std::wstring_view text) {
  if (text.empty()) return std::nullopt;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    uint64_t value = 0;
    for (wchar_t c : text.substr(2)) {
      int digit = (c >= L'0' && c <= L'9') ? c - L'0'
                  : (c >= L'a' && c <= L'f') ? c - L'a' + 10
                  : (c >= L'A' && c <= L'F') ? c - L'A' + 10
                                             : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + uint64_t(digit);
      if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return uint32_t(value);
  }
  if (text.size() % 2 != 0) return std::nullopt;
  uint32_t mask = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    bool known = false;
    for (const auto& r : kRights) {
      if (text.substr(i, 2) == r.code) {
        mask |= r.mask;
        known = true;
        break;
      }
    }
    if (!known) return std::nullopt;
  }
  return mask;
}

std::optional<uint8_t> parseAceFlags(std::wstring_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  uint8_t flags = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    std::wstring_view f = text.substr(i, 2);
    if (f == L"OI") flags |= 0x1;
    else if (f == L"CI") flags |= 0x2;
    else if (f == L"NP") flags |= 0x4;
    else if (f == L"IO") flags |= 0x8;
    else if (f == L"ID") flags |= 0x10;
    else return std::nullopt;
  }
  return flags;
}

std::optional<Ace> parseAce(std::wstring_view body) {
  std::wstring_view fields[6];
  size_t count = 0;
  size_t start = 0;
  for (size_t i = 0; i <= body.size(); ++i) {
    if (i == body.size() || body[i] == L';') {
      if (count == 6) return std::nullopt;
      fields[count++] = body.substr(start, i - start);
      start = i + 1;
    }
  }
  if (count != 6 || !fields[3].empty() || !fields[4].empty()) return std::nullopt;
  Ace ace{};
  if (fields[0] == L"A") ace.allow = 1;
  else if (fields[0] == L"D") ace.allow = 0;
  else return std::nullopt;
  auto flags = parseAceFlags(fields[1]);
  auto mask = parseRights(fields[2]);
  auto trustee = parseTrustee(fields[5]);
  if (!flags || !mask || !trustee) return std::nullopt;
  ace.flags = *flags;
  ace.mask = *mask;
  ace.trustee = *trustee;
  return ace;
}

// "O:sid", "G:sid" and "D:flags(ace)(ace)..." in any order, each at most once.
bool parseSddl(std::wstring_view text, Descriptor& out) {
  bool seenOwner = false, seenGroup = false;
  size_t i = 0;
  while (i < text.size()) {
    if (i + 1 >= text.size() || text[i + 1] != L':') return false;
    wchar_t section = text[i];
    i += 2;
    size_t next = i;
    // A section runs to the next "X:" that is not inside parentheses.
    int depth = 0;
    while (next < text.size()) {
      wchar_t c = text[next];
      if (c == L'(') ++depth;
      else if (c == L')') --depth;
      if (depth < 0) return false;
      if (depth == 0 && next + 1 < text.size() && text[next + 1] == L':' &&
          (c == L'O' || c == L'G' || c == L'D' || c == L'S') && next > i) {
        // "S-1-..." SIDs never have a colon, so this is the next section.
        break;
      }
      ++next;
    }
    if (depth != 0) return false;
    std::wstring_view value = text.substr(i, next - i);
    i = next;
    if (section == L'O' || section == L'G') {
      bool& seen = section == L'O' ? seenOwner : seenGroup;
      if (seen || !parseTrustee(value)) return false;
      seen = true;
      continue;
    }
    if (section != L'D' || out.hasDacl) return false;
    out.hasDacl = 1;
    size_t open = value.find(L'(');
    std::wstring_view flags = value.substr(0, open);
    for (size_t f = 0; f < flags.size();) {
      if (flags[f] == L'P') {
        out.protectedDacl = 1;
        f += 1;
      } else if (flags.substr(f, 2) == L"AI" || flags.substr(f, 2) == L"AR") {
        f += 2;
      } else {
        return false;
      }
    }
    while (open != std::wstring_view::npos && open < value.size()) {
      if (value[open] != L'(') return false;
      size_t close = value.find(L')', open);
      if (close == std::wstring_view::npos || out.aceCount == kMaxAces) return false;
      auto ace = parseAce(value.substr(open + 1, close - open - 1));
      if (!ace) return false;
      out.aces[out.aceCount++] = *ace;
      open = close + 1;
    }
  }
  return seenOwner || seenGroup || out.hasDacl;
}

uint32_t rwxFor(uint32_t mask, bool folder) {
  constexpr uint32_t kRead = 0x80000000 | 0x10000000 | 0x0001;   // GENERIC_READ, GENERIC_ALL, FILE_READ_DATA
  constexpr uint32_t kWrite = 0x40000000 | 0x10000000 | 0x0006;  // GENERIC_WRITE, GENERIC_ALL, FILE_WRITE/APPEND_DATA
  constexpr uint32_t kExec = 0x20000000 | 0x10000000 | 0x0020;   // GENERIC_EXECUTE, GENERIC_ALL, FILE_EXECUTE
  uint32_t bits = 0;
  if (mask & kRead) bits |= 4;
  if (mask & kWrite) bits |= 2;
  if (mask & kExec) bits |= 1;
  if (folder && (bits & 4)) bits |= 1;  // everyone may traverse what they may list
  return bits;
}

const Descriptor* asDescriptor(PSECURITY_DESCRIPTOR descriptor) {
  auto* d = static_cast<const Descriptor*>(descriptor);
  return d && d->magic == kMagic && d->aceCount <= kMaxAces ? d : nullptr;
}

}  // namespace

std::optional<uint32_t> modeFor(PSECURITY_DESCRIPTOR descriptor, bool folder) {
  const Descriptor* d = asDescriptor(descriptor);
  if (!d || !d->hasDacl) return std::nullopt;
  // Windows reads the aces in order: the first ace that speaks of a right decides it.
  uint32_t decided[2] = {0, 0}, granted[2] = {0, 0};
  for (uint32_t k = 0; k < d->aceCount; ++k) {
    const Ace& ace = d->aces[k];
    if (ace.flags & 0x8) continue;  // inherit-only: says nothing about this object
    size_t who = ace.trustee == Trustee::Privileged ? 0 : 1;
    uint32_t bits = rwxFor(ace.mask, folder) & ~decided[who];
    if (ace.allow) granted[who] |= bits;
    decided[who] |= bits;
  }
  uint32_t others = granted[1];
  uint32_t owner = granted[0] | others;
  return (owner << 6) | (others << 3) | others;
}

bool processIsElevated() {
  const char* forced = std::getenv("TESMIRA_ELEVATED");
  if (forced && *forced == '1') return true;
  if (forced && *forced == '0') return false;
  return ::geteuid() == 0;
}

}  // namespace tesmira::platform::security

namespace {

class Token : public tesmira::platform::KernelObject {};

}  // namespace

using namespace tesmira::platform;

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                                 PULONG SecurityDescriptorSize) {
  if (!StringSecurityDescriptor || !SecurityDescriptor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *SecurityDescriptor = nullptr;
  if (StringSDRevision != SDDL_REVISION_1) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  security::Descriptor parsed{};
  parsed.magic = security::kMagic;
  if (!security::parseSddl(StringSecurityDescriptor, parsed)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  void* block = LocalAlloc(LMEM_FIXED, sizeof(parsed));
  if (!block) return FALSE;
  std::memcpy(block, &parsed, sizeof(parsed));
  *SecurityDescriptor = block;
  if (SecurityDescriptorSize) *SecurityDescriptorSize = ULONG(sizeof(parsed));
  return TRUE;
}

BOOL WINAPI SetFileSecurityW(LPCWSTR lpFileName, SECURITY_INFORMATION SecurityInformation,
                             PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  if (!lpFileName || !pSecurityDescriptor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (injectedFailure("SetFileSecurityW")) return FALSE;
  if (!security::asDescriptor(pSecurityDescriptor)) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  std::string path = toLinuxPath(lpFileName).string();
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) {
    SetLastError(win32FromErrno(errno));
    return FALSE;
  }
  // Only the DACL turns into anything here; owner and group have no stand-in.
  if (!(SecurityInformation & DACL_SECURITY_INFORMATION)) return TRUE;
  auto mode = security::modeFor(pSecurityDescriptor, S_ISDIR(info.st_mode));
  if (!mode) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  if (::chmod(path.c_str(), mode_t(*mode)) != 0) {
    SetLastError(win32FromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  if (!TokenHandle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *TokenHandle = nullptr;
  if (injectedFailure("OpenProcessToken")) return FALSE;
  if (ProcessHandle != GetCurrentProcess()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *TokenHandle = handles::insert(std::make_shared<Token>());
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength) {
  if (!handles::lookupAs<Token>(TokenHandle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (injectedFailure("GetTokenInformation")) return FALSE;
  if (TokenInformationClass != TokenElevation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (ReturnLength) *ReturnLength = sizeof(TOKEN_ELEVATION);
  if (!TokenInformation || TokenInformationLength < sizeof(TOKEN_ELEVATION)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  TOKEN_ELEVATION elevation{DWORD(security::processIsElevated() ? 1 : 0)};
  std::memcpy(TokenInformation, &elevation, sizeof(elevation));
  return TRUE;
}
