#pragma once
// A service's record in the machine root (services/<name>.json).
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "winsvc.h"

namespace tesmira::platform::services {

struct ServiceRecord {
  std::string name;
  std::string displayName;
  std::string description;
  std::string binaryPath;
  std::string loadOrderGroup;
  std::string startName;
  uint32_t serviceType = 0;
  uint32_t startType = 0;
  uint32_t errorControl = 0;
  uint32_t resetPeriod = 0;
  std::string rebootMessage;
  std::string command;
  std::vector<std::pair<uint32_t, uint32_t>> actions;  // type, delay in ms
  bool deleted = false;
  SERVICE_STATUS status{};
  std::vector<SERVICE_STATUS> statuses;  // every status the service reported since its start
  uint64_t pid = 0;
  bool dispatcherReady = false;
  uint64_t controlSeq = 0;
  uint32_t control = 0;
  uint64_t replySeq = 0;
  std::map<uint64_t, uint64_t> handles;  // process id -> open handles

  nlohmann::json toJson() const;
  // False for any member missing or of another type.
  bool fromJson(const nlohmann::json& j);
};

// ERROR_SUCCESS, ERROR_SERVICE_DOES_NOT_EXIST or ERROR_REGISTRY_CORRUPT (malformed file).
DWORD loadRecord(const std::string& key, ServiceRecord& out);

}  // namespace tesmira::platform::services
