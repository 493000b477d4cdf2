#pragma once
// Which applications use the webcam, from the user's consent store and the running
// processes, published in the consumers channel for the producer.
#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/channel.h"
#include "common/channels.h"

namespace tesmira::agent {

inline constexpr const wchar_t* kWebcamConsentKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\CapabilityAccessManager\\ConsentStore\\webcam";
inline constexpr const wchar_t* kNonPackagedSubkey = L"NonPackaged";
inline constexpr uint64_t kConsumerPublishIntervalMs = 1000;
inline constexpr size_t kDisplayNameUnits = 31;
inline constexpr size_t kConsumerKeyChars = 63;

struct WebcamConsumer {
  std::wstring displayName;
  std::wstring key;  // lower-case executable name, or the packaged application's consent key
  bool packaged = false;
  uint64_t lastUsed = 0;  // LastUsedTimeStart, FILETIME units
};

struct ConsumerTracker {
  uint64_t lastPublicationMs = 0;
  bool publishedBefore = false;
  MappedChannel channel;
  // Lower-case executable name to display name, for the agent's lifetime.
  std::map<std::wstring, std::wstring> desktopNames;
};

// At most once a second: the scan while the demand is fresh, else the empty list.
void trackConsumers(ConsumerTracker& tracker, bool demandIsFresh, uint64_t streamStartTick);
std::vector<WebcamConsumer> scanWebcamConsumers(ConsumerTracker& tracker);
// Closest to `reference` (FILETIME of the stream start) first; newest first when it is 0.
void sortConsumers(std::vector<WebcamConsumer>& consumers, uint64_t reference);
void publishConsumers(ConsumerTracker& tracker, const std::vector<WebcamConsumer>& consumers);

std::optional<std::wstring> packagedAppDisplayName(std::wstring_view key);
std::wstring nameFromPackageKey(std::wstring_view key);
std::wstring desktopAppDisplayName(ConsumerTracker& tracker, const std::wstring& path, const std::wstring& executable);
std::wstring versionInfoAppName(const std::wstring& path);
std::wstring cleanAppName(std::wstring_view name);
std::wstring exeNameFromPath(std::wstring_view path);
std::set<std::wstring> runningProcessNames();

// Channel text is UTF-16 whatever the width of wchar_t: the identity where it already is.
std::u16string toUtf16Units(std::wstring_view text);
// One character a UTF-16 unit, every unit of 128 or above as '?'.
std::string toAsciiName(std::wstring_view text);

}  // namespace tesmira::agent
