#include "mfdevices/virtual_camera_store.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/json_members.h"
#include "core/machine.h"
#include "core/strings.h"
#include "processthreadsapi.h"
#include "winerror.h"

namespace tesmira::platform::vcams {
namespace fs = std::filesystem;
namespace {

fs::path storeFolder() { return machinePath("devices/virtual-cameras"); }

// One file per identity: the source id, the access and (for one user) the user.
fs::path fileFor(const VirtualCameraRecord& camera) {
  std::string key = toUtf8(lowerCase(camera.sourceId)) + "|" + std::to_string(camera.access);
  if (camera.access != kAccessAllUsers) key += "|" + toUtf8(lowerCase(camera.owner));
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : key) hash = (hash ^ c) * 1099511628211ull;
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.json", static_cast<unsigned long long>(hash));
  return storeFolder() / name;
}

bool processAlive(uint32_t pid) {
  std::error_code ec;
  return pid != 0 && fs::exists(fs::path("/proc") / std::to_string(pid), ec);
}

nlohmann::json toJson(const VirtualCameraRecord& c) {
  nlohmann::json categories = nlohmann::json::array(), strings = nlohmann::json::object();
  for (const GUID& g : c.categories) categories.push_back(toUtf8(guidText(g)));
  for (const auto& [key, value] : c.strings) strings[toUtf8(guidText(key))] = toUtf8(value);
  nlohmann::json sources = nlohmann::json::array();
  for (const auto& s : c.deviceSources) sources.push_back(toUtf8(s));
  return {{"friendlyName", toUtf8(c.friendlyName)}, {"sourceId", toUtf8(c.sourceId)},
          {"type", c.type},                         {"lifetime", c.lifetime},
          {"access", c.access},                     {"owner", toUtf8(c.owner)},
          {"ownerProcess", c.ownerProcess},         {"categories", categories},
          {"deviceSources", sources},               {"strings", strings},
          {"symbolicLink", toUtf8(c.symbolicLink)}};
}

// A record of exactly the shape toJson writes; a file of any other shape is no camera.
bool fromJson(const nlohmann::json& j, VirtualCameraRecord& c) {
  using jsonfile::stringMember;
  using jsonfile::uint32Member;
  std::string friendlyName, sourceId, owner, link;
  if (!j.is_object() || !stringMember(j, "friendlyName", friendlyName) || !stringMember(j, "sourceId", sourceId) ||
      !uint32Member(j, "type", c.type) || !uint32Member(j, "lifetime", c.lifetime) ||
      !uint32Member(j, "access", c.access) || !stringMember(j, "owner", owner) ||
      !uint32Member(j, "ownerProcess", c.ownerProcess) || !stringMember(j, "symbolicLink", link)) {
    return false;
  }
  c.friendlyName = fromUtf8(friendlyName);
  c.sourceId = fromUtf8(sourceId);
  c.owner = fromUtf8(owner);
  c.symbolicLink = fromUtf8(link);
  auto categories = j.find("categories"), sources = j.find("deviceSources"), strings = j.find("strings");
  if (categories == j.end() || !categories->is_array() || sources == j.end() || !sources->is_array() ||
      strings == j.end() || !strings->is_object()) {
    return false;
  }
  for (const auto& g : *categories) {
    GUID guid;
    if (!g.is_string()) return false;
    if (parseGuid(fromUtf8(g.get<std::string>()), guid)) c.categories.push_back(guid);
  }
  for (const auto& s : *sources) {
    if (!s.is_string()) return false;
    c.deviceSources.push_back(fromUtf8(s.get<std::string>()));
  }
  for (const auto& [key, value] : strings->items()) {
    GUID guid;
    if (!value.is_string()) return false;
    if (parseGuid(fromUtf8(key), guid)) c.strings[guid] = fromUtf8(value.get<std::string>());
  }
  return !c.sourceId.empty() && !c.symbolicLink.empty();
}

}  // namespace

std::wstring currentUserName() {
  const char* name = std::getenv("USERNAME");
  return fromUtf8(name && *name ? name : "user");
}

std::wstring guidText(const GUID& g) {
  wchar_t text[39];
  std::swprintf(text, 39, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool parseGuid(const std::wstring& text, GUID& guid) {
  if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
  static constexpr int kDashes[] = {9, 14, 19, 24};
  uint8_t bytes[16];
  int n = 0;
  for (size_t i = 1; i < 37;) {
    if (std::find(std::begin(kDashes), std::end(kDashes), int(i)) != std::end(kDashes)) {
      if (text[i] != L'-') return false;
      ++i;
      continue;
    }
    auto hex = [](wchar_t c) -> int {
      if (c >= L'0' && c <= L'9') return c - L'0';
      if (c >= L'a' && c <= L'f') return c - L'a' + 10;
      if (c >= L'A' && c <= L'F') return c - L'A' + 10;
      return -1;
    };
    const int hi = hex(text[i]), lo = hex(text[i + 1]);
    if (hi < 0 || lo < 0 || n == 16) return false;
    bytes[n++] = uint8_t(hi << 4 | lo);
    i += 2;
  }
  if (n != 16) return false;
  guid.Data1 = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
  guid.Data2 = uint16_t(bytes[4] << 8 | bytes[5]);
  guid.Data3 = uint16_t(bytes[6] << 8 | bytes[7]);
  std::copy(bytes + 8, bytes + 16, guid.Data4);
  return true;
}

std::wstring symbolicLinkFor(const VirtualCameraRecord& camera) {
  // Software device interfaces of virtual cameras live under SWD#VCAMDEVAPI.
  return L"\\\\?\\SWD#VCAMDEVAPI#" + fromUtf8(fileFor(camera).stem().string()) +
         L"#{e5323777-f976-4f5b-9b55-b94699c46e44}\\global";
}

HRESULT saveStarted(const VirtualCameraRecord& camera) {
  const fs::path file = fileFor(camera);
  // A temporary file of its own per writer, so two writers never mix their bytes.
  static std::atomic<uint64_t> writes{0};
  const fs::path temporary =
      fs::path(file).concat(".tmp." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(++writes));
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << toJson(camera).dump(2);
    if (!out.flush()) {
      out.close();
      std::error_code ec;
      fs::remove(temporary, ec);
      return HRESULT(0x8007001D);  // ERROR_WRITE_FAULT
    }
  }
  std::error_code ec;
  fs::rename(temporary, file, ec);
  if (!ec) return S_OK;
  fs::remove(temporary, ec);
  return HRESULT(0x8007001D);
}

HRESULT removeStored(const VirtualCameraRecord& camera) {
  std::error_code ec;
  fs::remove(fileFor(camera), ec);
  return S_OK;
}

std::vector<VirtualCameraRecord> visibleCameras() {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(storeFolder(), ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".json") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  const std::wstring user = currentUserName();
  std::vector<VirtualCameraRecord> cameras;
  for (const fs::path& file : files) {
    std::ifstream in(file);
    const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    VirtualCameraRecord camera;
    if (!j.is_object() || !fromJson(j, camera)) continue;
    if (camera.access != kAccessAllUsers && !equalsNoCase(camera.owner, user)) continue;
    if (camera.lifetime == kLifetimeSession && !processAlive(camera.ownerProcess)) continue;
    cameras.push_back(std::move(camera));
  }
  return cameras;
}

}  // namespace tesmira::platform::vcams
