// tesmira_framesvr: plays the frame server and an application against a media
// source module and reports (and optionally saves) what it receives.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/channels.h"
#include "tools/framesvr/framesvr.h"

namespace {

constexpr GUID kTesmiraClsid = {0xFB0AFEDC, 0x9B71, 0x404F, {0x81, 0x54, 0x36, 0xCC, 0x0E, 0xF0, 0xA5, 0x50}};

const char* kUsage =
    "usage: tesmira_framesvr --module PATH [--clsid {GUID}] [--format nv12|rgb32]\n"
    "                        [--width W] [--height H] [--frames N] [--png-dir DIR] [--png-every K]\n"
    "Loads the module, activates its media source as the frame server does, starts the\n"
    "stream in the first offered format that matches and requests N samples (default 30),\n"
    "saving every K-th one (default every one) as DIR/frame-NNNN.png.\n";

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

int main(int argc, char** argv) {
  using namespace tesmira::framesvr;
  std::filesystem::path module, pngDir;
  CLSID clsid = kTesmiraClsid;
  VideoFormat wanted;
  long frames = 30, pngEvery = 1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n%s", arg.c_str(), kUsage);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--module") module = value();
    else if (arg == "--clsid") {
      std::string text = value();
      if (FAILED(CLSIDFromString(std::wstring(text.begin(), text.end()).c_str(), &clsid))) {
        std::fprintf(stderr, "bad class id %s\n", text.c_str());
        return 2;
      }
    } else if (arg == "--format") {
      if (!parseSubtype(value(), wanted.subtype)) {
        std::fprintf(stderr, "format must be nv12 or rgb32\n");
        return 2;
      }
    } else if (arg == "--width") wanted.width = uint32_t(std::strtoul(value().c_str(), nullptr, 10));
    else if (arg == "--height") wanted.height = uint32_t(std::strtoul(value().c_str(), nullptr, 10));
    else if (arg == "--frames") frames = std::strtol(value().c_str(), nullptr, 10);
    else if (arg == "--png-dir") pngDir = value();
    else if (arg == "--png-every") pngEvery = std::max(1L, std::strtol(value().c_str(), nullptr, 10));
    else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "unknown argument %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (module.empty() || frames < 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!pngDir.empty()) std::filesystem::create_directories(pngDir);

  FrameServerHarness harness;
  HRESULT hr = harness.load(module, clsid);
  if (SUCCEEDED(hr)) hr = harness.activate();
  if (FAILED(hr)) {
    std::fprintf(stderr, "activation failed: 0x%08X\n", unsigned(hr));
    return 1;
  }
  for (const auto& f : harness.formats()) std::printf("offered %s\n", narrow(formatText(f)).c_str());
  hr = harness.start(wanted);
  if (FAILED(hr)) {
    std::fprintf(stderr, "start failed: 0x%08X\n", unsigned(hr));
    return 1;
  }
  LONGLONG first = 0, last = 0;
  for (long n = 0; n < frames; ++n) {
    ReceivedSample sample;
    hr = harness.requestSample(sample);
    if (FAILED(hr)) {
      std::fprintf(stderr, "sample %ld failed: 0x%08X\n", n, unsigned(hr));
      return 1;
    }
    if (n == 0) {
      first = sample.time;
      std::printf("format %s, %zu bytes per sample\n", narrow(formatText(sample.format)).c_str(), sample.bytes.size());
    }
    last = sample.time;
    if (!pngDir.empty() && n % pngEvery == 0) {
      char name[32];
      std::snprintf(name, sizeof(name), "frame-%04ld.png", n);
      if (!writeSamplePng(sample, pngDir / name)) std::fprintf(stderr, "could not write %s\n", name);
    }
  }
  double seconds = double(last - first) / 1e7;
  std::printf("received %ld samples in %.3f s\n", frames, seconds);
  harness.stop();
  harness.shutdown();
  return 0;
}
