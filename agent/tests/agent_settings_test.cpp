#include "agent/agent_settings.h"

#include <gtest/gtest.h>

#include <functional>

#include "agent/tests/agent_doubles.h"

namespace tesmira::agent {
namespace {

using tesmira::agent::testing::FakeSettingsKey;

const std::filesystem::path kFolder = "/opt/tesmira/bin";

struct SettingCase {
  const char* name;
  std::function<void(FakeSettingsKey&)> store;
  std::function<void(AgentSettings&)> expect;  // changes from the defaults
};

void PrintTo(const SettingCase& c, std::ostream* os) { *os << c.name; }

class AgentSettingsTest : public ::testing::TestWithParam<SettingCase> {};

TEST_P(AgentSettingsTest, ValueOrDefault) {
  FakeSettingsKey key;
  GetParam().store(key);
  AgentSettings expected;
  expected.producerExe = kFolder / kProducerExeName;
  expected.repoRoot = kFolder;
  GetParam().expect(expected);

  const AgentSettings got = readAgentSettings(key, kFolder);
  EXPECT_EQ(got.cameraIndex, expected.cameraIndex);
  EXPECT_EQ(got.provider, expected.provider);
  EXPECT_EQ(got.enabled, expected.enabled);
  EXPECT_EQ(got.idleStopMs, expected.idleStopMs);
  EXPECT_EQ(got.producerExe, expected.producerExe);
  EXPECT_EQ(got.repoRoot, expected.repoRoot);
}

const std::wstring k1023(1023, L'p');
const std::wstring k1024(1024, L'p');
const auto same = [](AgentSettings&) {};

INSTANTIATE_TEST_SUITE_P(
    Registry, AgentSettingsTest,
    ::testing::Values(
        SettingCase{"nothingStored", [](FakeSettingsKey&) {}, same},
        SettingCase{"cameraIndex", [](auto& k) { k.setDword(L"CameraIndex", 2); },
                    [](auto& s) { s.cameraIndex = 2; }},
        SettingCase{"cameraIndexNegative", [](auto& k) { k.setDword(L"CameraIndex", 0xFFFFFFFEu); },
                    [](auto& s) { s.cameraIndex = -2; }},
        SettingCase{"cameraIndexAsString", [](auto& k) { k.setString(L"CameraIndex", L"2"); }, same},
        SettingCase{"cameraIndexShortDword", [](auto& k) { k.setRaw(L"CameraIndex", kRegDword, {2, 0}); }, same},
        SettingCase{"provider", [](auto& k) { k.setString(L"Provider", L"cuda"); },
                    [](auto& s) { s.provider = L"cuda"; }},
        SettingCase{"providerEmpty", [](auto& k) { k.setString(L"Provider", L""); }, same},
        SettingCase{"providerBlank", [](auto& k) { k.setString(L"Provider", L" \t "); }, same},
        SettingCase{"providerAsDword", [](auto& k) { k.setDword(L"Provider", 1); }, same},
        SettingCase{"provider1023Chars", [](auto& k) { k.setString(L"Provider", k1023); },
                    [](auto& s) { s.provider = k1023; }},
        SettingCase{"provider1024CharsTooLong", [](auto& k) { k.setString(L"Provider", k1024); }, same},
        SettingCase{"providerWithoutTerminator",
                    [](auto& k) {
                      k.setRaw(L"Provider", kRegSz, {BYTE('c'), 0, 0, 0, BYTE('p'), 0, 0, 0, BYTE('u'), 0, 0, 0});
                    },
                    [](auto& s) { s.provider = L"cpu"; }},
        SettingCase{"disabled", [](auto& k) { k.setDword(L"Enabled", 0); }, [](auto& s) { s.enabled = false; }},
        SettingCase{"enabledNonZero", [](auto& k) { k.setDword(L"Enabled", 7); }, same},
        SettingCase{"enabledAsString", [](auto& k) { k.setString(L"Enabled", L"0"); }, same},
        SettingCase{"idleStop", [](auto& k) { k.setDword(L"IdleStopMs", 1500); },
                    [](auto& s) { s.idleStopMs = 1500; }},
        SettingCase{"idleStopHuge", [](auto& k) { k.setDword(L"IdleStopMs", 0xFFFFFFFFu); },
                    [](auto& s) { s.idleStopMs = 0xFFFFFFFFu; }},
        SettingCase{"idleStopAsQword", [](auto& k) { k.setRaw(L"IdleStopMs", 11, {1, 0, 0, 0, 0, 0, 0, 0}); }, same},
        SettingCase{"producerExe", [](auto& k) { k.setString(L"ProducerExe", L"C:\\p\\producer.exe"); },
                    [](auto& s) { s.producerExe = L"C:\\p\\producer.exe"; }},
        SettingCase{"producerExeEmpty", [](auto& k) { k.setString(L"ProducerExe", L""); }, same},
        SettingCase{"producerExeTooLong", [](auto& k) { k.setString(L"ProducerExe", k1024); }, same},
        SettingCase{"repoRoot", [](auto& k) { k.setString(L"RepoRoot", L"/data"); },
                    [](auto& s) { s.repoRoot = L"/data"; }},
        SettingCase{"repoRootEmpty", [](auto& k) { k.setString(L"RepoRoot", L""); }, same}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tesmira::agent
