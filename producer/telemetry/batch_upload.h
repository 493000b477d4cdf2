#pragma once
// Batches of queued events go out on a detached thread, one at a time, gated by the
// backoff, the server's minimum interval and the bearer token.
#include <windows.h>

#include <cstdint>
#include <string>

namespace tesmira::telemetry {

inline constexpr size_t kBatchSize = 20;
// An answer carries at most a policy and a backoff: a few hundred bytes. A larger body is
// not read on (its status stands, the body counts as absent), so a hostile server cannot
// make the uploader hold or parse megabytes.
inline constexpr size_t kMaxResponseBodyBytes = 64 << 10;
// The time-outs bound each wait, but a server that drips a byte now and then resets them:
// the whole exchange ends after this, counted as no response.
inline constexpr uint64_t kUploadDeadlineMs = 60000;

struct TelemetryResponse {
  uint32_t status = 0;  // 0: no response
  std::string body;
  std::string retryAfter;
};

void scheduleTelemetryUpload();
TelemetryResponse postTelemetryBatch(const std::string& body);
std::string readTelemetryToken();
int64_t readBackoffUntil();
int64_t readFailureCount();
void recordBackoff(int64_t seconds);
int64_t backoffSecondsFor(const TelemetryResponse& response);

// Tests only: waits (real time) until no upload thread runs; false after timeoutMs.
bool waitForIdleUploader(DWORD timeoutMs);

}  // namespace tesmira::telemetry
