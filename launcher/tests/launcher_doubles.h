#pragma once
// A view and a machine for the launcher's controller, without a window or processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "launcher/launcher_controller.h"

namespace tesmira::launcher::testing {

// The pane as text; what was posted waits in a queue until the test pumps it.
class FakeView : public LauncherView {
 public:
  std::wstring pane;
  std::vector<std::wstring> rows;
  int selectedRow = -2;  // -2: never set
  bool startEnabled = true, stopEnabled = false;
  int provider = 0;
  std::wstring width = L"1280";
  int camera = 0;
  bool d3d = true;
  bool failPosts = false;

  void appendToPane(const std::wstring& text) override { pane += text; }
  void removePaneStart(size_t units) override {
    size_t chars = 0;
    for (size_t done = 0; done < units && chars < pane.size(); ++chars) done += utf16Units(pane.substr(chars, 1));
    pane.erase(0, chars);
  }
  void setCameraRows(const std::vector<std::wstring>& r, int selected) override {
    rows = r;
    selectedRow = selected;
  }
  void setProducerButtons(bool start, bool stop) override {
    startEnabled = start;
    stopEnabled = stop;
  }
  int providerSelection() override { return provider; }
  std::wstring selectedWidthText() override { return width; }
  int cameraSelection() override { return camera; }
  bool d3dCaptureChecked() override { return d3d; }
  bool postLine(const std::wstring& line) override { return post(line); }
  bool postProducerExited() override { return post(std::nullopt); }

  // Delivers what was posted, as the message loop would; nullopt stands for the exit message.
  // True when the exit message was among them.
  bool pump(LauncherController& controller) {
    bool exited = false;
    for (;;) {
      std::optional<std::wstring> item;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) return exited;
        item = std::move(queue_.front());
        queue_.pop_front();
      }
      if (item) {
        controller.onLogLine(*item);
      } else {
        controller.onProducerExited();
        exited = true;
      }
    }
  }
  // Pumps until the exit message was delivered or the deadline passed.
  bool pumpUntilExited(LauncherController& controller, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_until(lock, deadline, [&] { return !queue_.empty(); });
        if (queue_.empty()) return false;
      }
      if (pump(controller)) return true;
    }
  }
  std::vector<std::wstring> lines() const {
    std::vector<std::wstring> out;
    size_t start = 0;
    for (size_t end; (end = pane.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
      out.push_back(pane.substr(start, end - start));
    }
    return out;
  }

 private:
  bool post(std::optional<std::wstring> item) {
    if (failPosts) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(item));
    }
    changed_.notify_all();
    return true;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::optional<std::wstring>> queue_;
};

// A producer whose output the test writes; it ends when terminated or when the test ends it.
class FakeProcess : public ProducerProcess {
 public:
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> output;
    bool outputClosed = false;
    bool exited = false;
    int terminations = 0;
    size_t largestRead = 0;
  };

  FakeProcess(std::shared_ptr<Shared> shared, DWORD pid) : shared_(std::move(shared)), pid_(pid) {}
  DWORD id() const override { return pid_; }
  size_t read(char* buffer, size_t size) override {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return !shared_->output.empty() || shared_->outputClosed; });
    if (shared_->output.empty()) return 0;
    std::string& front = shared_->output.front();
    const size_t n = std::min(size, front.size());
    std::memcpy(buffer, front.data(), n);
    front.erase(0, n);
    if (front.empty()) shared_->output.pop_front();
    shared_->largestRead = std::max(shared_->largestRead, size);
    return n;
  }
  void waitForExit() override {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return shared_->exited; });
  }
  void terminate() override {
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      ++shared_->terminations;
      shared_->outputClosed = true;
      shared_->exited = true;
    }
    shared_->changed.notify_all();
  }

  // A process that has ended writes nothing more.
  static void write(Shared& s, std::string bytes) {
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.exited) return;
      s.output.push_back(std::move(bytes));
    }
    s.changed.notify_all();
  }
  static void end(Shared& s) {
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.outputClosed = true;
      s.exited = true;
    }
    s.changed.notify_all();
  }

 private:
  std::shared_ptr<Shared> shared_;
  DWORD pid_;
};

class FakeSystem : public LauncherSystem {
 public:
  std::set<std::filesystem::path> files;
  bool elevated = true;
  std::vector<LauncherCamera> cameras;
  std::function<std::vector<LauncherCamera>()> enumerate;
  std::function<HRESULT(const VcamRegistrationOptions&, std::wstring*)> ensure;
  std::wstring detail;
  HRESULT removeResult = S_OK;
  HRESULT unregisterResult = S_OK;
  std::map<std::wstring, std::wstring> environment;
  std::vector<std::wstring> commandLines;
  std::filesystem::path startFolder;
  ProducerStart failure;  // returned when set (no process)
  bool failStart = false;
  std::shared_ptr<FakeProcess::Shared> producer = std::make_shared<FakeProcess::Shared>();
  int ensureCalls = 0, removeCalls = 0, unregisterCalls = 0;

  bool fileExists(const std::filesystem::path& file) override { return files.count(file) != 0; }
  bool isElevated() override { return elevated; }
  std::vector<LauncherCamera> enumerateCameras() override { return enumerate ? enumerate() : cameras; }
  HRESULT ensureVirtualCamera(const VcamRegistrationOptions& options, std::wstring* link) override {
    ++ensureCalls;
    return ensure ? ensure(options, link) : S_OK;
  }
  std::wstring lastFailureDetail() override { return detail; }
  HRESULT removeVirtualCamera(int32_t allUsers) override {
    ++removeCalls;
    EXPECT_EQ(allUsers, 1);
    return removeResult;
  }
  HRESULT unregisterComServer() override {
    ++unregisterCalls;
    return unregisterResult;
  }
  void setEnvironment(const wchar_t* name, const wchar_t* value) override { environment[name] = value; }
  ProducerStart startProducer(const std::wstring& commandLine, const std::filesystem::path& folder) override {
    commandLines.push_back(commandLine);
    startFolder = folder;
    if (failStart) return std::move(failure);
    ProducerStart started;
    started.process = std::make_unique<FakeProcess>(producer, 4242);
    return started;
  }
};

}  // namespace tesmira::launcher::testing
