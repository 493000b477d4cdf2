#include "producer/producer_main.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <thread>

#include "common/environment.h"
#include "producer/camera_keeper.h"
#include "producer/context_keeper.h"
#include "producer/frame_pipeline.h"
#include "producer/frame_publisher.h"
#include "producer/frame_writer.h"
#include "producer/kernel_objects.h"
#include "producer/loop_clock.h"
#include "producer/loop_statistics.h"
#include "producer/producer_channels.h"
#include "producer/producer_log.h"
#include "producer/status_writer.h"
#include "producer/telemetry_feed.h"

namespace tesmira {
namespace {

std::atomic<uint8_t> gStopRequested{0};

struct OwnedChannel {
  MappedChannel channel;
  ~OwnedChannel() { closeMapping(channel); }
};

// Everything start-up builds. Leaving the scope (orderly or by an error) destroys it in
// reverse declaration order: the loop's owners (frame buffers, telemetry, the context,
// the camera) before the channels, the status writer (its close reports idle) and the
// frame writer. The owners are built last in start-up, once their seams are there.
class ProducerSession {
 public:
  ProducerSession(const ProducerSeams& seams, std::ostream& out, std::ostream& err)
      : seams_(seams), out_(out), err_(err) {}

  void startUp(ProducerOptions options);
  void runLoop();
  void stopSequence();

 private:
  void sleepMs(double ms) {
    if (seams_.sleepMs) {
      seams_.sleepMs(ms);
    } else {
      std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
    }
  }
  bool pass();  // false: the frame count is reached
  void followSurfaces(const ControlReading& control, uint64_t tick);
  bool demandPass(int64_t now, const CaptureRequest& request);
  // false after a read-miss
  bool takeFrame(CameraFrame& frame);
  void paceStill(double frameTotalMs);
  void idlePass(int64_t now);

  const ProducerSeams& seams_;
  std::ostream& out_;
  std::ostream& err_;

  ProducerOptions options_;
  cv::Mat still_;
  SharedFrameWriter frameWriter_;
  OwnedChannel control_;
  OwnedChannel settings_;
  ProducerStatusWriter status_;
  OwnedChannel consumers_;
  std::optional<CameraKeeper> camera_;
  std::optional<ContextKeeper> context_;
  std::optional<TelemetryFeed> telemetry_;
  std::optional<LoopStatistics> statistics_;
  std::optional<FramePipeline> pipeline_;
  std::optional<FramePublisher> publisher_;

  bool stillMode_ = false;
  bool alwaysOn_ = false;
  bool demandLogged_ = false;
  int64_t startNs_ = 0;
};

void ProducerSession::startUp(ProducerOptions options) {
  options_ = std::move(options);
  stillMode_ = !options_.stillPath.empty();
  alwaysOn_ = options_.headlessFrames >= 1 || stillMode_;
  logLine("vcam producer starting");

  if (!stillMode_ && options_.headlessFrames == 0) {
    LoadedSettings loaded = loadConfigSettings(options_.retouchDefaults);
    if (loaded.valid) {
      options_.retouchDefaults = loaded.settings;
      logLine("retouch settings seeded from config.json");
    } else {
      logLine("no readable config.json; seeding product defaults");
    }
  }

  if (stillMode_) {
    const std::string path = utf8Path(options_.stillPath);
    still_ = cv::imread(options_.stillPath.string(), cv::IMREAD_COLOR);
    if (still_.empty()) throw std::runtime_error("could not read --still image: " + path);
    if (options_.maxWidth > 0 && still_.cols > options_.maxWidth) {
      const double scale = double(options_.maxWidth) / double(still_.cols);
      cv::Mat shrunk;
      cv::resize(still_, shrunk, cv::Size(), scale, scale, cv::INTER_AREA);
      still_ = shrunk;
    }
    if (options_.mirror) cv::flip(still_, still_, 1);
    char fps[64];
    std::snprintf(fps, sizeof fps, "%f", options_.stillFps);
    logLine("still mode: " + path + " " + std::to_string(still_.cols) + "x" + std::to_string(still_.rows) +
            " stamp=" + (options_.stampSeq ? "on" : "off") + " fps=" + fps);
  }

  frameWriter_.open();
  if (!frameWriter_.usable()) {
    const std::string warning = "warning: shared frame writer unavailable, error=" + std::to_string(frameWriter_.lastError());
    err_ << warning << std::endl;
    logLine(warning);
  }
  openVcamControl(control_.channel);
  openRetouchSettings(settings_.channel, options_.retouchDefaults);
  status_.open();

  startNs_ = steadyNs();
  std::unique_ptr<ITelemetrySink> sink = seams_.makeTelemetry ? seams_.makeTelemetry(options_.telemetryEndpoint) : nullptr;
  if (!sink) sink = makeSilentTelemetry(options_.telemetryEndpoint);
  telemetry_.emplace(std::move(sink), options_.retouchDefaults, options_.bypass);
  const bool landmarkFree = envFlagEnabled("TESMIRA_LANDMARK_FREE");
  std::unique_ptr<ICaptureSource> capture = seams_.makeCapture ? seams_.makeCapture(options_) : nullptr;
  if (!capture) capture = makePhysicalCamera(options_);
  camera_.emplace(std::move(capture), options_.mirror, startNs_);
  context_.emplace(seams_.makeContext, options_, status_);
  statistics_.emplace(startNs_);
  pipeline_.emplace(*statistics_, options_.bypass, landmarkFree, options_.landmarkLeadMs);
  publisher_.emplace(frameWriter_, status_, *telemetry_, options_.stampSeq, options_.bypass);
}

void ProducerSession::runLoop() {
  while (!gStopRequested.load()) {
    if (!pass()) return;
  }
}

bool ProducerSession::pass() {
  const int64_t now = steadyNs();
  const uint64_t tick = GetTickCount64();
  const ControlReading control = readControl(static_cast<const VcamControlBlock*>(control_.channel.view), tick);
  const bool demand = alwaysOn_ || control.demand;
  followSurfaces(control, tick);
  if (!demand) {
    idlePass(now);
    return true;
  }
  return demandPass(now, control.request);
}

void ProducerSession::followSurfaces(const ControlReading& control, uint64_t tick) {
  SurfaceReading surfaces;
  surfaces.preview = alwaysOn_ ? false : control.preview;
  surfaces.vcam = alwaysOn_ ? true : control.vcam;
  surfaces.previewCleared = control.valid && control.previewTick == 0 && control.fallbackWidth == 0;
  if (surfaces.vcam) {
    if (!consumers_.channel.view) {
      consumers_.channel = openChannelReadOnly(kVcamConsumersChannelName, sizeof(VcamConsumersBlock));
    }
    surfaces.consumerKey = consumerKeyFrom(static_cast<const VcamConsumersBlock*>(consumers_.channel.view), tick);
  }
  telemetry_->followSurfaces(surfaces);
}

bool ProducerSession::demandPass(int64_t now, const CaptureRequest& request) {
  if (!stillMode_ && camera_->select(request)) pipeline_->forgetMotion();
  if (!demandLogged_) {
    logLine("vcam demand active");
    demandLogged_ = true;
  }
  IRetouchContext& context = context_->acquire(now);

  if (!stillMode_ && !camera_->opened()) {
    const CameraKeeper::OpenAttempt attempt = camera_->openIfDue(now, context.d3dDevice());
    if (attempt == CameraKeeper::OpenAttempt::kOpened) pipeline_->forgetMotion();
    if (attempt == CameraKeeper::OpenAttempt::kFailed) {
      const HRESULT hr = camera_->lastHresult();
      status_.setState(stateFromHresult(hr), uint32_t(hr));
    }
    if (!camera_->opened()) {
      sleepMs(50);
      return true;
    }
  }

  // The frame's time starts after the context and the camera: building or opening them is no frame's work.
  const int64_t frameStart = steadyNs();
  // Its texture is released when the pass ends, after the frame's statistics.
  CameraFrame frame;
  if (!takeFrame(frame)) return true;
  const int64_t timestampMs = (steadyNs() - startNs_) / kNsPerMs;
  const RetouchSettings settings =
      frameSettings(static_cast<const RetouchSettingsBlock*>(settings_.channel.view), options_.retouchDefaults);
  ProcessedFrame processed = pipeline_->process(context, frame, timestampMs, settings);

  publisher_->stamp(processed, statistics_->frames());
  const int64_t t = steadyNs();
  if (publisher_->publish(processed, settings, camera_->selection(), context_->providerName())) {
    statistics_->countPublished();
  }
  statistics_->addStage(LoopStage::kPublish, msBetween(t, steadyNs()));

  const double frameTotalMs = statistics_->finishFrame(frameStart, processed.timings);
  paceStill(frameTotalMs);
  statistics_->countFrame();
  if (options_.headlessFrames > 0 && statistics_->frames() >= uint64_t(options_.headlessFrames)) return false;
  statistics_->writeLineIfDue(now, context_->providerName(), out_);
  return true;
}

bool ProducerSession::takeFrame(CameraFrame& frame) {
  if (stillMode_) {
    frame.image = still_;
    return true;
  }
  int64_t t = steadyNs();
  if (!camera_->takeFrame(frame, 200)) {
    frame = CameraFrame{};
    statistics_->countReadMiss();
    if (camera_->noteReadMiss()) status_.setState(kProducerStateCaptureFailure, 0);
    sleepMs(10);
    return false;
  }
  if (frame.texture) statistics_->countD3dTextureFrame();
  statistics_->addStage(LoopStage::kCapture, msBetween(t, steadyNs()));
  t = steadyNs();
  camera_->mirror(frame);
  statistics_->addStage(LoopStage::kPre, msBetween(t, steadyNs()));
  return true;
}

void ProducerSession::paceStill(double frameTotalMs) {
  if (!stillMode_ || !(options_.stillFps > 0.0)) return;
  // A tiny rate makes 1000 / rate overflow any duration, so the period saturates; the wait
  // goes in slices so that a stop request ends it within one.
  constexpr double kMaxStillPeriodMs = 24.0 * 3600.0 * 1000.0;
  constexpr double kStillSliceMs = 250.0;
  double leftMs = std::min(1000.0 / options_.stillFps, kMaxStillPeriodMs) - frameTotalMs;
  while (leftMs > 0.0 && !gStopRequested.load()) {
    const double sliceMs = std::min(leftMs, kStillSliceMs);
    sleepMs(sliceMs);
    leftMs -= sliceMs;
  }
}

void ProducerSession::idlePass(int64_t now) {
  if (camera_->release()) {
    pipeline_->forgetMotion();
    logLine("physical camera released: no active vcam consumers");
  }
  if (demandLogged_) {
    logLine("vcam demand inactive");
    demandLogged_ = false;
  }
  context_->releaseIfIdle(now);
  status_.setState(kProducerStateNone, 0);
  camera_->forgetReadMisses();
  sleepMs(100);
}

void ProducerSession::stopSequence() {
  if (camera_->release()) logLine("physical camera released: producer stopping");
  logLine("vcam producer stopped");
  endTimerPeriod();
}

}  // namespace

bool envFlagEnabled(const char* name) { return environmentBeginsWith(name, '1'); }

BOOL onConsoleControl(DWORD controlType) {
  switch (controlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      gStopRequested.exchange(1);
      return TRUE;
    default:
      return FALSE;
  }
}

int runProducer(int argc, char** argv, const ProducerSeams& seams) {
  std::ostream& out = seams.out ? *seams.out : std::cout;
  std::ostream& err = seams.err ? *seams.err : std::cerr;
  gStopRequested.store(0);
  installConsoleHandler(onConsoleControl);
  beginTimerPeriod();
  std::string fatal;
  try {
    ProducerOptions options = parseCommandLine(argc, argv);
    ProducerSession session(seams, out, err);
    session.startUp(std::move(options));
    session.runLoop();
    session.stopSequence();
    return 0;
  } catch (const HelpRequested&) {
    endTimerPeriod();
    return 0;
  } catch (const std::exception& error) {
    fatal = error.what();
  } catch (...) {
    fatal = "unknown error";
  }
  logLine("fatal: " + fatal);
  err << "fatal: " << fatal << std::endl;
  endTimerPeriod();
  return 1;
}

}  // namespace tesmira
