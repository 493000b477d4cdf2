// The machine's device list: JSON files under <root>/devices/cameras, then V4L2.
#include <algorithm>
#include <cwchar>
#include <fstream>
#include <system_error>

#include "core/clock.h"
#include "core/json_members.h"
#include "core/machine.h"
#include "core/strings.h"
#include "mfdevices/camera_decoders.h"
#include "mfdevices/camera_internal.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"

namespace tesmira::platform::cameras {
namespace fs = std::filesystem;
namespace {

fs::path noV4l2Marker() { return machinePath("devices") / "no-v4l2"; }

bool parseFormat(const std::string& name, PixelFormat& format) {
  for (PixelFormat f : {PixelFormat::NV12, PixelFormat::YUYV, PixelFormat::BGR24}) {
    if (name == formatName(f)) {
      format = f;
      return true;
    }
  }
  return false;
}

// A listed camera file, or nothing when it cannot be read as one.
bool readDefinition(const fs::path& file, nlohmann::json& definition, CameraInfo& info) {
  std::ifstream in(file);
  definition = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (!definition.is_object()) return false;
  std::string kind, name, link;
  jsonfile::stringMember(definition, "kind", kind);
  if (kind == "test") {
    info.kind = CameraKind::Test;
  } else if (kind == "file") {
    info.kind = CameraKind::File;
  } else {
    return false;
  }
  // Both are optional, but of another type the file is no camera.
  if ((definition.contains("friendlyName") && !jsonfile::stringMember(definition, "friendlyName", name)) ||
      (definition.contains("symbolicLink") && !jsonfile::stringMember(definition, "symbolicLink", link))) {
    return false;
  }
  info.friendlyName = fromUtf8(name);
  info.symbolicLink = fromUtf8(link);
  if (info.symbolicLink.empty()) {
    info.symbolicLink = defaultSymbolicLink(info.kind, file.stem().string());
  }
  info.definition = file;
  return true;
}

std::vector<fs::path> listedFiles() {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(cameraFolder(), ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".json") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

fs::path cameraFolder() { return machinePath("devices/cameras"); }

// From the file name, but never its words: a camera named like the product must
// not look like the product's own virtual camera by its link.
std::wstring defaultSymbolicLink(CameraKind kind, const std::string& stem) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : stem) hash = (hash ^ c) * 1099511628211ull;
  wchar_t id[17];
  std::swprintf(id, 17, L"%016llx", static_cast<unsigned long long>(hash));
  return makeSymbolicLink(kind == CameraKind::Test ? L"testcam" : L"filecam", id);
}

const char* formatName(PixelFormat format) {
  switch (format) {
    case PixelFormat::NV12: return "NV12";
    case PixelFormat::YUYV: return "YUYV";
    case PixelFormat::BGR24: return "BGR24";
  }
  return "NV12";
}

std::wstring makeSymbolicLink(const std::wstring& bus, const std::wstring& id) {
  return L"\\\\?\\" + bus + L"#" + id + L"#" + kVideoCameraCategory + L"\\global";
}

bool parseMode(const nlohmann::json& j, CameraMode& mode, bool scripted) {
  if (!j.is_object()) return false;
  CameraMode m;
  auto number = [&](const char* key, uint32_t& out, uint32_t fallback, uint32_t max, bool zeroAllowed) {
    const auto it = j.find(key);
    if (it == j.end()) {
      out = fallback;
      return true;
    }
    if (!it->is_number_unsigned()) return false;
    const uint64_t value = it->get<uint64_t>();
    if ((value == 0 && !zeroAllowed) || value > max) return false;
    out = uint32_t(value);
    return true;
  };
  auto flag = [&](const char* key, bool& out) {
    const auto it = j.find(key);
    if (it == j.end()) return true;
    if (!it->is_boolean()) return false;
    out = it->get<bool>();
    return true;
  };
  // A 0 width or height only where the script says so: a type no application can use.
  bool zeroSize = false;
  if (scripted && !flag("zeroSize", zeroSize)) return false;
  if (!number("width", m.width, 640, kMaxDimension, zeroSize) || !number("height", m.height, 480, kMaxDimension, zeroSize) ||
      !number("fpsNumerator", m.fpsNumerator, 30, 1000000, false) ||
      !number("fpsDenominator", m.fpsDenominator, 1, 1000000, false)) {
    return false;
  }
  if (scripted && (!number("rangeMinNumerator", m.rangeMinNumerator, 0, 1000000, true) ||
                   !number("rangeMinDenominator", m.rangeMinDenominator, 0, 1000000, true) ||
                   !number("rangeMaxNumerator", m.rangeMaxNumerator, 0, 1000000, true) ||
                   !number("rangeMaxDenominator", m.rangeMaxDenominator, 0, 1000000, true) ||
                   !flag("withoutFrameRate", m.withoutFrameRate) || !flag("withoutFrameSize", m.withoutFrameSize))) {
    return false;
  }
  const auto format = j.find("format");
  if (format != j.end() && (!format->is_string() || !parseFormat(format->get<std::string>(), m.format))) {
    return false;
  }
  // 4:2:0 and 4:2:2 layouts need even sizes.
  if (m.format == PixelFormat::NV12 && (m.width % 2 || m.height % 2)) return false;
  if (m.format == PixelFormat::YUYV && m.width % 2) return false;
  mode = m;
  return true;
}

uint32_t minimumStride(PixelFormat format, uint32_t width) {
  switch (format) {
    case PixelFormat::NV12: return width;
    case PixelFormat::YUYV: return width * 2;
    case PixelFormat::BGR24: return width * 3;
  }
  return width;
}

uint64_t frameBytes(PixelFormat format, uint32_t stride, uint32_t height) {
  const uint64_t rows = format == PixelFormat::NV12 ? uint64_t(height) + height / 2 : height;
  return uint64_t(stride) * rows;
}

std::unique_ptr<ICameraDevice> makeFileCamera(const CameraInfo& info, const nlohmann::json& definition) {
  const auto path = definition.find("path");
  if (path == definition.end() || !path->is_string()) return nullptr;
  const CameraDecoders* decoders = cameraDecoders();
  return decoders ? decoders->makeFileCamera(info, path->get<std::string>()) : nullptr;
}

std::vector<CameraInfo> listCameras() {
  std::vector<CameraInfo> cameras;
  for (const fs::path& file : listedFiles()) {
    nlohmann::json definition;
    CameraInfo info;
    if (readDefinition(file, definition, info)) cameras.push_back(std::move(info));
  }
  std::error_code ec;
  if (!fs::exists(noV4l2Marker(), ec)) {
    for (CameraInfo& info : discoverV4l2Cameras()) cameras.push_back(std::move(info));
  }
  return cameras;
}

HRESULT openCamera(const std::wstring& symbolicLink, std::unique_ptr<ICameraDevice>& device) {
  device.reset();
  for (const CameraInfo& info : listCameras()) {
    if (!equalsNoCase(info.symbolicLink, symbolicLink)) continue;
    if (info.kind == CameraKind::V4l2) {
      device = makeV4l2Camera(info);
    } else {
      nlohmann::json definition;
      CameraInfo listed;
      if (!readDefinition(info.definition, definition, listed)) return kCameraNotFound;
      device = info.kind == CameraKind::Test ? makeTestCamera(listed, definition) : makeFileCamera(listed, definition);
    }
    return device ? S_OK : kCameraNotFound;
  }
  return kCameraNotFound;
}

// ---- pacing ----------------------------------------------------------------

void FramePacer::start(uint32_t fpsNumerator, uint32_t fpsDenominator) {
  std::lock_guard lock(mutex_);
  cancelled_ = false;
  startNs_ = clock::nowNs();
  index_ = 0;
  periodNum_ = uint64_t(1000000000) * std::max<uint32_t>(fpsDenominator, 1);
  periodDen_ = std::max<uint32_t>(fpsNumerator, 1);
}

bool FramePacer::waitNext(uint64_t& dueNs) {
  std::unique_lock lock(mutex_);
  const uint64_t due = startNs_ + index_ * periodNum_ / periodDen_;
  for (;;) {
    if (cancelled_) return false;
    const uint64_t now = clock::nowNs();
    if (now >= due) break;
    // A frozen test clock only moves when the test advances it: look again soon.
    const uint64_t sliceNs = testclock::frozen() ? 200000 : due - now;
    wake_.wait_for(lock, std::chrono::nanoseconds(sliceNs));
  }
  ++index_;
  dueNs = due;
  return true;
}

void FramePacer::cancel() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  wake_.notify_all();
}

void FramePacer::reset() {
  std::lock_guard lock(mutex_);
  cancelled_ = false;
}

}  // namespace tesmira::platform::cameras

// ---- test hooks --------------------------------------------------------------

namespace tesmira::platform::testcameras {
namespace fs = std::filesystem;
using cameras::PixelFormat;

namespace {

std::string fileStem(const std::wstring& friendlyName, int order) {
  std::string safe;
  for (char c : toUtf8(friendlyName)) safe += std::isalnum(static_cast<unsigned char>(c)) ? char(std::tolower(c)) : '-';
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%04d-", std::clamp(order, 0, 9999));
  return prefix + safe;
}

std::wstring writeCamera(const nlohmann::json& definition, const std::string& stem, cameras::CameraKind kind) {
  const fs::path file = cameras::cameraFolder() / (stem + ".json");
  const fs::path temporary = fs::path(file).concat(".tmp");
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << definition.dump(2);
  }
  fs::rename(temporary, file);
  const std::string link = definition.value("symbolicLink", "");
  return link.empty() ? cameras::defaultSymbolicLink(kind, stem) : fromUtf8(link);
}

}  // namespace

std::wstring installTestCamera(const TestCamera& camera, int order) {
  nlohmann::json modes = nlohmann::json::array();
  for (const Mode& m : camera.modes) {
    modes.push_back({{"width", m.width},
                     {"height", m.height},
                     {"fpsNumerator", m.fpsNumerator},
                     {"fpsDenominator", m.fpsDenominator},
                     {"format", cameras::formatName(PixelFormat(m.format))},
                     {"rangeMinNumerator", m.rangeMin.numerator},
                     {"rangeMinDenominator", m.rangeMin.denominator},
                     {"rangeMaxNumerator", m.rangeMax.numerator},
                     {"rangeMaxDenominator", m.rangeMax.denominator},
                     {"withoutFrameRate", m.withoutFrameRate},
                     {"withoutFrameSize", m.withoutFrameSize},
                     {"zeroSize", m.width == 0 || m.height == 0}});
  }
  nlohmann::json typeErrors = nlohmann::json::array();
  for (const NativeTypeFailure& failure : camera.nativeTypeFailures) {
    typeErrors.push_back({{"index", failure.index}, {"error", uint32_t(failure.error)}});
  }
  nlohmann::json definition = {{"kind", "test"},
                               {"friendlyName", toUtf8(camera.friendlyName)},
                               {"modes", modes},
                               {"openError", uint32_t(camera.openError)},
                               {"readError", uint32_t(camera.readError)},
                               {"readErrorAfterFrames", camera.readErrorAfterFrames},
                               {"rowPadding", camera.rowPadding},
                               {"shortFrameIndex", camera.shortFrameIndex},
                               {"deliveredWidth", camera.deliveredWidth},
                               {"deliveredHeight", camera.deliveredHeight},
                               {"activateError", uint32_t(camera.activateError)},
                               {"everyNativeTypeError", uint32_t(camera.everyNativeTypeError)},
                               {"nativeTypeErrors", typeErrors}};
  if (!camera.symbolicLink.empty()) definition["symbolicLink"] = toUtf8(camera.symbolicLink);
  return writeCamera(definition, fileStem(camera.friendlyName, order), cameras::CameraKind::Test);
}

std::wstring installFileCamera(const std::wstring& friendlyName, const std::string& videoPath, int order) {
  const nlohmann::json definition = {{"kind", "file"}, {"friendlyName", toUtf8(friendlyName)}, {"path", videoPath}};
  return writeCamera(definition, fileStem(friendlyName, order), cameras::CameraKind::File);
}

void removeAllCameras() {
  std::error_code ec;
  fs::remove_all(cameras::cameraFolder(), ec);
}

void setV4l2Discovery(bool enabled) {
  const fs::path marker = machinePath("devices") / "no-v4l2";
  std::error_code ec;
  if (enabled) {
    fs::remove(marker, ec);
  } else {
    std::ofstream(marker).put('\n');
  }
}

std::vector<uint8_t> testFrame(Format format, uint32_t width, uint32_t height, uint32_t stride, uint64_t index) {
  std::vector<uint8_t> bytes(cameras::frameBytes(PixelFormat(format), stride, height));
  cameras::renderTestFrame(PixelFormat(format), width, height, stride, index, bytes.data());
  return bytes;
}

}  // namespace tesmira::platform::testcameras
