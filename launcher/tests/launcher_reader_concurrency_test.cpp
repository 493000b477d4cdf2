// The reader thread hands lines and the producer's end to the window thread.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "launcher/tests/launcher_doubles.h"

namespace tesmira::launcher {
namespace {

using testing::FakeProcess;
using testing::FakeSystem;
using testing::FakeView;

struct Launcher {
  FakeView view;
  FakeSystem system;
  LauncherController controller{view, system, L"/opt/tesmira"};

  Launcher() { system.files = {std::filesystem::path(L"/opt/tesmira") / kProducerExeName}; }
};

TEST(LauncherReaderConcurrencyTest, LinesWrittenWhileTheWindowPumpsArriveInOrderThenTheEnd) {
  Launcher l;
  l.controller.onCommand(kIdStart);
  ASSERT_TRUE(l.controller.running());
  std::vector<std::wstring> expected;
  std::string bytes;
  for (int i = 0; i < 2000; ++i) {
    const std::string line = "stats " + std::to_string(i) + std::string(size_t(i % 97), '.');
    bytes += line + (i % 3 ? "\n" : "\r\n");
    expected.push_back(std::wstring(line.begin(), line.end()));
  }
  std::thread producer([&] {
    // Uneven writes, so lines straddle the reader's 4096-byte chunks.
    for (size_t at = 0; at < bytes.size();) {
      const size_t n = std::min(bytes.size() - at, size_t(1 + (at * 7919) % 6000));
      FakeProcess::write(*l.system.producer, bytes.substr(at, n));
      at += n;
    }
    FakeProcess::end(*l.system.producer);
  });
  ASSERT_TRUE(l.view.pumpUntilExited(l.controller, std::chrono::seconds(20)));
  producer.join();
  auto lines = l.view.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), L"Producer stopped.");
  lines.pop_back();
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::wstring>(lines.end() - long(expected.size()), lines.end()), expected);
  EXPECT_FALSE(l.controller.running());
  EXPECT_TRUE(l.view.startEnabled);
}

TEST(LauncherReaderConcurrencyTest, StopAndCloseWhileOutputStreams) {
  for (bool closeInstead : {false, true}) {
    Launcher l;
    l.controller.onCommand(kIdStart);
    std::atomic<bool> stop{false};
    auto shared = l.system.producer;
    std::thread producer([&] {
      for (int i = 0; !stop.load(); ++i) FakeProcess::write(*shared, "line " + std::to_string(i) + "\n");
    });
    l.view.pump(l.controller);
    if (closeInstead) {
      l.controller.onClose();
    } else {
      l.controller.onCommand(kIdStop);
      EXPECT_TRUE(l.view.pumpUntilExited(l.controller));
      EXPECT_EQ(l.view.lines().back(), L"Producer stopped.");
    }
    stop = true;
    producer.join();
    EXPECT_EQ(shared->terminations, 1) << closeInstead;
  }
}

}  // namespace
}  // namespace tesmira::launcher
