#include "agent/supervisor.h"

#include <algorithm>
#include <atomic>
#include <system_error>

#include "common/channel.h"

namespace tesmira::agent {
namespace {

// The media source writes the block from another process without a lock.
template <typename T>
T load(T& field) {
  return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

std::filesystem::path absolutePath(const std::filesystem::path& path) {
  std::error_code ec;
  auto absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute;
}

}  // namespace

bool heartbeatIsFresh(uint64_t tick, uint64_t nowMs) { return tickIsFresh(tick, nowMs, kAgentDemandWindowMs); }

Supervisor::Supervisor(SettingsKey& settings, ControlChannel& control, ProducerControl& producer,
                       SessionPublisher& publisher, LogSink& log, std::filesystem::path agentFolder)
    : settings_(settings),
      control_(control),
      producer_(producer),
      publisher_(publisher),
      log_(log),
      agentFolder_(std::move(agentFolder)) {}

void Supervisor::runPass() {
  const AgentSettings settings = readAgentSettings(settings_, agentFolder_);
  publisher_.publishCapabilities(settings.cameraIndex);

  VcamControlBlock* block = control_.map();
  const bool valid = block && hasCurrentHeader(*block);
  if (valid) {
    std::atomic_ref<uint32_t>(block->cameraIndex)
        .store(static_cast<uint32_t>(std::max(settings.cameraIndex, 0)), std::memory_order_relaxed);
  }

  const uint64_t now = GetTickCount64();
  bool demand = false;
  uint64_t streamStart = 0;
  bool formatIsFresh = false;
  if (valid) {
    streamStart = load(block->streamStartTick);
    demand = heartbeatIsFresh(std::max(load(block->requestTick), streamStart), GetTickCount64());
    formatIsFresh = heartbeatIsFresh(load(block->formatTick), now);
  }
  if (demand) lastDemandMs_ = now;
  publisher_.trackConsumers(formatIsFresh, streamStart);

  // A producer that ended on its own is started again in the next pass, not in this one.
  bool exitSeenNow = false;
  if (producer_.running() && producer_.exited()) {
    log_.line(L"producer exited unexpectedly");
    producer_.stop();
    exitSeenNow = true;
  }

  if (!settings.enabled) {
    if (producer_.running()) {
      log_.line(L"disabled via config; stopping producer");
      producer_.stop();
    }
  } else if (demand && !producer_.running()) {
    if (!exitSeenNow) {
      startProducer(settings);
      idleLogged_ = false;
    }
  } else if (!demand && producer_.running() && now - lastDemandMs_ > settings.idleStopMs) {
    log_.line(L"no demand for " + std::to_wstring(settings.idleStopMs) + L" ms; stopping producer");
    producer_.stop();
  } else if (!demand && !producer_.running() && !idleLogged_) {
    log_.line(L"idle; waiting for a consumer to open Tesmira");
    idleLogged_ = true;
  }
}

void Supervisor::startProducer(const AgentSettings& settings) {
  producer_.stop();
  if (!producer_.exists(settings.producerExe)) {
    log_.line(L"producer exe not found: " + settings.producerExe.wstring());
    return;
  }
  const std::wstring index = std::to_wstring(settings.cameraIndex);
  const std::vector<std::wstring> arguments = {
      absolutePath(settings.producerExe).wstring(),
      L"--camera",
      L"--no-mirror",
      L"--provider",
      settings.provider,
      L"--camera-index",
      index,
      L"--repo-root",
      absolutePath(settings.repoRoot).wstring(),
  };
  if (DWORD error = producer_.start(arguments); error != 0) {
    log_.line(L"failed to start producer: " + producer_.errorText(error));
    return;
  }
  log_.line(L"producer started (camera-index=" + index + L" provider=" + settings.provider + L")");
}

}  // namespace tesmira::agent
