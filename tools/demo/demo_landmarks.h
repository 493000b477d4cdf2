#pragma once
// The demo's face-tracking step: the producer's data folder is a copy of the built one, and
// the summary counts the frames in which the producer found a face.
#include <filesystem>
#include <string>

namespace tesmira::demo {

// Copies the built data folder (TESMIRA_DATA_DIR, else repo/.cache/data) to `folder`.
// Throws std::runtime_error when it is not built.
std::filesystem::path copyDataFolder(const std::filesystem::path& repo, const std::filesystem::path& folder);

// "face frames: N of M (landmarker: ...)" from the producer's log; its statistics lines
// carry the counts.
std::string faceFramesLine(const std::filesystem::path& producerLog);

}  // namespace tesmira::demo
