#pragma once
// A fresh machine with a loopback HTTPS feed, signed installers made once per test
// binary, and the built service tool run as the administrator would.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "service/tests/tool_run.h"
#include "service/updater/update_download.h"
#include "tesmira/http_testing.h"
#include "tesmira/platform_testing.h"
#include "tesmira/trust_testing.h"
#include "tests/support/host_calls.h"
#include "tests/support/host_calls_http.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::updatertest {

namespace fs = std::filesystem;
using json = nlohmann::json;
using platform::trust::TestSigner;

// Installers made once: signed by each test signer, and one left unsigned.
struct Installers {
  fs::path folder;
  platform::trust::SigningKit* kit = nullptr;
  fs::path unsigned_;
  std::map<TestSigner, fs::path> signed_;
  fs::path otherPellucorBuild;  // a larger image, also signed by "Pellucor Inc."

  static const Installers& get() {
    static const Installers made = [] {
      Installers i;
      i.folder = testing::makeTemporaryFolder("tesmira-updater-installers-");
      i.kit = new platform::trust::SigningKit(i.folder / "kit");
      i.unsigned_ = i.folder / "unsigned.exe";
      platform::trust::writeTestPe(i.unsigned_);
      for (TestSigner s : {TestSigner::kPellucor, TestSigner::kOtherCorp, TestSigner::kUntrusted}) {
        const fs::path out = i.folder / ("signed-" + std::to_string(int(s)) + ".exe");
        if (i.kit->sign(i.unsigned_, out, s)) i.signed_[s] = out;
      }
      const fs::path larger = i.folder / "larger.exe";
      i.otherPellucorBuild = i.folder / "larger-signed.exe";
      platform::trust::writeTestPe(larger, 1024);
      i.kit->sign(larger, i.otherPellucorBuild, TestSigner::kPellucor);
      return i;
    }();
    return made;
  }
};

class UpdaterTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    const Installers& installers = Installers::get();
    ASSERT_TRUE(installers.kit->ready());
    ASSERT_EQ(installers.signed_.size(), 3u) << "osslsigncode could not sign the test PE";
    ASSERT_TRUE(fs::exists(installers.otherPellucorBuild));
    installers.kit->trustTestRoot();
    platform::http::trustRootCertificate("updater-feed-root", testing::TestCertificates::get().caPem);
    const auto& certs = testing::TestCertificates::get();
    server_ = std::make_unique<testing::LoopbackHttpServer>(
        testing::LoopbackHttpServer::Tls{certs.serverCertPem, certs.serverKeyPem});
    ASSERT_TRUE(server_->listening());
    server_->setResponder([this](const testing::HttpRequestRecord& request) {
      std::lock_guard lock(mutex_);
      const std::string path = request.target.substr(0, request.target.find('?'));
      const auto it = answers_.find(path);
      return it != answers_.end() ? it->second : testing::HttpAnswer{404, {}, "not here"};
    });
    SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"1");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TESMIRA_ELEVATED", nullptr);
    server_.reset();
    MachineTest::TearDown();
  }

 public:  // the cases of a table set the feed up through these
  void serve(const std::string& path, testing::HttpAnswer answer) {
    std::lock_guard lock(mutex_);
    answers_[path] = std::move(answer);
  }
  void serveInstaller(const std::string& bytes) { serve("/setup.exe", {200, {}, bytes}); }
  // A manifest for `version` naming the installer with the hash and size of `bytes`.
  json manifestFor(const std::string& version, const std::string& bytes) const {
    return {{"version", version},
            {"installer", {{"url", server_->url("/setup.exe")}, {"sha256", sha256Of(bytes)}, {"sizeBytes", bytes.size()}}}};
  }
  void serveManifest(const json& manifest) { serve("/manifest.json", {200, {}, manifest.dump()}); }

  static std::string sha256Of(const std::string& bytes) {
    const fs::path file = testing::makeTemporaryFolder("tesmira-hash-") / "f";
    { std::ofstream(file, std::ios::binary) << bytes; }
    const std::string hash = sha256File(file).value_or("");
    fs::remove_all(file.parent_path());
    return hash;
  }
  static std::string pellucor() { return testing::readFile(Installers::get().signed_.at(TestSigner::kPellucor)); }
  static std::string signedBy(TestSigner s) { return testing::readFile(Installers::get().signed_.at(s)); }
  static std::string unsignedPe() { return testing::readFile(Installers::get().unsigned_); }

  testing::ToolOutcome tool(const std::string& command, const std::vector<std::string>& extra = {},
                            const std::string& installed = "1.3.0") {
    std::vector<std::string> args{command, "--manifest-url", server_->url("/manifest.json")};
    if (!installed.empty()) args.insert(args.end(), {"--installed-version", installed});
    args.insert(args.end(), extra.begin(), extra.end());
    return testing::runTool(root(), args);
  }

  fs::path updates() const { return root() / "ProgramData" / "Tesmira" / "Updates"; }
  json status() const { return json::parse(testing::readFile(updates() / "status.json"), nullptr, false); }
  std::string log() const { return testing::readFile(updates() / "vcam-updater.log"); }
  // File names in the Updates folder but the log and status.json.
  std::vector<std::string> staged() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(updates(), ec)) {
      const std::string n = e.path().filename().string();
      if (n != "vcam-updater.log" && n != "status.json") names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  size_t installerRequests() const {
    size_t n = 0;
    for (const auto& r : server_->requests()) n += r.target == "/setup.exe";
    return n;
  }

  std::unique_ptr<testing::LoopbackHttpServer> server_;
  std::mutex mutex_;
  std::map<std::string, testing::HttpAnswer> answers_;
};

}  // namespace tesmira::updatertest
