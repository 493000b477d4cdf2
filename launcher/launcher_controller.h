#pragma once
// The launcher's logic without a toolkit: camera rows, producer settings, the
// producer's life and its output, the log pane's lines. The window is a thin view
// over it (launcher_window.cpp); registration and processes come through seams.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/vcam_registration.h"

namespace tesmira::launcher {

inline constexpr int kIdRegister = 1001;
inline constexpr int kIdUnregister = 1002;
inline constexpr int kIdProvider = 1003;
inline constexpr int kIdMaxWidth = 1004;
inline constexpr int kIdCamera = 1005;
inline constexpr int kIdD3dCapture = 1006;
inline constexpr int kIdRefresh = 1007;
inline constexpr int kIdStart = 1008;
inline constexpr int kIdStop = 1009;
inline constexpr int kIdLog = 1010;

inline constexpr const wchar_t* kProducerExeName = L"tesmira_windows_retouch_vcam_producer.exe";
inline constexpr const wchar_t* kMediaSourceDllName = L"tesmira_windows_vcam_source.dll";
inline constexpr size_t kReaderChunkBytes = 4096;
// The pane keeps the newest lines within this many characters (UTF-16 units).
inline constexpr size_t kPaneCapUnits = 262144;

struct LauncherCamera {
  uint32_t index = 0;
  std::wstring friendlyName;
  bool ownCamera = false;
};

// What the window shows and what the user chose in it.
class LauncherView {
 public:
  virtual ~LauncherView() = default;
  virtual void appendToPane(const std::wstring& text) = 0;
  // Removes the pane's first `units` UTF-16 units (whole lines).
  virtual void removePaneStart(size_t units) = 0;
  virtual void setCameraRows(const std::vector<std::wstring>& rows, int selected) = 0;
  virtual void setProducerButtons(bool startEnabled, bool stopEnabled) = 0;
  virtual int providerSelection() = 0;  // -1: none
  virtual std::wstring selectedWidthText() = 0;  // empty: none
  virtual int cameraSelection() = 0;  // -1: none
  virtual bool d3dCaptureChecked() = 0;
  // Any thread: a line for the window thread to append; false when it could not be posted.
  virtual bool postLine(const std::wstring& line) = 0;
  virtual bool postProducerExited() = 0;
};

// A started producer. Reading and waiting run on the reader thread while the window
// thread may terminate it; the destructor closes what is still open.
class ProducerProcess {
 public:
  virtual ~ProducerProcess() = default;
  virtual DWORD id() const = 0;
  // Up to `size` bytes of its output; 0 once the output has ended or a read failed.
  virtual size_t read(char* buffer, size_t size) = 0;
  virtual void waitForExit() = 0;
  virtual void terminate() = 0;
};

struct ProducerStart {
  std::unique_ptr<ProducerProcess> process;
  bool pipeFailed = false;  // the pipe could not be made (else the process did not start)
  DWORD error = 0;
};

// The machine: files, registration, cameras, elevation, environment, processes.
class LauncherSystem {
 public:
  virtual ~LauncherSystem() = default;
  virtual bool fileExists(const std::filesystem::path& file) = 0;
  virtual bool isElevated() = 0;
  virtual std::vector<LauncherCamera> enumerateCameras() = 0;
  virtual HRESULT ensureVirtualCamera(const VcamRegistrationOptions& options, std::wstring* symbolicLink) = 0;
  virtual std::wstring lastFailureDetail() = 0;
  virtual HRESULT removeVirtualCamera(int32_t allUsers) = 0;
  virtual HRESULT unregisterComServer() = 0;
  virtual void setEnvironment(const wchar_t* name, const wchar_t* value) = 0;
  // The producer with its standard output and error on a pipe, in `folder`.
  virtual ProducerStart startProducer(const std::wstring& commandLine, const std::filesystem::path& folder) = 0;
};

// Cuts producer output into lines at "\n", drops one "\r" before it, decodes UTF-8
// (invalid bytes become U+FFFD).
class OutputLineCutter {
 public:
  using Emit = std::function<void(std::wstring&&)>;
  void feed(const char* bytes, size_t size, const Emit& emit);
  // What is left without a line break, as a last line.
  void finish(const Emit& emit);

 private:
  std::string pending_;
  size_t scanned_ = 0;  // bytes of pending_ known to hold no "\n"
};

std::wstring decodeOutputLine(const char* bytes, size_t size);
// UTF-16 units the text takes in the pane.
size_t utf16Units(const std::wstring& text);
std::wstring cameraRowText(const LauncherCamera& camera);
// The first row that is not our own camera; row 0 when every row is (or -1 for none).
int preferredCameraRow(const std::vector<LauncherCamera>& cameras);
std::wstring widenMessage(const char* text);

class LauncherController {
 public:
  LauncherController(LauncherView& view, LauncherSystem& system, std::filesystem::path folder);
  ~LauncherController();  // ends a running producer and joins the reader
  LauncherController(const LauncherController&) = delete;
  LauncherController& operator=(const LauncherController&) = delete;

  // Runs one handler; an exception stays here and becomes an "ERROR: " line.
  void guarded(const std::function<void()>& handler);

  void onCreate();
  void onCommand(int id);
  void onLogLine(const std::wstring& line) { appendLog(line); }
  void onProducerExited();
  // Ends a running producer and waits for its reader before the window goes.
  void onClose();

  void appendLog(const std::wstring& text);
  void refreshCameraList();
  void onRegisterVcam();
  void onUnregisterVcam();
  void onStartProducer();
  void onStopProducer();
  void joinProducerReader();
  void updateProducerButtons(bool running);

  bool running() const { return running_.load(); }
  const std::vector<LauncherCamera>& cameras() const { return cameras_; }
  std::filesystem::path producerPath() const { return folder_ / kProducerExeName; }
  std::filesystem::path mediaSourcePath() const { return folder_ / kMediaSourceDllName; }
  size_t paneUnits() const { return paneUnits_; }

 private:
  void producerOutputReader(ProducerProcess* process);

  LauncherView& view_;
  LauncherSystem& system_;
  const std::filesystem::path folder_;
  std::vector<LauncherCamera> cameras_;
  std::unique_ptr<ProducerProcess> producer_;
  std::thread reader_;
  std::atomic<bool> running_{false};
  std::deque<size_t> paneLines_;  // UTF-16 units of every line in the pane, "\r\n" included
  size_t paneUnits_ = 0;
};

}  // namespace tesmira::launcher
