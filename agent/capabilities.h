#pragma once
// The physical camera's capture modes, reduced to what the virtual camera serves and
// published in the capabilities channel for the media source.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "agent/supervisor.h"
#include "common/channel.h"
#include "common/channels.h"

namespace tesmira::agent {

inline constexpr uint32_t kMaxServedRate = 30;
inline constexpr uint32_t kMaxServedLongSide = 1280;
inline constexpr uint32_t kMaxServedShortSide = 720;
// A reader that fails every index without ever saying MF_E_NO_MORE_TYPES still ends.
inline constexpr uint32_t kMaxConsecutiveTypeFailures = 32;
inline constexpr HRESULT kNoMoreTypes = HRESULT(0xC00D36B9);

// Which camera's modes, when enumeration is wanted.
using CapabilityEnumerator = std::function<std::vector<CameraCapability>(int32_t cameraIndex)>;

struct CapabilityPublication {
  MappedChannel channel;
  int32_t publishedIndex = 0;
  bool published = false;
};

// One native media type as the reader described it; a missing attribute is nullopt.
struct NativeVideoType {
  struct Rate {
    uint32_t numerator = 0;
    uint32_t denominator = 0;
  };
  std::optional<Rate> rate;
  std::optional<Rate> rangeMin;
  std::optional<Rate> rangeMax;
  std::optional<std::pair<uint32_t, uint32_t>> size;
};

// The served list from the native types in the reader's order.
std::vector<CameraCapability> reduceCapabilities(const std::vector<NativeVideoType>& types);

// Media Foundation must be started. Empty when there is no camera at that index or it
// cannot be read.
std::vector<CameraCapability> enumerateCameraCapabilities(int32_t cameraIndex);

// Publishes once per agent lifetime and again when the camera index changes; never
// creates the channel. `enumerate` stands in for enumerateCameraCapabilities in tests.
void publishCapabilities(CapabilityPublication& state, int32_t cameraIndex, LogSink& log,
                         const CapabilityEnumerator& enumerate = enumerateCameraCapabilities);

}  // namespace tesmira::agent
