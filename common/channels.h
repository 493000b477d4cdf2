#pragma once
// The shared-memory channels through which the deliverables meet. Every field
// is little-endian; every offset and size is checked below.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tesmira {

// Each channel name is tried with "Global\" first, then "Local\".
inline constexpr const wchar_t* kGlobalPrefix = L"Global\\";
inline constexpr const wchar_t* kLocalPrefix = L"Local\\";
inline constexpr const wchar_t* kChannelSddl =
    L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;LS)(A;;GRGW;;;BU)(A;;GRGW;;;IU)";
inline constexpr const wchar_t* kFrameReadyEventSddl =
    L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;LS)(A;;GA;;;BU)(A;;GA;;;IU)";

// Multi-character constant "ABCD" as the compiler stores it: 'A' is the highest byte.
constexpr uint32_t fourCC(char a, char b, char c, char d) {
  return (uint32_t(uint8_t(a)) << 24) | (uint32_t(uint8_t(b)) << 16) | (uint32_t(uint8_t(c)) << 8) | uint32_t(uint8_t(d));
}

// A capture mode: the capabilities channel lists them, the control channel requests one.
struct CameraCapability {
  uint32_t width;
  uint32_t height;
  uint32_t fpsNumerator;
  uint32_t fpsDenominator;
};
static_assert(sizeof(CameraCapability) == 16);
static_assert(offsetof(CameraCapability, width) == 0);
static_assert(offsetof(CameraCapability, height) == 4);
static_assert(offsetof(CameraCapability, fpsNumerator) == 8);
static_assert(offsetof(CameraCapability, fpsDenominator) == 12);

// What is captured and served when nothing asks for another mode.
inline constexpr CameraCapability kDefaultCaptureMode{1280, 720, 30, 1};

// The magic, version and size of each channel, given beside its layout below; the
// header check of common/channel.h goes by these.
template <class Block>
struct ChannelLayout;
template <uint32_t Magic, uint32_t Version, size_t Bytes>
struct ChannelHeader {
  static constexpr uint32_t magic = Magic;
  static constexpr uint32_t version = Version;
  static constexpr size_t bytes = Bytes;
};

// A block with its magic and version and every other byte zero: the seed of most channels.
template <class Block>
constexpr Block blockWithHeader() {
  Block block{};
  block.magic = ChannelLayout<Block>::magic;
  block.version = ChannelLayout<Block>::version;
  return block;
}

// ---- TesmiraRetouchFrame.v3 and TesmiraRetouchFrameReady.v3 ----------------
inline constexpr const wchar_t* kFrameChannelName = L"TesmiraRetouchFrame.v3";
inline constexpr const wchar_t* kFrameReadyEventName = L"TesmiraRetouchFrameReady.v3";
inline constexpr uint32_t kFrameMagic = fourCC('T', 'S', 'V', '1');
static_assert(kFrameMagic == 0x54535631);
inline constexpr uint32_t kFrameVersion = 3;
inline constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
inline constexpr uint32_t kFrameFormatNv12 = 2;
inline constexpr uint32_t kMaxFrameDimension = 1920;
inline constexpr uint64_t kMaxFramePixels = 2073600;  // 1920x1080 or 1080x1920
inline constexpr uint32_t kFrameSlotBytes = 3110400;  // 1920x1080 NV12

struct RetouchFrameSlot {
  uint32_t width;
  uint32_t height;
  uint32_t stride;
  uint32_t format;
  uint32_t dataSize;
  uint32_t reserved;
  uint64_t qpcTime;
};
static_assert(sizeof(RetouchFrameSlot) == 32);
static_assert(offsetof(RetouchFrameSlot, width) == 0);
static_assert(offsetof(RetouchFrameSlot, height) == 4);
static_assert(offsetof(RetouchFrameSlot, stride) == 8);
static_assert(offsetof(RetouchFrameSlot, format) == 12);
static_assert(offsetof(RetouchFrameSlot, dataSize) == 16);
static_assert(offsetof(RetouchFrameSlot, reserved) == 20);
static_assert(offsetof(RetouchFrameSlot, qpcTime) == 24);

struct RetouchFrameHeader {
  uint32_t magic;
  uint32_t version;
  uint32_t frameCounter;
  uint32_t latestSlot;
  RetouchFrameSlot slots[2];
};
static_assert(sizeof(RetouchFrameHeader) == 80);
static_assert(offsetof(RetouchFrameHeader, magic) == 0);
static_assert(offsetof(RetouchFrameHeader, version) == 4);
static_assert(offsetof(RetouchFrameHeader, frameCounter) == 8);
static_assert(offsetof(RetouchFrameHeader, latestSlot) == 12);
static_assert(offsetof(RetouchFrameHeader, slots) == 16);
static_assert(offsetof(RetouchFrameHeader, slots) + sizeof(RetouchFrameSlot) == 48);

inline constexpr size_t kFrameHeaderBytes = sizeof(RetouchFrameHeader);
inline constexpr size_t kFrameChannelBytes = kFrameHeaderBytes + 2 * size_t(kFrameSlotBytes);
static_assert(kFrameChannelBytes == 6220880);
constexpr size_t frameSlotDataOffset(uint32_t slot) { return kFrameHeaderBytes + size_t(slot) * kFrameSlotBytes; }
static_assert(frameSlotDataOffset(1) == 3110480);

template <>
struct ChannelLayout<RetouchFrameHeader> : ChannelHeader<kFrameMagic, kFrameVersion, kFrameChannelBytes> {};

// The seed of the frame channel's head, written over whatever it held: no slot is
// published afterwards. The slot descriptors and data are left as they are.
inline void seedFrameHeader(RetouchFrameHeader& header) {
  header.magic = kFrameMagic;
  header.version = kFrameVersion;
  header.frameCounter = 0;
  std::atomic_ref<uint32_t>(header.latestSlot).exchange(kNoSlot);
}

// ---- TesmiraProducerStatus.v1 ------------------------------------------------
inline constexpr const wchar_t* kProducerStatusChannelName = L"TesmiraProducerStatus.v1";
inline constexpr uint32_t kProducerStatusMagic = fourCC('T', 'S', 'P', 'S');
static_assert(kProducerStatusMagic == 0x54535053);
inline constexpr uint32_t kProducerStatusVersion = 1;

enum ProducerState : uint32_t {
  kProducerStateNone = 0,
  kProducerStateStarting = 1,
  kProducerStateLive = 2,
  kProducerStateNoCamera = 4,
  kProducerStateCameraPermissionDenied = 5,
  kProducerStateCameraBusy = 6,
  kProducerStateCaptureFailure = 7,
  kProducerStateModelFailure = 8,
};

struct ProducerStatusBlock {
  uint32_t magic;
  uint32_t version;
  uint32_t state;
  uint32_t hr;
  uint32_t detail;
  uint32_t producerPid;
  uint64_t heartbeat;
  uint32_t sequence;
  uint32_t padding;
};
static_assert(sizeof(ProducerStatusBlock) == 40);
static_assert(offsetof(ProducerStatusBlock, magic) == 0);
static_assert(offsetof(ProducerStatusBlock, version) == 4);
static_assert(offsetof(ProducerStatusBlock, state) == 8);
static_assert(offsetof(ProducerStatusBlock, hr) == 12);
static_assert(offsetof(ProducerStatusBlock, detail) == 16);
static_assert(offsetof(ProducerStatusBlock, producerPid) == 20);
static_assert(offsetof(ProducerStatusBlock, heartbeat) == 24);
static_assert(offsetof(ProducerStatusBlock, sequence) == 32);
static_assert(offsetof(ProducerStatusBlock, padding) == 36);

template <>
struct ChannelLayout<ProducerStatusBlock>
    : ChannelHeader<kProducerStatusMagic, kProducerStatusVersion, sizeof(ProducerStatusBlock)> {};

// The seed: magic, version, state none and every other byte zero.
constexpr ProducerStatusBlock freshProducerStatusBlock() { return blockWithHeader<ProducerStatusBlock>(); }

// ---- TesmiraRetouchSettings.v6 -----------------------------------------------
inline constexpr const wchar_t* kRetouchSettingsChannelName = L"TesmiraRetouchSettings.v6";
inline constexpr uint32_t kRetouchSettingsMagic = fourCC('T', 'S', 'R', 'S');
static_assert(kRetouchSettingsMagic == 0x54535253);
inline constexpr uint32_t kRetouchSettingsVersion = 6;

struct RetouchSettingsBlock {
  uint32_t magic;
  uint32_t version;
  uint32_t ownerFlag;
  float clearSkin;
  float eyeBags;
  float wrinkles;
  float teeth;
  float eyeWhite;
  float eyeSharp;
  float gain;
  uint32_t maskBypass;
  float sharpen;
  int32_t tone;
  float perspectiveStrength;
};
static_assert(sizeof(RetouchSettingsBlock) == 56);
static_assert(offsetof(RetouchSettingsBlock, magic) == 0);
static_assert(offsetof(RetouchSettingsBlock, version) == 4);
static_assert(offsetof(RetouchSettingsBlock, ownerFlag) == 8);
static_assert(offsetof(RetouchSettingsBlock, clearSkin) == 12);
static_assert(offsetof(RetouchSettingsBlock, eyeBags) == 16);
static_assert(offsetof(RetouchSettingsBlock, wrinkles) == 20);
static_assert(offsetof(RetouchSettingsBlock, teeth) == 24);
static_assert(offsetof(RetouchSettingsBlock, eyeWhite) == 28);
static_assert(offsetof(RetouchSettingsBlock, eyeSharp) == 32);
static_assert(offsetof(RetouchSettingsBlock, gain) == 36);
static_assert(offsetof(RetouchSettingsBlock, maskBypass) == 40);
static_assert(offsetof(RetouchSettingsBlock, sharpen) == 44);
static_assert(offsetof(RetouchSettingsBlock, tone) == 48);
static_assert(offsetof(RetouchSettingsBlock, perspectiveStrength) == 52);

template <>
struct ChannelLayout<RetouchSettingsBlock>
    : ChannelHeader<kRetouchSettingsMagic, kRetouchSettingsVersion, sizeof(RetouchSettingsBlock)> {};

// The seed: no outside owner and the product's default strengths.
constexpr RetouchSettingsBlock freshRetouchSettingsBlock() {
  return RetouchSettingsBlock{kRetouchSettingsMagic, kRetouchSettingsVersion, 0, 0.75f, 0.25f, 0.65f, 0.45f,
                              0.22f, 0.25f, 1.0f, 0, 0.0f, 0, 0.55f};
}

// ---- TesmiraVcamControl.v2 ---------------------------------------------------
inline constexpr const wchar_t* kVcamControlChannelName = L"TesmiraVcamControl.v2";
inline constexpr uint32_t kVcamControlMagic = fourCC('T', 'S', 'V', 'C');
static_assert(kVcamControlMagic == 0x54535643);
inline constexpr uint32_t kVcamControlVersion = 2;

struct VcamControlBlock {
  uint32_t magic;
  uint32_t version;
  uint32_t sequence;
  uint32_t cameraIndex;
  uint64_t requestTick;
  uint64_t streamStartTick;
  uint32_t width;
  uint32_t height;
  uint32_t fpsNumerator;
  uint32_t fpsDenominator;
  uint64_t formatTick;
  uint32_t fallbackWidth;
  uint32_t fallbackHeight;
  uint32_t fallbackNumerator;
  uint32_t fallbackDenominator;
  uint64_t previewTick;
};
static_assert(sizeof(VcamControlBlock) == 80);
static_assert(offsetof(VcamControlBlock, magic) == 0);
static_assert(offsetof(VcamControlBlock, version) == 4);
static_assert(offsetof(VcamControlBlock, sequence) == 8);
static_assert(offsetof(VcamControlBlock, cameraIndex) == 12);
static_assert(offsetof(VcamControlBlock, requestTick) == 16);
static_assert(offsetof(VcamControlBlock, streamStartTick) == 24);
static_assert(offsetof(VcamControlBlock, width) == 32);
static_assert(offsetof(VcamControlBlock, height) == 36);
static_assert(offsetof(VcamControlBlock, fpsNumerator) == 40);
static_assert(offsetof(VcamControlBlock, fpsDenominator) == 44);
static_assert(offsetof(VcamControlBlock, formatTick) == 48);
static_assert(offsetof(VcamControlBlock, fallbackWidth) == 56);
static_assert(offsetof(VcamControlBlock, fallbackHeight) == 60);
static_assert(offsetof(VcamControlBlock, fallbackNumerator) == 64);
static_assert(offsetof(VcamControlBlock, fallbackDenominator) == 68);
static_assert(offsetof(VcamControlBlock, previewTick) == 72);

template <>
struct ChannelLayout<VcamControlBlock>
    : ChannelHeader<kVcamControlMagic, kVcamControlVersion, sizeof(VcamControlBlock)> {};

// The seed: every tick and the requested format zero, the fallback the default mode.
constexpr VcamControlBlock freshVcamControlBlock() {
  VcamControlBlock block = blockWithHeader<VcamControlBlock>();
  block.fallbackWidth = kDefaultCaptureMode.width;
  block.fallbackHeight = kDefaultCaptureMode.height;
  block.fallbackNumerator = kDefaultCaptureMode.fpsNumerator;
  block.fallbackDenominator = kDefaultCaptureMode.fpsDenominator;
  return block;
}

// ---- TesmiraVcamConsumers.v1 -------------------------------------------------
inline constexpr const wchar_t* kVcamConsumersChannelName = L"TesmiraVcamConsumers.v1";
inline constexpr uint32_t kVcamConsumersMagic = fourCC('T', 'S', 'C', 'O');
static_assert(kVcamConsumersMagic == 0x5453434F);
inline constexpr uint32_t kVcamConsumersVersion = 1;
inline constexpr uint32_t kMaxVcamConsumers = 4;

struct VcamConsumerEntry {
  char16_t displayName[32];  // UTF-16, at most 31 units, zero-terminated
  char key[64];              // ASCII, at most 63 characters, zero-terminated
  uint32_t packaged;
  uint32_t padding;
  uint64_t lastUsed;  // FILETIME units
};
static_assert(sizeof(VcamConsumerEntry) == 144);
static_assert(offsetof(VcamConsumerEntry, displayName) == 0);
static_assert(offsetof(VcamConsumerEntry, key) == 64);
static_assert(offsetof(VcamConsumerEntry, packaged) == 128);
static_assert(offsetof(VcamConsumerEntry, padding) == 132);
static_assert(offsetof(VcamConsumerEntry, lastUsed) == 136);

struct VcamConsumersBlock {
  uint32_t magic;
  uint32_t version;
  uint32_t count;
  uint32_t padding;
  uint64_t tick;
  VcamConsumerEntry entries[kMaxVcamConsumers];
  uint32_t sequence;
  uint32_t padding2;
};
static_assert(sizeof(VcamConsumersBlock) == 608);
static_assert(offsetof(VcamConsumersBlock, count) == 8);
static_assert(offsetof(VcamConsumersBlock, padding) == 12);
static_assert(offsetof(VcamConsumersBlock, tick) == 16);
static_assert(offsetof(VcamConsumersBlock, entries) == 24);
static_assert(offsetof(VcamConsumersBlock, sequence) == 600);
static_assert(offsetof(VcamConsumersBlock, padding2) == 604);

template <>
struct ChannelLayout<VcamConsumersBlock>
    : ChannelHeader<kVcamConsumersMagic, kVcamConsumersVersion, sizeof(VcamConsumersBlock)> {};

// The seed: magic, version, no consumer and every other byte zero.
constexpr VcamConsumersBlock freshVcamConsumersBlock() { return blockWithHeader<VcamConsumersBlock>(); }

// ---- TesmiraVcamCapabilities.v1 ----------------------------------------------
inline constexpr const wchar_t* kVcamCapabilitiesChannelName = L"TesmiraVcamCapabilities.v1";
inline constexpr uint32_t kVcamCapabilitiesMagic = fourCC('T', 'S', 'V', 'P');
static_assert(kVcamCapabilitiesMagic == 0x54535650);
inline constexpr uint32_t kVcamCapabilitiesVersion = 1;
inline constexpr uint32_t kMaxCameraCapabilities = 128;


struct VcamCapabilitiesBlock {
  uint32_t magic;
  uint32_t version;
  uint32_t cameraIndex;
  uint32_t count;
  CameraCapability entries[kMaxCameraCapabilities];
  uint32_t sequence;
};
static_assert(sizeof(VcamCapabilitiesBlock) == 2068);
static_assert(offsetof(VcamCapabilitiesBlock, cameraIndex) == 8);
static_assert(offsetof(VcamCapabilitiesBlock, count) == 12);
static_assert(offsetof(VcamCapabilitiesBlock, entries) == 16);
static_assert(offsetof(VcamCapabilitiesBlock, sequence) == 2064);

template <>
struct ChannelLayout<VcamCapabilitiesBlock>
    : ChannelHeader<kVcamCapabilitiesMagic, kVcamCapabilitiesVersion, sizeof(VcamCapabilitiesBlock)> {};

// The seed: magic, version, camera 0, no entry and every other byte zero.
constexpr VcamCapabilitiesBlock freshVcamCapabilitiesBlock() { return blockWithHeader<VcamCapabilitiesBlock>(); }

}  // namespace tesmira
