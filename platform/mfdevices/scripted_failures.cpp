#include "mfdevices/scripted_failures.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "core/faults.h"
#include "core/machine.h"
#include "tesmira/test_cameras.h"

namespace tesmira::platform {
namespace {

std::filesystem::path queueFile() { return machinePath("devices") / "virtual-camera-failures.json"; }

// The queue file under an exclusive lock, so two processes never take the same entry.
template <typename Change>
void withQueue(Change change) {
  const std::filesystem::path file = queueFile();
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ::flock(fd, LOCK_EX);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
  nlohmann::json queue = nlohmann::json::parse(text, nullptr, false);
  if (!queue.is_object()) queue = nlohmann::json::object();
  if (change(queue)) {
    const std::string out = queue.dump();
    if (::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0) {
      [[maybe_unused]] ssize_t written = ::write(fd, out.data(), out.size());
    }
  }
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

}  // namespace

namespace mfdevices {

std::optional<HRESULT> takeScriptedFailure(const std::string& site) {
  if (const auto injected = faults::take(site)) return HRESULT(*injected);
  std::optional<HRESULT> taken;
  std::error_code ec;
  if (!std::filesystem::exists(queueFile(), ec)) return taken;
  withQueue([&](nlohmann::json& queue) {
    auto it = queue.find(site);
    if (it == queue.end() || !it->is_array() || it->empty()) return false;
    const auto& first = it->front();
    if (first.is_number_integer()) taken = HRESULT(uint32_t(first.get<int64_t>()));
    it->erase(it->begin());
    return true;
  });
  return taken;
}

}  // namespace mfdevices

namespace testcameras {

void scriptVirtualCameraFailures(const std::string& site, const std::vector<HRESULT>& failures) {
  withQueue([&](nlohmann::json& queue) {
    auto& list = queue[site];
    if (!list.is_array()) list = nlohmann::json::array();
    for (HRESULT hr : failures) list.push_back(uint32_t(hr));
    return true;
  });
}

}  // namespace testcameras
}  // namespace tesmira::platform
