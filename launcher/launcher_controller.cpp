#include "launcher/launcher_controller.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/command_line.h"
#include "common/error_text.h"

namespace tesmira::launcher {

std::wstring decodeOutputLine(const char* bytes, size_t size) {
  if (size == 0) return {};
  const int count = MultiByteToWideChar(CP_UTF8, 0, bytes, int(size), nullptr, 0);
  if (count <= 0) return {};
  std::wstring line(size_t(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes, int(size), line.data(), count);
  return line;
}

void OutputLineCutter::feed(const char* bytes, size_t size, const Emit& emit) {
  pending_.append(bytes, size);
  size_t start = 0;
  for (;;) {
    const size_t end = pending_.find('\n', std::max(start, scanned_));
    if (end == std::string::npos) break;
    size_t length = end - start;
    if (length && pending_[end - 1] == '\r') --length;
    emit(decodeOutputLine(pending_.data() + start, length));
    start = end + 1;
  }
  if (start) pending_.erase(0, start);
  scanned_ = pending_.size();
}

void OutputLineCutter::finish(const Emit& emit) {
  if (!pending_.empty()) emit(decodeOutputLine(pending_.data(), pending_.size()));
  pending_.clear();
  scanned_ = 0;
}

namespace {

// Where wchar_t holds whole code points, those past the basic plane take two UTF-16 units.
bool beyondBasicPlane(wchar_t c) {
  if constexpr (sizeof(wchar_t) == 4) {
    return uint32_t(c) > 0xFFFF;
  } else {
    return false;
  }
}

}  // namespace

size_t utf16Units(const std::wstring& text) {
  size_t units = text.size();
  for (wchar_t c : text) units += beyondBasicPlane(c) ? 1 : 0;
  return units;
}

std::wstring cameraRowText(const LauncherCamera& camera) {
  std::wstring row = std::to_wstring(camera.index) + L": " + camera.friendlyName;
  if (camera.ownCamera) row += L"  [Tesmira \u2014 do not select]";
  return row;
}

int preferredCameraRow(const std::vector<LauncherCamera>& cameras) {
  for (size_t i = 0; i < cameras.size(); ++i) {
    if (!cameras[i].ownCamera) return int(i);
  }
  return cameras.empty() ? -1 : 0;
}

std::wstring widenMessage(const char* text) {
  if (!text) return {};
  return decodeOutputLine(text, std::strlen(text));
}

LauncherController::LauncherController(LauncherView& view, LauncherSystem& system, std::filesystem::path folder)
    : view_(view), system_(system), folder_(std::move(folder)) {}

LauncherController::~LauncherController() {
  if (running_.load() && producer_) producer_->terminate();
  joinProducerReader();
}

void LauncherController::guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    appendLog(L"ERROR: " + widenMessage(e.what()));
  } catch (...) {
    appendLog(L"ERROR: unexpected failure");
  }
}

void LauncherController::onCreate() {
  refreshCameraList();
  appendLog(L"Tesmira launcher ready. Folder: " + folder_.wstring());
  if (!system_.isElevated()) {
    appendLog(L"WARNING: not running elevated \u2014 register/unregister will fail.");
  }
}

void LauncherController::onCommand(int id) {
  switch (id) {
    case kIdRegister: onRegisterVcam(); break;
    case kIdUnregister: onUnregisterVcam(); break;
    case kIdRefresh: refreshCameraList(); break;
    case kIdStart: onStartProducer(); break;
    case kIdStop: onStopProducer(); break;
    default: break;
  }
}

void LauncherController::appendLog(const std::wstring& text) {
  std::wstring entry = text + L"\r\n";
  size_t units = utf16Units(entry);
  if (units > kPaneCapUnits) {
    // One line larger than the whole pane: its newest part.
    size_t keep = 0, keptUnits = 2;
    while (keep < text.size()) {
      const size_t next = beyondBasicPlane(text[text.size() - 1 - keep]) ? 2 : 1;
      if (keptUnits + next > kPaneCapUnits) break;
      keptUnits += next;
      ++keep;
    }
    entry = text.substr(text.size() - keep) + L"\r\n";
    units = keptUnits;
  }
  size_t drop = 0;
  while (!paneLines_.empty() && paneUnits_ + units > kPaneCapUnits) {
    drop += paneLines_.front();
    paneUnits_ -= paneLines_.front();
    paneLines_.pop_front();
  }
  if (drop) view_.removePaneStart(drop);
  view_.appendToPane(entry);
  paneLines_.push_back(units);
  paneUnits_ += units;
}

void LauncherController::refreshCameraList() {
  cameras_ = system_.enumerateCameras();
  std::vector<std::wstring> rows;
  rows.reserve(cameras_.size());
  for (const auto& camera : cameras_) rows.push_back(cameraRowText(camera));
  view_.setCameraRows(rows, preferredCameraRow(cameras_));
  view_.postLine(L"Found " + std::to_wstring(cameras_.size()) + L" camera device(s).");
}

void LauncherController::onRegisterVcam() {
  const std::filesystem::path dll = mediaSourcePath();
  if (!system_.fileExists(dll)) {
    appendLog(L"ERROR: media-source DLL not found next to launcher: " + dll.wstring());
    return;
  }
  appendLog(L"Registering Tesmira virtual camera (COM + device)...");
  VcamRegistrationOptions options;
  options.dllPath = dll.wstring();
  options.allUsers = 1;
  options.registerCom = 1;
  std::wstring link;
  try {
    const HRESULT hr = system_.ensureVirtualCamera(options, &link);
    if (FAILED(hr)) {
      appendLog(L"Register FAILED: " + hresultToText(hr));
      const std::wstring detail = system_.lastFailureDetail();
      if (!detail.empty()) appendLog(L"  detail: " + detail);
    } else {
      appendLog(L"Registered. Tesmira should now appear in OBS / camera apps.");
      if (!link.empty()) appendLog(L"  symbolic link: " + link);
    }
  } catch (const std::exception& e) {
    appendLog(L"Register FAILED: " + widenMessage(e.what()));
  }
  refreshCameraList();
}

void LauncherController::onUnregisterVcam() {
  appendLog(L"Removing Tesmira virtual camera...");
  HRESULT hr = system_.removeVirtualCamera(1);
  appendLog(FAILED(hr) ? L"  remove device failed: " + hresultToText(hr) : std::wstring(L"  device removed."));
  hr = system_.unregisterComServer();
  if (FAILED(hr) && (hr & 0xFFFF) != 2) {
    appendLog(L"  unregister COM failed: " + hresultToText(hr));
  } else {
    appendLog(L"  COM server unregistered.");
  }
  appendLog(L"Unregister complete.");
  refreshCameraList();
}

void LauncherController::onStartProducer() {
  if (running_.load()) return;
  const std::filesystem::path exe = producerPath();
  if (!system_.fileExists(exe)) {
    appendLog(L"ERROR: producer exe not found next to launcher: " + exe.wstring());
    return;
  }
  const std::wstring provider = view_.providerSelection() == 1 ? L"cpu" : L"directml";
  std::wstring width = view_.selectedWidthText();
  if (width.empty()) width = L"1280";
  const int row = view_.cameraSelection();
  const uint32_t index = row >= 0 && size_t(row) < cameras_.size() ? cameras_[size_t(row)].index : 0;
  const bool d3d = view_.d3dCaptureChecked();
  system_.setEnvironment(L"TESMIRA_CAPTURE_D3D_TEXTURE", d3d ? L"1" : L"0");
  const std::wstring commandLine =
      joinCommandLine({exe.wstring(), L"--camera", L"--no-mirror", L"--provider", provider, L"--max-width", width,
                       L"--camera-index", std::to_wstring(index), L"--repo-root", folder_.wstring()});
  ProducerStart started = system_.startProducer(commandLine, folder_);
  if (!started.process) {
    appendLog((started.pipeFailed ? L"ERROR: CreatePipe failed: " : L"ERROR: failed to start producer: ") +
              win32ErrorToText(started.error));
    return;
  }
  producer_ = std::move(started.process);
  running_.exchange(true);
  appendLog(L"Producer started (pid " + std::to_wstring(producer_->id()) + L"): provider=" + provider +
            L" width=" + width + L" camera-index=" + std::to_wstring(index) + L" d3d-capture=" +
            (d3d ? L"on" : L"off"));
  appendLog(L"Open Tesmira in OBS/Zoom/Teams to begin \u2014 timing stats appear once a consumer is active.");
  updateProducerButtons(true);
  reader_ = std::thread(&LauncherController::producerOutputReader, this, producer_.get());
}

void LauncherController::onStopProducer() {
  if (!running_.load() || !producer_) return;
  appendLog(L"Stopping producer...");
  producer_->terminate();
}

void LauncherController::onProducerExited() {
  running_.exchange(false);
  joinProducerReader();
  updateProducerButtons(false);
  appendLog(L"Producer stopped.");
}

void LauncherController::onClose() {
  if (running_.load() && producer_) {
    producer_->terminate();
    if (reader_.joinable()) reader_.join();
  }
  joinProducerReader();
}

void LauncherController::joinProducerReader() {
  if (reader_.joinable()) {
    if (reader_.get_id() == std::this_thread::get_id()) return;  // the reader still uses the process
    reader_.join();
  }
  producer_.reset();
}

void LauncherController::updateProducerButtons(bool running) { view_.setProducerButtons(!running, running); }

void LauncherController::producerOutputReader(ProducerProcess* process) {
  OutputLineCutter cutter;
  const OutputLineCutter::Emit post = [this](std::wstring&& line) { view_.postLine(line); };
  char chunk[kReaderChunkBytes];
  for (;;) {
    const size_t got = process->read(chunk, sizeof chunk);
    if (got == 0) break;
    cutter.feed(chunk, got, post);
  }
  cutter.finish(post);
  process->waitForExit();
  view_.postProducerExited();
}

}  // namespace tesmira::launcher
