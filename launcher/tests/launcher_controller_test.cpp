// The launcher's controller without a window: rows, settings, actions and the log pane.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "common/error_text.h"
#include "launcher/tests/launcher_doubles.h"

namespace tesmira::launcher {
namespace {

using testing::FakeProcess;
using testing::FakeSystem;
using testing::FakeView;

const std::filesystem::path kFolder = L"C:\\Program Files\\Tesmira";
const std::wstring kOwnSuffix = L"  [Tesmira \u2014 do not select]";

struct Launcher {
  FakeView view;
  FakeSystem system;
  LauncherController controller{view, system, kFolder};

  Launcher() {
    system.files = {kFolder / kProducerExeName, kFolder / kMediaSourceDllName};
    system.cameras = {{0, L"Integrated Webcam", false}, {1, L"Tesmira", true}, {2, L"USB Camera", false}};
  }
  void create() {
    controller.onCreate();
    view.pump(controller);
  }
  void command(int id) {
    controller.guarded([&] { controller.onCommand(id); });
    view.pump(controller);
  }
};

TEST(LauncherControllerTest, StartUpLogsReadyThenWarningThenTheCameraCount) {
  struct Case {
    bool elevated;
    std::vector<std::wstring> lines;
  };
  const Case cases[] = {
      {false,
       {L"Tesmira launcher ready. Folder: " + kFolder.wstring(),
        L"WARNING: not running elevated \u2014 register/unregister will fail.", L"Found 3 camera device(s)."}},
      {true, {L"Tesmira launcher ready. Folder: " + kFolder.wstring(), L"Found 3 camera device(s)."}},
  };
  for (const auto& c : cases) {
    Launcher l;
    l.system.elevated = c.elevated;
    l.create();
    EXPECT_EQ(l.view.lines(), c.lines) << c.elevated;
    EXPECT_TRUE(l.view.startEnabled);
  }
}

TEST(LauncherControllerTest, CameraRowsMarkOurCameraAndSelectTheFirstOther) {
  struct Case {
    const char* name;
    std::vector<LauncherCamera> cameras;
    std::vector<std::wstring> rows;
    int selected;
  };
  const Case cases[] = {
      {"only the virtual camera", {{0, L"Tesmira", true}}, {L"0: Tesmira" + kOwnSuffix}, 0},
      {"ours first",
       {{0, L"Tesmira", true}, {1, L"Integrated Webcam", false}},
       {L"0: Tesmira" + kOwnSuffix, L"1: Integrated Webcam"},
       1},
      {"two of ours, then a camera",
       {{0, L"tesmira (old)", true}, {1, L"Tesmira", true}, {2, L"(unnamed camera)", false}},
       {L"0: tesmira (old)" + kOwnSuffix, L"1: Tesmira" + kOwnSuffix, L"2: (unnamed camera)"},
       2},
      {"no camera at all", {}, {}, -1},
  };
  for (const auto& c : cases) {
    Launcher l;
    l.system.cameras = c.cameras;
    l.create();
    EXPECT_EQ(l.view.rows, c.rows) << c.name;
    EXPECT_EQ(l.view.selectedRow, c.selected) << c.name;
    EXPECT_EQ(l.view.lines().back(), L"Found " + std::to_wstring(c.cameras.size()) + L" camera device(s).")
        << c.name;
  }
}

TEST(LauncherControllerTest, StartBuildsTheCommandLineFromTheChoices) {
  struct Case {
    const char* name;
    int provider;
    std::wstring width;
    int camera;
    bool d3d;
    std::wstring expected;
    const wchar_t* d3dValue;
    const wchar_t* summary;
  };
  const std::wstring folder = kFolder.wstring();
  const std::wstring exe = (kFolder / kProducerExeName).wstring();
  auto line = [&](const std::wstring& provider, const std::wstring& width, const std::wstring& index) {
    return L"\"" + exe + L"\" \"--camera\" \"--no-mirror\" \"--provider\" \"" + provider + L"\" \"--max-width\" \"" +
           width + L"\" \"--camera-index\" \"" + index + L"\" \"--repo-root\" \"" + folder + L"\"";
  };
  const Case cases[] = {
      {"CPU, 1920, second row", 1, L"1920", 1, true, line(L"cpu", L"1920", L"3"), L"1",
       L"provider=cpu width=1920 camera-index=3 d3d-capture=on"},
      {"GPU, third row, no D3D", 0, L"640", 2, false, line(L"directml", L"640", L"5"), L"0",
       L"provider=directml width=640 camera-index=5 d3d-capture=off"},
      {"no provider chosen counts as GPU", -1, L"960", 0, true, line(L"directml", L"960", L"0"), L"1",
       L"provider=directml width=960 camera-index=0 d3d-capture=on"},
      {"no width chosen", 1, L"", 0, true, line(L"cpu", L"1280", L"0"), L"1",
       L"provider=cpu width=1280 camera-index=0 d3d-capture=on"},
      {"selection past the list", 0, L"1280", 7, true, line(L"directml", L"1280", L"0"), L"1",
       L"provider=directml width=1280 camera-index=0 d3d-capture=on"},
      {"nothing selected", 0, L"1280", -1, true, line(L"directml", L"1280", L"0"), L"1",
       L"provider=directml width=1280 camera-index=0 d3d-capture=on"},
  };
  for (const auto& c : cases) {
    Launcher l;
    l.system.cameras = {{0, L"Integrated Webcam", false}, {3, L"USB Camera", false}, {5, L"Third", false}};
    l.create();
    l.view.provider = c.provider;
    l.view.width = c.width;
    l.view.camera = c.camera;
    l.view.d3d = c.d3d;
    l.command(kIdStart);
    ASSERT_EQ(l.system.commandLines.size(), 1u) << c.name;
    EXPECT_EQ(l.system.commandLines[0], c.expected) << c.name;
    EXPECT_EQ(l.system.startFolder, kFolder) << c.name;
    EXPECT_EQ(l.system.environment[L"TESMIRA_CAPTURE_D3D_TEXTURE"], c.d3dValue) << c.name;
    const auto lines = l.view.lines();
    EXPECT_EQ(lines[lines.size() - 2], std::wstring(L"Producer started (pid 4242): ") + c.summary) << c.name;
    EXPECT_EQ(lines.back(),
              L"Open Tesmira in OBS/Zoom/Teams to begin \u2014 timing stats appear once a consumer is active.")
        << c.name;
    EXPECT_FALSE(l.view.startEnabled) << c.name;
    EXPECT_TRUE(l.view.stopEnabled) << c.name;
    l.controller.onClose();
  }
}

TEST(LauncherControllerTest, StartWhileRunningStartsNothing) {
  Launcher l;
  l.create();
  l.command(kIdStart);
  l.command(kIdStart);
  EXPECT_EQ(l.system.commandLines.size(), 1u);
  l.controller.onClose();
}

TEST(LauncherControllerTest, StopLogsStoppingAndReturnsToIdleOnlyWhenTheReaderSawTheEnd) {
  Launcher l;
  l.create();
  l.command(kIdStart);
  FakeProcess::write(*l.system.producer, "frame stats\n");
  l.command(kIdStop);
  EXPECT_EQ(l.system.producer->terminations, 1);
  EXPECT_EQ(l.view.lines().back(), L"Stopping producer...");
  // The window has not heard of the end yet: Stop stays the enabled one.
  EXPECT_FALSE(l.view.startEnabled);
  EXPECT_TRUE(l.view.stopEnabled);
  ASSERT_TRUE(l.view.pumpUntilExited(l.controller));
  EXPECT_EQ(l.view.lines().back(), L"Producer stopped.");
  EXPECT_TRUE(l.view.startEnabled);
  EXPECT_FALSE(l.view.stopEnabled);
  EXPECT_FALSE(l.controller.running());
  // Stop while idle does nothing.
  l.command(kIdStop);
  EXPECT_EQ(l.view.lines().back(), L"Producer stopped.");
}

TEST(LauncherControllerTest, AProducerEndingByItselfShowsItsLastUnterminatedLine) {
  Launcher l;
  l.create();
  l.command(kIdStart);
  FakeProcess::write(*l.system.producer, "first\nlast words");
  FakeProcess::end(*l.system.producer);
  ASSERT_TRUE(l.view.pumpUntilExited(l.controller));
  const auto lines = l.view.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::vector<std::wstring>(lines.end() - 3, lines.end()),
            (std::vector<std::wstring>{L"first", L"last words", L"Producer stopped."}));
  EXPECT_EQ(l.system.producer->largestRead, kReaderChunkBytes);
  // A second run starts afresh.
  l.system.producer = std::make_shared<FakeProcess::Shared>();
  l.command(kIdStart);
  EXPECT_TRUE(l.controller.running());
  l.controller.onClose();
}

TEST(LauncherControllerTest, CloseEndsARunningProducerAndWaitsForItsReader) {
  Launcher l;
  l.create();
  l.command(kIdStart);
  l.controller.onClose();
  EXPECT_EQ(l.system.producer->terminations, 1);
  // Closing while idle terminates nothing.
  Launcher idle;
  idle.create();
  idle.controller.onClose();
  EXPECT_EQ(idle.system.producer->terminations, 0);
}

TEST(LauncherControllerTest, StartFailuresAreLoggedAndLeaveTheLauncherIdle) {
  struct Case {
    const char* name;
    bool exeExists;
    bool pipeFailed;
    std::wstring line;
  };
  const std::wstring exe = (kFolder / kProducerExeName).wstring();
  const Case cases[] = {
      {"no producer", false, false, L"ERROR: producer exe not found next to launcher: " + exe},
      {"no pipe", true, true, L"ERROR: CreatePipe failed: " + win32ErrorToText(ERROR_NOT_ENOUGH_MEMORY)},
      {"no process", true, false, L"ERROR: failed to start producer: " + win32ErrorToText(ERROR_NOT_ENOUGH_MEMORY)},
  };
  for (const auto& c : cases) {
    Launcher l;
    if (!c.exeExists) l.system.files.erase(kFolder / kProducerExeName);
    l.system.failStart = true;
    l.system.failure.pipeFailed = c.pipeFailed;
    l.system.failure.error = ERROR_NOT_ENOUGH_MEMORY;
    l.create();
    l.command(kIdStart);
    EXPECT_EQ(l.view.lines().back(), c.line) << c.name;
    EXPECT_EQ(l.system.commandLines.size(), c.exeExists ? 1u : 0u) << c.name;
    EXPECT_FALSE(l.controller.running()) << c.name;
    EXPECT_TRUE(l.view.startEnabled) << c.name;
  }
}

TEST(LauncherControllerTest, RegisterLogsEachOutcome) {
  const std::wstring dll = (kFolder / kMediaSourceDllName).wstring();
  struct Case {
    const char* name;
    std::function<HRESULT(const VcamRegistrationOptions&, std::wstring*)> ensure;
    std::wstring detail;
    std::vector<std::wstring> lines;  // after "Registering ..."
  };
  const Case cases[] = {
      {"success with a link",
       [](const VcamRegistrationOptions&, std::wstring* link) {
         *link = L"\\\\?\\swd#vcam#tesmira";
         return S_OK;
       },
       L"",
       {L"Registered. Tesmira should now appear in OBS / camera apps.", L"  symbolic link: \\\\?\\swd#vcam#tesmira"}},
      {"success without a link", [](const VcamRegistrationOptions&, std::wstring*) { return S_OK; }, L"",
       {L"Registered. Tesmira should now appear in OBS / camera apps."}},
      {"failure with detail", [](const VcamRegistrationOptions&, std::wstring*) { return E_ACCESSDENIED; },
       L"RegCreateKeyExW HKLM CLSID",
       {L"Register FAILED: " + hresultToText(E_ACCESSDENIED), L"  detail: RegCreateKeyExW HKLM CLSID"}},
      {"failure without detail", [](const VcamRegistrationOptions&, std::wstring*) { return E_FAIL; }, L"",
       {L"Register FAILED: " + hresultToText(E_FAIL)}},
      {"the registration throws",
       [](const VcamRegistrationOptions&, std::wstring*) -> HRESULT {
         throw std::filesystem::filesystem_error("exists", std::filesystem::path("/m/dll"),
                                                 std::make_error_code(std::errc::permission_denied));
       },
       L"",
       {L"Register FAILED: " +
        widenMessage(std::filesystem::filesystem_error("exists", std::filesystem::path("/m/dll"),
                                                       std::make_error_code(std::errc::permission_denied))
                         .what())}},
  };
  for (const auto& c : cases) {
    Launcher l;
    l.create();
    VcamRegistrationOptions seen;
    l.system.ensure = [&](const VcamRegistrationOptions& options, std::wstring* link) {
      seen = options;
      return c.ensure(options, link);
    };
    l.system.detail = c.detail;
    const size_t before = l.view.lines().size();
    l.command(kIdRegister);
    std::vector<std::wstring> expected{L"Registering Tesmira virtual camera (COM + device)..."};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    expected.push_back(L"Found 3 camera device(s).");
    const auto lines = l.view.lines();
    EXPECT_EQ(std::vector<std::wstring>(lines.begin() + long(before), lines.end()), expected) << c.name;
    EXPECT_EQ(seen.dllPath, dll) << c.name;
    EXPECT_EQ(seen.allUsers, 1) << c.name;
    EXPECT_EQ(seen.registerCom, 1) << c.name;
  }
}

TEST(LauncherControllerTest, RegisterWithTheDllMissingLogsOnlyTheErrorLine) {
  Launcher l;
  l.system.files.erase(kFolder / kMediaSourceDllName);
  l.create();
  const size_t before = l.view.lines().size();
  l.command(kIdRegister);
  const auto lines = l.view.lines();
  EXPECT_EQ(std::vector<std::wstring>(lines.begin() + long(before), lines.end()),
            std::vector<std::wstring>{L"ERROR: media-source DLL not found next to launcher: " +
                                      (kFolder / kMediaSourceDllName).wstring()});
  EXPECT_EQ(l.system.ensureCalls, 0);
}

TEST(LauncherControllerTest, UnregisterCountsNothingRegisteredAsDone) {
  struct Case {
    const char* name;
    HRESULT remove, unregister;
    std::wstring removeLine, unregisterLine;
  };
  const Case cases[] = {
      {"both succeed", S_OK, S_OK, L"  device removed.", L"  COM server unregistered."},
      {"nothing registered", S_OK, HRESULT(0x80070002), L"  device removed.", L"  COM server unregistered."},
      {"both fail", E_ACCESSDENIED, E_ACCESSDENIED, L"  remove device failed: " + hresultToText(E_ACCESSDENIED),
       L"  unregister COM failed: " + hresultToText(E_ACCESSDENIED)},
  };
  for (const auto& c : cases) {
    Launcher l;
    l.system.removeResult = c.remove;
    l.system.unregisterResult = c.unregister;
    l.create();
    const size_t before = l.view.lines().size();
    l.command(kIdUnregister);
    const auto lines = l.view.lines();
    EXPECT_EQ(std::vector<std::wstring>(lines.begin() + long(before), lines.end()),
              (std::vector<std::wstring>{L"Removing Tesmira virtual camera...", c.removeLine, c.unregisterLine,
                                         L"Unregister complete.", L"Found 3 camera device(s)."}))
        << c.name;
  }
}

TEST(LauncherControllerTest, AnExceptionInAHandlerStaysInsideAndTheLauncherGoesOn) {
  Launcher l;
  l.create();
  l.system.enumerate = []() -> std::vector<LauncherCamera> { throw std::runtime_error("enumeration broke"); };
  l.command(kIdRefresh);
  EXPECT_EQ(l.view.lines().back(), L"ERROR: enumeration broke");
  l.system.enumerate = nullptr;
  l.command(kIdRefresh);
  EXPECT_EQ(l.view.lines().back(), L"Found 3 camera device(s).");
}

TEST(LauncherControllerTest, ThePaneKeepsTheNewestLinesWithinItsCap) {
  struct Case {
    const char* name;
    size_t lineLength;
    size_t totalChars;
  };
  const Case cases[] = {
      {"100,000 characters of statistics lines", 98, 100000},
      {"past the cap", 98, 600000},
      {"uneven lines past the cap", 1531, 900000},
      {"one line longer than the cap", 300000, 300000},
  };
  for (const auto& c : cases) {
    Launcher l;
    l.create();
    std::wstring last;
    for (size_t written = 0, n = 0; written < c.totalChars; written += c.lineLength + 2, ++n) {
      std::wstring line = std::to_wstring(n) + L":";
      line.resize(c.lineLength, L'x');
      l.controller.onLogLine(line);
      last = line;
    }
    EXPECT_LE(l.view.pane.size(), kPaneCapUnits) << c.name;
    EXPECT_EQ(l.controller.paneUnits(), l.view.pane.size()) << c.name;
    const auto lines = l.view.lines();
    ASSERT_FALSE(lines.empty()) << c.name;
    const std::wstring& shown = lines.back();
    EXPECT_EQ(shown, last.substr(last.size() - std::min(last.size(), shown.size()))) << c.name;
    if (c.lineLength < kPaneCapUnits) {
      EXPECT_EQ(shown, last) << c.name;
      // Whole lines were removed: the pane begins where a line began.
      EXPECT_TRUE(lines.front().find(L':') != std::wstring::npos) << c.name;
      EXPECT_EQ(l.view.pane.substr(l.view.pane.size() - 2), L"\r\n") << c.name;
    } else {
      EXPECT_EQ(l.view.pane.size(), kPaneCapUnits) << c.name;
    }
    if (c.totalChars < kPaneCapUnits) {
      EXPECT_EQ(lines.front(), L"Tesmira launcher ready. Folder: " + kFolder.wstring()) << c.name;
    }
  }
}

TEST(LauncherControllerTest, ThePaneCountsCharactersOutsideTheBasicPlaneAsTwoUnits) {
  EXPECT_EQ(utf16Units(L"a\U0001F600b"), 4u);
  EXPECT_EQ(utf16Units(L"\u2014"), 1u);
}

std::vector<std::wstring> cut(const std::string& bytes, size_t chunk) {
  OutputLineCutter cutter;
  std::vector<std::wstring> lines;
  const OutputLineCutter::Emit emit = [&](std::wstring&& line) { lines.push_back(std::move(line)); };
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    cutter.feed(bytes.data() + at, std::min(chunk, bytes.size() - at), emit);
  }
  cutter.finish(emit);
  return lines;
}

TEST(OutputLineCutterTest, CutsLinesAcrossChunks) {
  const std::string longLine(1 << 20, 'y');
  const std::string acrossBoundary = std::string(4090, 'a') + "bcdefghij";  // passes byte 4096
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::wstring> lines;
  };
  const Case cases[] = {
      {"CRLF", "one\r\ntwo\r\n", {L"one", L"two"}},
      {"LF", "one\ntwo\n", {L"one", L"two"}},
      {"only one CR is dropped", "one\r\r\ntwo\n", {L"one\r", L"two"}},
      {"a CR inside a line stays", "a\rb\n", {L"a\rb"}},
      {"empty lines", "\n\r\n\nlast\n", {L"", L"", L"", L"last"}},
      {"an unterminated last line", "done\ntail", {L"done", L"tail"}},
      {"an unterminated CR", "tail\r", {L"tail\r"}},
      {"nothing", "", {}},
      {"a line across the 4096-byte boundary", acrossBoundary + "\nnext\n",
       {std::wstring(acrossBoundary.begin(), acrossBoundary.end()), L"next"}},
      {"UTF-8", "caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80\n", {L"caf\u00E9 \u2014 \U0001F600"}},
      {"a sequence cut short by CRLF", "\xE2\x80\r\n", {L"\uFFFD\uFFFD"}},
      {"invalid bytes", "a\xFF" "b\x80\n", {L"a\uFFFDb\uFFFD"}},
      {"a 1 MB line", longLine + "\n", {std::wstring(longLine.begin(), longLine.end())}},
  };
  for (const auto& c : cases) {
    for (size_t chunk : {kReaderChunkBytes, size_t(1), size_t(5)}) {
      if (chunk == 1 && c.bytes.size() > 100000) continue;
      const auto lines = cut(c.bytes, chunk);
      ASSERT_EQ(lines.size(), c.lines.size()) << c.name << " in chunks of " << chunk;
      for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i] == c.lines[i]) << c.name << " line " << i << " in chunks of " << chunk;
      }
    }
  }
}

TEST(OutputLineCutterTest, AUtf8SequenceSplitBetweenChunksDecodesWhole) {
  EXPECT_EQ(cut("\xE2\x80\x94\n", 2), std::vector<std::wstring>{L"\u2014"});
}

}  // namespace
}  // namespace tesmira::launcher
