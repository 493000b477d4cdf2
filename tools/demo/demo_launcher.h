#pragma once
// The demo's launcher step: the administrator's window on the demo's X display (Xvfb),
// from a folder holding the producer beside the media source module. It registers,
// starts the producer while the application reads "Tesmira", stops it, and leaves
// launcher.png.
#include <filesystem>
#include <functional>
#include <string>

namespace tesmira::demo {

struct LauncherStep {
  std::filesystem::path launcher, producer, mediaSource;
  std::filesystem::path output;  // the demo's output folder
  // Fills a folder with what the producer checks for at start (the demo's data folder).
  std::function<void(const std::filesystem::path&)> makeDataFolder;
};

// What happened, for the summary (several lines); a first line "launcher: ..." always.
std::string runLauncherStep(const LauncherStep& step);

}  // namespace tesmira::demo
