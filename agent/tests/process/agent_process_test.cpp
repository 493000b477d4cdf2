// The real agent with a stand-in producer, as separate processes on one machine folder.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "agent/tests/channel_fixture.h"
#include "agent/tests/consumer_fixture.h"
#include "agent/win32_agent.h"
#include "common/file_log.h"
#include "tests/support/child_process.h"
#include "tests/support/host_calls.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::agent {
namespace {

using tesmira::testing::ChildProcess;
using tesmira::testing::processGone;
using tesmira::testing::readFile;
using tesmira::testing::siblingExecutable;

class AgentProcessTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(VcamControlBlock),
                                  (std::wstring(kLocalPrefix) + kVcamControlChannelName).c_str());
    ASSERT_NE(mapping_, nullptr);
    control_ = static_cast<VcamControlBlock*>(
        MapViewOfFile(mapping_, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(VcamControlBlock)));
    ASSERT_NE(control_, nullptr);
    control_->magic = kVcamControlMagic;
    control_->version = kVcamControlVersion;
    control_->cameraIndex = 5;

    producerPath_ = siblingExecutable("agent_test_producer");
    repo_ = root() / "repo";
    setString(L"ProducerExe", producerPath_.wstring());
    setString(L"RepoRoot", repo_.wstring());
    setString(L"Provider", L"cpu");
    setDword(L"CameraIndex", 0xFFFFFFFFu);
    setDword(L"IdleStopMs", 1000);
  }

  void TearDown() override {
    agents_.clear();  // terminates the agents still running
    // A producer that outlived its agent (the fault some of these tests look for) must not leak.
    for (DWORD pid : producerRuns()) {
      if (!processGone(pid)) tesmira::testing::killProcess(pid);
    }
    UnmapViewOfFile(control_);
    CloseHandle(mapping_);
    MachineTest::TearDown();
  }

  void setValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kAgentSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void setString(const wchar_t* name, const std::wstring& value) {
    setValue(name, REG_SZ, value.c_str(), DWORD((value.size() + 1) * sizeof(wchar_t)));
  }
  void setDword(const wchar_t* name, DWORD value) { setValue(name, REG_DWORD, &value, sizeof(value)); }

  ChildProcess& spawnAgent() {
    agents_.push_back(std::make_unique<ChildProcess>(std::vector<std::wstring>{siblingExecutable("tesmira_agent").wstring()}));
    EXPECT_TRUE(agents_.back()->started());
    return *agents_.back();
  }

  // Waits (with the application's heartbeat going when `requesting`) until `done`, at most 20 s.
  bool waitFor(const std::function<bool()>& done, bool requesting) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (requesting) control_->requestTick = GetTickCount64();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
  }

  std::vector<DWORD> producerRuns() const {
    std::vector<DWORD> pids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(root() / "test-producer", ec)) {
      if (entry.path().extension() == ".args") pids.push_back(DWORD(std::stoul(entry.path().stem().string())));
    }
    std::sort(pids.begin(), pids.end());
    return pids;
  }
  std::vector<std::string> argumentsOf(DWORD pid) const {
    std::ifstream in(root() / "test-producer" / (std::to_string(pid) + ".args"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  static std::string agentLog() { return readFile(agentLogPath()); }
  static bool logHas(const std::string& text) { return agentLog().find(text) != std::string::npos; }

  VcamControlBlock* control_ = nullptr;
  std::filesystem::path producerPath_;
  std::filesystem::path repo_;

 private:
  HANDLE mapping_ = nullptr;
  std::vector<std::unique_ptr<ChildProcess>> agents_;
};

TEST_F(AgentProcessTest, StartsTheProducerOnDemandWithItsCommandLineAndStopsItWhenIdle) {
  spawnAgent();
  ASSERT_TRUE(waitFor([&] { return producerRuns().size() == 1; }, true)) << agentLog();
  const DWORD producer = producerRuns()[0];
  EXPECT_EQ(argumentsOf(producer), (std::vector<std::string>{producerPath_.string(), "--camera", "--no-mirror",
                                                             "--provider", "cpu", "--camera-index", "-1",
                                                             "--repo-root", repo_.string()}));
  EXPECT_EQ(control_->cameraIndex, 0u);
  EXPECT_TRUE(logHas("producer started (camera-index=-1 provider=cpu)")) << agentLog();

  ASSERT_TRUE(waitFor([&] { return processGone(producer); }, false)) << agentLog();
  EXPECT_TRUE(logHas("no demand for 1000 ms; stopping producer")) << agentLog();
  EXPECT_EQ(producerRuns().size(), 1u);
}

TEST_F(AgentProcessTest, ProducerDiesWhenTheAgentIsKilled) {
  ChildProcess& agent = spawnAgent();
  ASSERT_TRUE(waitFor([&] { return producerRuns().size() == 1; }, true)) << agentLog();
  const DWORD producer = producerRuns()[0];
  ASSERT_FALSE(processGone(producer));
  agent.terminate();
  EXPECT_TRUE(waitFor([&] { return processGone(producer); }, true));
}

TEST_F(AgentProcessTest, ProducerThatExitsIsStartedAgain) {
  std::filesystem::create_directories(root() / "test-producer");
  std::ofstream(root() / "test-producer" / "exit-once").close();
  spawnAgent();
  // The log line may land a moment after the second start; process ids need not rise.
  ASSERT_TRUE(waitFor([&] { return producerRuns().size() == 2 && logHas("producer exited unexpectedly"); }, true))
      << agentLog();
  const auto runs = producerRuns();
  EXPECT_EQ(processGone(runs[0]) + processGone(runs[1]), 1);
}

TEST_F(AgentProcessTest, SecondAgentInTheSessionExitsWithZero) {
  ChildProcess& first = spawnAgent();
  ASSERT_TRUE(waitFor([&] { return logHas("agent starting"); }, false));
  ChildProcess& second = spawnAgent();
  std::optional<DWORD> exitCode;
  ASSERT_TRUE(waitFor([&] { return (exitCode = second.wait(0)).has_value(); }, false));
  EXPECT_EQ(*exitCode, 0u);
  EXPECT_TRUE(logHas("agent already running in this session; exiting")) << agentLog();
  EXPECT_FALSE(first.wait(0).has_value());
}

TEST_F(AgentProcessTest, MissingProducerIsLoggedAndNothingRuns) {
  setString(L"ProducerExe", (root() / "no-such-producer").wstring());
  spawnAgent();
  ASSERT_TRUE(waitFor([&] { return logHas("producer exe not found: " + (root() / "no-such-producer").string()); },
                      true))
      << agentLog();
  EXPECT_TRUE(producerRuns().empty());
}

TEST_F(AgentProcessTest, AHiveOfTheWrongShapeLeavesTheAgentRunningOnItsDefaults) {
  std::filesystem::path hive;
  for (const auto& entry : std::filesystem::directory_iterator(root() / "registry" / "users")) {
    if (entry.path().extension() == ".json") hive = entry.path();
  }
  ASSERT_FALSE(hive.empty());
  // Parses as JSON; one field has the wrong type.
  const std::string hostile = R"({"format": 5, "version": 1, "root": {"name": ""}})";
  { std::ofstream(hive, std::ios::trunc) << hostile; }
  ChildProcess& agent = spawnAgent();
  // The default producer beside the agent does not exist in the build folder.
  const auto defaultProducer = siblingExecutable("tesmira_agent").parent_path() / kProducerExeName;
  ASSERT_TRUE(waitFor([&] { return logHas("producer exe not found: " + defaultProducer.string()); }, true))
      << agentLog();
  EXPECT_FALSE(agent.wait(0).has_value()) << "the agent ended";
  EXPECT_TRUE(producerRuns().empty());
  EXPECT_EQ(readFile(hive), hostile);
}

// The agent publishes the capture modes once it runs, and the consumers while the
// application's format requests are fresh; with format ticks alone there is no demand, so
// no producer starts.
TEST_F(AgentProcessTest, PublishesCapabilitiesAndTheApplicationUsingTheWebcam) {
  tesmira::platform::testcameras::setV4l2Discovery(false);
  testing::TestChannel capabilities;
  capabilities.create(kVcamCapabilitiesChannelName, freshVcamCapabilitiesBlock());
  testing::TestChannel consumers;
  consumers.create(kVcamConsumersChannelName, freshVcamConsumersBlock());
  auto* caps = capabilities.as<VcamCapabilitiesBlock>();
  auto* block = consumers.as<VcamConsumersBlock>();
  testing::RunningApps apps(root() / "apps");
  const auto zoom = apps.run("zoom.exe");
  testing::setConsent(testing::desktopConsentKey(zoom), testing::fileTimeNow(), 0);

  spawnAgent();
  ASSERT_TRUE(waitFor([&] { return std::atomic_ref<uint32_t>(caps->sequence).load() == 1; }, false)) << agentLog();
  EXPECT_EQ(caps->count, 1u);  // no camera: the fallback
  EXPECT_EQ(caps->entries[0].width, 1280u);
  EXPECT_TRUE(logHas("published 1 native camera capability tuple(s)")) << agentLog();

  auto pollFor = [&](std::chrono::milliseconds limit, bool ticking, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (ticking) control_->formatTick = GetTickCount64();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
  };
  const auto zoomListed = [&] {
    return std::atomic_ref<uint32_t>(block->count).load() == 1 &&
           std::string(block->entries[0].key) == "zoom.exe";
  };
  ASSERT_TRUE(pollFor(std::chrono::seconds(3), true, zoomListed)) << agentLog();
  EXPECT_EQ(std::u16string(block->entries[0].displayName), u"Zoom");
  EXPECT_EQ(block->entries[0].packaged, 0u);

  const auto emptied = [&] {
    const uint64_t tick = std::atomic_ref<uint64_t>(block->tick).load();
    return std::atomic_ref<uint32_t>(block->count).load() == 0 && tickIsFresh(tick, GetTickCount64(), 1000);
  };
  EXPECT_TRUE(pollFor(std::chrono::seconds(6), false, emptied)) << agentLog();
  EXPECT_TRUE(producerRuns().empty());
}

}  // namespace
}  // namespace tesmira::agent
