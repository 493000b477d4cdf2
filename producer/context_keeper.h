#pragma once
// The retouch context's lifetime: built on the first demand pass that needs it, kept
// until 60 s after the last one, its CPU-fallback flag carried to the status channel.
#include <cstdint>
#include <memory>
#include <string>

#include "producer/options.h"
#include "producer/retouch_context.h"
#include "producer/status_writer.h"

namespace tesmira {

class ContextKeeper {
 public:
  ContextKeeper(RetouchContextFactory make, const ProducerOptions& options, ProducerStatusWriter& status);
  ContextKeeper(const ContextKeeper&) = delete;
  ContextKeeper& operator=(const ContextKeeper&) = delete;

  // The context for a demand pass at nowNs, built first when there is none (state
  // starting; model-failure and the error passed on when it cannot be built).
  IRetouchContext& acquire(int64_t nowNs);
  // Deletes the context when 60 s have passed since the last acquire; true when it did.
  bool releaseIfIdle(int64_t nowNs);

  bool built() const { return context_ != nullptr; }
  // The provider the context runs on, "none" while there is no context.
  std::string providerName() const { return context_ ? provider_ : "none"; }

 private:
  void build();

  RetouchContextFactory make_;
  const ProducerOptions& options_;
  ProducerStatusWriter& status_;
  std::unique_ptr<IRetouchContext> context_;
  std::string provider_;
  uint32_t detailGiven_ = 0;
  int64_t lastAcquireNs_ = 0;
};

}  // namespace tesmira
