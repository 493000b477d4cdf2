// Prints the updater's figures: sha256File against sha256sum on 100 MiB, and a 100 MiB
// signed installer fetched over loopback HTTPS, hashed and verified by the built tool,
// with the tool's peak memory growth over a run that does nothing.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "service/updater/update_download.h"
#include "tesmira/http_testing.h"
#include "tesmira/platform_testing.h"
#include "tesmira/trust_testing.h"
#include "tests/support/host_calls.h"
#include "tests/support/host_calls_http.h"
#include "tests/support/machine_fixture.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tesmira::platform::trust::TestSigner;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct ToolRun {
  double seconds;
  long peakKiB;
  std::string output;
};

// The built tool under /usr/bin/time, which reports its peak resident size.
ToolRun runTool(const std::string& args) {
  const auto start = Clock::now();
  std::string out = tesmira::testing::commandOutput("/usr/bin/time -f 'peakKiB=%M' '" TESMIRA_SERVICE_EXE "' " + args +
                                                    " 2>&1");
  const double seconds = secondsSince(start);
  long peak = -1;
  if (const size_t at = out.rfind("peakKiB="); at != std::string::npos) peak = std::stol(out.substr(at + 8));
  return {seconds, peak, out};
}

}  // namespace

int main() {
  constexpr uint64_t kSize = 100ull << 20;
  const fs::path root = tesmira::testing::makeTemporaryFolder("tesmira-update-bench-");
  tesmira::platform::setMachineRoot(root.string());

  // sha256File against sha256sum.
  const fs::path plain = root / "plain.bin";
  {
    std::ofstream out(plain, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (uint64_t i = 0; i < kSize >> 20; ++i) {
      for (size_t j = 0; j < block.size(); j += 4096) block[j] = char(i + j);
      out.write(block.data(), std::streamsize(block.size()));
    }
  }
  auto start = Clock::now();
  const std::string ours = tesmira::sha256File(plain).value_or("(none)");
  const double oursSeconds = secondsSince(start);
  start = Clock::now();
  const std::string theirs = tesmira::testing::commandOutput("sha256sum '" + plain.string() + "'").substr(0, 64);
  const double theirsSeconds = secondsSince(start);
  std::printf("sha256File 100 MiB: %.3f s (%.0f MiB/s); sha256sum: %.3f s (%.0f MiB/s); digests %s\n", oursSeconds,
              100 / oursSeconds, theirsSeconds, 100 / theirsSeconds, ours == theirs ? "agree" : "DIFFER");

  // A signed 100 MiB installer on a loopback HTTPS feed.
  tesmira::platform::trust::SigningKit kit(root / "kit");
  kit.trustTestRoot();
  const auto& certs = tesmira::testing::TestCertificates::get();
  tesmira::platform::http::trustRootCertificate("update-bench-feed", certs.caPem);
  const fs::path unsignedPe = root / "big.exe", signedPe = root / "big-signed.exe";
  if (!tesmira::platform::trust::writeTestPe(unsignedPe, kSize) || !kit.sign(unsignedPe, signedPe, TestSigner::kPellucor)) {
    std::printf("could not make the signed installer\n");
    return 1;
  }
  const std::string installer = tesmira::testing::readFile(signedPe);
  tesmira::testing::LoopbackHttpServer server(
      tesmira::testing::LoopbackHttpServer::Tls{certs.serverCertPem, certs.serverKeyPem});
  const nlohmann::json manifest = {
      {"version", "1.4.0"},
      {"installer",
       {{"url", server.url("/setup.exe")},
        {"sha256", tesmira::sha256File(signedPe).value_or("")},
        {"sizeBytes", installer.size()}}}};
  server.setResponder([&](const tesmira::testing::HttpRequestRecord& request) {
    if (request.target.rfind("/setup.exe", 0) == 0) return tesmira::testing::HttpAnswer{200, {}, installer};
    return tesmira::testing::HttpAnswer{200, {}, manifest.dump()};
  });
  const std::string feed = "update-check --installed-version 1.3.0 --manifest-url '" + server.url("/manifest.json") + "'";

  const ToolRun idle = runTool("update-check --installed-version 1.4.0 --manifest-url '" +
                               server.url("/manifest.json") + "'");
  const ToolRun full = runTool(feed);
  const ToolRun again = runTool(feed);  // already staged: hash and signature only
  const bool staged = full.output.find("staged and verified") != std::string::npos;
  std::printf("update-check, %.1f MiB installer over loopback HTTPS: download + hash + verify %.2f s (%s)\n",
              double(installer.size()) / 1048576, full.seconds, staged ? "staged" : "NOT STAGED");
  std::printf("update-check, already staged (hash + verify only): %.2f s\n", again.seconds);
  std::printf("tool peak memory: %ld KiB up to date, %ld KiB with the download; growth %.2f MiB (goal under 8 MiB)\n",
              idle.peakKiB, full.peakKiB, double(full.peakKiB - idle.peakKiB) / 1024);
  if (!staged) std::printf("%s\n", full.output.c_str());
  std::error_code ec;
  fs::remove_all(root, ec);
  return staged && ours == theirs ? 0 : 1;
}
