#include "core/clock.h"

#include <time.h>

#include <atomic>
#include <thread>

#include "minwindef.h"
#include "profileapi.h"
#include "sysinfoapi.h"
#include "tesmira/platform_testing.h"

namespace tesmira::platform {
namespace {

uint64_t realMonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

uint64_t realWallNs1601() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  constexpr uint64_t kUnixEpochIn1601Ns = 11644473600ull * 1000000000ull;
  return kUnixEpochIn1601Ns + uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// Frozen clock: the reading at freeze plus what the test advanced since.
std::atomic<bool> gFrozen{false};
std::atomic<uint64_t> gFrozenNs{0};
// Offset kept after release so the clock never runs backwards.
std::atomic<uint64_t> gOffsetNs{0};
std::atomic<uint64_t> gWallAtFreezeNs{0};
std::atomic<uint64_t> gMonoAtFreezeNs{0};
std::atomic<uint64_t> gGeneration{0};
std::atomic<int> gSleepers{0};

}  // namespace

namespace clock {

uint64_t nowNs() {
  if (gFrozen.load(std::memory_order_acquire)) return gFrozenNs.load(std::memory_order_acquire);
  return realMonotonicNs() + gOffsetNs.load(std::memory_order_relaxed);
}

uint64_t wallNs1601() {
  if (gFrozen.load(std::memory_order_acquire)) {
    return gWallAtFreezeNs.load() + (gFrozenNs.load() - gMonoAtFreezeNs.load());
  }
  return realWallNs1601() + gOffsetNs.load(std::memory_order_relaxed);
}

void sleepUntil(uint64_t deadlineNs) {
  gSleepers.fetch_add(1, std::memory_order_acq_rel);
  struct Leave {
    ~Leave() { gSleepers.fetch_sub(1, std::memory_order_acq_rel); }
  } leave;
  for (;;) {
    uint64_t now = nowNs();
    if (now >= deadlineNs) return;
    if (testclock::frozen()) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    } else {
      std::this_thread::sleep_for(std::chrono::nanoseconds(deadlineNs - now));
    }
  }
}

}  // namespace clock

namespace testclock {

void freeze() {
  if (gFrozen.load()) return;
  uint64_t now = clock::nowNs();
  gMonoAtFreezeNs = now;
  gWallAtFreezeNs = realWallNs1601() + gOffsetNs.load();
  gFrozenNs = now;
  gFrozen.store(true, std::memory_order_release);
  gGeneration.fetch_add(1);
}

void advanceNs(uint64_t ns) {
  gFrozenNs.fetch_add(ns, std::memory_order_acq_rel);
  gGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void advanceMs(uint64_t ms) { advanceNs(ms * 1000000ull); }

void release() {
  if (!gFrozen.load()) return;
  uint64_t frozenAt = gFrozenNs.load();
  uint64_t real = realMonotonicNs();
  gOffsetNs = frozenAt > real ? frozenAt - real : 0;
  gFrozen.store(false, std::memory_order_release);
  gGeneration.fetch_add(1);
}

void reset() {
  gFrozen.store(false, std::memory_order_release);
  gOffsetNs = 0;
  gGeneration.fetch_add(1);
}

bool frozen() { return gFrozen.load(std::memory_order_acquire); }
uint64_t generation() { return gGeneration.load(std::memory_order_acquire); }
int sleepers() { return gSleepers.load(std::memory_order_acquire); }

}  // namespace testclock
}  // namespace tesmira::platform

using tesmira::platform::clock::nowNs;

ULONGLONG WINAPI GetTickCount64() { return nowNs() / 1000000ull; }
DWORD WINAPI GetTickCount() { return DWORD(GetTickCount64()); }

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
  if (!count) return FALSE;
  count->QuadPart = LONGLONG(nowNs() / 100ull);
  return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (!frequency) return FALSE;
  frequency->QuadPart = 10000000;
  return TRUE;
}

static void toFileTime(uint64_t units, LPFILETIME out) {
  out->dwLowDateTime = DWORD(units & 0xFFFFFFFFu);
  out->dwHighDateTime = DWORD(units >> 32);
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME time) {
  if (time) toFileTime(tesmira::platform::clock::wallNs1601() / 100ull, time);
}

static void fillSystemTime(const tm& t, WORD ms, LPSYSTEMTIME out) {
  out->wYear = WORD(t.tm_year + 1900);
  out->wMonth = WORD(t.tm_mon + 1);
  out->wDayOfWeek = WORD(t.tm_wday);
  out->wDay = WORD(t.tm_mday);
  out->wHour = WORD(t.tm_hour);
  out->wMinute = WORD(t.tm_min);
  out->wSecond = WORD(t.tm_sec);
  out->wMilliseconds = ms;
}

static void systemTimeAt(bool local, LPSYSTEMTIME out) {
  if (!out) return;
  constexpr uint64_t kUnixEpochIn1601Ns = 11644473600ull * 1000000000ull;
  uint64_t ns = tesmira::platform::clock::wallNs1601() - kUnixEpochIn1601Ns;
  time_t secs = time_t(ns / 1000000000ull);
  tm t{};
  if (local) {
    localtime_r(&secs, &t);
  } else {
    gmtime_r(&secs, &t);
  }
  fillSystemTime(t, WORD((ns / 1000000ull) % 1000ull), out);
}

void WINAPI GetSystemTime(LPSYSTEMTIME time) { systemTimeAt(false, time); }
void WINAPI GetLocalTime(LPSYSTEMTIME time) { systemTimeAt(true, time); }

BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
  if (!fileTime || !systemTime) return FALSE;
  uint64_t units = (uint64_t(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
  constexpr uint64_t kUnixEpochIn1601Units = 116444736000000000ull;
  if (units < kUnixEpochIn1601Units) return FALSE;
  uint64_t sinceUnix = units - kUnixEpochIn1601Units;
  time_t secs = time_t(sinceUnix / 10000000ull);
  tm t{};
  gmtime_r(&secs, &t);
  fillSystemTime(t, WORD((sinceUnix / 10000ull) % 1000ull), systemTime);
  return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME fileTime) {
  if (!st || !fileTime) return FALSE;
  tm t{};
  t.tm_year = st->wYear - 1900;
  t.tm_mon = st->wMonth - 1;
  t.tm_mday = st->wDay;
  t.tm_hour = st->wHour;
  t.tm_min = st->wMinute;
  t.tm_sec = st->wSecond;
  time_t secs = timegm(&t);
  if (secs < 0) return FALSE;
  toFileTime(116444736000000000ull + uint64_t(secs) * 10000000ull + uint64_t(st->wMilliseconds) * 10000ull,
             fileTime);
  return TRUE;
}
