// Writes every status card, as an application receives it (NV12 decoded to
// RGB), at 1280x720 and 1920x1080; also the card that a stream with no
// producer would choose. Usage: tesmira_cards_png [output folder [WxH ...]]
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/pixel_format.h"
#include "tesmira/platform_testing.h"
#include "vcam_source/status_card.h"

namespace {

const char* cardName(tesmira::StatusCard card) {
  switch (card) {
    case tesmira::StatusCard::Starting: return "starting";
    case tesmira::StatusCard::Reconnecting: return "reconnecting";
    case tesmira::StatusCard::NeedsAttention: return "needs-attention";
    case tesmira::StatusCard::NoCamera: return "no-camera";
    case tesmira::StatusCard::NeedsCameraAccess: return "needs-camera-access";
    case tesmira::StatusCard::CameraInUse: return "camera-in-use";
  }
  return "unknown";
}

bool writeCard(const std::filesystem::path& file, const std::vector<uint8_t>& nv12, uint32_t w, uint32_t h) {
  cv::Mat yuv(static_cast<int>(tesmira::nv12Rows(h)), static_cast<int>(w), CV_8UC1, const_cast<uint8_t*>(nv12.data()));
  cv::Mat bgr;
  cv::cvtColor(yuv, bgr, cv::COLOR_YUV2BGR_NV12);
  return cv::imwrite(file.string(), bgr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path out = argc > 1 ? argv[1] : "status-cards";
  std::filesystem::create_directories(out);
  // A machine of its own, so no producer status channel exists.
  const auto machine = std::filesystem::temp_directory_path() / ("tesmira-cards-" + std::to_string(GetCurrentProcessId()));
  tesmira::platform::setMachineRoot(machine.string());

  std::vector<std::pair<uint32_t, uint32_t>> sizes;
  for (int i = 2; i < argc; ++i) {
    unsigned w = 0, h = 0;
    if (std::sscanf(argv[i], "%ux%u", &w, &h) != 2 || w == 0 || h == 0 || w % 2 || h % 2 || w > 7680 || h > 4320) {
      std::fprintf(stderr, "not a size: %s (want an even WxH, at most 7680x4320)\n", argv[i]);
      return 2;
    }
    sizes.emplace_back(w, h);
  }
  if (sizes.empty()) sizes = {{1280, 720}, {1920, 1080}};

  int failures = 0;
  for (auto [w, h] : sizes) {
    tesmira::StatusCardCache cache;
    tesmira::StatusCardSelector noProducer;
    noProducer.onStreamStart(GetTickCount64());
    const tesmira::StatusCard chosen = noProducer.choose(GetTickCount64());
    const auto size = std::to_string(w) + "x" + std::to_string(h);
    const auto chosenFile = out / ("no-producer-" + size + ".png");
    failures += !writeCard(chosenFile, cache.nv12(chosen, w, h), w, h);
    std::printf("%s: %s\n", chosenFile.c_str(), cardName(chosen));
    for (uint32_t value = 0; value <= 5; ++value) {
      const auto card = static_cast<tesmira::StatusCard>(value);
      const auto file = out / (std::string(cardName(card)) + "-" + size + ".png");
      failures += !writeCard(file, cache.nv12(card, w, h), w, h);
      std::printf("%s\n", file.c_str());
    }
  }
  std::filesystem::remove_all(machine);
  return failures == 0 ? 0 : 1;
}
