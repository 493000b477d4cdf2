#include "tools/demo/demo_retouch.h"

#include <windows.h>

#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "common/pixel_format.h"
#include "producer/engine/onnx_landmarker.h"
#include "producer/producer_channels.h"
#include "producer/retouch_settings.h"
#include "tools/demo/demo_processes.h"

namespace tesmira::demo {
namespace fs = std::filesystem;
namespace {

constexpr float kStrengths[] = {0.0f, 0.25f, 0.5f, 0.75f, 1.0f};
constexpr int kTileHeight = 180;

struct Face {
  cv::Rect box;           // around the face, in frame pixels
  float mouthRatio = 0;   // lip opening over half the face height
};

// The face in one frame, found afresh (no tracking from another picture).
std::optional<Face> findFace(const RetouchDemoPaths& p, const cv::Mat& frame) {
  const fs::path models = p.data / "models" / "mp_landmarker" / "onnx";
  OnnxLandmarker landmarker(models / "face_detector.onnx", models / "face_landmarks_detector.onnx", kProviderCpu, 0.5f,
                            0.5f);
  const LandmarkResult found = landmarker.detect(frame, 0);
  if (!found.found || found.points.size() < 478) return std::nullopt;
  float minX = 1e9f, minY = 1e9f, maxX = -1e9f, maxY = -1e9f;
  for (const LandmarkPoint& pt : found.points) {
    minX = std::min(minX, pt.x), minY = std::min(minY, pt.y), maxX = std::max(maxX, pt.x), maxY = std::max(maxY, pt.y);
  }
  const float padX = 0.25f * (maxX - minX), padY = 0.2f * (maxY - minY);
  Face face;
  face.box = cv::Rect(cv::Point(int(minX - padX), int(minY - padY)), cv::Point(int(maxX + padX), int(maxY + padY))) &
             cv::Rect(0, 0, frame.cols, frame.rows);
  const auto& pt = found.points;
  const float half = std::max(0.5f * std::fabs(pt[10].y - pt[152].y), 1.0f);
  face.mouthRatio = std::hypot(pt[13].x - pt[14].x, pt[13].y - pt[14].y) / half;
  return face;
}

void writeSettings(ServiceChannels& channels, const RetouchSettings& s) {
  RetouchSettingsBlock* block = channels.settings();
  if (!block) return;
  // An outside writer: the owner flag tells the producer not to seed over it.
  RetouchSettingsBlock b = freshRetouchSettingsBlock();
  b.ownerFlag = 1;
  writeSettingsFields(b, s);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  std::memcpy(static_cast<void*>(block), &b, sizeof b);
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

// The newest frame in the frame channel, as BGR.
cv::Mat newestFrame(const ServiceChannels& channels) {
  const RetouchFrameHeader* header = channels.frame();
  if (!header || header->frameCounter == 0) return {};
  const uint32_t slot = (header->frameCounter - 1) % 2;
  const RetouchFrameSlot d = header->slots[slot];
  const uint64_t rows = nv12Rows(d.height);
  if (d.width == 0 || d.stride < d.width || rows * d.stride > kFrameSlotBytes) return {};
  cv::Mat nv12(int(rows), int(d.width), CV_8UC1);
  const uint8_t* data = channels.frameBytes() + frameSlotDataOffset(slot);
  for (uint64_t row = 0; row < rows; ++row) std::memcpy(nv12.ptr(int(row)), data + row * d.stride, d.width);
  cv::Mat bgr;
  cv::cvtColor(nv12, bgr, cv::COLOR_YUV2BGR_NV12);
  return bgr;
}

// What a still-mode producer publishes for `still` at these settings.
cv::Mat publishedFor(const RetouchDemoPaths& p, ServiceChannels& channels, const fs::path& still,
                     const RetouchSettings& settings) {
  writeSettings(channels, settings);
  channels.frame()->frameCounter = 0;
  Program producer = spawnProgram(p.producer, {L"--camera", L"--still", still.wstring(), L"--headless-frames", L"2",
                                               L"--repo-root", p.data.wstring()});
  if (!producer.process) return {};
  const bool ended = WaitForSingleObject(producer.process, 60000) == WAIT_OBJECT_0;
  DWORD code = 1;
  if (ended) GetExitCodeProcess(producer.process, &code);
  if (!ended) killProgram(producer);
  if (producer.process) CloseHandle(producer.process);
  return code == 0 ? newestFrame(channels) : cv::Mat();
}

cv::Mat labelled(const cv::Mat& image, const std::string& label) {
  cv::Mat out = image.clone();
  cv::putText(out, label, cv::Point(8, 24), cv::FONT_HERSHEY_SIMPLEX, 0.7, cv::Scalar(0, 0, 0), 3, cv::LINE_AA);
  cv::putText(out, label, cv::Point(8, 24), cv::FONT_HERSHEY_SIMPLEX, 0.7, cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
  return out;
}

cv::Mat tile(const cv::Mat& frame, const cv::Rect& box) {
  if (frame.empty()) return cv::Mat(kTileHeight, kTileHeight, CV_8UC3, cv::Scalar(40, 40, 40));
  const cv::Mat face = frame(box & cv::Rect(0, 0, frame.cols, frame.rows));
  cv::Mat out;
  cv::resize(face, out, cv::Size(std::max(1, face.cols * kTileHeight / std::max(face.rows, 1)), kTileHeight), 0, 0,
             cv::INTER_AREA);
  return out;
}

struct SweepRow {
  const char* name;
  void (*apply)(RetouchSettings&, float);
  std::vector<std::pair<float, const char*>> values;  // (value, tile label); empty: the strengths
};

// The Direct3D 11 adapter a compositor would get on this machine, as DXGI describes it.
std::optional<std::string> adapterDescription() {
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 2, D3D11_SDK_VERSION, &device,
                               nullptr, nullptr)))
    return std::nullopt;
  Microsoft::WRL::ComPtr<IDXGIDevice> dxgi;
  Microsoft::WRL::ComPtr<IDXGIAdapter> adapter;
  DXGI_ADAPTER_DESC desc{};
  if (FAILED(device->QueryInterface(IID_PPV_ARGS(&dxgi))) || FAILED(dxgi->GetAdapter(&adapter)) || FAILED(adapter->GetDesc(&desc)))
    return std::string("an adapter without a description");
  std::string name;
  for (const WCHAR* c = desc.Description; *c; ++c) name += *c < 128 ? char(*c) : '?';
  return name;
}

// Each row shows one effect; the others are off (gain 0 leaves the skin as it is).
RetouchSettings quiet() {
  RetouchSettings s;
  s.teeth = 0;
  s.eyeWhite = 0;
  s.eyeSharp = 0;
  return s;
}

// The tone row's tiles: every tone look after natural, labelled with its name.
std::vector<std::pair<float, const char*>> toneLooks() {
  std::vector<std::pair<float, const char*>> looks;
  for (int32_t tone = 1; tone <= kToneCount; ++tone) looks.push_back({float(tone), kToneNames[tone]});
  return looks;
}

const SweepRow kRows[] = {
    {"skin strengths", [](RetouchSettings& s, float v) { s.clearSkin = s.eyeBags = s.wrinkles = v; }},
    {"skin gain", [](RetouchSettings& s, float v) { s.gain = v; }},
    {"eye whitening", [](RetouchSettings& s, float v) { s.gain = 0, s.eyeWhite = v; }},
    {"eye sharpening", [](RetouchSettings& s, float v) { s.gain = 0, s.eyeSharp = v; }},
    {"teeth", [](RetouchSettings& s, float v) { s.gain = 0, s.teeth = v; }},
    {"sharpening", [](RetouchSettings& s, float v) { s.gain = 0, s.sharpen = v; }},
    {"tone looks",
     [](RetouchSettings& s, float v) { s.gain = 0, s.tone = int32_t(v); },
     toneLooks()},
    {"perspective", [](RetouchSettings& s, float v) { s.gain = 0, s.perspectiveStrength = v; }},
};

}  // namespace

std::string runRetouchDemo(const RetouchDemoPaths& p, ServiceChannels& channels) {
  std::ostringstream s;
  const std::optional<std::string> adapter = adapterDescription();
  s << "\nretouch (still-mode producer runs on the data folder, read from the frame channel; "
    << (adapter ? "GPU roads on " + *adapter + ": resident, the paste road while an eye or teeth effect runs"
                : std::string("CPU road: no Direct3D 11 device"))
    << "):\n";
  struct Still {
    std::string name;
    fs::path file;
    cv::Mat image;
    std::optional<Face> face;
  };
  std::vector<Still> stills;
  const cv::Mat picture = cv::imread(p.picture.string(), cv::IMREAD_COLOR);
  if (!picture.empty()) stills.push_back({"picture", p.picture, picture, std::nullopt});
  cv::VideoCapture video(p.video.string());
  for (int index : {30, 90, 150, 210, 270, 330}) {
    cv::Mat frame;
    video.set(cv::CAP_PROP_POS_FRAMES, index);
    if (!video.read(frame) || frame.empty()) continue;
    const fs::path file = p.output / ("video-frame-" + std::to_string(index) + ".png");
    cv::imwrite(file.string(), frame);
    stills.push_back({"video-frame-" + std::to_string(index), file, frame, std::nullopt});
  }
  try {
    for (Still& still : stills) still.face = findFace(p, still.image);
  } catch (const std::exception& error) {
    s << "  the demo's own face finder failed: " << error.what() << "\n";
  }

  // Before and after, at the default settings.
  size_t shown = 0;
  for (const Still& still : stills) {
    if (still.name != "picture" && shown >= 4) break;
    const cv::Mat after = publishedFor(p, channels, still.file, RetouchSettings{});
    if (after.empty()) {
      s << "  " << still.name << ": the producer published nothing\n";
      continue;
    }
    cv::Mat before = still.image;
    if (before.size() != after.size()) cv::resize(before, before, after.size(), 0, 0, cv::INTER_AREA);
    cv::Mat side;
    cv::hconcat(labelled(before, "camera"), labelled(after, "published"), side);
    const std::string name = "before-after-" + still.name + ".png";
    cv::imwrite((p.output / name).string(), side);
    // Against the same road with every effect off, so that the NV12 round trip does not count.
    RetouchSettings off = quiet();
    off.gain = 0;
    const cv::Mat plain = publishedFor(p, channels, still.file, off);
    s << "  " << name;
    if (plain.size() == after.size()) {
      cv::Mat diff;
      cv::absdiff(plain, after, diff);
      s << ": the retouch changed " << cv::countNonZero(diff.reshape(1)) * 100.0 / double(diff.total() * 3)
        << "% of the values, at most " << cv::norm(diff.reshape(1), cv::NORM_INF) << " levels";
    }
    s << (still.face ? "" : " (no face found by the demo)") << "\n";
    ++shown;
  }

  // The sweep: the picture for every row. The teeth row too: the astronaut smiles with her
  // teeth showing, where the video's cartoon face has a dark mouth; without the picture's
  // face it takes the widest open mouth.
  const Still* base = nullptr;
  const Still* mouth = nullptr;
  for (const Still& still : stills) {
    if (!still.face) continue;
    if (!base) base = &still;
    if (still.face->mouthRatio >= 0.03f && (!mouth || still.face->mouthRatio > mouth->face->mouthRatio)) mouth = &still;
  }
  const Still* teethStill = base && base->name == "picture" ? base : mouth;
  if (!base) {
    s << "  sweep: no face found, nothing swept\n";
    return s.str();
  }
  std::vector<cv::Mat> rows;
  double teethChange = 0;
  int teethChanged = 0;
  for (const SweepRow& row : kRows) {
    const bool teeth = std::strcmp(row.name, "teeth") == 0;
    const Still& still = teeth && teethStill ? *teethStill : *base;
    std::vector<cv::Mat> tiles;
    cv::Mat label(kTileHeight, 200, CV_8UC3, cv::Scalar(30, 30, 30));
    cv::putText(label, row.name, cv::Point(8, kTileHeight / 2), cv::FONT_HERSHEY_SIMPLEX, 0.6,
                cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
    tiles.push_back(label);
    std::vector<std::pair<float, std::string>> values;
    for (const auto& [value, name] : row.values) values.emplace_back(value, name);
    for (float strength : kStrengths) {
      if (!row.values.empty()) break;
      std::ostringstream text;
      text << std::setprecision(2) << strength;
      values.emplace_back(strength, text.str());
    }
    std::vector<cv::Mat> raw;
    for (const auto& [value, text] : values) {
      RetouchSettings settings = quiet();
      row.apply(settings, value);
      raw.push_back(tile(publishedFor(p, channels, still.file, settings), still.face->box));
      tiles.push_back(labelled(raw.back(), text));
    }
    if (teeth && raw.size() >= 2 && raw.front().size() == raw.back().size()) {
      // The first strength against the last, so the summary says whether the effect shows.
      cv::Mat diff;
      cv::absdiff(raw.front(), raw.back(), diff);
      teethChange = cv::norm(diff.reshape(1), cv::NORM_INF);
      teethChanged = cv::countNonZero(diff.reshape(1));
    }
    cv::Mat joined;
    cv::hconcat(tiles, joined);
    if (!rows.empty() && joined.cols != rows.front().cols) {
      cv::copyMakeBorder(joined, joined, 0, 0, 0, std::max(0, rows.front().cols - joined.cols), cv::BORDER_CONSTANT);
      joined = joined(cv::Rect(0, 0, rows.front().cols, joined.rows)).clone();
    }
    rows.push_back(joined);
    s << "  sweep row \"" << row.name << "\" on " << still.name;
    if (teeth) {
      s << " (mouth ratio " << still.face->mouthRatio << "; strength 1 against 0: " << teethChanged
        << " values changed, at most " << teethChange << " levels)";
    }
    s << "\n";
  }
  cv::Mat sweep;
  cv::vconcat(rows, sweep);
  cv::imwrite((p.output / "sweep.png").string(), sweep);
  s << "  sweep.png: one row per effect, tiles at strength 0, 0.25, 0.5, 0.75 and 1 (the tone row: its five "
       "looks), written into the settings channel with its owner flag set";
  if (!adapter) s << "; without a Direct3D device sharpening, tone and perspective do not run";
  s << "\n";
  // Leave the channel to the product again.
  writeSettings(channels, RetouchSettings{});
  channels.settings()->ownerFlag = 0;
  return s.str();
}

std::string producerStatisticsSummary(const std::string& producerLog) {
  uint64_t face = 0, retouched = 0, noFace = 0, lines = 0;
  std::vector<std::string> order;
  std::map<std::string, std::pair<double, int>> stages;  // name -> (sum of averages, lines with a count)
  std::istringstream in(producerLog);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find("vcam producer frames=");
    if (at == std::string::npos) continue;
    ++lines;
    std::istringstream words(line.substr(at));
    for (std::string word; words >> word;) {
      const size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
      if (key == "face") face += std::stoull(value);
      else if (key == "retouched") retouched += std::stoull(value);
      else if (key == "no-face") noFace += std::stoull(value);
      else if (const size_t slash = value.find('/'); slash != std::string::npos && key != "timings_ms(avg") {
        const double average = std::stod(value.substr(0, slash));
        if (!stages.count(key)) order.push_back(key);
        auto& [sum, count] = stages[key];
        if (average > 0) {
          sum += average;
          ++count;
        }
      }
    }
  }
  std::ostringstream s;
  s << std::fixed << std::setprecision(2);
  s << "\nproducer statistics lines: " << lines << "; face frames " << face << ", retouched " << retouched
    << ", no-face " << noFace << "\n";
  if (!order.empty()) {
    s << "average stage times (ms, over the lines that timed them):";
    for (const std::string& name : order) {
      const auto& [sum, count] = stages[name];
      s << " " << name << "=" << (count ? sum / count : 0.0);
    }
    s << "\n";
  }
  return s.str();
}

}  // namespace tesmira::demo
