#include <gtest/gtest.h>

#include <fstream>
#include <chrono>
#include <functional>
#include <thread>

#include "service/updater/tests/update_fixture.h"
#include "service/updater/update_apply.h"
#include "tesmira/disk_testing.h"
#include "tests/support/child_main.h"
#include "tests/support/child_process.h"

namespace tesmira::updatertest {
namespace {

const std::string kFeedErrorPrefix = "update-check: manifest fetch failed: ";

TEST_F(UpdaterTest, StagesAVerifiedInstallerAndSaysSo) {
  const std::string pe = pellucor();
  json manifest = manifestFor("1.4.0", pe);
  manifest["notesUrl"] = "https://example.org/notes";
  manifest["minVersion"] = "1.3.5";
  serveManifest(manifest);
  serveInstaller(pe);
  const testing::ToolOutcome o = tool("update-check", {"--src", "Task Scheduler!"});
  ASSERT_EQ(o.exitCode, 0) << o.out << o.err;
  const fs::path target = updates() / "TesmiraSetup-1.4.0.exe";
  const std::string expectedOut =
      "update-check: installed 1.3.0, feed " + server_->url("/manifest.json") + "\n" +
      "update-check: installed version is below manifest minVersion 1.3.5 (not enforced)\n" +
      "update-check: downloading " + server_->url("/setup.exe") + " (0 MB)\n" +
      "update-check: 1.4.0 staged and verified at " + target.string() + "\n";
  EXPECT_EQ(o.out, expectedOut);
  EXPECT_NE(log().find("update-check: 1.4.0 staged and verified at "), std::string::npos);
  EXPECT_EQ(testing::readFile(target), pe);
  EXPECT_EQ(staged(), std::vector<std::string>{"TesmiraSetup-1.4.0.exe"});
  EXPECT_EQ(server_->requests().at(0).target, "/manifest.json?v=1.3.0&src=askcheduler");

  // Golden status.json but for the time of writing.
  const std::string text = testing::readFile(updates() / "status.json");
  json doc = json::parse(text);
  ASSERT_TRUE(doc["checkedAtUtc"].is_string());
  EXPECT_EQ(doc["checkedAtUtc"].get<std::string>().size(), 20u);
  doc["checkedAtUtc"] = "T";
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.substr(0, 31), "{\n  \"availableVersion\": \"1.4.0\"");
  EXPECT_EQ(doc, json::parse(R"({"availableVersion": "1.4.0", "checkedAtUtc": "T", "error": null,
      "installedVersion": "1.3.0", "minVersion": "1.3.5", "notesUrl": "https://example.org/notes",
      "schemaVersion": 1, "sha256": ")" + sha256Of(pe) + R"(", "sizeBytes": )" + std::to_string(pe.size()) +
                             R"(, "src": "askcheduler", "stagedInstallerPath": )" + json(target.string()).dump() +
                             R"(, "state": "staged"})"));
  EXPECT_EQ(text, json::parse(text).dump(2) + "\n");
  EXPECT_FALSE(fs::exists(updates() / "status.json.tmp"));
}

TEST_F(UpdaterTest, AnInstallerAlreadyStagedWithTheManifestsHashIsNotFetchedAgain) {
  const std::string pe = pellucor();
  serveManifest(manifestFor("1.4.0", pe));
  serveInstaller(pe);
  ASSERT_EQ(tool("update-check").exitCode, 0);
  const testing::ToolOutcome o = tool("update-check");
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_NE(o.out.find("update-check: TesmiraSetup-1.4.0.exe already staged with matching hash\n"), std::string::npos)
      << o.out;
  EXPECT_EQ(installerRequests(), 1u);
}

TEST_F(UpdaterTest, UpToDateRemovesEveryStagedInstallerAndKeepsOtherFiles) {
  fs::create_directories(updates());
  for (const char* name : {"TesmiraSetup-1.3.0.exe", "TesmiraSetup-1.4.0.exe.partial", "notes.txt",
                           "TesmiraSetup-.exe", "TesmiraSetup-1.4.0.msi"}) {
    std::ofstream(updates() / name) << "x";
  }
  serveManifest(manifestFor("1.4.0", pellucor()));
  const testing::ToolOutcome o = tool("update-check", {}, "1.4.0");
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_NE(o.out.find("update-check: up to date (latest 1.4.0)\n"), std::string::npos) << o.out;
  EXPECT_EQ(staged(), (std::vector<std::string>{"TesmiraSetup-1.4.0.msi", "notes.txt"}));
  EXPECT_EQ(status()["state"], "upToDate");
  EXPECT_TRUE(status()["stagedInstallerPath"].is_null());
  EXPECT_EQ(installerRequests(), 0u);
}

TEST_F(UpdaterTest, WithoutAValidInstalledVersionNothingIsFetchedOrWritten) {
  for (const std::string installed : {"", "1.3", "+1.3.0"}) {
    SCOPED_TRACE(installed);
    const testing::ToolOutcome o = tool("update-check", {}, installed);
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, "update-check: no installed version found (uninstall key missing?) - not an installed copy\n");
    EXPECT_FALSE(fs::exists(updates() / "status.json"));
  }
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(UpdaterTest, TheInstalledVersionComesFromTheUninstallKey) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  const std::wstring version = L"1.4.0";
  RegSetValueExW(key, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                 DWORD((version.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  serveManifest(manifestFor("1.4.0", pellucor()));
  const testing::ToolOutcome o = tool("update-check", {}, "");
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_EQ(status()["installedVersion"], "1.4.0");
}

// Refusals of the feed or the transfer: exit 12, the error in the log and status.json, no file left.
TEST_F(UpdaterTest, FeedAndTransferFailuresExit12WithTheirError) {
  const std::string pe = pellucor();
  const std::string hash = sha256Of(pe);
  const struct {
    const char* name;
    std::function<void(UpdaterTest&)> setUp;
    std::string error;  // "" : computed in the case
    bool manifestInStatus;
  } cases[] = {
      {"manifest 404", [](UpdaterTest&) {}, "", false},
      {"not json", [](UpdaterTest& t) { t.serve("/manifest.json", {200, {}, "{"}); }, "manifest is not valid JSON",
       false},
      {"wrong type", [](UpdaterTest& t) { t.serve("/manifest.json", {200, {}, R"({"version": 10})"}); },
       "manifest is not valid JSON", false},
      {"manifest of 65537 bytes",
       [](UpdaterTest& t) { t.serve("/manifest.json", {200, {}, std::string(65537, ' ')}); },
       "response exceeds 65536 bytes", false},
      {"sha256 not hex",
       [&](UpdaterTest& t) {
         json m = t.manifestFor("1.4.0", pe);
         m["installer"]["sha256"] = std::string(64, 'z');
         t.serveManifest(m);
       },
       "manifest installer entry incomplete", false},
      {"oversized installer",
       [&](UpdaterTest& t) {
         t.serveManifest(t.manifestFor("1.4.0", pe));
         t.serveInstaller(pe + std::string((1 << 20) + 1, 'x'));
       },
       "response exceeds " + std::to_string(pe.size() + (1 << 20)) + " bytes", true},
      {"sizeBytes 2^63",
       [&](UpdaterTest& t) {
         json m = t.manifestFor("1.4.0", pe);
         m["installer"]["sizeBytes"] = uint64_t(1) << 63;
         t.serveManifest(m);
         t.serveInstaller(pe);
       },
       "not enough disk space to stage the update", true},
      {"sizeBytes 2^64 - 1",
       [&](UpdaterTest& t) {
         json m = t.manifestFor("1.4.0", pe);
         m["installer"]["sizeBytes"] = ~uint64_t(0);
         t.serveManifest(m);
         t.serveInstaller(pe);
       },
       "not enough disk space to stage the update", true},
      {"installer 404", [&](UpdaterTest& t) { t.serveManifest(t.manifestFor("1.4.0", pe)); }, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(mutex_);
      answers_.clear();
    }
    c.setUp(*this);
    const size_t installersBefore = installerRequests();
    const testing::ToolOutcome o = tool("update-check");
    EXPECT_EQ(o.exitCode, 12) << o.out;
    std::string error = c.error;
    if (error.empty()) {
      const std::string url = c.manifestInStatus ? server_->url("/setup.exe")
                                                 : server_->url("/manifest.json") + "?v=1.3.0&src=manual";
      error = "HTTP status 404 for " + url;
    }
    const std::string line = (c.manifestInStatus ? "update-check: download failed: " : kFeedErrorPrefix) + error;
    EXPECT_NE(o.out.find(line + "\n"), std::string::npos) << o.out;
    EXPECT_NE(log().find(line), std::string::npos);
    const json s = status();
    EXPECT_EQ(s["state"], "failed");
    EXPECT_EQ(s["error"], error);
    EXPECT_EQ(s["availableVersion"].is_null(), !c.manifestInStatus);
    EXPECT_TRUE(s["stagedInstallerPath"].is_null());
    EXPECT_TRUE(staged().empty());
    if (error == "not enough disk space to stage the update") {
      EXPECT_EQ(installerRequests(), installersBefore);
    }
  }
}

// Each dripped byte resets the idle time-outs; the whole transfer still ends at its deadline.
TEST_F(UpdaterTest, AFeedThatDripsEndsAtTheTransferDeadline) {
  platform::testclock::freeze();
  testing::HttpAnswer drip{200, {}, std::string(100000, ' ')};
  drip.dripMs = 20;  // 2,000 s for the whole body
  serve("/drip", drip);
  const std::string narrowUrl = server_->url("/drip");
  const std::wstring url(narrowUrl.begin(), narrowUrl.end());
  const struct {
    const char* name;
    uint64_t deadlineMs;
    std::function<bool(std::wstring&)> get;
  } cases[] = {
      {"manifest", kManifestDeadlineMs,
       [&](std::wstring& error) {
         std::string body;
         return httpsGetToMemory(url, kManifestMaxBytes, kManifestDeadlineMs, error, body);
       }},
      {"installer of 10 MiB", installerDeadlineMs(10 << 20),
       [&](std::wstring& error) {
         std::ofstream out(root() / "partial.exe", std::ios::binary);
         DownloadSink sink{&out};
         return httpsGetToFile(url, downloadCap(10 << 20), installerDeadlineMs(10 << 20), error, sink);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = server_->requestCount();
    std::wstring error;
    bool fetched = true;
    std::thread transfer([&] { fetched = c.get(error); });
    ASSERT_TRUE(server_->waitForRequests(before + 1, 10000));
    platform::testclock::advanceMs(c.deadlineMs + 1);
    transfer.join();
    EXPECT_FALSE(fetched);
    EXPECT_EQ(error, L"transfer took longer than " + std::to_wstring(c.deadlineMs / 1000) + L" s");
  }
}

TEST_F(UpdaterTest, ADeepStatusFileIsReplacedOnAOneMebibyteStack) {
  fs::create_directories(updates());
  std::ofstream(updates() / "status.json", std::ios::binary)
      << "{\"keep\": " << std::string(100000, '[') << std::string(100000, ']') << "}";
  ASSERT_TRUE(testing::runOnStackOf(1 << 20, [] { EXPECT_EQ(readStatusJson(), json::object()); }));
  serveManifest(manifestFor("1.3.0", pellucor()));
  EXPECT_EQ(tool("update-check").exitCode, 0);
  EXPECT_EQ(status()["state"], "upToDate");
  EXPECT_FALSE(status().contains("keep"));
}

TEST_F(UpdaterTest, FreeSpaceMustHoldTwiceTheInstaller) {
  const std::string pe = pellucor();
  serveManifest(manifestFor("1.4.0", pe));
  serveInstaller(pe);
  platform::disktesting::setFreeBytes(pe.size() * 19 / 10);
  testing::ToolOutcome o = tool("update-check");
  EXPECT_EQ(o.exitCode, 12);
  EXPECT_NE(o.out.find("update-check: download failed: not enough disk space to stage the update\n"),
            std::string::npos);
  EXPECT_EQ(installerRequests(), 0u);
  platform::disktesting::setFreeBytes(pe.size() * 2);
  o = tool("update-check");
  platform::disktesting::setFreeBytes(std::nullopt);
  EXPECT_EQ(o.exitCode, 0) << o.out;
}

// Installers that must never be staged: exit 13, the error logged and recorded, the file deleted.
TEST_F(UpdaterTest, RefusedInstallersExit13AndAreDeleted) {
  std::string tampered = pellucor();
  tampered[0x200 + 5] ^= 1;  // a code byte of the one section
  const struct {
    const char* name;
    std::string bytes;
    std::string error;
  } cases[] = {
      {"unsigned", unsignedPe(), "Authenticode verification failed (0x800B0100)"},
      {"tampered after signing", tampered, "Authenticode verification failed (0x80096010)"},
      {"wrong signer", signedBy(TestSigner::kOtherCorp),
       "signer CN mismatch: got \"Other Corp\", expected \"Pellucor Inc.\""},
      {"untrusted root", signedBy(TestSigner::kUntrusted), "Authenticode verification failed (0x800B0109)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    serveManifest(manifestFor("1.4.0", c.bytes));
    serveInstaller(c.bytes);
    const testing::ToolOutcome o = tool("update-check");
    EXPECT_EQ(o.exitCode, 13) << o.out;
    EXPECT_NE(o.out.find("update-check: verification failed: " + c.error + "\n"), std::string::npos) << o.out;
    EXPECT_NE(log().find("update-check: verification failed: " + c.error), std::string::npos);
    EXPECT_EQ(status()["state"], "failed");
    EXPECT_EQ(status()["error"], c.error);
    EXPECT_TRUE(staged().empty());
  }
}

TEST_F(UpdaterTest, AnInstallerThatDiffersFromTheManifestsHashIsRefused) {
  serveManifest(manifestFor("1.4.0", pellucor()));
  serveInstaller(signedBy(TestSigner::kOtherCorp));
  const testing::ToolOutcome o = tool("update-check");
  EXPECT_EQ(o.exitCode, 13);
  EXPECT_EQ(status()["error"], "SHA-256 mismatch against manifest");
  EXPECT_TRUE(staged().empty());
}

TEST_F(UpdaterTest, AllowUnsignedSkipsOnlyTheSignature) {
  const std::string pe = unsignedPe();
  serveManifest(manifestFor("1.4.0", pe));
  serveInstaller(pe);
  testing::ToolOutcome o = tool("update-check", {"--allow-unsigned"});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_NE(o.out.find("WARNING: --allow-unsigned set; skipping Authenticode verification (testing only)\n"
                       "update-check: 1.4.0 staged and verified at "),
            std::string::npos)
      << o.out;
  json m = manifestFor("1.5.0", pe);
  m["installer"]["sha256"] = sha256Of(pe + "x");
  serveManifest(m);
  o = tool("update-check", {"--allow-unsigned"});
  EXPECT_EQ(o.exitCode, 13);
  EXPECT_EQ(status()["error"], "SHA-256 mismatch against manifest");
  EXPECT_TRUE(staged().empty());
}

TEST_F(UpdaterTest, ProgressIsLoggedEveryTwentyMegabytes) {
  const std::string big(41u << 20, 'p');
  serveManifest(manifestFor("1.4.0", big));
  serveInstaller(big);
  const testing::ToolOutcome o = tool("update-check", {"--allow-unsigned"});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_NE(o.out.find("(41 MB)\ndownloaded 20 MB...\ndownloaded 40 MB...\nWARNING"), std::string::npos) << o.out;
}

// Holds the updater mutex, says so with a file, and waits to be ended.
TESMIRA_CHILD_MAIN(holdUpdaterMutex) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kUpdaterMutexName);
  if (!mutex) return 2;
  std::ofstream(args.at(0)) << "held";
  Sleep(INFINITE);
  return 0;
}

TEST_F(UpdaterTest, ASecondUpdaterExits16AndAnAbandonedMutexDoesNotBlock) {
  serveManifest(manifestFor("1.4.0", pellucor()));
  const fs::path marker = root() / "held";
  std::vector<std::wstring> args;
  for (const std::string& a : testing::childArgv("holdUpdaterMutex", {marker.string()})) {
    args.push_back(fs::path(a).wstring());
  }
  testing::ChildProcess holder(args);
  ASSERT_TRUE(holder.started());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(marker) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(fs::exists(marker));
  for (const char* command : {"update-check", "update-apply"}) {
    const testing::ToolOutcome o = tool(command, {}, "1.4.0");
    EXPECT_EQ(o.exitCode, 16);
    EXPECT_EQ(o.out, std::string(command) + ": another updater instance is running\n");
  }
  EXPECT_FALSE(fs::exists(updates() / "status.json"));
  // Ended without releasing it: the mutex is abandoned, and the next updater takes it.
  holder.terminate();
  holder.wait(20000);
  EXPECT_EQ(tool("update-check", {}, "1.4.0").exitCode, 0);
}

TEST_F(UpdaterTest, UnelevatedUpdateCheckRuns) {
  SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"0");
  serveManifest(manifestFor("1.4.0", pellucor()));
  serveInstaller(pellucor());
  const testing::ToolOutcome o = tool("update-check");
  EXPECT_EQ(o.exitCode, 0) << o.out;
}

}  // namespace
}  // namespace tesmira::updatertest
