#include "common/channels.h"

#include "common/channel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <iterator>
#include <utility>

namespace tesmira {
namespace {

TEST(ChannelLayout, MagicsAreTheDocumentedValues) {
  EXPECT_EQ(kFrameMagic, 0x54535631u);
  EXPECT_EQ(kProducerStatusMagic, 0x54535053u);
  EXPECT_EQ(kRetouchSettingsMagic, 0x54535253u);
  EXPECT_EQ(kVcamControlMagic, 0x54535643u);
  EXPECT_EQ(kVcamConsumersMagic, 0x5453434Fu);
  EXPECT_EQ(kVcamCapabilitiesMagic, 0x54535650u);
}

TEST(ChannelLayout, MagicIsStoredLittleEndian) {
  uint8_t bytes[4];
  std::memcpy(bytes, &kFrameMagic, 4);
  EXPECT_EQ(bytes[0], '1');
  EXPECT_EQ(bytes[3], 'T');
}


// All bytes of a block outside the named ranges are zero.
template <class Block>
bool zeroOutside(const Block& block, std::initializer_list<std::pair<size_t, size_t>> named) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&block);
  for (size_t i = 0; i < sizeof(Block); ++i) {
    bool inNamed = false;
    for (auto [offset, size] : named) inNamed |= i >= offset && i < offset + size;
    if (!inNamed && bytes[i] != 0) return false;
  }
  return true;
}

TEST(ChannelSeeds, EverySeedCarriesItsHeaderAndZerosElsewhere) {
  EXPECT_TRUE(hasCurrentHeader(freshProducerStatusBlock()));
  EXPECT_TRUE(zeroOutside(freshProducerStatusBlock(), {{0, 8}}));
  EXPECT_TRUE(hasCurrentHeader(freshVcamConsumersBlock()));
  EXPECT_TRUE(zeroOutside(freshVcamConsumersBlock(), {{0, 8}}));
  EXPECT_TRUE(hasCurrentHeader(freshVcamCapabilitiesBlock()));
  EXPECT_TRUE(zeroOutside(freshVcamCapabilitiesBlock(), {{0, 8}}));

  const VcamControlBlock control = freshVcamControlBlock();
  EXPECT_TRUE(hasCurrentHeader(control));
  EXPECT_EQ(control.fallbackWidth, 1280u);
  EXPECT_EQ(control.fallbackHeight, 720u);
  EXPECT_EQ(control.fallbackNumerator, 30u);
  EXPECT_EQ(control.fallbackDenominator, 1u);
  EXPECT_TRUE(zeroOutside(control, {{0, 8}, {56, 16}}));

  const RetouchSettingsBlock settings = freshRetouchSettingsBlock();
  EXPECT_TRUE(hasCurrentHeader(settings));
  EXPECT_EQ(settings.ownerFlag, 0u);
  const float strengths[] = {settings.clearSkin, settings.eyeBags, settings.wrinkles, settings.teeth,
                             settings.eyeWhite, settings.eyeSharp, settings.gain, settings.sharpen,
                             settings.perspectiveStrength};
  const float expected[] = {0.75f, 0.25f, 0.65f, 0.45f, 0.22f, 0.25f, 1.0f, 0.0f, 0.55f};
  for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(strengths[i], expected[i]) << i;
  EXPECT_EQ(settings.maskBypass, 0u);
  EXPECT_EQ(settings.tone, 0);
}

TEST(ChannelSeeds, TheFrameSeedUnpublishesAndKeepsTheSlots) {
  RetouchFrameHeader header;
  std::memset(&header, 0xAB, sizeof header);
  seedFrameHeader(header);
  EXPECT_TRUE(hasCurrentHeader(header));
  EXPECT_EQ(header.frameCounter, 0u);
  EXPECT_EQ(header.latestSlot, kNoSlot);
  EXPECT_EQ(header.slots[0].width, 0xABABABABu);
  EXPECT_EQ(header.slots[1].qpcTime, 0xABABABABABABABABull);
}

TEST(ChannelSeeds, TheDefaultCaptureModeIs720pAt30) {
  EXPECT_EQ(kDefaultCaptureMode.width, 1280u);
  EXPECT_EQ(kDefaultCaptureMode.height, 720u);
  EXPECT_EQ(kDefaultCaptureMode.fpsNumerator, 30u);
  EXPECT_EQ(kDefaultCaptureMode.fpsDenominator, 1u);
}

}  // namespace
}  // namespace tesmira
