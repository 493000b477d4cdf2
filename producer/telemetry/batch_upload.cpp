#include "producer/telemetry/batch_upload.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/bounded_json.h"
#include "common/https_client.h"
#include "producer/telemetry/camera_state.h"
#include "producer/telemetry/event_queue.h"
#include "producer/telemetry/telemetry_endpoint.h"

namespace tesmira::telemetry {
namespace {

using nlohmann::json;

constexpr int64_t kMaxBackoffSeconds = 86400;
constexpr int kTimeoutMs = 10000;
constexpr size_t kMinTokenLength = 32;
constexpr size_t kMaxTokenLength = 256;

struct TelemetryUploadTask {
  std::vector<json> events;  // the batch as sent, to remove exactly these after a 2xx
  std::string body;
};

// Process-wide and never destroyed: a detached thread may outlive main.
struct UploaderState {
  std::atomic<bool> uploadInFlight{false};
  std::mutex idleMutex;
  std::condition_variable idle;
  int threads = 0;
};

UploaderState& uploader() {
  static auto* state = new UploaderState;
  return *state;
}

// The stored count plus one, held at the largest count a hostile file may claim.
int64_t nextFailureCount() {
  const int64_t count = readFailureCount();
  return count < std::numeric_limits<int64_t>::max() ? count + 1 : count;
}

int64_t clampBackoff(int64_t seconds) { return std::clamp<int64_t>(seconds, 1, kMaxBackoffSeconds); }

// A decimal integer after optional blanks and sign, fitting 64 bits; text after it is ignored.
bool leadingInteger(const std::string& text, int64_t& value) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                  : uint64_t(std::numeric_limits<int64_t>::max());
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const uint64_t digit = uint64_t(text[i] - '0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  value = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  return true;
}

void threadStarted() {
  std::lock_guard lock(uploader().idleMutex);
  ++uploader().threads;
}

void threadEnded() {
  std::lock_guard lock(uploader().idleMutex);
  if (--uploader().threads == 0) uploader().idle.notify_all();
}

void telemetryUploadThread(std::unique_ptr<TelemetryUploadTask> task) {
  try {
    const TelemetryResponse response = postTelemetryBatch(task->body);
    storePolicyFromResponse(response.body);
    const uint32_t s = response.status;
    if (s >= 200 && s <= 299) {
      removeSentEvents(task->events);
      DeleteFileW(backoffFilePath().wstring().c_str());
    } else if (s == 401 || s == 403) {
      removeSentEvents(task->events);
      recordBackoff(backoffSecondsFor(response));
    } else if (s == 408 || s == 429 || s >= 500 || s == 0) {
      recordBackoff(backoffSecondsFor(response));
    } else {
      removeSentEvents(task->events);
    }
  } catch (...) {
    // The uploader never takes the producer down; the batch stays queued.
  }
  uploader().uploadInFlight.store(false);
  try {
    scheduleTelemetryUpload();
  } catch (...) {
  }
  task.reset();
  threadEnded();
}

}  // namespace

std::string readTelemetryToken() {
  if (telemetryEndpoint().local) return {};
  const json file = readJsonFile(tokenFilePath());
  if (!file.is_object()) return {};
  auto it = file.find("TelemetryToken");
  if (it == file.end()) it = file.find("telemetryToken");
  if (it == file.end() || !it->is_string()) return {};
  std::string token = it->get<std::string>();
  if (token.size() < kMinTokenLength || token.size() > kMaxTokenLength) return {};
  return token;
}

int64_t readBackoffUntil() { return integerMember(readJsonFile(backoffFilePath()), "backoffUntilUnix", 0); }
int64_t readFailureCount() { return integerMember(readJsonFile(backoffFilePath()), "failureCount", 0); }

void recordBackoff(int64_t seconds) {
  json state = json::object();
  state["failureCount"] = nextFailureCount();
  state["backoffUntilUnix"] = unixNow() + clampBackoff(seconds);
  writeJsonAtomic(backoffFilePath(), state);
}

int64_t backoffSecondsFor(const TelemetryResponse& response) {
  int64_t seconds = 0;
  if (!response.retryAfter.empty() && leadingInteger(response.retryAfter, seconds)) return clampBackoff(seconds);
  const json body = parseBoundedJson(response.body);
  if (body.is_object()) {
    if (auto it = body.find("backoff_seconds"); it != body.end() && it->is_number_integer()) {
      return clampBackoff(integerMember(body, "backoff_seconds", 0));
    }
    if (auto it = body.find("backoff_until"); it != body.end() && it->is_string()) {
      const int64_t until = parseUtcTimestamp(it->get<std::string>());
      if (until > 0) return clampBackoff(until - unixNow());
    }
  }
  const int64_t k = nextFailureCount();
  const int64_t base = std::min<int64_t>(int64_t(30) << std::clamp<int64_t>(k, 0, 8), 3600);
  const int64_t range = std::max<int64_t>(base / 5, 1);
  return base + int64_t(tickMs() % uint64_t(range));
}

TelemetryResponse postTelemetryBatch(const std::string& body) {
  const TelemetryEndpoint& endpoint = telemetryEndpoint();
  HttpsRequest request;
  request.userAgent = L"TesmiraTelemetry/1.0";
  request.method = L"POST";
  request.host = endpoint.host;
  request.port = endpoint.port;
  request.path = endpoint.path;
  request.secure = endpoint.secure;
  request.timeouts = {0, kTimeoutMs, kTimeoutMs, kTimeoutMs};
  request.headers = L"Content-Type: application/json\r\n";
  const std::string token = readTelemetryToken();
  if (!token.empty()) request.headers += L"Authorization: Bearer " + toWide(token) + L"\r\n";
  request.body = body;
  request.deadlineMs = kUploadDeadlineMs;
  request.maxBodyBytes = kMaxResponseBodyBytes;
  request.wantedHeaders = {L"Retry-After"};
  HttpsResponse answer = sendHttpsRequest(request);
  // Past the deadline nothing counts; a body too large or cut short leaves the status standing.
  if (answer.failure == HttpsFailure::kLate) return {};
  TelemetryResponse response;
  response.status = answer.status;
  response.body = std::move(answer.body);
  response.retryAfter = toUtf8(answer.headers.front());
  return response;
}

void scheduleTelemetryUpload() {
  if (readBackoffUntil() > unixNow()) return;
  if (uploadTooSoon()) return;
  if (!telemetryEndpoint().local && readTelemetryToken().empty()) return;
  // The flag comes before the queue read: a batch ending in between must not send its stale copy again.
  UploaderState& state = uploader();
  if (state.uploadInFlight.exchange(true)) return;
  auto task = std::make_unique<TelemetryUploadTask>();
  try {
    {
      std::lock_guard lock(telemetryMutex());
      std::vector<json> events = loadEventQueue();
      const size_t n = std::min(events.size(), kBatchSize);
      task->events.assign(std::make_move_iterator(events.begin()), std::make_move_iterator(events.begin() + n));
    }
    if (task->events.empty()) {
      state.uploadInFlight.store(false);
      return;
    }
    json batch = json::object();
    batch["events"] = task->events;
    task->body = compactJson(batch);
    json uploadState = json::object();
    uploadState["lastUploadAtUnix"] = unixNow();
    writeJsonAtomic(uploadStateFilePath(), uploadState);
    threadStarted();
    try {
      std::thread(telemetryUploadThread, std::move(task)).detach();
    } catch (...) {
      threadEnded();
      throw;
    }
  } catch (...) {
    state.uploadInFlight.store(false);
  }
}

bool waitForIdleUploader(DWORD timeoutMs) {
  std::unique_lock lock(uploader().idleMutex);
  return uploader().idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return uploader().threads == 0; });
}

}  // namespace tesmira::telemetry
