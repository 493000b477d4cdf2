#include "common/channels.h"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
}  // namespace tesmira
