#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "common/channels.h"
#include "service/updater/tests/update_fixture.h"
#include "service/updater/update_apply.h"

namespace tesmira::updatertest {
namespace {

struct Launch {
  std::wstring commandLine;
  DWORD flags = 0;
  std::wstring directory;
};

// update-apply in this process, its camera test and installer start steered by the test.
class UpdateApplyTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    UpdateApplyHooks hooks;
    hooks.cameraLive = [this] { return cameraAnswers_.size() > cameraCalls_ ? cameraAnswers_[cameraCalls_++] : false; };
    hooks.startProcess = [this](LPWSTR commandLine, DWORD flags, LPCWSTR directory) {
      launches_.push_back({commandLine, flags, directory});
      if (launchError_) SetLastError(launchError_);
      return launchError_ ? FALSE : TRUE;
    };
    setUpdateApplyHooks(hooks);
  }
  void TearDown() override {
    setUpdateApplyHooks({});
    UpdaterTest::TearDown();
  }

 public:  // the table's cases steer these
  int apply(const std::wstring& installed = L"1.3.0", bool interactive = false) {
    UpdateOptions options;
    options.manifestUrl = fs::path(server_->url("/manifest.json")).wstring();
    options.installedVersionOverride = installed;
    options.interactive = interactive;
    return updateApply(options);
  }
  // What update-check would have left: the verified installer and its status.
  void stage(const std::string& bytes) {
    fs::create_directories(updates());
    std::ofstream(updates() / "TesmiraSetup-1.4.0.exe", std::ios::binary) << bytes;
    std::ofstream(updates() / "status.json") << R"({"state": "staged", "schemaVersion": 1})";
  }

  std::vector<bool> cameraAnswers_;
  size_t cameraCalls_ = 0;
  std::vector<Launch> launches_;
  DWORD launchError_ = 0;
};

TEST_F(UpdateApplyTest, EveryOutcomeLeavesItsResultBesideTheCheckersKeys) {
  std::string swapped = pellucor();
  swapped[0x200 + 7] ^= 1;
  const struct {
    const char* name;
    std::function<void(UpdateApplyTest&)> setUp;
    std::wstring installed;
    int exitCode;
    const char* result;  // nullptr: status.json unchanged
    bool launched;
    bool stagedAfter;
  } cases[] = {
      {"camera live before", [](UpdateApplyTest& t) { t.cameraAnswers_ = {true}; }, L"1.3.0", 11,
       "deferredCameraLive", false, true},
      {"camera live during verification", [](UpdateApplyTest& t) { t.cameraAnswers_ = {false, true}; }, L"1.3.0", 11,
       "deferredCameraLive", false, true},
      {"no installed version", [](UpdateApplyTest&) {}, L"1.3", 1, nullptr, false, true},
      {"manifest missing", [](UpdateApplyTest& t) { t.serve("/manifest.json", {404, {}, ""}); }, L"1.3.0", 12,
       "networkError", false, true},
      {"up to date", [](UpdateApplyTest&) {}, L"1.4.0", 0, "upToDate", false, true},
      {"nothing staged", [](UpdateApplyTest&) {}, L"1.3.0", 15, "stagedMissing", false,
       false},
      {"swapped after the check", [&](UpdateApplyTest& t) { t.stage(swapped); }, L"1.3.0", 13, "verifyFailed", false,
       false},
      {"another build staged", [](UpdateApplyTest& t) { t.stage(t.unsignedPe()); }, L"1.3.0", 13, "verifyFailed",
       false, false},
      {"another Pellucor build staged",
       [](UpdateApplyTest& t) { t.stage(testing::readFile(Installers::get().otherPellucorBuild)); }, L"1.3.0", 13,
       "verifyFailed", false, false},
      {"launched", [](UpdateApplyTest&) {}, L"1.3.0", 0, "launched", true, true},
      {"launch failed", [](UpdateApplyTest& t) { t.launchError_ = ERROR_FILE_NOT_FOUND; }, L"1.3.0", 1,
       "launchFailed", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    serveManifest(manifestFor("1.4.0", pellucor()));
    if (std::string(c.name) == "nothing staged") {
      fs::create_directories(updates());
      std::ofstream(updates() / "status.json") << R"({"state": "staged", "schemaVersion": 1})";
      fs::remove(updates() / "TesmiraSetup-1.4.0.exe");
    } else {
      stage(pellucor());
    }
    cameraAnswers_.clear();
    cameraCalls_ = 0;
    launches_.clear();
    launchError_ = 0;
    c.setUp(*this);
    const std::string before = testing::readFile(updates() / "status.json");
    EXPECT_EQ(apply(c.installed), c.exitCode);
    if (!c.result) {
      EXPECT_EQ(testing::readFile(updates() / "status.json"), before);
    } else {
      const json s = status();
      EXPECT_EQ(s["lastApply"]["result"], c.result);
      EXPECT_EQ(s["lastApply"]["attemptedAtUtc"].get<std::string>().size(), 20u);
      EXPECT_EQ(s["state"], "staged");  // the check's keys stay
    }
    EXPECT_EQ(launches_.size(), c.launched ? 1u : 0u);
    EXPECT_EQ(fs::exists(updates() / "TesmiraSetup-1.4.0.exe"), c.stagedAfter);
    if (c.exitCode == 13) {
      EXPECT_NE(log().find("update-apply: verification failed: SHA-256 mismatch against manifest"), std::string::npos);
    }
  }
}

TEST_F(UpdateApplyTest, TheSignedInstallersCommandLineReachesTheStarterByteForByte) {
  fs::create_directories(updates() / "a b");
  serveManifest(manifestFor("1.4.0", pellucor()));
  stage(pellucor());
  for (const bool interactive : {false, true}) {
    launches_.clear();
    ASSERT_EQ(apply(L"1.3.0", interactive), 0);
    ASSERT_EQ(launches_.size(), 1u);
    const std::wstring folder = updates().wstring();
    std::wstring expected = L"\"" + folder + L"/TesmiraSetup-1.4.0.exe\" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /LOG=\"" +
                            folder + L"/install-1.4.0.log\"";
    if (interactive) expected += L" /STUDIORELAUNCH=1";
    EXPECT_EQ(launches_[0].commandLine, expected);
    EXPECT_EQ(launches_[0].flags, DWORD(DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP));
    EXPECT_EQ(launches_[0].directory, folder);
  }
}

TEST(InstallerCommandLine, QuotesBlanksAndEmbeddedQuotes) {
  EXPECT_EQ(installerCommandLine(L"C:\\Program Data\\U\\TesmiraSetup-1.4.0.exe", L"C:\\U\\in\"st.log", false),
            L"\"C:\\Program Data\\U\\TesmiraSetup-1.4.0.exe\" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART "
            L"/LOG=\"C:\\U\\in\\\"st.log\"");
}

TEST_F(UpdaterTest, UnelevatedApplyExits14BeforeTheMutexAndWritesNothing) {
  SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"0");
  fs::create_directories(updates());
  std::ofstream(updates() / "status.json") << "[]";
  HANDLE held = CreateMutexW(nullptr, TRUE, kUpdaterMutexName);  // 14 wins over 16
  const testing::ToolOutcome o = tool("update-apply");
  EXPECT_EQ(o.exitCode, 14);
  EXPECT_EQ(o.out, "update-apply: requires elevation\n");
  EXPECT_EQ(testing::readFile(updates() / "status.json"), "[]");
  ReleaseMutex(held);
  CloseHandle(held);
}

TEST_F(UpdaterTest, ApplyStartsTheInstallerDetachedFromTheUpdatesFolder) {
  const fs::path record = root() / "installer-record.txt";
  const fs::path later = root() / "installer-later.txt";
  // Records its arguments one per line and its folder, then outlives the tool.
  const std::string script = "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + record.string() +
                             ".tmp'\npwd >> '" + record.string() + ".tmp'\nmv '" + record.string() + ".tmp' '" +
                             record.string() + "'\nsleep 1\necho later > '" + later.string() + "'\n";
  fs::create_directories(updates());
  std::ofstream(updates() / "TesmiraSetup-1.4.0.exe", std::ios::binary) << script;
  std::ofstream(updates() / "status.json") << "[]";  // not an object: replaced
  serveManifest(manifestFor("1.4.0", script));
  const testing::ToolOutcome o = tool("update-apply", {"--allow-unsigned", "--interactive"});
  ASSERT_EQ(o.exitCode, 0) << o.out << o.err;
  const fs::path log = updates() / "install-1.4.0.log";
  EXPECT_NE(o.out.find("update-apply: installer 1.4.0 launched (log: " + log.string() + ")\n"), std::string::npos)
      << o.out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(later) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(testing::readFile(record), "/VERYSILENT\n/SUPPRESSMSGBOXES\n/NORESTART\n/LOG=" + log.string() +
                                           "\n/STUDIORELAUNCH=1\n" + updates().string() + "\n");
  EXPECT_TRUE(fs::exists(later));
  const json s = status();
  EXPECT_EQ(s.size(), 1u);
  EXPECT_EQ(s["lastApply"]["result"], "launched");
}

// The control channel as the media source leaves it, on the frozen test clock.
class CameraLiveTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"1");
    platform::testclock::freeze();
  }
  void TearDown() override {
    for (HANDLE h : mappings_) CloseHandle(h);
    SetEnvironmentVariableW(L"TESMIRA_ELEVATED", nullptr);
    MachineTest::TearDown();
  }

 public:  // the table's cases set the channels up
  void channel(const wchar_t* prefix, VcamControlBlock block) {
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(block),
                                       (std::wstring(prefix) + kVcamControlChannelName).c_str());
    ASSERT_NE(mapping, nullptr);
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(block));
    ASSERT_NE(view, nullptr);
    std::memcpy(view, &block, sizeof(block));
    UnmapViewOfFile(view);
    mappings_.push_back(mapping);
  }
  static VcamControlBlock aged(int64_t ageMs, bool stream = false) {
    VcamControlBlock block = freshVcamControlBlock();
    const uint64_t tick = GetTickCount64() - uint64_t(ageMs);
    (stream ? block.streamStartTick : block.requestTick) = tick;
    return block;
  }
  std::vector<HANDLE> mappings_;
};

TEST_F(CameraLiveTest, LiveWithinThreeSecondsOfTheNewerTick) {
  const struct {
    const char* name;
    std::function<void(CameraLiveTest&)> setUp;
    bool live;
  } cases[] = {
      {"no channel", [](CameraLiveTest&) {}, false},
      {"request 2999 ms old", [](CameraLiveTest& t) { t.channel(kLocalPrefix, aged(2999)); }, true},
      {"request 3000 ms old", [](CameraLiveTest& t) { t.channel(kLocalPrefix, aged(3000)); }, true},
      {"request 3001 ms old", [](CameraLiveTest& t) { t.channel(kLocalPrefix, aged(3001)); }, false},
      {"stream start 10 ms old", [](CameraLiveTest& t) { t.channel(kGlobalPrefix, aged(10, true)); }, true},
      {"tick in the future", [](CameraLiveTest& t) { t.channel(kGlobalPrefix, aged(-5)); }, false},
      {"never requested", [](CameraLiveTest& t) { t.channel(kGlobalPrefix, freshVcamControlBlock()); }, false},
      {"bad magic",
       [](CameraLiveTest& t) {
         VcamControlBlock b = aged(10);
         b.magic ^= 1;
         t.channel(kGlobalPrefix, b);
       },
       false},
      {"version 1",
       [](CameraLiveTest& t) {
         VcamControlBlock b = aged(10);
         b.version = 1;
         t.channel(kGlobalPrefix, b);
       },
       false},
      {"stale Global, live Local",
       [](CameraLiveTest& t) {
         t.channel(kGlobalPrefix, aged(60000));
         t.channel(kLocalPrefix, aged(100));
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.setUp(*this);
    EXPECT_EQ(isCameraLive(), c.live);
    for (HANDLE h : mappings_) CloseHandle(h);
    mappings_.clear();
  }
}

}  // namespace
}  // namespace tesmira::updatertest
