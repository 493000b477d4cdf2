#pragma once
// The retouch made visible: camera frames next to what the producer published, a strength
// sweep per effect, and the producer's own counts and stage times.
#include <filesystem>
#include <string>

#include "tools/demo/demo_service.h"

namespace tesmira::demo {

struct RetouchDemoPaths {
  std::filesystem::path producer;  // the producer executable
  std::filesystem::path data;      // the built data folder, the producer's repo root
  std::filesystem::path picture;   // the face picture
  std::filesystem::path video;     // the face video
  std::filesystem::path output;    // where the PNGs go
};

// Runs still-mode producers on the face picture and a few video frames (the channels held,
// no other producer running); writes before-after-*.png and sweep.png into the output and
// returns the summary's lines about them.
std::string runRetouchDemo(const RetouchDemoPaths& paths, ServiceChannels& channels);

// Face, retouched and no-face counts summed over the producer's statistics lines, and each
// stage's average time over the lines that timed it.
std::string producerStatisticsSummary(const std::string& producerLog);

}  // namespace tesmira::demo
