#include "agent/consumers.h"

#include <tlhelp32.h>
#include <winver.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace tesmira::agent {
namespace {

// Windows' own limit is 255; the buffer leaves room for any name the registry returns.
constexpr DWORD kSubkeyNameChars = 512;
// A key whose enumeration fails at every index would never report its end.
constexpr DWORD kMaxConsecutiveEnumFailures = 32;
constexpr uint64_t kFiletimeUnitsPerMs = 10000;

struct NamedApp {
  const wchar_t* key;
  const wchar_t* name;
};

constexpr NamedApp kPackagedApps[] = {
    {L"msteams", L"Microsoft Teams"},
    {L"microsoftteams", L"Microsoft Teams"},
    {L"microsoft.windowscamera", L"Windows Camera"},
    {L"5319275a.whatsappdesktop", L"WhatsApp"},
};

constexpr NamedApp kDesktopApps[] = {
    {L"zoom.exe", L"Zoom"},
    {L"ms-teams.exe", L"Microsoft Teams"},
    {L"teams.exe", L"Microsoft Teams"},
    {L"chrome.exe", L"Google Chrome"},
    {L"msedge.exe", L"Microsoft Edge"},
    {L"firefox.exe", L"Firefox"},
    {L"brave.exe", L"Brave"},
    {L"opera.exe", L"Opera"},
    {L"discord.exe", L"Discord"},
    {L"slack.exe", L"Slack"},
    {L"obs64.exe", L"OBS Studio"},
    {L"obs32.exe", L"OBS Studio"},
    {L"skype.exe", L"Skype"},
    {L"webexmta.exe", L"Webex"},
    {L"ciscocollabhost.exe", L"Webex"},
    {L"vmix64.exe", L"vMix"},
    {L"telegram.exe", L"Telegram"},
    {L"whatsapp.exe", L"WhatsApp"},
    {L"signal.exe", L"Signal"},
};

constexpr const wchar_t* kHelperWords[] = {L"helper", L"webhelper", L"agent", L"renderer", L"gpu"};

std::optional<std::wstring> lookUp(const auto& table, std::wstring_view key) {
  for (const NamedApp& app : table) {
    if (key == app.key) return std::wstring(app.name);
  }
  return std::nullopt;
}

std::wstring lower(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) c = wchar_t(std::towlower(wint_t(c)));
  return out;
}

bool startsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

std::wstring_view trimmed(std::wstring_view text) {
  while (!text.empty() && std::iswspace(wint_t(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::iswspace(wint_t(text.back()))) text.remove_suffix(1);
  return text;
}

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// A QWORD value of the key; 0 when it is missing or of another type.
uint64_t qwordValue(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  uint64_t value = 0;
  DWORD bytes = sizeof(value);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) != ERROR_SUCCESS ||
      type != REG_QWORD || bytes != sizeof(value)) {
    return 0;
  }
  return value;
}

// The subkeys in enumeration order; an index that fails is skipped.
template <class Visit>
void forEachSubkey(HKEY key, Visit&& visit) {
  DWORD failures = 0;
  for (DWORD index = 0; failures < kMaxConsecutiveEnumFailures; ++index) {
    wchar_t name[kSubkeyNameChars];
    DWORD chars = kSubkeyNameChars;
    const LSTATUS status = RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return;
    if (status != ERROR_SUCCESS) {
      ++failures;
      continue;
    }
    failures = 0;
    visit(std::wstring(name, std::min<DWORD>(chars, kSubkeyNameChars - 1)));
  }
}

// The consent entry's start time when the camera is in use now (started, not stopped).
std::optional<uint64_t> activeSince(HKEY parent, const std::wstring& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  const uint64_t start = qwordValue(key, L"LastUsedTimeStart");
  const uint64_t stop = qwordValue(key, L"LastUsedTimeStop");
  RegCloseKey(key);
  if (start == 0 || stop != 0) return std::nullopt;
  return start;
}

HKEY openConsentKey(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return nullptr;
  return key;
}

uint64_t fileTimeNow() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

uint64_t distance(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

VcamConsumerEntry entryOf(const WebcamConsumer& consumer) {
  VcamConsumerEntry entry{};
  const std::u16string name = toUtf16Units(consumer.displayName);
  size_t units = std::min(name.size(), kDisplayNameUnits);
  // Half a character is no character: a cut pair loses its high half too.
  if (units == kDisplayNameUnits && isHighSurrogate(name[units - 1])) --units;
  std::copy_n(name.begin(), units, entry.displayName);
  const std::string key = toAsciiName(consumer.key);
  std::memcpy(entry.key, key.data(), std::min(key.size(), kConsumerKeyChars));
  entry.packaged = consumer.packaged ? 1 : 0;
  entry.lastUsed = consumer.lastUsed;
  return entry;
}

}  // namespace

std::u16string toUtf16Units(std::wstring_view text) {
  std::u16string units;
  units.reserve(text.size());
  for (wchar_t c : text) {
    const uint32_t code = uint32_t(c);
    if (sizeof(wchar_t) == sizeof(char16_t) || code <= 0xFFFF) {
      units.push_back(char16_t(code));
    } else {
      units.push_back(char16_t(0xD800 + ((code - 0x10000) >> 10)));
      units.push_back(char16_t(0xDC00 + ((code - 0x10000) & 0x3FF)));
    }
  }
  return units;
}

std::string toAsciiName(std::wstring_view text) {
  std::string out;
  for (char16_t unit : toUtf16Units(text)) out.push_back(unit < 128 ? char(unit) : '?');
  return out;
}

std::wstring exeNameFromPath(std::wstring_view path) {
  const size_t cut = path.find_last_of(L"\\/");
  return lower(cut == std::wstring_view::npos ? path : path.substr(cut + 1));
}

std::optional<std::wstring> packagedAppDisplayName(std::wstring_view key) {
  const std::wstring name = lower(key);
  return lookUp(kPackagedApps, std::wstring_view(name).substr(0, name.find(L'_')));
}

std::wstring nameFromPackageKey(std::wstring_view key) {
  std::wstring_view family = key.substr(0, key.find(L'_'));
  const size_t dot = family.rfind(L'.');
  if (dot != std::wstring_view::npos && dot + 1 < family.size()) family.remove_prefix(dot + 1);
  return std::wstring(family);
}

std::wstring cleanAppName(std::wstring_view name) {
  std::wstring_view text = trimmed(name);
  for (;;) {
    if (!text.empty() && text.back() == L')') {
      const size_t open = text.rfind(L'(');
      if (open != std::wstring_view::npos) text = trimmed(text.substr(0, open));
    }
    size_t blank = text.size();
    while (blank > 0 && !std::iswspace(wint_t(text[blank - 1]))) --blank;
    if (blank == 0) break;
    const std::wstring last = lower(text.substr(blank));
    if (std::find(std::begin(kHelperWords), std::end(kHelperWords), last) == std::end(kHelperWords)) break;
    text = trimmed(text.substr(0, blank - 1));
  }
  return std::wstring(text);
}

std::wstring versionInfoAppName(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return {};
  void* value = nullptr;
  UINT bytes = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &bytes) || !value || bytes < 4) return {};
  WORD translation[2];
  std::memcpy(translation, value, sizeof(translation));
  for (const wchar_t* field : {L"FileDescription", L"ProductName"}) {
    wchar_t query[64];
    std::swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\%ls", unsigned(translation[0]), unsigned(translation[1]),
                  field);
    UINT chars = 0;
    if (VerQueryValueW(block.data(), query, &value, &chars) && value && chars > 0) {
      const auto* text = static_cast<const wchar_t*>(value);
      const std::wstring found(text, wcsnlen(text, chars));
      if (!found.empty()) return found;
    }
  }
  return {};
}

std::wstring desktopAppDisplayName(ConsumerTracker& tracker, const std::wstring& path, const std::wstring& executable) {
  if (const auto cached = tracker.desktopNames.find(executable); cached != tracker.desktopNames.end()) {
    return cached->second;
  }
  std::wstring name;
  if (auto known = lookUp(kDesktopApps, executable)) {
    name = std::move(*known);
  } else {
    name = cleanAppName(versionInfoAppName(path));
  }
  if (name.empty()) {
    const size_t dot = executable.rfind(L'.');
    name = executable.substr(0, dot);
    if (!name.empty()) name[0] = wchar_t(std::towupper(wint_t(name[0])));
  }
  tracker.desktopNames.emplace(executable, name);
  return name;
}

std::set<std::wstring> runningProcessNames() {
  std::set<std::wstring> names;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE || !snapshot) return names;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    entry.szExeFile[MAX_PATH - 1] = L'\0';
    names.insert(lower(entry.szExeFile));
  }
  CloseHandle(snapshot);
  return names;
}

std::vector<WebcamConsumer> scanWebcamConsumers(ConsumerTracker& tracker) {
  std::vector<WebcamConsumer> consumers;
  const std::set<std::wstring> running = runningProcessNames();
  const std::wstring base = kWebcamConsentKey;

  if (HKEY desktop = openConsentKey(base + L"\\" + kNonPackagedSubkey)) {
    forEachSubkey(desktop, [&](const std::wstring& subkey) {
      const std::optional<uint64_t> since = activeSince(desktop, subkey);
      if (!since) return;
      std::wstring path = subkey;
      std::replace(path.begin(), path.end(), L'#', L'\\');
      const std::wstring executable = exeNameFromPath(path);
      if (executable.empty() || startsWith(executable, L"tesmira") || !running.count(executable)) return;
      consumers.push_back({desktopAppDisplayName(tracker, path, executable), executable, false, *since});
    });
    RegCloseKey(desktop);
  }

  if (HKEY packaged = openConsentKey(base)) {
    forEachSubkey(packaged, [&](const std::wstring& subkey) {
      if (lower(subkey) == L"nonpackaged") return;
      const std::optional<uint64_t> since = activeSince(packaged, subkey);
      if (!since) return;
      std::wstring name = packagedAppDisplayName(subkey).value_or(nameFromPackageKey(subkey));
      consumers.push_back({std::move(name), subkey, true, *since});
    });
    RegCloseKey(packaged);
  }
  return consumers;
}

void sortConsumers(std::vector<WebcamConsumer>& consumers, uint64_t reference) {
  std::stable_sort(consumers.begin(), consumers.end(), [&](const WebcamConsumer& a, const WebcamConsumer& b) {
    if (reference == 0) return a.lastUsed > b.lastUsed;
    return distance(a.lastUsed, reference) < distance(b.lastUsed, reference);
  });
}

void publishConsumers(ConsumerTracker& tracker, const std::vector<WebcamConsumer>& consumers) {
  if (!tracker.channel.view) {
    tracker.channel =
        openExistingChannel(kVcamConsumersChannelName, FILE_MAP_READ | FILE_MAP_WRITE, sizeof(VcamConsumersBlock));
    if (!tracker.channel.view) return;
  }
  auto* block = tracker.channel.as<VcamConsumersBlock>();
  if (!hasCurrentHeader(*block)) return;
  const size_t count = std::min<size_t>(consumers.size(), kMaxVcamConsumers);
  for (size_t i = 0; i < kMaxVcamConsumers; ++i) {
    const VcamConsumerEntry entry = i < count ? entryOf(consumers[i]) : VcamConsumerEntry{};
    std::memcpy(&block->entries[i], &entry, sizeof(entry));
  }
  block->count = uint32_t(count);
  block->tick = GetTickCount64();
  std::atomic_ref<uint32_t>(block->sequence).fetch_add(1);
}

void trackConsumers(ConsumerTracker& tracker, bool demandIsFresh, uint64_t streamStartTick) {
  const uint64_t now = GetTickCount64();
  if (tracker.publishedBefore && now - tracker.lastPublicationMs < kConsumerPublishIntervalMs) return;
  tracker.lastPublicationMs = now;
  tracker.publishedBefore = true;

  std::vector<WebcamConsumer> consumers;
  if (demandIsFresh) {
    consumers = scanWebcamConsumers(tracker);
    uint64_t reference = 0;
    if (streamStartTick != 0 && streamStartTick <= now) {
      // Back from the wall clock by the stream's age, so nothing wraps.
      const uint64_t age = (now - streamStartTick) * kFiletimeUnitsPerMs;
      const uint64_t wall = fileTimeNow();
      reference = age < wall ? wall - age : 0;
    }
    sortConsumers(consumers, reference);
  }
  publishConsumers(tracker, consumers);
}

}  // namespace tesmira::agent
