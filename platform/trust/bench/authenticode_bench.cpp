// What WinVerifyTrust costs on a signed installer: a 1 KiB image, and a 100 MiB one
// (the image digest streams through the file; the signature check is the same).
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tesmira/platform_testing.h"
#include "tesmira/trust_testing.h"

namespace {

namespace fs = std::filesystem;
using tesmira::platform::trust::SigningKit;
using tesmira::platform::trust::TestSigner;

LONG verify(const std::wstring& path) {
  WINTRUST_FILE_INFO info{};
  info.cbStruct = sizeof(info);
  info.pcwszFilePath = path.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(nullptr, &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(nullptr, &action, &data);
  return result;
}

void BM_WinVerifyTrust(benchmark::State& state) {
  char pattern[] = "/tmp/tesmira-trust-bench-XXXXXX";
  const fs::path root = ::mkdtemp(pattern);
  tesmira::platform::setMachineRoot(root.string());
  SigningKit kit(root / "signing");
  kit.trustTestRoot();
  const uint64_t codeBytes = uint64_t(state.range(0));
  if (!kit.ready() || !tesmira::platform::trust::writeTestPe(root / "plain.exe", codeBytes) ||
      !kit.sign(root / "plain.exe", root / "signed.exe", TestSigner::kPellucor)) {
    state.SkipWithError("could not make the signed image");
    return;
  }
  const std::wstring path = (root / "signed.exe").wstring();
  for (auto _ : state) {
    if (verify(path) != 0) state.SkipWithError("not trusted");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fs::file_size(root / "signed.exe")));
  std::error_code ec;
  fs::remove_all(root, ec);
}
BENCHMARK(BM_WinVerifyTrust)->Arg(512)->Arg(100 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
