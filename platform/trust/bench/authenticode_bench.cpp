// What WinVerifyTrust costs on a signed installer: a 1 KiB image, and a 100 MiB one
// (the image digest streams through the file; the signature check is the same).
#include <windows.h>

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/trust/tests/verify_file.h"
#include "tesmira/platform_testing.h"
#include "tesmira/trust_testing.h"

namespace {

namespace fs = std::filesystem;
using tesmira::platform::trust::SigningKit;
using tesmira::platform::trust::TestSigner;

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
  for (auto _ : state) {
    if (tesmira::testing::winVerifyTrustFile(root / "signed.exe").result != 0) state.SkipWithError("not trusted");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fs::file_size(root / "signed.exe")));
  std::error_code ec;
  fs::remove_all(root, ec);
}
BENCHMARK(BM_WinVerifyTrust)->Arg(512)->Arg(100 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
