#include "producer/options.h"

#include <sstream>
#include <stdexcept>

#include "producer/tests/producer_fixture.h"

namespace tesmira {
namespace {

namespace fs = std::filesystem;
using testing::ProducerTest;

class OptionsTest : public ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    repo_ = makeRepoRoot();
  }
  ProducerOptions parse(std::vector<std::string> extra) {
    std::vector<std::string> args{"producer.exe", "--repo-root", repo_.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return parseOptions(args);
  }
  std::string errorOf(const std::vector<std::string>& args) {
    try {
      parseOptions(args);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "(no error)";
  }
  fs::path repo_;
};

TEST_F(OptionsTest, BadOptionsFailWithTheirOwnTexts) {
  const std::string r = "--repo-root";
  struct Case {
    std::vector<std::string> tail;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--video"}, "--video requires a value."},
      {{"--provider"}, "--provider requires a value."},
      {{"--bogus"}, "Unknown argument: --bogus"},
      {{""}, "Unknown argument: "},
      {{"--camera", "first.mp4", "second.mp4"}, "Unknown argument: second.mp4"},
      {{"--provider", "vulkan"}, "Unknown provider 'vulkan'. Use cpu, directml, or cuda."},
      {{"--provider", "Vulkan"}, "Unknown provider 'Vulkan'. Use cpu, directml, or cuda."},
      {{"--camera-backend", "v4l2"}, "--camera-backend must be dshow, msmf, or auto."},
      {{"--camera-index", "two"}, "invalid stoi argument"},
      {{"--max-width", "99999999999"}, "stoi argument out of range"},
      {{"--headless-frames", ""}, "invalid stoi argument"},
      {{"--landmark-lead-ms", "soon"}, "invalid stod argument"},
      {{"--landmark-lead-ms", "1e999"}, "stod argument out of range"},
      {{"--landmark-lead-ms", "nan"}, "invalid stod argument"},
      {{"--still-fps", "nan"}, "invalid stod argument"},
      {{"--still-fps", "inf"}, "invalid stod argument"},
      {{"--still-fps", "-infinity"}, "invalid stod argument"},
      {{"--min-tracking-confidence", "x"}, "invalid stof argument"},
      {{"--min-tracking-confidence", "1e60"}, "stof argument out of range"},
      {{"--min-tracking-confidence", "nan"}, "invalid stof argument"},
      {{"--mirror", "-x"}, "Unknown argument: -x"},
      {{"--Camera"}, "Unknown argument: --Camera"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"producer.exe", r, repo_.string(), "--camera"};
    args.insert(args.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(errorOf(args), c.message) << c.tail.front();
  }
}

TEST_F(OptionsTest, DefaultsOfACameraRun) {
  ProducerOptions o = parse({"--camera"});
  EXPECT_EQ(o.repoRoot, fs::weakly_canonical(repo_));
  EXPECT_TRUE(o.sourceIsCamera);
  EXPECT_TRUE(o.videoPath.empty());
  EXPECT_DOUBLE_EQ(o.landmarkLeadMs, 33.0);
  EXPECT_FLOAT_EQ(o.minTrackingConfidence, 0.5f);
  EXPECT_EQ(o.provider, kProviderCpu);
  EXPECT_EQ(o.cameraBackend, "dshow");
  EXPECT_EQ(o.maxWidth, 1280);
  EXPECT_EQ(o.headlessFrames, 0);
  EXPECT_DOUBLE_EQ(o.stillFps, 30.0);
  EXPECT_FALSE(o.mirror || o.mirrorExplicit || o.split || o.bypass || o.stampSeq);
  EXPECT_TRUE(o.loop);
  EXPECT_EQ(o.retouchDefaults, RetouchSettings{});
  const fs::path root = o.repoRoot;
  EXPECT_EQ(o.skinModelPath, root / "models/retouch.onnx");
  EXPECT_EQ(o.teethModelPath, root / "models/teeth_whitening.onnx");
  EXPECT_EQ(o.faceTaskPath, root / "models/face_landmarker.task");
  EXPECT_EQ(o.landmarkDetectorModelPath, root / "models/mp_landmarker/onnx/face_detector.onnx");
  EXPECT_EQ(o.landmarkMeshModelPath, root / "models/mp_landmarker/onnx/face_landmarks_detector.onnx");
  EXPECT_EQ(o.calibrationPath, root / "models/calibration/mediapipe_crop_calibration.json");
  EXPECT_EQ(o.mediaPipeLibPath, root / "libmediapipe.dll");
  EXPECT_EQ(o.resourcesDir, root / "app/base/Sources/Prismwell/Resources");
  EXPECT_EQ(o.lookupPath, o.resourcesDir / "lookup.png");
  EXPECT_EQ(o.teethMaskPath, o.resourcesDir / "teeth_whitening_mask.png");
}

TEST_F(OptionsTest, ValuesAreStoredClampedAndResolved) {
  struct Case {
    std::vector<std::string> args;
    std::function<void(const ProducerOptions&)> check;
  };
  const std::vector<Case> cases = {
      {{"--provider", "DirectML"}, [](auto& o) { EXPECT_EQ(o.provider, kProviderDirectMl); }},
      {{"--provider", "dml"}, [](auto& o) { EXPECT_EQ(o.provider, kProviderDirectMl); }},
      {{"--provider", "GPU"}, [](auto& o) { EXPECT_EQ(o.provider, kProviderDirectMl); }},
      {{"--provider", "CUDA"}, [](auto& o) { EXPECT_EQ(o.provider, kProviderCuda); }},
      {{"--camera-backend", "MSMF"}, [](auto& o) { EXPECT_EQ(o.cameraBackend, "msmf"); }},
      {{"--camera-index", "2"}, [](auto& o) { EXPECT_EQ(o.cameraIndex, 2); }},
      {{"--landmark-lead-ms", "500"}, [](auto& o) { EXPECT_DOUBLE_EQ(o.landmarkLeadMs, 120.0); }},
      {{"--landmark-lead-ms", "-4"}, [](auto& o) { EXPECT_DOUBLE_EQ(o.landmarkLeadMs, 33.0); }},
      {{"--landmark-lead-ms", "12.5"}, [](auto& o) { EXPECT_DOUBLE_EQ(o.landmarkLeadMs, 12.5); }},
      {{"--min-tracking-confidence", "1.5"}, [](auto& o) { EXPECT_FLOAT_EQ(o.minTrackingConfidence, 1.0f); }},
      {{"--min-tracking-confidence", "-1"}, [](auto& o) { EXPECT_FLOAT_EQ(o.minTrackingConfidence, 0.0f); }},
      {{"--still-fps", "0"}, [](auto& o) { EXPECT_DOUBLE_EQ(o.stillFps, 30.0); }},
      {{"--still-fps", "-5"}, [](auto& o) { EXPECT_DOUBLE_EQ(o.stillFps, 30.0); }},
      {{"--still-fps", "12.5"}, [](auto& o) { EXPECT_DOUBLE_EQ(o.stillFps, 12.5); }},
      {{"--mirror", "--no-mirror"}, [](auto& o) { EXPECT_TRUE(!o.mirror && o.mirrorExplicit); }},
      {{"--no-loop"}, [](auto& o) { EXPECT_FALSE(o.loop); }},
      {{"--no-loop", "--camera"}, [](auto& o) { EXPECT_TRUE(o.loop); }},
      {{"--telemetry-endpoint", "http://127.0.0.1:9/x"},
       [](auto& o) { EXPECT_EQ(o.telemetryEndpoint, "http://127.0.0.1:9/x"); }},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"--camera"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    c.check(parse(args));
  }
}

TEST_F(OptionsTest, WithoutCameraOptionsTheVideoFileIsRequired) {
  // Neither --camera nor --camera-index: the default video must exist.
  const fs::path video = fs::weakly_canonical(repo_) / "12151229_3840_2160_60fps.mp4";
  EXPECT_EQ(errorOf({"p", "--repo-root", repo_.string()}), "video not found: " + video.string());
  touch(video);
  ProducerOptions o = parse({});
  EXPECT_FALSE(o.sourceIsCamera);
  EXPECT_EQ(o.videoPath, video);
  EXPECT_DOUBLE_EQ(o.landmarkLeadMs, 0.0);
  // A bare path names the video and leaves the source as it is.
  touch(root() / "clip.mp4");
  EXPECT_EQ(parse({(root() / "clip.mp4").string()}).videoPath, root() / "clip.mp4");
}

TEST_F(OptionsTest, MissingDataFilesAreReportedInCheckOrder) {
  const fs::path canonical = fs::weakly_canonical(repo_);
  const fs::path resources = canonical / "app/base/Sources/Prismwell/Resources";
  struct Case {
    fs::path removed;
    std::string role;
  };
  const std::vector<Case> cases = {
      {canonical / "models/retouch.onnx", "skin model"},
      {canonical / "models/teeth_whitening.onnx", "teeth model"},
      {canonical / "models/face_landmarker.task", "MediaPipe face task"},
      {canonical / "models/calibration/mediapipe_crop_calibration.json", "MediaPipe calibration"},
      {resources / "facemask.png", "facemask.png"},
      {resources / "lookup.png", "lookup.png"},
      {resources / "tone_presenting.png", "tone_presenting.png"},
  };
  for (const auto& c : cases) {
    fs::remove(c.removed);
    EXPECT_EQ(errorOf({"p", "--repo-root", repo_.string(), "--camera"}), c.role + " not found: " + c.removed.string());
    touch(c.removed);
  }
  fs::remove(canonical / "libmediapipe.dll");
  EXPECT_EQ(errorOf({"p", "--repo-root", repo_.string(), "--camera"}),
            "MediaPipe Tasks DLL not found: " +
                (canonical / ".venv_landmark_bench/Lib/site-packages/mediapipe/tasks/c/libmediapipe.dll").string());
  EXPECT_EQ(errorOf({"p", "--repo-root", repo_.string(), "--camera", "--still", "nothere.png"}),
            "still image not found: " + (fs::current_path() / "nothere.png").string());
}

TEST_F(OptionsTest, RepoRootIsFoundFromANestedFolder) {
  const fs::path nested = repo_ / "app/base/deeper/still";
  fs::create_directories(nested);
  const fs::path before = fs::current_path();
  fs::current_path(nested);
  ProducerOptions o = parseOptions({"p", "--camera"});
  fs::current_path(before);
  EXPECT_EQ(o.repoRoot, fs::weakly_canonical(repo_));
}

TEST_F(OptionsTest, NoRepoRootAnywhereUpIsAnError) {
  const fs::path before = fs::current_path();
  fs::create_directories(root() / "empty/inner");
  fs::current_path(root() / "empty/inner");
  EXPECT_EQ(errorOf({"p", "--camera"}), "Could not find repo root. Pass --repo-root <path>.");
  fs::current_path(before);
}

TEST_F(OptionsTest, TelemetryEndpointComesFromTheRepoRootFiles) {
  struct Case {
    std::string localBackend;  // empty: no file
    std::string endpointText;  // empty: no file
    std::string expected;
  };
  const std::vector<Case> cases = {
      {R"({"backendBaseUrl": "http://127.0.0.1:8080"})", "", "http://127.0.0.1:8080/api/telemetryBatch"},
      {R"({"backendBaseUrl": "http://127.0.0.1:8080/// \t"})", "", "http://127.0.0.1:8080/api/telemetryBatch"},
      {R"({"backendBaseUrl": " /"})", "http://from-text \r\nsecond", "http://from-text"},
      {R"({"backendBaseUrl": 42})", "http://from-text", "http://from-text"},
      {"not json", "http://from-text  ", "http://from-text"},
      {R"({"other": 1})", "", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    fs::remove(repo_ / "local-backend.json");
    fs::remove(repo_ / "telemetry-endpoint.txt");
    if (!c.localBackend.empty()) touch(repo_ / "local-backend.json", c.localBackend);
    if (!c.endpointText.empty()) touch(repo_ / "telemetry-endpoint.txt", c.endpointText);
    EXPECT_EQ(parse({"--camera"}).telemetryEndpoint, c.expected) << c.localBackend;
  }
  touch(repo_ / "local-backend.json", R"({"backendBaseUrl": "http://a"})");
  EXPECT_EQ(parse({"--camera", "--telemetry-endpoint", "http://given"}).telemetryEndpoint, "http://given");
}

TEST_F(OptionsTest, HelpPrintsTheUsageAndWinsOnlyWhenItComesFirst) {
  EXPECT_THROW(parseOptions({"p", "--help", "--bogus"}), HelpRequested);
  EXPECT_THROW(parseOptions({"p", "-h"}), HelpRequested);
  EXPECT_EQ(errorOf({"p", "--bogus", "--help"}), "Unknown argument: --bogus");

  std::ostringstream usage;
  printUsage("C:\\Tesmira\\producer.exe", usage);
  EXPECT_EQ(usage.str(),
            "Usage: C:\\Tesmira\\producer.exe [--video path | --camera] [--provider cpu|directml|cuda]\n"
            "       [--repo-root path] [--max-width px] [--mirror] [--no-loop] [--bypass]\n"
            "       [--split] [--headless-frames n] [--camera-index n]\n"
            "       [--still image.png] [--stamp-seq] [--still-fps n]\n"
            "       [--camera-backend dshow|msmf|auto] [--landmark-lead-ms n]\n"
            "       [--min-tracking-confidence n] [--mediapipe-lib path] [--face-task path]\n"
            "       [--landmark-detector-model path] [--landmark-mesh-model path]\n"
            "       [--calibration path] [--telemetry-endpoint loopback-url]\n");
}

TEST_F(OptionsTest, AnEmptyCommandLineIsACameraRun) {
  const fs::path before = fs::current_path();
  fs::current_path(repo_);
  char program[] = "producer.exe";
  char* argv[] = {program, nullptr};
  ProducerOptions o = parseCommandLine(1, argv);
  fs::current_path(before);
  EXPECT_TRUE(o.sourceIsCamera);
  EXPECT_DOUBLE_EQ(o.landmarkLeadMs, 33.0);
}

TEST(ProviderNames, MapBackAndFallBackToCpu) {
  EXPECT_EQ(providerName(kProviderCpu), "cpu");
  EXPECT_EQ(providerName(kProviderDirectMl), "directml");
  EXPECT_EQ(providerName(kProviderCuda), "cuda");
  EXPECT_EQ(providerName(InferenceProvider(7)), "cpu");
}

}  // namespace
}  // namespace tesmira
