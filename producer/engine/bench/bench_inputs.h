#pragma once
// What the engine benchmarks read: the data folder's models and resources and the face
// picture from the public media, each overridable through the environment.
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "common/environment.h"
#include "producer/engine/data_folder_options.h"
#include "producer/options.h"

namespace tesmira::bench {

inline std::filesystem::path cacheDir() {
  const auto dir = environmentValue(L"TESMIRA_CACHE_DIR");
  return dir ? std::filesystem::path(*dir) : std::filesystem::path(TESMIRA_SOURCE_DIR) / ".cache";
}
inline std::filesystem::path dataDir() {
  const auto dir = environmentValue(L"TESMIRA_DATA_DIR");
  return dir ? std::filesystem::path(*dir) : cacheDir() / "data";
}
inline std::filesystem::path mediaDir() {
  const auto dir = environmentValue(L"TESMIRA_MEDIA_DIR");
  return dir ? std::filesystem::path(*dir) : cacheDir() / "media";
}

// The producer's model, calibration and resource paths in the data folder.
inline ProducerOptions dataFolderOptions() { return tesmira::dataFolderOptions(dataDir()); }

// The face picture scaled to the frame's height, centred with its edges replicated; empty
// when the picture is missing.
inline cv::Mat facePicture(int width, int height) {
  const cv::Mat picture = cv::imread((mediaDir() / "astronaut.png").string(), cv::IMREAD_COLOR);
  if (picture.empty()) return {};
  cv::Mat scaled;
  const double scale = double(height) / picture.rows;
  cv::resize(picture, scaled, cv::Size(), scale, scale, cv::INTER_AREA);
  const int left = std::max(0, (width - scaled.cols) / 2);
  cv::Mat frame;
  cv::copyMakeBorder(scaled, frame, 0, 0, left, std::max(0, width - scaled.cols - left), cv::BORDER_REPLICATE);
  return frame(cv::Rect(0, 0, width, height)).clone();
}

inline double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// The median time of copying `bytes` with memcpy between two buffers already touched:
// what a stage that reads and writes that much memory cannot go below.
inline double memcpyMs(size_t bytes, int repeats = 31) {
  std::vector<unsigned char> from(bytes, 1), to(bytes, 0);
  std::vector<double> ms;
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    std::memcpy(to.data(), from.data(), bytes);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    from[size_t(i) % bytes] = to[(size_t(i) * 7) % bytes];  // keeps the copy from being folded away
  }
  return median(ms);
}

// One row of the stage-against-floor table.
struct FloorRow {
  const char* stage;
  double ms;
  const char* floorName;
  double floorMs;
};

inline void printFloors(const char* title, const std::vector<FloorRow>& rows) {
  std::printf("%s: each stage against its floor (medians, ms)\n", title);
  std::printf("  %-14s %8s  %-34s %8s %7s\n", "stage", "ms", "floor", "ms", "ratio");
  for (const FloorRow& r : rows)
    std::printf("  %-14s %8.2f  %-34s %8.2f %6.1fx\n", r.stage, r.ms, r.floorName, r.floorMs,
                r.floorMs > 0 ? r.ms / r.floorMs : 0.0);
}

}  // namespace tesmira::bench
