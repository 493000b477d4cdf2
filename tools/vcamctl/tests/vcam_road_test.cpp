// The whole road: register the class, ensure the "Tesmira" camera, open it as an
// application would through the frame server, and receive what a producer in
// still mode publishes; then remove both and see opening fail.
#include <windows.h>

#include <mfapi.h>
#include <mferror.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "common/environment.h"
#include "common/file_log.h"
#include "common/vcam_registration.h"
#include "producer/frame_writer.h"
#include "tesmira/consent_testing.h"
#include "tesmira/test_cameras.h"
#include "tests/support/child_process.h"
#include "tests/support/machine_fixture.h"
#include "tools/framesvr/framesvr.h"
#include "tools/vcamctl/vcam_client.h"

namespace {
namespace fs = std::filesystem;
using Microsoft::WRL::ComPtr;
using namespace tesmira;
using namespace tesmira::vcamctl;

class VcamRoadTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tesmira::platform::testcameras::setV4l2Discovery(false);
    SetEnvironmentVariableW(L"ProgramData", (root() / "ProgramData").wstring().c_str());
    SetEnvironmentVariableW(L"APPDATA", (root() / "AppData").wstring().c_str());
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
  }
  void TearDown() override {
    stopProducer();
    MFShutdown();
    CoUninitialize();
    MachineTest::TearDown();
  }

  // A producer in still mode over a copy of the built data folder.
  void startProducer(const fs::path& still) {
    const fs::path repo = root() / "repo";
    tesmira::testing::copyBuiltData(repo);
    producer_ = std::make_unique<tesmira::testing::ChildProcess>(std::vector<std::wstring>{
        fs::path(TESMIRA_PRODUCER_EXE).wstring(), L"--camera", L"--still", still.wstring(), L"--bypass", L"--repo-root",
        repo.wstring()});
    ASSERT_TRUE(producer_->started());
  }
  void stopProducer() { producer_.reset(); }  // terminates it

  std::unique_ptr<tesmira::testing::ChildProcess> producer_;
};

TEST_F(VcamRoadTest, ApplicationReceivesTheProducersFramesUntilTheCameraIsRemoved) {
  // A still of the media source's fallback size, so every published frame fits the request.
  cv::Mat still(720, 1280, CV_8UC3);
  for (int y = 0; y < still.rows; ++y) {
    for (int x = 0; x < still.cols; ++x) still.at<cv::Vec3b>(y, x) = cv::Vec3b(uint8_t(x), uint8_t(y), uint8_t(x + y));
  }
  const fs::path stillFile = root() / "still.png";
  ASSERT_TRUE(cv::imwrite(stillFile.string(), still));
  std::vector<uint8_t> expected;
  ASSERT_TRUE(bgrToNv12(still, 1280, 720, expected));

  std::wstring link;
  const fs::path module = TESMIRA_MEDIA_SOURCE_DLL;
  ASSERT_EQ(ensureVirtualCamera({module.wstring(), 1, 1}, &link), S_OK) << lastFailureDetail().size();
  std::vector<VideoCamera> cameras;
  ASSERT_EQ(listVideoCameras(cameras), S_OK);
  ASSERT_EQ(cameras.size(), 1u);
  EXPECT_EQ(cameras[0].friendlyName, L"Tesmira");
  EXPECT_EQ(cameras[0].symbolicLink, link);

  startProducer(stillFile);
  ComPtr<IMFActivate> device;
  ASSERT_EQ(findCameraByName(L"tesmira", &device), S_OK);
  framesvr::FrameServerHarness harness;
  ASSERT_EQ(harness.useActivate(device.Get()), S_OK);
  ASSERT_EQ(harness.activate(), S_OK);
  // The frame server records the application in the user's consent store, as Windows does.
  ASSERT_TRUE(platform::consenttesting::ownCameraUse());
  EXPECT_NE(platform::consenttesting::ownCameraUse()->lastUsedTimeStart, 0u);
  EXPECT_EQ(platform::consenttesting::ownCameraUse()->lastUsedTimeStop, 0u);
  ASSERT_EQ(harness.start({MFVideoFormat_NV12, 1280, 720, 0, 0}), S_OK);
  // Status cards come until the producer's first frame; then the frames are the still's.
  int published = 0;
  LONGLONG lastTime = -1;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (published < 10 && std::chrono::steady_clock::now() < giveUp) {
    framesvr::ReceivedSample sample;
    ASSERT_EQ(harness.requestSample(sample), S_OK);
    ASSERT_EQ(sample.bytes.size(), expected.size());
    EXPECT_GT(sample.time, lastTime);
    lastTime = sample.time;
    if (sample.bytes == expected) {
      ++published;
    } else {
      EXPECT_EQ(published, 0) << "a frame other than the still after the still arrived";
    }
  }
  EXPECT_EQ(published, 10);
  harness.stop();
  harness.shutdown();
  EXPECT_GE(platform::consenttesting::ownCameraUse()->lastUsedTimeStop,
            platform::consenttesting::ownCameraUse()->lastUsedTimeStart);
  // The frame server handed the camera's stored attributes to the source's activation object.
  std::ifstream log(serviceLogPath());
  const std::string folderLine = "source: activate SetString key={39FB8338-7D42-4EFB-9027-E3FCA8907224} value=" +
                                 module.parent_path().string();
  bool folderSeen = false;
  for (std::string line; std::getline(log, line);) folderSeen |= line.find(folderLine) != std::string::npos;
  EXPECT_TRUE(folderSeen);

  ComPtr<IMFActivate> stale;
  ASSERT_EQ(findCameraByName(L"Tesmira", &stale), S_OK);
  EXPECT_EQ(removeVirtualCamera(1), S_OK);
  EXPECT_EQ(unregisterComServer(), S_OK);
  cameras.clear();
  ASSERT_EQ(listVideoCameras(cameras), S_OK);
  EXPECT_TRUE(cameras.empty());
  ComPtr<IMFActivate> gone;
  EXPECT_EQ(findCameraByName(L"Tesmira", &gone), MF_E_NOT_FOUND);
  // An application that still holds the device finds its class gone.
  ComPtr<IMFMediaSource> source;
  EXPECT_EQ(stale->ActivateObject(__uuidof(IMFMediaSource), reinterpret_cast<void**>(source.GetAddressOf())),
            REGDB_E_CLASSNOTREG);
}

}  // namespace
