#include "tools/demo/demo_agent.h"

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <cmath>
#include <cstring>

#include "agent/consumers.h"
#include "common/channel.h"
#include "tools/demo/demo_processes.h"

namespace tesmira::demo {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;
using agent::exeNameFromPath;
using agent::toAsciiName;

// What a video-call program would be called; its display name comes from the stem.
constexpr const wchar_t* kApplicationName = L"videocall";

fs::path ownExecutable() {
  std::vector<wchar_t> path(4096);
  const DWORD chars = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
  return chars && chars < path.size() ? fs::path(std::wstring(path.data(), chars)) : fs::path();
}

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

template <class T>
T relaxed(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}

std::string narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) out.push_back(unit < 128 ? char(unit) : '?');
  return out;
}

}  // namespace

bool runUnderApplicationName(int& exitCode) {
  const fs::path self = ownExecutable();
  if (self.empty() || exeNameFromPath(self.wstring()).rfind(L"tesmira", 0) != 0) return true;
  const fs::path application = self.parent_path() / kApplicationName;
  std::error_code ec;
  fs::remove(application, ec);
  fs::create_hard_link(self, application, ec);
  if (ec) fs::copy_file(self, application, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    std::cerr << "demo: cannot run as " << application.string() << " (" << ec.message()
              << "); the agent will not name this application\n";
    return true;
  }
  Program run = spawnProgram(application);
  if (!run.process) return true;
  WaitForSingleObject(run.process, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(run.process, &code);
  CloseHandle(run.process);
  exitCode = int(code);
  return false;
}

uint32_t capabilitySequence() {
  MappedChannel channel = openExistingChannel(kVcamCapabilitiesChannelName, FILE_MAP_READ, sizeof(VcamCapabilitiesBlock));
  return channel.view ? relaxed(channel.as<VcamCapabilitiesBlock>()->sequence) : 0;
}

CapabilityPublication waitForCapabilities(uint32_t before, Clock::time_point agentStarted,
                                          std::chrono::milliseconds timeout) {
  CapabilityPublication result;
  MappedChannel channel = openExistingChannel(kVcamCapabilitiesChannelName, FILE_MAP_READ, sizeof(VcamCapabilitiesBlock));
  if (!channel.view) return result;
  const auto* block = channel.as<const VcamCapabilitiesBlock>();
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    const uint32_t sequence = relaxed(block->sequence);
    if (sequence != before) {
      result.afterAgentStartMs = msSince(agentStarted, Clock::now());
      // The copy counts when the sequence held still across it.
      std::atomic_thread_fence(std::memory_order_acquire);
      const uint32_t count = std::min(relaxed(block->count), kMaxCameraCapabilities);
      std::vector<CameraCapability> modes(block->entries, block->entries + count);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (relaxed(block->sequence) != sequence) continue;
      result.modes = std::move(modes);
      result.published = true;
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return result;
}

std::string modeText(const CameraCapability& mode) {
  std::ostringstream text;
  text << mode.width << "x" << mode.height << "@" << mode.fpsNumerator << "/" << mode.fpsDenominator;
  return text.str();
}

bool isPublishedMode(const CapabilityPublication& publication, uint32_t width, uint32_t height) {
  return std::any_of(publication.modes.begin(), publication.modes.end(),
                     [&](const CameraCapability& m) { return m.width == width && m.height == height; });
}

ConsumerWatch::ConsumerWatch(Clock::time_point opened)
    : opened_(opened), ownKey_(toAsciiName(exeNameFromPath(ownExecutable().wstring()))), thread_([this] { poll(); }) {}

ConsumerWatch::~ConsumerWatch() {
  stop_ = true;
  thread_.join();
}

void ConsumerWatch::closed(Clock::time_point at) {
  std::lock_guard lock(mutex_);
  closed_ = at;
}

void ConsumerWatch::waitForEmpty(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    {
      std::lock_guard lock(mutex_);
      if (emptyMs_) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void ConsumerWatch::poll() {
  MappedChannel channel;
  std::optional<uint32_t> sequenceAtClose;
  while (!stop_) {
    if (!channel.view) {
      channel = openExistingChannel(kVcamConsumersChannelName, FILE_MAP_READ, sizeof(VcamConsumersBlock));
    }
    if (const auto* block = channel.as<const VcamConsumersBlock>()) {
      const Clock::time_point now = Clock::now();
      const uint32_t sequence = relaxed(block->sequence);
      const uint32_t count = std::min(relaxed(block->count), kMaxVcamConsumers);
      std::lock_guard lock(mutex_);
      if (!namedMs_) {
        for (uint32_t i = 0; i < count; ++i) {
          const VcamConsumerEntry entry = block->entries[i];
          const std::string key(entry.key, strnlen(entry.key, sizeof(entry.key)));
          if (key != ownKey_) continue;
          namedMs_ = msSince(opened_, now);
          displayName_.assign(entry.displayName,
                              std::find(entry.displayName, entry.displayName + 32, u'\0') - entry.displayName);
          key_ = key;
          packaged_ = entry.packaged;
          break;
        }
      }
      if (closed_ && !sequenceAtClose) sequenceAtClose = sequence;
      if (closed_ && !emptyMs_ && sequence != *sequenceAtClose && count == 0) emptyMs_ = msSince(*closed_, now);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ConsumerWatch::summary() const {
  std::lock_guard lock(mutex_);
  std::ostringstream s;
  s << std::fixed << std::setprecision(0);
  if (namedMs_) {
    s << "consumer published by the agent: \"" << narrow(displayName_) << "\", key \"" << key_ << "\", "
      << (packaged_ ? "packaged" : "desktop") << " application; first named " << *namedMs_ << " ms after open\n";
  } else {
    s << "consumer published by the agent: this application (" << ownKey_ << ") was never named\n";
  }
  s << "consumers count back to 0: " << (emptyMs_ ? std::to_string(std::lround(*emptyMs_)) + " ms after close" : "not seen")
    << "\n";
  return s.str();
}

}  // namespace tesmira::demo
