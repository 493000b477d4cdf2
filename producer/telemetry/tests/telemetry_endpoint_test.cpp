// Endpoint URLs, the telemetry folder, the install id and the consumer classes.
#include <sstream>

#include "producer/telemetry/tests/telemetry_fixture.h"
#include "tesmira/platform_testing.h"

namespace {

using tesmira::testing::TelemetryTest;
namespace telemetry = tesmira::telemetry;

class EndpointTest : public TelemetryTest {};

TEST_F(EndpointTest, Urls) {
  struct Case {
    const char* url;
    const char* error;  // null: accepted
    const wchar_t* host;
    uint16_t port;
    const wchar_t* path;
    bool local;
  };
  const Case cases[] = {
      {"", nullptr, L"telemetry.tesmira.app", 443, L"/api/telemetryBatch", false},
      {"http://LOCALHOST:8787/x?y=1", nullptr, L"localhost", 8787, L"/x?y=1", true},
      {"http://127.0.0.1", nullptr, L"127.0.0.1", 80, L"/", true},
      // WinHttpCrackUrl keeps the brackets of an IPv6 literal.
      {"http://[::1]:9/p", nullptr, L"[::1]", 9, L"/p", true},
      {"https://127.0.0.1", "Local telemetry endpoint must use http:// loopback.", nullptr, 0, nullptr, false},
      {"http://10.0.0.5", "Local telemetry endpoint host must be loopback.", nullptr, 0, nullptr, false},
      {"http://127.0.0.1.example.com/", "Local telemetry endpoint host must be loopback.", nullptr, 0, nullptr, false},
      {"ftp://127.0.0.1", "Invalid --telemetry-endpoint URL.", nullptr, 0, nullptr, false},
      {"garbage", "Invalid --telemetry-endpoint URL.", nullptr, 0, nullptr, false},
      {"http://127.0.0.1:99999/", "Invalid --telemetry-endpoint URL.", nullptr, 0, nullptr, false},
  };
  for (const auto& c : cases) {
    if (c.error) {
      try {
        telemetry::parseTelemetryEndpoint(c.url);
        ADD_FAILURE() << c.url << " was accepted";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), c.error) << c.url;
      }
      continue;
    }
    const telemetry::TelemetryEndpoint e = telemetry::parseTelemetryEndpoint(c.url);
    EXPECT_EQ(e.host, c.host) << c.url;
    EXPECT_EQ(e.port, c.port) << c.url;
    EXPECT_EQ(e.path, c.path) << c.url;
    EXPECT_EQ(e.local, c.local) << c.url;
    EXPECT_EQ(e.secure, !c.local) << c.url;
  }
}

TEST_F(EndpointTest, TheClientAnnouncesALocalEndpointAndKeepsItsFilesApart) {
  {
    telemetry::TelemetryClient client("");
    EXPECT_EQ(telemetry::telemetryFolder(), root() / "AppData" / "Tesmira" / "Telemetry");
    EXPECT_TRUE(std::filesystem::is_directory(telemetry::telemetryFolder()));
  }
  std::ostringstream captured;
  auto* old = std::cout.rdbuf(captured.rdbuf());
  telemetry::TelemetryClient client("http://LOCALHOST:8787/x?y=1");
  std::cout.rdbuf(old);
  EXPECT_EQ(captured.str(), "local telemetry endpoint enabled: http://LOCALHOST:8787/x?y=1\n");
  EXPECT_EQ(telemetry::telemetryFolder(), root() / "AppData" / "Tesmira" / "Telemetry" / "Local");
  EXPECT_TRUE(std::filesystem::is_directory(telemetry::telemetryFolder()));
  EXPECT_NE(tesmira::testing::readFile(root() / "ProgramData" / "Tesmira" / "Logs" / "vcam-producer.log")
                .find("local telemetry endpoint enabled: http://LOCALHOST:8787/x?y=1"),
            std::string::npos);
  EXPECT_THROW(telemetry::TelemetryClient("https://127.0.0.1"), std::runtime_error);
}

TEST_F(EndpointTest, AppDataFallsBackToTheTemporaryFolder) {
  SetEnvironmentVariableW(L"APPDATA", nullptr);
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  EXPECT_EQ(telemetry::appDataFolder(), std::filesystem::path(std::wstring(temp, n)) / "Tesmira");
  SetEnvironmentVariableW(L"APPDATA", std::wstring(260, L'a').c_str());
  EXPECT_EQ(telemetry::appDataFolder(), std::filesystem::path(std::wstring(temp, n)) / "Tesmira");
  SetEnvironmentVariableW(L"APPDATA", (L"/" + std::wstring(258, L'a')).c_str());
  EXPECT_EQ(telemetry::appDataFolder(), std::filesystem::path(L"/" + std::wstring(258, L'a')) / "Tesmira");
}

TEST_F(EndpointTest, InstallId) {
  telemetry::setTelemetryEndpoint({});
  struct Case {
    const char* name;
    const char* content;  // null: no file
    bool kept;
  };
  const Case cases[] = {{"missing", nullptr, false},
                        {"empty", "", false},
                        {"present", "MY-INSTALL\r\nsecond line", true},
                        {"blank first line", "\nMY-INSTALL", false}};
  for (const auto& c : cases) {
    std::filesystem::remove(folder() / "install-id.txt");
    if (c.content) writeText("install-id.txt", c.content);
    const std::string id = telemetry::loadOrCreateInstallId();
    if (c.kept) {
      EXPECT_EQ(id, "MY-INSTALL") << c.name;
      continue;
    }
    EXPECT_EQ(id.size(), 36u) << c.name;
    EXPECT_EQ(tesmira::testing::readFile(folder() / "install-id.txt"), id) << c.name;  // no line break
    EXPECT_EQ(telemetry::loadOrCreateInstallId(), id) << c.name;
  }
}

TEST_F(EndpointTest, AnUnwritableInstallIdGivesAFreshIdEachTime) {
  telemetry::setTelemetryEndpoint({});
  std::filesystem::remove_all(folder());
  std::filesystem::create_directories(folder() / "install-id.txt");  // a folder where the file should be
  const std::string first = telemetry::loadOrCreateInstallId();
  const std::string second = telemetry::loadOrCreateInstallId();
  EXPECT_EQ(first.size(), 36u);
  EXPECT_NE(first, second);
}

TEST(ConsumerClass, Table) {
  struct Case {
    const char* key;
    const char* klass;
  };
  const Case cases[] = {{"zoom.exe", "zoom"},        {"msteams.exe", "teams"},      {"ms-teams", "teams"},
                        {"Zoom.exe", "vcam_unknown"}, {"obs64.exe", "obs"},          {"chrome.exe", "browser"},
                        {"msedge.exe", "browser"},    {"brave.exe", "browser"},      {"zoomchrome", "zoom"},
                        {"facetime", "facetime"},     {"slack.exe", "slack"},        {"discord.exe", "discord"},
                        {"", "vcam_unknown"},         {"camera.exe", "vcam_unknown"}};
  for (const auto& c : cases) EXPECT_EQ(tesmira::telemetry::classifyConsumerApp(c.key), c.klass) << c.key;
}

}  // namespace
