#include "service/relaunch.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "common/command_line.h"
#include "service/updater_log.h"
#include "tesmira/platform_testing.h"
#include "tests/support/host_calls.h"
#include "service/tests/tool_run.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {
namespace fs = std::filesystem;
using json = nlohmann::json;

// An install folder with the tool and a stand-in agent under their Windows names, on a
// machine with two active sessions, a disconnected one and a listener.
class RelaunchTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    folder_ = root() / "Program Files" / "Tesmira";
    fs::create_directories(folder_);
    fs::copy_file(TESMIRA_SERVICE_EXE, folder_ / "tesmira_windows_vcam_service.exe");
    fs::copy_file(TESMIRA_STAND_IN_AGENT, folder_ / "tesmira_agent.exe");
    fs::create_directories(root() / "sessions");
    std::ofstream(root() / "sessions" / "sessions.json") << R"({"sessions": [
      {"id": 1, "station": "Console", "state": "active", "user": "alice"},
      {"id": 3, "station": "RDP-Tcp#4", "state": "disconnected", "user": "carol"},
      {"id": 2, "station": "RDP-Tcp#7", "state": "active", "user": "bob"},
      {"id": 65536, "station": "RDP-Tcp", "state": "listen"}]})";
    // Something of the caller's own that no agent may inherit.
    SetEnvironmentVariableW(L"TESMIRA_TEST_CALLER", L"1");
  }
  void TearDown() override {
    for (DWORD pid : startedPids()) testing::killProcess(pid);
    SetEnvironmentVariableW(L"TESMIRA_SERVICE", nullptr);
    SetEnvironmentVariableW(L"TESMIRA_TEST_CALLER", nullptr);
    MachineTest::TearDown();
  }

  // Runs relaunch-agent as LocalSystem (the service marker holds the token privilege) or not.
  testing::ToolOutcome relaunch(bool localSystem) {
    SetEnvironmentVariableW(L"TESMIRA_SERVICE", localSystem ? L"1" : nullptr);
    testing::ToolOutcome o =
        testing::runTool(root(), {"relaunch-agent"}, (folder_ / "tesmira_windows_vcam_service.exe").string());
    SetEnvironmentVariableW(L"TESMIRA_SERVICE", nullptr);
    return o;
  }
  std::vector<json> started() const {
    std::vector<json> lines;
    std::istringstream in(testing::readFile(root() / "sessions" / "started.jsonl"));
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    return lines;
  }
  std::vector<DWORD> startedPids() const {
    std::vector<DWORD> pids;
    for (const json& line : started()) pids.push_back(DWORD(line["pid"].get<int64_t>()));
    return pids;
  }
  // The stand-in's own account of its start, once it has written it.
  json run(DWORD pid) const {
    const fs::path file = root() / "agent-runs" / (std::to_string(pid) + ".json");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      json j = json::parse(testing::readFile(file), nullptr, false);
      if (!j.is_discarded()) return j;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return json();
  }
  std::string updaterLog() const {
    return testing::readFile(root() / "ProgramData" / "Tesmira" / "Updates" / "vcam-updater.log");
  }

  fs::path folder_;
};

TEST_F(RelaunchTest, StartsTheAgentInEveryActiveSessionAsItsUser) {
  const testing::ToolOutcome o = relaunch(true);
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.out, "relaunch-agent: started agent in 2 session(s)\n");
  EXPECT_NE(updaterLog().find("relaunch-agent: started agent in 2 session(s)"), std::string::npos);

  const std::vector<json> lines = started();
  ASSERT_EQ(lines.size(), 2u);
  const std::string agent = (folder_ / "tesmira_agent.exe").string();
  const struct {
    const char* user;
    int session;
  } expected[] = {{"alice", 1}, {"bob", 2}};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(expected[i].user);
    EXPECT_EQ(lines[i]["user"], expected[i].user);
    EXPECT_EQ(lines[i]["session"], expected[i].session);
    EXPECT_EQ(lines[i]["commandLine"], "\"" + agent + "\"");
    EXPECT_EQ(lines[i]["currentDirectory"], folder_.string());
    EXPECT_EQ(lines[i]["desktop"], "winsta0\\default");
    EXPECT_EQ(lines[i]["creationFlags"], CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW);
    const json r = run(DWORD(lines[i]["pid"].get<int64_t>()));
    ASSERT_FALSE(r.is_null());
    EXPECT_EQ(r["argc"], 1);
    EXPECT_EQ(r["currentDirectory"], folder_.string());
    EXPECT_EQ(r["user"], expected[i].user);
    EXPECT_EQ(r["session"], std::to_string(expected[i].session));
    EXPECT_EQ(r["appData"], (root() / "Users" / expected[i].user / "AppData" / "Roaming").string());
    EXPECT_EQ(r["service"], "<unset>");
    EXPECT_EQ(r["callerMarker"], "<unset>");
    EXPECT_EQ(r["duplicate"], false);
    // Its own HKCU hive.
    EXPECT_TRUE(fs::exists(root() / "registry" / "users" / (std::string(expected[i].user) + ".hive.json")));
  }
}

TEST_F(RelaunchTest, WithoutTheTokenPrivilegeNothingStartsAndItStillSucceeds) {
  SetEnvironmentVariableW(L"TESMIRA_ELEVATED", L"1");  // an administrator's console is not enough
  const testing::ToolOutcome o = relaunch(false);
  SetEnvironmentVariableW(L"TESMIRA_ELEVATED", nullptr);
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.out, "relaunch-agent: started agent in 0 session(s)\n");
  EXPECT_TRUE(started().empty());
}

TEST_F(RelaunchTest, AFailingStepSkipsItsSessionOrEndsQuietlyAndItStillSucceeds) {
  const struct {
    const char* faults;
    const char* out;
    std::vector<std::string> users;  // who got an agent, in order
  } rows[] = {
      {"WTSEnumerateSessionsW=5", "", {}},
      {"WTSQueryUserToken=1008:1", "relaunch-agent: started agent in 1 session(s)\n", {"bob"}},
      {"CreateProcessAsUserW=5:1", "relaunch-agent: started agent in 1 session(s)\n", {"bob"}},
      // Without a block the agent still starts, as its session's user.
      {"CreateEnvironmentBlock=8:1", "relaunch-agent: started agent in 2 session(s)\n", {"alice", "bob"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.faults);
    SetEnvironmentVariableW(L"TESMIRA_FAULTS", std::wstring(row.faults, row.faults + std::strlen(row.faults)).c_str());
    const testing::ToolOutcome o = relaunch(true);
    SetEnvironmentVariableW(L"TESMIRA_FAULTS", nullptr);
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, row.out);
    const std::vector<json> lines = started();
    ASSERT_EQ(lines.size(), row.users.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i]["user"], row.users[i]);
      const json r = run(DWORD(lines[i]["pid"].get<int64_t>()));
      EXPECT_EQ(r["user"], row.users[i]);
    }
    for (DWORD pid : startedPids()) testing::killProcess(pid);
    fs::remove(root() / "sessions" / "started.jsonl");
  }
}

TEST_F(RelaunchTest, AMissingAgentIsSaidAndItStillSucceeds) {
  fs::remove(folder_ / "tesmira_agent.exe");
  const testing::ToolOutcome o = relaunch(true);
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_EQ(o.out, "relaunch-agent: agent exe not found next to service exe\n");
  EXPECT_NE(updaterLog().find("relaunch-agent: agent exe not found next to service exe"), std::string::npos);
}

TEST_F(RelaunchTest, ASecondRelaunchsCopiesEndByTheSingleton) {
  ASSERT_EQ(relaunch(true).exitCode, 0);
  for (DWORD pid : startedPids()) ASSERT_FALSE(run(pid).is_null());
  const std::vector<DWORD> first = startedPids();
  ASSERT_EQ(relaunch(true).out, "relaunch-agent: started agent in 2 session(s)\n");
  const std::vector<DWORD> all = startedPids();
  ASSERT_EQ(all.size(), 4u);
  for (size_t i = 2; i < 4; ++i) {
    const json r = run(all[i]);
    EXPECT_EQ(r["duplicate"], true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!testing::processGone(all[i]) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(testing::processGone(all[i]));
  }
  for (DWORD pid : first) EXPECT_FALSE(testing::processGone(pid));
}

}  // namespace
}  // namespace tesmira
