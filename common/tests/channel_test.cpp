#include "common/channel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

constexpr const wchar_t* kName = L"TesmiraChannelUnderTest.v1";
constexpr size_t kBytes = 64;
constexpr uint32_t kMarker = 0x5EED1234;

std::wstring scoped(const wchar_t* prefix) { return std::wstring(prefix) + kName; }
// Prefixes compare by text: each translation unit may hold its own copy of the literal.
std::wstring text(const wchar_t* prefix) { return prefix ? prefix : L"(none)"; }

// Global\ objects can be created by a service (or an elevated process): the fixture plays
// one, and a row that needs Global\ creation refused injects the refusal.
class ChannelTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    SetEnvironmentVariableW(L"TESMIRA_SERVICE", L"1");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TESMIRA_SERVICE", nullptr);
    MachineTest::TearDown();
  }
  static void refuseGlobalMappings() { platform::faults::inject("CreateFileMappingW.Global", ERROR_ACCESS_DENIED); }

  // A mapping that already exists under one prefix, holding the marker.
  MappedChannel existing(const wchar_t* prefix) {
    MappedChannel channel(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBytes,
                                             scoped(prefix).c_str()),
                          nullptr);
    EXPECT_NE(channel.mapping, nullptr);
    channel.view = MapViewOfFile(channel.mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kBytes);
    *channel.as<uint32_t>() = kMarker;
    return channel;
  }

  // Which prefix's object `channel` is: its view and the one opened by that name share bytes.
  static const wchar_t* whichPrefix(const MappedChannel& channel) {
    for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
      MappedChannel probe(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, scoped(prefix).c_str()), nullptr);
      if (!probe.mapping) continue;
      probe.view = MapViewOfFile(probe.mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kBytes);
      auto* word = channel.as<uint32_t>();
      const uint32_t saved = *word;
      *word = 0xA5A5A5A5u;
      const bool same = *probe.as<uint32_t>() == 0xA5A5A5A5u;
      *word = saved;
      if (same) return prefix;
    }
    return nullptr;
  }
};

TEST(ChannelNames, GlobalFirstThenLocalAndStopAtTheFirstSuccess) {
  struct Row {
    const char* name;
    std::vector<bool> answers;  // the attempt's answers, Global\ name first
    const wchar_t* expected;
    size_t tries;
  } rows[] = {
      {"global accepted", {true, true}, kGlobalPrefix, 1},
      {"global refused, local accepted", {false, true}, kLocalPrefix, 2},
      {"both refused", {false, false}, nullptr, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::wstring> tried;
    const wchar_t* prefix = firstScopedName(kName, [&](const wchar_t* scopedName) {
      tried.push_back(scopedName);
      return bool(row.answers[tried.size() - 1]);
    });
    EXPECT_EQ(text(prefix), text(row.expected));
    ASSERT_EQ(tried.size(), row.tries);
    EXPECT_EQ(tried[0], scoped(kGlobalPrefix));
    if (row.tries > 1) { EXPECT_EQ(tried[1], scoped(kLocalPrefix)); }
  }
}

enum class Opener { OpenExisting, OpenOrCreate, Create };

TEST_F(ChannelTest, EachOpenerFollowsItsNameOrder) {
  struct Row {
    const char* name;
    Opener opener;
    bool globalCreatable;
    std::vector<const wchar_t*> before;  // names that exist already
    const wchar_t* expected;             // the prefix of the object the channel holds; null: none
    bool marker;                         // the channel found the existing contents
  } rows[] = {
      {"open-existing with nothing there", Opener::OpenExisting, true, {}, nullptr, false},
      {"open-existing finds local", Opener::OpenExisting, false, {kLocalPrefix}, kLocalPrefix, true},
      {"open-existing prefers global", Opener::OpenExisting, true, {kLocalPrefix, kGlobalPrefix}, kGlobalPrefix, true},
      {"open-or-create, global refused, creates local", Opener::OpenOrCreate, false, {}, kLocalPrefix, false},
      {"open-or-create creates global", Opener::OpenOrCreate, true, {}, kGlobalPrefix, false},
      // Both names are opened before anything is created: an existing local channel
      // is joined even where a global one could be made.
      {"open-or-create joins local before creating global", Opener::OpenOrCreate, true, {kLocalPrefix}, kLocalPrefix,
       true},
      {"open-or-create prefers global", Opener::OpenOrCreate, true, {kLocalPrefix, kGlobalPrefix}, kGlobalPrefix, true},
      {"create, global refused, lands in local", Opener::Create, false, {}, kLocalPrefix, false},
      {"create joins an existing local", Opener::Create, false, {kLocalPrefix}, kLocalPrefix, true},
      {"create makes global first", Opener::Create, true, {kLocalPrefix}, kGlobalPrefix, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<MappedChannel> held;
    for (const wchar_t* prefix : row.before) held.push_back(existing(prefix));
    if (!row.globalCreatable) refuseGlobalMappings();
    MappedChannel channel;
    const wchar_t* prefixUsed = nullptr;
    switch (row.opener) {
      case Opener::OpenExisting: channel = openExistingChannel(kName, FILE_MAP_READ | FILE_MAP_WRITE, kBytes); break;
      case Opener::OpenOrCreate: channel = openOrCreateChannel(kName, kBytes); break;
      case Opener::Create: channel = createChannel(kName, kBytes, kChannelSddl, &prefixUsed); break;
    }
    platform::faults::clearAll();
    if (!row.expected) {
      EXPECT_EQ(channel.view, nullptr);
      EXPECT_EQ(channel.mapping, nullptr);
      // Opening never creates.
      EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, scoped(kLocalPrefix).c_str()), nullptr);
      continue;
    }
    ASSERT_NE(channel.view, nullptr);
    EXPECT_EQ(*channel.as<uint32_t>() == kMarker, row.marker);
    EXPECT_EQ(text(whichPrefix(channel)), text(row.expected));
    if (row.opener == Opener::Create) { EXPECT_EQ(text(prefixUsed), text(row.expected)); }
  }
}

TEST_F(ChannelTest, OpenOrCreateReportsTheLastFailedStep) {
  struct Row {
    const char* name;
    const char* site;
    int count;
    DWORD expected;  // 0: a view is held
  } rows[] = {
      {"created", nullptr, 0, 0},
      {"both creates fail", "CreateFileMappingW", 2, ERROR_NOT_ENOUGH_MEMORY},
      {"no view", "MapViewOfFile", 1, ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.site) platform::faults::inject(row.site, ERROR_NOT_ENOUGH_MEMORY, row.count);
    DWORD error = 12345;
    MappedChannel channel = openOrCreateChannel(kName, kBytes, &error);
    platform::faults::clearAll();
    EXPECT_EQ(error, row.expected);
    EXPECT_EQ(channel.view != nullptr, row.expected == 0);
    // A channel without a view keeps no handle either, so nothing is left behind.
    if (row.expected != 0) { EXPECT_EQ(channel.mapping, nullptr); }
  }
}

TEST_F(ChannelTest, EventsFollowTheSameOrder) {
  HANDLE local = CreateEventW(nullptr, FALSE, FALSE, scoped(kLocalPrefix).c_str());
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(openExistingEvent(L"TesmiraNoSuchEvent.v1", SYNCHRONIZE), nullptr);
  // A Global\ event could be created, yet the existing Local\ one is joined.
  HANDLE joined = openOrCreateEvent(kName, EVENT_MODIFY_STATE | SYNCHRONIZE, kFrameReadyEventSddl);
  ASSERT_NE(joined, nullptr);
  ASSERT_TRUE(SetEvent(joined));
  EXPECT_EQ(WaitForSingleObject(local, 0), WAIT_OBJECT_0);
  // Auto-reset: the wait consumed the signal.
  EXPECT_EQ(WaitForSingleObject(local, 0), WAIT_TIMEOUT);
  HANDLE created = createEvent(L"TesmiraOtherEvent.v1", kFrameReadyEventSddl);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(WaitForSingleObject(created, 0), WAIT_TIMEOUT);
  HANDLE global = OpenEventW(SYNCHRONIZE, FALSE, L"Global\\TesmiraOtherEvent.v1");
  EXPECT_NE(global, nullptr);
  for (HANDLE h : {local, joined, created, global}) {
    if (h) CloseHandle(h);
  }
}

TEST(ChannelHandle, IsMoveOnly) {
  static_assert(!std::is_copy_constructible_v<MappedChannel>);
  static_assert(!std::is_copy_assignable_v<MappedChannel>);
  static_assert(std::is_nothrow_move_constructible_v<MappedChannel>);
  static_assert(std::is_nothrow_move_assignable_v<MappedChannel>);
}

TEST_F(ChannelTest, MovedFromHandleClosesNothingAndTheTargetReleasesWhatItHeld) {
  MappedChannel first = openOrCreateChannel(kName, kBytes);
  ASSERT_NE(first.view, nullptr);
  *first.as<uint32_t>() = kMarker;
  const HANDLE handle = first.mapping;

  MappedChannel second(std::move(first));
  EXPECT_EQ(first.mapping, nullptr);
  EXPECT_EQ(first.view, nullptr);
  first.close();  // closes nothing: the handle now belongs to `second`
  first.close();
  EXPECT_EQ(second.mapping, handle);
  EXPECT_EQ(*second.as<uint32_t>(), kMarker);
  {
    // Still open by name while `second` holds it.
    MappedChannel again = openExistingChannel(kName, FILE_MAP_READ, kBytes);
    ASSERT_NE(again.view, nullptr);
    EXPECT_EQ(*again.as<uint32_t>(), kMarker);
  }

  // Assigning over a held channel releases the old one: its name no longer opens.
  second = openOrCreateChannel(L"TesmiraAnotherChannel.v1", kBytes);
  ASSERT_NE(second.view, nullptr);
  EXPECT_EQ(openExistingChannel(kName, FILE_MAP_READ, kBytes).view, nullptr);

  MappedChannel third;
  third = std::move(second);
  third = std::move(third);  // self-move keeps the channel
  EXPECT_NE(third.view, nullptr);
  closeMapping(third);
  EXPECT_EQ(third.view, nullptr);
  EXPECT_EQ(openExistingChannel(L"TesmiraAnotherChannel.v1", FILE_MAP_READ, kBytes).view, nullptr);
}

TEST(ChannelHeader, AcceptsOnlyTheCurrentMagicAndVersionOverTheWholeBlock) {
  const VcamControlBlock good = freshVcamControlBlock();
  struct Row {
    const char* name;
    uint32_t magic, version;
    size_t bytes;
    bool expected;
  } rows[] = {
      {"current", kVcamControlMagic, kVcamControlVersion, sizeof(VcamControlBlock), true},
      {"longer view", kVcamControlMagic, kVcamControlVersion, sizeof(VcamControlBlock) + 8, true},
      {"bad magic", kVcamControlMagic ^ 1, kVcamControlVersion, sizeof(VcamControlBlock), false},
      {"another channel's magic", kRetouchSettingsMagic, kVcamControlVersion, sizeof(VcamControlBlock), false},
      {"older version", kVcamControlMagic, kVcamControlVersion - 1, sizeof(VcamControlBlock), false},
      {"newer version", kVcamControlMagic, kVcamControlVersion + 1, sizeof(VcamControlBlock), false},
      {"short view", kVcamControlMagic, kVcamControlVersion, sizeof(VcamControlBlock) - 1, false},
      {"header only", kVcamControlMagic, kVcamControlVersion, 8, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<uint8_t> bytes(sizeof(VcamControlBlock) + 8, 0);
    std::memcpy(bytes.data(), &good, sizeof good);
    std::memcpy(bytes.data(), &row.magic, 4);
    std::memcpy(bytes.data() + 4, &row.version, 4);
    EXPECT_EQ(hasCurrentHeader<VcamControlBlock>(bytes.data(), row.bytes), row.expected);
    if (row.bytes >= sizeof(VcamControlBlock)) {
      EXPECT_EQ(hasCurrentHeader(*reinterpret_cast<const VcamControlBlock*>(bytes.data())), row.expected);
    }
  }
  EXPECT_FALSE(hasCurrentHeader<VcamControlBlock>(nullptr, sizeof(VcamControlBlock)));
}

// Every window on the frozen test clock: a tick exactly the window old counts, one
// millisecond older does not; zero and ticks from the future never count.
TEST_F(ChannelTest, FreshnessBoundariesOnTheTestClock) {
  platform::testclock::freeze();
  platform::testclock::advanceMs(10000);
  for (uint64_t window : {uint64_t(2500), uint64_t(3000), uint64_t(5000)}) {
    SCOPED_TRACE(window);
    const uint64_t stamped = GetTickCount64();
    const uint64_t future = stamped + 1;
    EXPECT_TRUE(tickIsFresh(stamped, GetTickCount64(), window));
    EXPECT_FALSE(tickIsFresh(future, GetTickCount64(), window));
    EXPECT_FALSE(tickIsFresh(0, GetTickCount64(), window));
    platform::testclock::advanceMs(window);
    EXPECT_TRUE(tickIsFresh(stamped, GetTickCount64(), window));
    EXPECT_TRUE(tickIsFresh(future, GetTickCount64(), window));
    platform::testclock::advanceMs(1);
    EXPECT_FALSE(tickIsFresh(stamped, GetTickCount64(), window));
    EXPECT_TRUE(tickIsFresh(future, GetTickCount64(), window));
  }
  // A clock reading near the top of the range does not wrap a future tick into the window.
  EXPECT_FALSE(tickIsFresh(UINT64_MAX, 5, 3000));
}

}  // namespace
}  // namespace tesmira
