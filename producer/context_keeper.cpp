#include "producer/context_keeper.h"

#include <stdexcept>

#include "producer/loop_clock.h"
#include "producer/producer_log.h"

namespace tesmira {
namespace {

constexpr int64_t kContextIdleNs = 60 * kNsPerSecond;

}  // namespace

ContextKeeper::ContextKeeper(RetouchContextFactory make, const ProducerOptions& options, ProducerStatusWriter& status)
    : make_(make ? std::move(make) : RetouchContextFactory(makeRetouchContext)), options_(options), status_(status) {}

IRetouchContext& ContextKeeper::acquire(int64_t nowNs) {
  lastAcquireNs_ = nowNs;
  if (!context_) build();
  return *context_;
}

void ContextKeeper::build() {
  logLine("initializing retouch context");
  status_.setState(kProducerStateStarting, 0);
  try {
    context_ = make_(options_);
    if (!context_) throw std::runtime_error("retouch context unavailable");
  } catch (...) {
    status_.setState(kProducerStateModelFailure, 0);
    throw;
  }
  // The detail stays as given when the context goes; only a change is passed on.
  const uint32_t cpuFallback = context_->d3dDevice() != nullptr ? 0 : 1;
  if (cpuFallback != detailGiven_) {
    status_.setDetail(cpuFallback);
    detailGiven_ = cpuFallback;
    if (cpuFallback) logLine("status: CPU fallback active (D3D compositor unavailable)");
  }
  provider_ = context_->providerName();
  logLine("retouch context ready provider=" + provider_);
}

bool ContextKeeper::releaseIfIdle(int64_t nowNs) {
  if (!context_ || nowNs - lastAcquireNs_ < kContextIdleNs) return false;
  context_.reset();
  logLine("retouch context released after idle");
  return true;
}

}  // namespace tesmira
