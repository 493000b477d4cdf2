#include <gtest/gtest.h>

#include <limits>

#include "service/updater/update_check.h"
#include "service/updater/update_download.h"
#include "tests/support/host_calls.h"

namespace tesmira {
namespace {

TEST(ParseVersion, TakesOnlyThreeRunsOfDigits) {
  const struct {
    const wchar_t* text;
    bool valid;
    int32_t major, minor, patch;
  } cases[] = {
      {L"1.2.3", true, 1, 2, 3},
      {L"01.2.3", true, 1, 2, 3},
      {L"0.0.0", true, 0, 0, 0},
      {L"2147483647.0.2147483647", true, 2147483647, 0, 2147483647},
      {L"2147483648.0.0", false},
      {L"99999999999.0.0", false},
      {L"1.2", false},
      {L"1.2.3-beta", false},
      {L"1.2.3.4", false},
      {L" 1.2.3", false},
      {L"1.2.3 ", false},
      {L"+1.2.3", false},
      {L"-0.1.2", false},
      {L"1. 2.3", false},
      {L"1..3", false},
      {L"", false},
      {L"a.b.c", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(c.text)));
    const VersionTriple v = parseVersion(c.text);
    EXPECT_EQ(v.valid, c.valid);
    if (c.valid) {
      EXPECT_EQ(v.major, c.major);
      EXPECT_EQ(v.minor, c.minor);
      EXPECT_EQ(v.patch, c.patch);
    }
  }
}

TEST(CompareVersions, FieldByField) {
  const struct {
    const wchar_t* a;
    const wchar_t* b;
    bool less;
  } cases[] = {{L"1.4.0", L"1.4.0", false}, {L"1.3.9", L"1.4.0", true},  {L"1.10.0", L"1.9.9", false},
               {L"0.9.99", L"1.0.0", true}, {L"1.4.1", L"1.4.0", false}, {L"1.4.0", L"1.4.1", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(c.a) + L" < " + c.b));
    EXPECT_EQ(compareVersions(parseVersion(c.a), parseVersion(c.b)), c.less);
  }
}

TEST(ManifestRequest, SrcTagIsFilteredAndTheQueryJoinsWhatIsThere) {
  const struct {
    const wchar_t* url;
    const wchar_t* src;
    const wchar_t* sent;
  } cases[] = {
      {L"https://feed/m.json", L"task", L"https://feed/m.json?v=1.2.3&src=task"},
      {L"https://feed/m.json", L"Task Scheduler!", L"https://feed/m.json?v=1.2.3&src=askcheduler"},
      {L"https://feed/m.json", L"!!", L"https://feed/m.json?v=1.2.3&src=manual"},
      {L"https://feed/m.json?ch=beta", L"studio2", L"https://feed/m.json?ch=beta&v=1.2.3&src=studio2"},
  };
  for (const auto& c : cases) {
    UpdateOptions options;
    options.manifestUrl = c.url;
    options.srcTag = c.src;
    EXPECT_EQ(manifestRequestUrl(options, L"1.2.3"), c.sent);
  }
}

constexpr const char* kHash = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef";

TEST(ParseManifest, RefusesWithTheFirstRuleBroken) {
  const std::string good = std::string(R"("installer": {"url": "https://h/s.exe", "sha256": ")") + kHash + "\"";
  const struct {
    std::string body;
    const wchar_t* error;
  } cases[] = {
      {"not json", L"manifest is not valid JSON"},
      {"[1, 2]", L"manifest is not valid JSON"},
      {R"({"version": 10})", L"manifest is not valid JSON"},
      {R"({"version": "1.4.0", "installer": []})", L"manifest is not valid JSON"},
      {R"({"version": "1.4.0", "installer": {"url": 5}})", L"manifest is not valid JSON"},
      {R"({"version": "1.4.0", "installer": {"sha256": null}})", L"manifest is not valid JSON"},
      {R"({"version": "1.4.0", "installer": {"sizeBytes": "10"}})", L"manifest is not valid JSON"},
      {R"({"version": "1.4.0", "installer": {"sizeBytes": -1}})", L"manifest is not valid JSON"},
      {R"({"version": "1.4.0", "installer": {"sizeBytes": 1.5}})", L"manifest is not valid JSON"},
      {"{}", L"manifest version missing or not X.Y.Z"},
      {R"({"version": "1.4"})", L"manifest version missing or not X.Y.Z"},
      {R"({"version": "1.4.0"})", L"manifest installer entry incomplete"},
      {R"({"version": "1.4.0", )" + good + R"(, "sizeBytes": 0}})", L"manifest installer entry incomplete"},
      {R"({"version": "1.4.0", "installer": {"url": "https://h/s.exe", "sha256": ")" + std::string(63, 'a') +
           R"(", "sizeBytes": 5}})",
       L"manifest installer entry incomplete"},
      // 64 characters, not all of them hexadecimal digits.
      {R"({"version": "1.4.0", "installer": {"url": "https://h/s.exe", "sha256": ")" + std::string(63, 'a') +
           R"(g", "sizeBytes": 5}})",
       L"manifest installer entry incomplete"},
      {R"({"version": "1.4.0", "installer": {"url": "", "sha256": ")" + std::string(kHash) + R"(", "sizeBytes": 5}})",
       L"manifest installer entry incomplete"},
      {R"({"version": "1.4.0", "installer": {"url": "http://h/s.exe", "sha256": ")" + std::string(kHash) +
           R"(", "sizeBytes": 5}})",
       L"manifest installer.url is not HTTPS"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    std::wstring error;
    EXPECT_FALSE(parseManifest(c.body, error).valid);
    EXPECT_EQ(error, c.error);
  }
}

TEST(ParseManifest, ReadsEveryMemberAndLowersTheHash) {
  std::wstring error;
  const ReleaseManifest m = parseManifest(R"({"version": "01.4.0", "minVersion": "1.0.0", "notesUrl": 7,
      "extra": true, "installer": {"url": "https://h:8443/s.exe?x=1", "sha256": ")" +
                                              std::string(kHash) + R"(", "sizeBytes": 18446744073709551615}})",
                                          error);
  ASSERT_TRUE(m.valid) << ::testing::PrintToString(error);
  EXPECT_EQ(m.versionText, L"01.4.0");
  EXPECT_EQ(m.version.major, 1);
  EXPECT_EQ(m.installerUrl, L"https://h:8443/s.exe?x=1");
  EXPECT_EQ(m.sha256, "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
  EXPECT_EQ(m.sizeBytes, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(m.minVersion, L"1.0.0");
  EXPECT_EQ(m.notesUrl, L"");  // not a string: ignored
}

// A 64 KiB manifest nests 32,000 levels inside "installer"; Windows gives the updater's main thread 1 MiB.
TEST(ParseManifest, ADeepManifestIsNotValidJsonOnAOneMebibyteStack) {
  const std::string deep = R"({"version": "1.4.0", "installer": {"url": "https://h/s.exe", "x": )" +
                           std::string(32000, '[') + std::string(32000, ']') + "}}";
  ASSERT_TRUE(tesmira::testing::runOnStackOf(1 << 20, [&] {
    std::wstring error;
    EXPECT_FALSE(parseManifest(deep, error).valid);
    EXPECT_EQ(error, L"manifest is not valid JSON");
  }));
}

TEST(StagingSizes, SaturateInsteadOfWrapping) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const struct {
    uint64_t size, space, cap;
  } cases[] = {
      {1, 2, 1 + (1u << 20)},
      {uint64_t(1) << 62, uint64_t(1) << 63, (uint64_t(1) << 62) + (1u << 20)},
      {uint64_t(1) << 63, kMax, (uint64_t(1) << 63) + (1u << 20)},
      {kMax - (1u << 20), kMax, kMax},
      {kMax, kMax, kMax},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(stagingSpaceNeeded(c.size), c.space);
    EXPECT_EQ(downloadCap(c.size), c.cap);
  }
}

TEST(StagingSizes, TheInstallersDeadlineGrowsWithItsSize) {
  const struct {
    uint64_t size, deadlineMs;
  } cases[] = {
      {0, 120000},
      {64 << 10, 121000},
      {96 << 10, 121500},
      {uint64_t(100) << 20, 120000 + 1600000},
      {std::numeric_limits<uint64_t>::max(), 120000 + (std::numeric_limits<uint64_t>::max() >> 16) * 1000 + 999},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(installerDeadlineMs(c.size), c.deadlineMs);
  }
}

TEST(CrackHttpsUrl, OnlyHttpsWithItsPortAndQuery) {
  const HttpsUrlParts parts = crackHttpsUrl(L"https://example.org:8443/a/b.json?x=1&y=2");
  ASSERT_TRUE(parts.valid);
  EXPECT_EQ(parts.host, L"example.org");
  EXPECT_EQ(parts.port, 8443);
  EXPECT_EQ(parts.path, L"/a/b.json?x=1&y=2");
  EXPECT_EQ(crackHttpsUrl(L"https://example.org/m.json").port, 443);
  EXPECT_FALSE(crackHttpsUrl(L"http://example.org/m.json").valid);
  EXPECT_FALSE(crackHttpsUrl(L"ftp://example.org/m.json").valid);
  EXPECT_FALSE(crackHttpsUrl(L"not a url").valid);
}

}  // namespace
}  // namespace tesmira
