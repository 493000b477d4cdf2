// What one pass of the consumer scan costs on a machine with 50 consent entries: the
// process snapshot, both registry passes and the naming (cached after the first pass).
#include <windows.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "agent/consumers.h"
#include "tesmira/platform_testing.h"
#include "tests/support/host_calls.h"

namespace {

using namespace tesmira::agent;

void setConsent(const std::wstring& subkey, uint64_t start, uint64_t stop) {
  HKEY key = nullptr;
  const std::wstring path = std::wstring(kWebcamConsentKey) + L"\\" + subkey;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key, L"LastUsedTimeStart", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&start), sizeof(start));
  RegSetValueExW(key, L"LastUsedTimeStop", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&stop), sizeof(stop));
  RegCloseKey(key);
}

// 40 desktop entries (every fourth one this running program, in use) and 10 packaged ones.
void BM_ScanWith50ConsentEntries(benchmark::State& state) {
  const std::filesystem::path root = tesmira::testing::makeTemporaryFolder("tesmira-bench-");
  tesmira::platform::setMachineRoot(root.string());
  wchar_t self[4096];
  const DWORD chars = GetModuleFileNameW(nullptr, self, 4096);
  std::wstring ownKey = L"C:" + std::wstring(self, chars);
  for (wchar_t& c : ownKey) {
    if (c == L'/') c = L'#';
  }
  for (int i = 0; i < 40; ++i) {
    const std::wstring key = i % 4 == 0 ? ownKey + std::to_wstring(i) : L"C:#Program Files#App" + std::to_wstring(i) + L"#app.exe";
    setConsent(std::wstring(kNonPackagedSubkey) + L"\\" + key, 1000 + i, i % 3 == 0 ? 0 : 2000);
  }
  setConsent(std::wstring(kNonPackagedSubkey) + L"\\" + ownKey, 5000, 0);
  for (int i = 0; i < 10; ++i) setConsent(L"Contoso.App" + std::to_wstring(i) + L"_1234abcd", 3000 + i, 0);

  ConsumerTracker tracker;
  size_t found = 0;
  for (auto _ : state) {
    const auto consumers = scanWebcamConsumers(tracker);
    found = consumers.size();
    benchmark::DoNotOptimize(consumers.data());
  }
  state.counters["consumers"] = double(found);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}
BENCHMARK(BM_ScanWith50ConsentEntries)->Unit(benchmark::kMillisecond);

// The process snapshot alone: the part of the scan that does not depend on the entries.
void BM_RunningProcessNames(benchmark::State& state) {
  size_t names = 0;
  for (auto _ : state) names = runningProcessNames().size();
  state.counters["processes"] = double(names);
}
BENCHMARK(BM_RunningProcessNames)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
