#include "agent/consumers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "agent/tests/channel_fixture.h"
#include "agent/tests/consumer_fixture.h"
#include "tesmira/platform_testing.h"
#include "tesmira/version_testing.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::agent {
namespace {

namespace testclock = tesmira::platform::testclock;
namespace vt = tesmira::platform::versiontesting;
using tesmira::agent::testing::desktopConsentKey;
using tesmira::agent::testing::fileTimeNow;
using tesmira::agent::testing::RunningApps;
using tesmira::agent::testing::setConsent;
using tesmira::agent::testing::setConsentValue;
using tesmira::agent::testing::TestChannel;

std::u16string nameOf(const VcamConsumerEntry& entry) {
  return std::u16string(entry.displayName, std::char_traits<char16_t>::length(entry.displayName));
}
std::string keyOf(const VcamConsumerEntry& entry) { return std::string(entry.key, strnlen(entry.key, 64)); }

class ConsumersTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    testclock::freeze();
  }
  void TearDown() override {
    apps.stopAll();
    MachineTest::TearDown();
  }
  void seed() { channel.create(kVcamConsumersChannelName, freshVcamConsumersBlock()); }
  VcamConsumersBlock& block() { return *channel.as<VcamConsumersBlock>(); }
  std::vector<std::string> publishedKeys() {
    std::vector<std::string> keys;
    for (uint32_t i = 0; i < std::min(block().count, kMaxVcamConsumers); ++i) keys.push_back(keyOf(block().entries[i]));
    return keys;
  }
  std::filesystem::path writeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::filesystem::path file = root() / "files" / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                  std::streamsize(bytes.size()));
    return file;
  }
  static std::wstring windowsPath(const std::filesystem::path& file) {
    std::wstring path = L"C:" + file.wstring();
    for (wchar_t& c : path) {
      if (c == L'/') c = L'\\';
    }
    return path;
  }
  std::filesystem::path versioned(const std::string& name, const vt::VersionStrings& strings) {
    return writeFile(name, vt::peWithVersionResource(vt::versionBlock(strings)));
  }

  RunningApps apps;
  TestChannel channel;
  ConsumerTracker tracker;
};

TEST_F(ConsumersTest, ZoomInUseIsPublishedAsTheFirstEntry) {
  const auto zoom = apps.run("zoom.exe");
  const uint64_t start = fileTimeNow() - 5000;
  setConsent(desktopConsentKey(zoom), start, 0);
  seed();
  trackConsumers(tracker, true, 0);

  ASSERT_EQ(block().count, 1u);
  const VcamConsumerEntry& entry = block().entries[0];
  EXPECT_EQ(nameOf(entry), u"Zoom");
  EXPECT_EQ(keyOf(entry), "zoom.exe");
  EXPECT_EQ(entry.packaged, 0u);
  EXPECT_EQ(entry.lastUsed, start);
  EXPECT_EQ(block().tick, GetTickCount64());
  EXPECT_EQ(block().sequence, 1u);
}

struct DesktopFilterCase {
  const char* name;
  const char* running;  // started under this name, or nullptr
  const char* consented;
  uint64_t start;
  uint64_t stop;
  bool listed;
};

class DesktopFilterTest : public ConsumersTest, public ::testing::WithParamInterface<DesktopFilterCase> {};

TEST_P(DesktopFilterTest, OnlyRunningStartedUnstoppedForeignApplicationsCount) {
  const DesktopFilterCase& c = GetParam();
  if (c.running) apps.run(c.running);
  setConsent(desktopConsentKey(std::filesystem::path(tesmira::platform::machineRoot()) / "apps" / c.consented), c.start,
             c.stop);
  const auto consumers = scanWebcamConsumers(tracker);
  EXPECT_EQ(consumers.size(), c.listed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    ConsentEntries, DesktopFilterTest,
    ::testing::Values(DesktopFilterCase{"InUse", "zoom.exe", "zoom.exe", 1000, 0, true},
                      DesktopFilterCase{"Stopped", "zoom.exe", "zoom.exe", 1000, 2000, false},
                      DesktopFilterCase{"NeverStarted", "zoom.exe", "zoom.exe", 0, 0, false},
                      DesktopFilterCase{"NotRunning", nullptr, "idle-consumer.exe", 1000, 0, false},
                      DesktopFilterCase{"NameCaseIsIgnored", "zoom.exe", "Zoom.EXE", 1000, 0, true},
                      DesktopFilterCase{"TheSystemsOwnProgram", "tesmira_helper.exe", "tesmira_helper.exe", 1000, 0,
                                        false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsumersTest, ConsentValuesOfAnotherTypeCountAsZero) {
  const auto zoom = apps.run("zoom.exe");
  const auto slack = apps.run("slack.exe");
  const uint32_t dword = 1000;
  const wchar_t text[] = L"1000";
  setConsentValue(desktopConsentKey(zoom), L"LastUsedTimeStart", REG_DWORD, &dword, sizeof(dword));
  const uint64_t start = 1000;
  setConsentValue(desktopConsentKey(slack), L"LastUsedTimeStart", REG_QWORD, &start, sizeof(start));
  setConsentValue(desktopConsentKey(slack), L"LastUsedTimeStop", REG_SZ, text, sizeof(text));
  const auto consumers = scanWebcamConsumers(tracker);
  ASSERT_EQ(consumers.size(), 1u);
  EXPECT_EQ(consumers[0].key, L"slack.exe");
}

TEST_F(ConsumersTest, PackagedApplicationsAreListedWithoutARunningProcess) {
  setConsent(L"Microsoft.WindowsCamera_8wekyb3d8bbwe", 3000, 0);
  setConsent(L"Contoso.PhotoBooth_1234abcd", 2000, 0);
  setConsent(L"Contoso.Stopped_1", 2000, 2500);
  setConsent(L"nonpackaged", 2000, 0);  // the desktop folder itself, however it is spelt
  auto consumers = scanWebcamConsumers(tracker);
  ASSERT_EQ(consumers.size(), 2u);
  sortConsumers(consumers, 0);
  EXPECT_EQ(consumers[0].displayName, L"Windows Camera");
  EXPECT_EQ(consumers[0].key, L"Microsoft.WindowsCamera_8wekyb3d8bbwe");
  EXPECT_TRUE(consumers[0].packaged);
  EXPECT_EQ(consumers[0].lastUsed, 3000u);
  EXPECT_EQ(consumers[1].displayName, L"PhotoBooth");
  EXPECT_EQ(consumers[1].key, L"Contoso.PhotoBooth_1234abcd");
}

TEST_F(ConsumersTest, DesktopConsumersComeBeforePackagedOnesInScanOrder) {
  const auto zoom = apps.run("zoom.exe");
  setConsent(L"MSTeams_8wekyb3d8bbwe", 100, 0);
  setConsent(desktopConsentKey(zoom), 50, 0);
  const auto consumers = scanWebcamConsumers(tracker);
  ASSERT_EQ(consumers.size(), 2u);
  EXPECT_EQ(consumers[0].key, L"zoom.exe");
  EXPECT_EQ(consumers[1].displayName, L"Microsoft Teams");
}

// An index whose enumeration fails is skipped and the rest still read; a key that fails at
// every index still ends.
TEST_F(ConsumersTest, AFailingSubkeyIndexIsSkipped) {
  setConsent(L"Contoso.First_1", 1000, 0);
  setConsent(L"Contoso.Second_1", 2000, 0);
  tesmira::platform::faults::inject("RegEnumKeyExW", ERROR_OUTOFMEMORY, 1);
  auto consumers = scanWebcamConsumers(tracker);
  ASSERT_EQ(consumers.size(), 1u);
  EXPECT_EQ(consumers[0].key, L"Contoso.Second_1");

  tesmira::platform::faults::inject("RegEnumKeyExW", ERROR_OUTOFMEMORY);
  EXPECT_TRUE(scanWebcamConsumers(tracker).empty());
}

TEST_F(ConsumersTest, AKeyNameOfWindowsMaximumLengthIsReadWhole) {
  const std::wstring longKey = L"Contoso." + std::wstring(255 - 8, L'k');
  ASSERT_EQ(longKey.size(), 255u);
  setConsent(longKey, 1000, 0);
  const auto consumers = scanWebcamConsumers(tracker);
  ASSERT_EQ(consumers.size(), 1u);
  EXPECT_EQ(consumers[0].key, longKey);
}

// Five consumers: the four whose start lies nearest the stream start stay, in that order.
TEST_F(ConsumersTest, TheFourNearestTheStreamStartArePublished) {
  seed();
  const uint64_t now = GetTickCount64();
  const uint64_t streamStart = now - 2000;
  const uint64_t reference = fileTimeNow() - 2000 * 10000;
  setConsent(L"Contoso.Near_1", reference - 5, 0);
  setConsent(L"Contoso.Later_1", reference + 1000, 0);
  setConsent(L"Contoso.Furthest_1", reference - 100000, 0);
  setConsent(L"Contoso.After_1", reference + 30, 0);
  setConsent(L"Contoso.Before_1", reference - 400, 0);
  trackConsumers(tracker, true, streamStart);
  EXPECT_EQ(publishedKeys(), (std::vector<std::string>{"Contoso.Near_1", "Contoso.After_1", "Contoso.Before_1",
                                                        "Contoso.Later_1"}));
  EXPECT_EQ(nameOf(block().entries[0]), u"Near");
}

// Without a usable stream start (none, or one in the future) the newest comes first.
TEST_F(ConsumersTest, WithoutAStreamStartTheNewestComesFirst) {
  seed();
  setConsent(L"Contoso.Old_1", 1000, 0);
  setConsent(L"Contoso.Newest_1", 3000, 0);
  setConsent(L"Contoso.Middle_1", 2000, 0);
  for (const uint64_t streamStart : {uint64_t(0), GetTickCount64() + 500}) {
    SCOPED_TRACE(streamStart);
    testclock::advanceMs(kConsumerPublishIntervalMs);
    trackConsumers(tracker, true, streamStart);
    EXPECT_EQ(publishedKeys(), (std::vector<std::string>{"Contoso.Newest_1", "Contoso.Middle_1", "Contoso.Old_1"}));
  }
}

TEST(ConsumerOrder, EqualDistancesKeepTheScanOrder) {
  std::vector<WebcamConsumer> consumers = {
      {L"a", L"a", true, 90}, {L"b", L"b", true, 110}, {L"c", L"c", true, 100}, {L"d", L"d", true, 90}};
  sortConsumers(consumers, 100);
  std::wstring order;
  for (const auto& c : consumers) order += c.key;
  EXPECT_EQ(order, L"cabd");
}

TEST_F(ConsumersTest, WhenTheDemandEndsTheCountDropsToZeroWithAFreshTick) {
  seed();
  setConsent(L"Contoso.PhotoBooth_1", 1000, 0);
  trackConsumers(tracker, true, 0);
  ASSERT_EQ(block().count, 1u);
  testclock::advanceMs(kConsumerPublishIntervalMs);
  trackConsumers(tracker, false, 0);
  EXPECT_EQ(block().count, 0u);
  EXPECT_EQ(block().tick, GetTickCount64());
  EXPECT_EQ(block().sequence, 2u);
  const VcamConsumerEntry zero{};
  EXPECT_EQ(std::memcmp(&block().entries[0], &zero, sizeof(zero)), 0);
}

TEST_F(ConsumersTest, NothingIsWrittenWithinASecondOfTheLastPublication) {
  seed();
  trackConsumers(tracker, false, 0);
  ASSERT_EQ(block().sequence, 1u);
  const uint64_t tick = block().tick;
  setConsent(L"Contoso.PhotoBooth_1", 1000, 0);
  testclock::advanceMs(kConsumerPublishIntervalMs - 1);
  trackConsumers(tracker, true, 0);
  EXPECT_EQ(block().sequence, 1u);
  EXPECT_EQ(block().tick, tick);
  testclock::advanceMs(1);
  trackConsumers(tracker, true, 0);
  EXPECT_EQ(block().sequence, 2u);
  EXPECT_EQ(block().count, 1u);
}

TEST_F(ConsumersTest, AnUnseededChannelIsLeftUntouched) {
  VcamConsumersBlock unseeded{};
  unseeded.version = kVcamConsumersVersion;
  unseeded.tick = 7;
  channel.create(kVcamConsumersChannelName, unseeded);
  setConsent(L"Contoso.PhotoBooth_1", 1000, 0);
  trackConsumers(tracker, true, 0);
  EXPECT_EQ(std::memcmp(channel.bytes(), &unseeded, sizeof(unseeded)), 0);
}

TEST_F(ConsumersTest, AChannelSmallerThanTheBlockIsNotMappedAndLaterOneIs) {
  channel.create(kVcamConsumersChannelName, freshVcamConsumersBlock(), 512);
  const std::vector<uint8_t> before(channel.bytes(), channel.bytes() + 512);
  publishConsumers(tracker, {{L"Zoom", L"zoom.exe", false, 1}});
  EXPECT_EQ(std::vector<uint8_t>(channel.bytes(), channel.bytes() + 512), before);
  EXPECT_EQ(tracker.channel.view, nullptr);
  channel.close();
  seed();
  publishConsumers(tracker, {{L"Zoom", L"zoom.exe", false, 1}});
  EXPECT_EQ(block().count, 1u);
}

TEST_F(ConsumersTest, OneEntryByteForByte) {
  seed();
  publishConsumers(tracker, {{L"Zoom", L"zoom.exe", false, 0x0123456789ABCDEFull}});
  std::vector<uint8_t> expected(sizeof(VcamConsumersBlock), 0);
  const uint64_t tick = GetTickCount64();
  const uint8_t head[] = {'O', 'C', 'S', 'T', 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  std::memcpy(expected.data(), head, sizeof(head));
  std::memcpy(&expected[16], &tick, sizeof(tick));
  const uint8_t name[] = {'Z', 0, 'o', 0, 'o', 0, 'm', 0};
  std::memcpy(&expected[24], name, sizeof(name));
  std::memcpy(&expected[88], "zoom.exe", 8);
  const uint8_t lastUsed[] = {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01};
  std::memcpy(&expected[160], lastUsed, sizeof(lastUsed));
  expected[600] = 1;
  EXPECT_EQ(std::vector<uint8_t>(channel.bytes(), channel.bytes() + sizeof(VcamConsumersBlock)), expected);
}

TEST_F(ConsumersTest, FiveConsumersFillFourEntriesAndAShorterListClearsTheRest) {
  seed();
  std::vector<WebcamConsumer> five;
  for (int i = 0; i < 5; ++i) five.push_back({L"App", L"app" + std::to_wstring(i) + L".exe", true, uint64_t(i + 1)});
  publishConsumers(tracker, five);
  EXPECT_EQ(block().count, 4u);
  EXPECT_EQ(keyOf(block().entries[3]), "app3.exe");
  EXPECT_EQ(block().entries[3].packaged, 1u);
  publishConsumers(tracker, {five[0]});
  EXPECT_EQ(block().count, 1u);
  const VcamConsumerEntry zero{};
  for (int i = 1; i < 4; ++i) EXPECT_EQ(std::memcmp(&block().entries[i], &zero, sizeof(zero)), 0) << i;
  EXPECT_EQ(block().sequence, 2u);
}

struct EntryTextCase {
  const char* name;
  std::wstring displayName;
  std::wstring key;
  std::u16string storedName;
  std::string storedKey;
};

class EntryTextTest : public ConsumersTest, public ::testing::WithParamInterface<EntryTextCase> {};

TEST_P(EntryTextTest, TextIsCutInUtf16UnitsAndKeysAreAscii) {
  seed();
  publishConsumers(tracker, {{GetParam().displayName, GetParam().key, false, 1}});
  EXPECT_EQ(nameOf(block().entries[0]), GetParam().storedName);
  EXPECT_EQ(keyOf(block().entries[0]), GetParam().storedKey);
}

const std::wstring k40 = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";
const std::wstring kFace = {wchar_t(0x1F600)};  // outside the BMP: two UTF-16 units

INSTANTIATE_TEST_SUITE_P(
    Entries, EntryTextTest,
    ::testing::Values(
        EntryTextCase{"FortyCharactersKeepThirtyOne", k40, L"a.exe", u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcde", "a.exe"},
        EntryTextCase{"AccentedKeyCharacterBecomesAQuestionMark", L"Caf\u00e9", L"caf\u00e9.exe", u"Caf\u00e9",
                      "caf?.exe"},
        EntryTextCase{"ACharacterOutsideTheBmpIsTwoUnitsAndTwoQuestionMarks", L"x" + kFace, L"x" + kFace + L".exe",
                      u"x\U0001F600", "x??.exe"},
        EntryTextCase{"APairCutAtTheLimitLeavesNoLoneHighSurrogate", k40.substr(0, 30) + kFace, L"k",
                      u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcd", "k"},
        EntryTextCase{"APairEndingAtTheLimitIsKept", k40.substr(0, 29) + kFace, L"k",
                      u"ABCDEFGHIJKLMNOPQRSTUVWXYZabc\U0001F600", "k"},
        EntryTextCase{"KeysKeepSixtyThreeCharacters", L"n", std::wstring(70, L'k'), u"n", std::string(63, 'k')}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- naming ---------------------------------------------------------------------

using TextCases = std::vector<std::pair<std::wstring, std::wstring>>;

// Each input through `name` gives its expected text.
template <class Name>
void expectNames(const TextCases& cases, Name&& name) {
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(name(input), expected) << "'" << std::string(input.begin(), input.end()) << "'";
  }
}

TEST(ConsumerNames, CleanAppName) {
  expectNames({
      {L"Foo Browser (64-bit) Helper GPU", L"Foo Browser"},
      {L"Helper", L"Helper"},
      {L"  Zoom Meetings  ", L"Zoom Meetings"},
      {L" \t ", L""},
      {L"", L""},
      {L"Foo (bar (baz))", L"Foo (bar"},
      {L"Foo Renderer (x86)", L"Foo"},
      {L"Foo helper AGENT", L"Foo"},
      {L"Foo WebHelper", L"Foo"},
      {L"Foo Helpers", L"Foo Helpers"},
      {L"(only brackets)", L""},
      {L"Foo) Helper", L"Foo)"},
  }, [](const std::wstring& raw) { return cleanAppName(raw); });
}

TEST(ConsumerNames, ExecutableFromPath) {
  expectNames({
      {L"C:\\Program Files\\Zoom\\bin\\Zoom.EXE", L"zoom.exe"},
      {L"C:/tools/obs64.exe", L"obs64.exe"},
      {L"mixed\\dirs/Signal.exe", L"signal.exe"},
      {L"Single.exe", L"single.exe"},
      {L"C:\\ends\\", L""},
  }, [](const std::wstring& path) { return exeNameFromPath(path); });
}

TEST(ConsumerNames, PackageKeys) {
  EXPECT_EQ(packagedAppDisplayName(L"Microsoft.WindowsCamera_8wekyb3d8bbwe"), L"Windows Camera");
  EXPECT_EQ(packagedAppDisplayName(L"MSTeams_8wekyb3d8bbwe"), L"Microsoft Teams");
  EXPECT_EQ(packagedAppDisplayName(L"MicrosoftTeams_8wekyb3d8bbwe"), L"Microsoft Teams");
  EXPECT_EQ(packagedAppDisplayName(L"5319275A.WhatsAppDesktop_cv1g1gvanyjgm"), L"WhatsApp");
  EXPECT_EQ(packagedAppDisplayName(L"Microsoft.WindowsCameraPlus_1"), std::nullopt);
  expectNames({
      {L"Contoso.PhotoBooth_1234abcd", L"PhotoBooth"},
      {L"A.B.Deep_x_y", L"Deep"},
      {L"NoDots_1", L"NoDots"},
      {L"Trailing._1", L"Trailing."},
      {L"plain", L"plain"},
      {L"Dots.Only", L"Only"},
  }, [](const std::wstring& key) { return nameFromPackageKey(key); });
}

TEST_F(ConsumersTest, DesktopNamesFromTheTableOrTheExecutablesStem) {
  expectNames({
      {L"zoom.exe", L"Zoom"},          {L"obs64.exe", L"OBS Studio"},  {L"ciscocollabhost.exe", L"Webex"},
      {L"zoomit.exe", L"Zoomit"},      {L"noext", L"Noext"},           {L".exe", L""},
      {L"my.tool.exe", L"My.tool"},
  }, [&](const std::wstring& executable) {
    return desktopAppDisplayName(tracker, L"C:\\missing\\" + executable, executable);
  });
}

TEST_F(ConsumersTest, TheVersionResourceNamesAnUnknownApplicationOnce) {
  const auto file = versioned("foo.exe", {0x0409, 0x04b0, {{L"FileDescription", L"Foo Browser (64-bit) Helper GPU"}}});
  EXPECT_EQ(desktopAppDisplayName(tracker, windowsPath(file), L"foo.exe"), L"Foo Browser");
  // The cache answers for the agent's lifetime: the file is not read again.
  versioned("foo.exe", {0x0409, 0x04b0, {{L"FileDescription", L"Renamed"}}});
  EXPECT_EQ(desktopAppDisplayName(tracker, windowsPath(file), L"foo.exe"), L"Foo Browser");
  ConsumerTracker fresh;
  EXPECT_EQ(desktopAppDisplayName(fresh, windowsPath(file), L"foo.exe"), L"Renamed");
}

struct VersionCase {
  const char* name;
  vt::VersionStrings strings;
  std::wstring expected;
};

class VersionNameTest : public ConsumersTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionNameTest, VersionInfoAppName) {
  const auto file = versioned("app.exe", GetParam().strings);
  EXPECT_EQ(versionInfoAppName(windowsPath(file)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Resources, VersionNameTest,
    ::testing::Values(
        VersionCase{"DescriptionFirst", {0x0409, 0x04b0, {{L"ProductName", L"Product"}, {L"FileDescription", L"Desc"}}},
                    L"Desc"},
        VersionCase{"ProductNameWhenTheDescriptionIsEmpty",
                    {0x0409, 0x04b0, {{L"FileDescription", L""}, {L"ProductName", L"Product"}}}, L"Product"},
        VersionCase{"TheTranslationPicksTheTable", {0x0407, 0x04e4, {{L"FileDescription", L"Deutsch"}}}, L"Deutsch"},
        VersionCase{"NoTranslationNoName", {0x0409, 0x04b0, {{L"FileDescription", L"Desc"}}, false}, L""},
        VersionCase{"NoValuesNoName", {0x0409, 0x04b0, {{L"CompanyName", L"Contoso"}}}, L""},
        VersionCase{"NonAsciiTextSurvives", {0x0409, 0x04b0, {{L"FileDescription", L"Cam\u00e9ra \U0001F600"}}},
                    L"Cam\u00e9ra \U0001F600"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsumersTest, AMalformedOrMissingVersionResourceGivesNoName) {
  std::vector<uint8_t> block = vt::versionBlock({0x0409, 0x04b0, {{L"FileDescription", L"Desc"}}});
  std::vector<uint8_t> pe = vt::peWithVersionResource(block);
  const size_t at = vt::versionBlockOffset();
  std::vector<uint8_t> longer = pe;
  longer[at] = 0xFF;  // wLength beyond the resource
  longer[at + 1] = 0x7F;
  std::vector<uint8_t> cut(pe.begin(), pe.begin() + std::ptrdiff_t(at + 40));
  std::vector<uint8_t> noResource = vt::peWithVersionResource({});
  for (const auto& [name, bytes] : {std::pair{"longer", longer}, std::pair{"cut", cut}, std::pair{"none", noResource},
                                   std::pair{"text", std::vector<uint8_t>{'#', '!', '/', 'b', 'i', 'n'}}}) {
    SCOPED_TRACE(name);
    const auto file = writeFile(std::string(name) + ".exe", bytes);
    EXPECT_EQ(versionInfoAppName(windowsPath(file)), L"");
  }
  EXPECT_EQ(versionInfoAppName(L"C:\\no\\such\\file.exe"), L"");
}

}  // namespace
}  // namespace tesmira::agent
