#pragma once
// Doubles for what the supervision loop touches outside itself: the registry key, the
// control channel, the producer process, the publications and the log.
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "agent/supervisor.h"

namespace tesmira::agent::testing {

// Answers as RegQueryValueExW does, strings stored with their terminator.
class FakeSettingsKey : public SettingsKey {
 public:
  void setRaw(const std::wstring& name, DWORD type, std::vector<BYTE> bytes) { values_[name] = {type, std::move(bytes)}; }
  void setDword(const std::wstring& name, DWORD value) {
    std::vector<BYTE> bytes(sizeof(value));
    std::memcpy(bytes.data(), &value, sizeof(value));
    setRaw(name, kRegDword, bytes);
  }
  void setString(const std::wstring& name, const std::wstring& value) {
    std::vector<BYTE> bytes((value.size() + 1) * sizeof(wchar_t));
    std::memcpy(bytes.data(), value.c_str(), bytes.size());
    setRaw(name, kRegSz, bytes);
  }
  void erase(const std::wstring& name) { values_.erase(name); }

  LSTATUS query(const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) override {
    auto it = values_.find(name);
    if (it == values_.end()) return ERROR_FILE_NOT_FOUND;
    const auto& [valueType, bytes] = it->second;
    if (type) *type = valueType;
    const DWORD needed = static_cast<DWORD>(bytes.size());
    if (data && *size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    if (data) std::memcpy(data, bytes.data(), bytes.size());
    *size = needed;
    return ERROR_SUCCESS;
  }

 private:
  std::map<std::wstring, std::pair<DWORD, std::vector<BYTE>>> values_;
};

class FakeControlChannel : public ControlChannel {
 public:
  FakeControlChannel() {
    block.magic = kVcamControlMagic;
    block.version = kVcamControlVersion;
  }
  VcamControlBlock* map() override { return present ? &block : nullptr; }

  VcamControlBlock block{};
  bool present = true;
};

class FakeProducer : public ProducerControl {
 public:
  bool running() const override { return running_; }
  bool exited() override { return exitedOnItsOwn; }
  bool exists(const std::filesystem::path& program) override { return missing.count(program) == 0; }
  DWORD start(const std::vector<std::wstring>& arguments) override {
    starts.push_back(arguments);
    if (startError != 0) return startError;
    running_ = true;
    exitedOnItsOwn = false;
    return 0;
  }
  void stop() override {
    if (!running_) return;
    ++stops;
    running_ = false;
  }
  std::wstring errorText(DWORD code) override { return std::to_wstring(code) + L" (text)"; }

  std::vector<std::vector<std::wstring>> starts;
  int stops = 0;
  bool exitedOnItsOwn = false;
  DWORD startError = 0;
  std::set<std::filesystem::path> missing;

 private:
  bool running_ = false;
};

class RecordingPublisher : public SessionPublisher {
 public:
  void publishCapabilities(int32_t cameraIndex) override { capabilityIndexes.push_back(cameraIndex); }
  void trackConsumers(bool demandIsFresh, uint64_t streamStartTick) override {
    consumerCalls.push_back({demandIsFresh, streamStartTick});
  }
  std::vector<int32_t> capabilityIndexes;
  std::vector<std::pair<bool, uint64_t>> consumerCalls;
};

class RecordingLog : public LogSink {
 public:
  void line(const std::wstring& message) override { lines.push_back(message); }
  std::vector<std::wstring> lines;
};

}  // namespace tesmira::agent::testing
