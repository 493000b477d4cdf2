#pragma once
// The producer status channel: state, hr, detail and heartbeat for the media source.
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/channel.h"
#include "common/channels.h"

namespace tesmira {

ProducerState stateFromHresult(HRESULT hr);
// The name the log gives a state ("unknown" for 0 and for values outside the table).
const char* stateLogName(uint32_t state);

class ProducerStatusWriter {
 public:
  ProducerStatusWriter() = default;
  ~ProducerStatusWriter() { close(); }
  ProducerStatusWriter(const ProducerStatusWriter&) = delete;
  ProducerStatusWriter& operator=(const ProducerStatusWriter&) = delete;

  // Opens or creates the channel; logs the outcome; never throws.
  void open();
  // Uses a caller-owned 40-byte block as the channel.
  void openOn(void* view);
  // Writes on a change of state, hr or detail, and at least every 1000 ms otherwise.
  void setState(uint32_t state, uint32_t hr);
  // Reports state 0, then releases the channel.
  void close();

  // The CPU-fallback flag; reaches the block with the next write.
  void setDetail(uint32_t detail) { detail_ = detail; }
  uint32_t detail() const { return detail_; }
  bool usable() const { return view_ != nullptr; }

 private:
  void forgetWrites();
  void writeFreshBlockIfInvalid();
  ProducerStatusBlock* block() const { return static_cast<ProducerStatusBlock*>(view_); }

  uint32_t lastState_ = 0;
  uint32_t lastHr_ = 0;
  uint32_t detail_ = 0;
  uint32_t lastDetail_ = 0;
  uint64_t lastWriteTick_ = 0;
  // The state whose log line was written last; kept apart from what reached the block,
  // so that a block that turned invalid does not log the same state on every call.
  uint32_t loggedState_ = 0;
  MappedChannel channel_;  // held when open() made the view, empty for openOn()
  void* view_ = nullptr;
};

}  // namespace tesmira
