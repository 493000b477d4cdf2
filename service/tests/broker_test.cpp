#include "service/broker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/channel.h"
#include "common/channels.h"
#include "common/file_log.h"
#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const char* hex) {
  Bytes out;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) out.push_back(uint8_t(std::stoul(std::string(hex + i, 2), nullptr, 16)));
  return out;
}

template <class Block>
Bytes bytesOf(const Block& block) {
  Bytes out(sizeof(Block));
  std::memcpy(out.data(), &block, sizeof(Block));
  return out;
}

// The settings seed as it lies in memory, byte for byte.
const char* kSettingsSeedHex =
    "5352535406000000000000000000403f0000803e6666263f6666e63eae47613e"
    "0000803e0000803f000000000000000000000000cdcc0c3f";

enum class Prior { Absent, Zeros, WrongMagic, OlderVersion, ValidWithJunk };
const char* priorName(Prior prior) {
  switch (prior) {
    case Prior::Absent: return "absent";
    case Prior::Zeros: return "zeros";
    case Prior::WrongMagic: return "wrong magic";
    case Prior::OlderVersion: return "older version";
    case Prior::ValidWithJunk: return "valid with junk";
  }
  return "";
}

struct ChannelCase {
  const char* label;
  const wchar_t* name;
  size_t bytes;
  size_t seededBytes;  // the head the seed writes: the whole block, or the frame's 16 bytes
  Bytes seed;
  MappedChannel SharedChannelSet::*channel;
};

std::vector<ChannelCase> channelCases() {
  return {
      {"settings", kRetouchSettingsChannelName, 56, 56, fromHex(kSettingsSeedHex), &SharedChannelSet::settings},
      {"capabilities", kVcamCapabilitiesChannelName, 2068, 2068, bytesOf(freshVcamCapabilitiesBlock()),
       &SharedChannelSet::capabilities},
      {"control", kVcamControlChannelName, 80, 80, bytesOf(freshVcamControlBlock()), &SharedChannelSet::control},
      {"consumers", kVcamConsumersChannelName, 608, 608, bytesOf(freshVcamConsumersBlock()),
       &SharedChannelSet::consumers},
      {"producer status", kProducerStatusChannelName, 40, 40, bytesOf(freshProducerStatusBlock()),
       &SharedChannelSet::producerStatus},
      {"frame", kFrameChannelName, kFrameChannelBytes, 16, fromHex("315653540300000000000000ffffffff"),
       &SharedChannelSet::frame},
  };
}

// The broker runs as the service, which may create Global\ objects.
class BrokerTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    SetEnvironmentVariableW(L"TESMIRA_SERVICE", L"1");
  }
  void TearDown() override {
    closeSharedChannels(set_);
    for (auto& channel : held_) channel.close();
    SetEnvironmentVariableW(L"TESMIRA_SERVICE", nullptr);
    MachineTest::TearDown();
  }

  // An object that another process made first, with `content` at its start.
  void precreate(const wchar_t* name, size_t bytes, const Bytes& content) {
    MappedChannel channel = createChannel(name, bytes, nullptr);
    ASSERT_NE(channel.view, nullptr);
    std::memcpy(channel.view, content.data(), std::min(bytes, content.size()));
    held_.push_back(std::move(channel));
  }
  std::string log() const { return testing::readFile(serviceLogPath()); }

  SharedChannelSet set_;
  std::vector<MappedChannel> held_;
};

// Junk everywhere, then the header that `prior` asks for.
Bytes priorContent(const ChannelCase& c, Prior prior) {
  Bytes content(c.bytes);
  if (prior == Prior::Zeros) return content;
  for (size_t i = 0; i < content.size(); ++i) content[i] = uint8_t(0x5A ^ (i * 7));
  Bytes header(c.seed.begin(), c.seed.begin() + 8);  // magic and version of the seed
  if (prior == Prior::WrongMagic) header[0] ^= 0xFF;
  if (prior == Prior::OlderVersion) header[4] -= 1;
  std::memcpy(content.data(), header.data(), 8);
  return content;
}

TEST_F(BrokerTest, EveryChannelGetsItsSeedUnlessItsHeaderIsCurrent) {
  for (const ChannelCase& c : channelCases()) {
    for (Prior prior : {Prior::Absent, Prior::Zeros, Prior::WrongMagic, Prior::OlderVersion, Prior::ValidWithJunk}) {
      SCOPED_TRACE(std::string(c.label) + " / " + priorName(prior));
      Bytes before = prior == Prior::Absent ? Bytes(c.bytes) : priorContent(c, prior);
      if (prior != Prior::Absent) precreate(c.name, c.bytes, before);

      ASSERT_TRUE(createSharedChannels(set_));
      const auto* view = static_cast<const uint8_t*>((set_.*c.channel).view);
      ASSERT_NE(view, nullptr);
      Bytes expected = before;
      if (prior != Prior::ValidWithJunk) std::memcpy(expected.data(), c.seed.data(), c.seededBytes);
      EXPECT_EQ(Bytes(view, view + c.seededBytes), Bytes(expected.begin(), expected.begin() + c.seededBytes));
      // Whatever the seed does not cover stays as it was (the frame's slots and pixels).
      EXPECT_TRUE(std::memcmp(view + c.seededBytes, expected.data() + c.seededBytes, c.bytes - c.seededBytes) == 0);

      closeSharedChannels(set_);
      for (auto& channel : held_) channel.close();
      held_.clear();
    }
  }
}

TEST_F(BrokerTest, FreshSeedsReadAsTheProductDefaults) {
  ASSERT_TRUE(createSharedChannels(set_));
  const auto* settings = static_cast<const RetouchSettingsBlock*>(set_.settings.view);
  EXPECT_EQ(settings->clearSkin, 0.75f);
  EXPECT_EQ(settings->eyeWhite, 0.22f);
  EXPECT_EQ(settings->perspectiveStrength, 0.55f);
  const auto* control = static_cast<const VcamControlBlock*>(set_.control.view);
  EXPECT_EQ(control->fallbackWidth, 1280u);
  EXPECT_EQ(control->fallbackHeight, 720u);
  EXPECT_EQ(control->fallbackNumerator, 30u);
  EXPECT_EQ(control->fallbackDenominator, 1u);
  EXPECT_NE(log().find("broker: shared IPC objects created, seeded and held"), std::string::npos);
}

TEST_F(BrokerTest, ValidFrameKeepsItsLatestSlotAndAWrongVersionKeepsItsDescriptors) {
  RetouchFrameHeader head{};
  head.magic = kFrameMagic;
  head.version = kFrameVersion;
  head.frameCounter = 41;
  head.latestSlot = 1;
  head.slots[1] = {1280, 720, 1280, kFrameFormatNv12, 1382400, 0, 777};
  struct Row {
    const char* label;
    uint32_t version;
    uint32_t counter;
    uint32_t latest;
  } rows[] = {{"valid", kFrameVersion, 41, 1}, {"wrong version", 2, 0, kNoSlot}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    head.version = row.version;
    precreate(kFrameChannelName, kFrameChannelBytes, bytesOf(head));
    ASSERT_TRUE(createSharedChannels(set_));
    const auto* frame = static_cast<const RetouchFrameHeader*>(set_.frame.view);
    EXPECT_EQ(frame->version, kFrameVersion);
    EXPECT_EQ(frame->frameCounter, row.counter);
    EXPECT_EQ(frame->latestSlot, row.latest);
    EXPECT_EQ(frame->slots[1].width, 1280u);
    EXPECT_EQ(frame->slots[1].qpcTime, 777u);
    closeSharedChannels(set_);
    held_.clear();
  }
}

TEST_F(BrokerTest, ASmallerExistingObjectIsJoinedButNeitherMappedNorSeeded) {
  precreate(kRetouchSettingsChannelName, 16, Bytes(16, 0xAB));
  ASSERT_TRUE(createSharedChannels(set_));
  EXPECT_NE(set_.settings.mapping, nullptr);
  EXPECT_EQ(set_.settings.view, nullptr);
  EXPECT_EQ(Bytes(held_[0].as<uint8_t>(), held_[0].as<uint8_t>() + 16), Bytes(16, 0xAB));
  EXPECT_NE(set_.control.view, nullptr);
}

bool existsUnder(const wchar_t* prefix, const wchar_t* name, bool event) {
  const std::wstring scoped = std::wstring(prefix) + name;
  HANDLE handle = event ? OpenEventW(SYNCHRONIZE, FALSE, scoped.c_str())
                        : OpenFileMappingW(FILE_MAP_READ, FALSE, scoped.c_str());
  if (handle) CloseHandle(handle);
  return handle != nullptr;
}

TEST_F(BrokerTest, GlobalRefusedPutsEveryObjectUnderLocal) {
  const struct {
    const char* label;
    bool refuse;
    const wchar_t* expected;
    const wchar_t* absent;
  } rows[] = {{"service", false, kGlobalPrefix, kLocalPrefix}, {"Global\\ refused", true, kLocalPrefix, kGlobalPrefix}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    if (row.refuse) {
      platform::faults::inject("CreateFileMappingW.Global", ERROR_ACCESS_DENIED);
      platform::faults::inject("CreateEventW.Global", ERROR_ACCESS_DENIED);
    }
    ASSERT_TRUE(createSharedChannels(set_));
    for (const ChannelCase& c : channelCases()) {
      EXPECT_TRUE(existsUnder(row.expected, c.name, false)) << c.label;
      EXPECT_FALSE(existsUnder(row.absent, c.name, false)) << c.label;
    }
    EXPECT_TRUE(existsUnder(row.expected, kFrameReadyEventName, true));
    EXPECT_FALSE(existsUnder(row.absent, kFrameReadyEventName, true));
    closeSharedChannels(set_);
  }
}

TEST_F(BrokerTest, AFailedCreationNamesItsStepLogsItsErrorAndKeepsWhatCameBefore) {
  const struct {
    const char* site;
    const wchar_t* step;
    const char* line;
    int created;  // objects in creation order made before the failure
  } rows[] = {
      {"CreateFileMappingW:TesmiraVcamCapabilities.v1", L"create capabilities mapping",
       "broker: failed to create capabilities mapping: 8", 0},
      {"CreateFileMappingW:TesmiraRetouchSettings.v6", L"create settings mapping",
       "broker: failed to create settings mapping: 8", 1},
      {"CreateFileMappingW:TesmiraVcamControl.v2", L"create control mapping",
       "broker: failed to create control mapping: 8", 2},
      {"CreateFileMappingW:TesmiraRetouchFrame.v3", L"create frame mapping", "broker: failed to create frame mapping: 8",
       3},
      {"CreateFileMappingW:TesmiraVcamConsumers.v1", L"create consumers mapping",
       "broker: failed to create consumers mapping: 8", 4},
      {"CreateFileMappingW:TesmiraProducerStatus.v1", L"create producer-status mapping",
       "broker: failed to create producer-status mapping: 8", 5},
      {"CreateEventW:TesmiraRetouchFrameReady.v3", L"create frame-ready event",
       "broker: failed to create frame-ready event: 8", 6},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.site);
    platform::faults::inject(row.site, ERROR_NOT_ENOUGH_MEMORY);
    SharedChannelSet set;
    EXPECT_FALSE(createSharedChannels(set));
    EXPECT_EQ(set.failedStep, row.step);
    EXPECT_NE(log().find(row.line), std::string::npos) << log();
    const HANDLE inOrder[] = {set.capabilities.mapping, set.settings.mapping,  set.control.mapping,
                              set.frame.mapping,        set.consumers.mapping, set.producerStatus.mapping,
                              set.frameReadyEvent};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(inOrder[i] != nullptr, i < row.created) << i;
    // Nothing is mapped or seeded before every object exists.
    EXPECT_EQ(set.settings.view, nullptr);
    EXPECT_EQ(set.frame.view, nullptr);

    closeSharedChannels(set);
    for (HANDLE handle : {set.capabilities.mapping, set.settings.mapping, set.control.mapping, set.frame.mapping,
                          set.consumers.mapping, set.producerStatus.mapping, set.frameReadyEvent}) {
      EXPECT_EQ(handle, nullptr);
    }
    // The partial set's objects are gone with their last handle.
    EXPECT_FALSE(existsUnder(kGlobalPrefix, kVcamCapabilitiesChannelName, false));
    platform::faults::clearAll();
  }
}

TEST_F(BrokerTest, ASecondBrokerJoinsTheLiveChannelsWithoutReseeding) {
  ASSERT_TRUE(createSharedChannels(set_));
  auto* settings = static_cast<RetouchSettingsBlock*>(set_.settings.view);
  settings->clearSkin = 0.1f;
  static_cast<RetouchFrameHeader*>(set_.frame.view)->latestSlot = 0;

  SharedChannelSet second;
  ASSERT_TRUE(createSharedChannels(second));
  EXPECT_EQ(static_cast<const RetouchSettingsBlock*>(second.settings.view)->clearSkin, 0.1f);
  EXPECT_EQ(static_cast<const RetouchFrameHeader*>(second.frame.view)->latestSlot, 0u);
  closeSharedChannels(second);
  // The first set still holds them.
  EXPECT_TRUE(existsUnder(kGlobalPrefix, kRetouchSettingsChannelName, false));
}

}  // namespace
}  // namespace tesmira
