#include "producer/producer_main.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <thread>

#include "producer/frame_writer.h"
#include "producer/kernel_objects.h"
#include "producer/producer_channels.h"
#include "producer/producer_log.h"
#include "producer/status_writer.h"

namespace tesmira {
namespace {

std::atomic<uint8_t> gStopRequested{0};

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSecond = 1000000000;

// Nanoseconds of the performance counter, the clock of every stage time.
int64_t steadyNs() {
  LARGE_INTEGER count{}, frequency{};
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  const int64_t f = frequency.QuadPart > 0 ? frequency.QuadPart : 10000000;
  return (count.QuadPart / f) * kNsPerSecond + (count.QuadPart % f) * kNsPerSecond / f;
}

double msBetween(int64_t from, int64_t to) { return double(to - from) / double(kNsPerMs); }

std::string fixed2(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

enum Stage { kTotal, kCapture, kPre, kLandmark, kPipeline, kSkinModel, kSkinComp, kTeethTotal, kTeethModel, kTeethComp,
             kEye, kPaste, kPublish, kStageCount };
constexpr const char* kStageNames[kStageCount] = {"total",      "capture",     "pre",        "landmark",  "pipeline",
                                                  "skin_model", "skin_comp",   "teeth_total", "teeth_model",
                                                  "teeth_comp", "eye",         "paste",      "publish"};

struct WindowCounters {
  uint32_t published = 0, face = 0, retouched = 0, noFace = 0, processErrors = 0, readMisses = 0, mouthOpen = 0,
           teethFrames = 0, eyeFrames = 0, d3dTextureFrames = 0;
};

bool sameRequest(const CaptureRequest& a, const CaptureRequest& b) {
  return a.cameraIndex == b.cameraIndex && a.width == b.width && a.height == b.height &&
         a.fpsNumerator == b.fpsNumerator && a.fpsDenominator == b.fpsDenominator;
}

struct OwnedChannel {
  MappedChannel channel;
  ~OwnedChannel() { closeMapping(channel); }
};

// The camera with the loop's view of it: opened from a successful open until a stop.
struct Camera {
  std::unique_ptr<ICaptureSource> source;
  bool opened = false;
  void stop() {
    if (source) source->stop();
    opened = false;
  }
  ~Camera() {
    if (opened) stop();
  }
};

// Everything start-up builds, declared in construction order so that leaving the
// scope (orderly or by an error) destroys it in reverse.
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
  bool demandPass(int64_t now, const CaptureRequest& request);
  void idlePass(int64_t now);
  void ensureContext();
  bool processAndPublish(int64_t now, int64_t frameStart, const cv::Mat& frame);
  void logStatistics();
  CameraStateSnapshot defaultSnapshot() const;
  std::string providerForLines() const { return context_ ? provider_ : "none"; }

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
  Camera camera_;
  std::unique_ptr<IRetouchContext> context_;
  std::unique_ptr<ITelemetrySink> telemetry_;
  std::optional<CameraStateSnapshot> lastSnapshot_;
  std::optional<LandmarkResult> cachedLandmark_;
  std::vector<uint8_t> nv12_;

  bool stillMode_ = false;
  bool alwaysOn_ = false;
  bool landmarkFree_ = false;
  std::string provider_;
  CaptureRequest selection_;
  bool selectionMade_ = false;
  bool demandLogged_ = false;
  bool previewWasActive_ = false;
  bool recordedPreview_ = false;
  bool recordedVcam_ = false;
  uint32_t detailGiven_ = 0;
  int64_t startNs_ = 0;
  int64_t lastOpenAttemptNs_ = 0;
  int64_t lastDemandNs_ = 0;
  int64_t lastSlowLineNs_ = 0;
  int64_t lastStatsNs_ = 0;
  uint64_t firstFailedReadTick_ = 0;
  uint64_t totalFrames_ = 0;
  WindowCounters window_;
  std::array<StageTiming, kStageCount> stages_{};
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
  lastOpenAttemptNs_ = startNs_ - 5 * kNsPerSecond;
  lastDemandNs_ = startNs_;
  lastSlowLineNs_ = startNs_ - 10 * kNsPerSecond;
  lastStatsNs_ = startNs_;

  telemetry_ = seams_.makeTelemetry ? seams_.makeTelemetry(options_.telemetryEndpoint) : nullptr;
  if (!telemetry_) telemetry_ = makeSilentTelemetry(options_.telemetryEndpoint);
  landmarkFree_ = envFlagEnabled("TESMIRA_LANDMARK_FREE");
  camera_.source = seams_.makeCapture ? seams_.makeCapture(options_) : nullptr;
  if (!camera_.source) camera_.source = makePhysicalCamera(options_);
}

void ProducerSession::runLoop() {
  while (!gStopRequested.load()) {
    if (!pass()) return;
  }
}

CameraStateSnapshot ProducerSession::defaultSnapshot() const {
  CameraStateSnapshot snapshot;
  snapshot.settings = options_.retouchDefaults;
  snapshot.bypass = options_.bypass;
  snapshot.width = 1280;
  snapshot.height = 720;
  snapshot.fps = 30.0;
  return snapshot;
}

bool ProducerSession::pass() {
  const int64_t now = steadyNs();
  const uint64_t tick = GetTickCount64();
  const ControlReading control = readControl(static_cast<const VcamControlBlock*>(control_.channel.view), tick);
  const bool demand = alwaysOn_ || control.demand;
  const bool preview = alwaysOn_ ? false : control.preview;
  const bool vcam = alwaysOn_ ? true : control.vcam;

  if (previewWasActive_ && !preview && control.valid && control.previewTick == 0 && control.fallbackWidth == 0) {
    telemetry_->recordPreviewOff(lastSnapshot_ ? *lastSnapshot_ : defaultSnapshot());
  }
  std::string consumerKey;
  if (vcam) {
    if (!consumers_.channel.view) {
      consumers_.channel = openChannelReadOnly(kVcamConsumersChannelName, sizeof(VcamConsumersBlock));
    }
    consumerKey = consumerKeyFrom(static_cast<const VcamConsumersBlock*>(consumers_.channel.view), tick);
  }
  telemetry_->setConsumerKey(consumerKey);
  if (preview != recordedPreview_) {
    telemetry_->setSurfaceActive(TelemetrySurface::kPreview, preview);
    recordedPreview_ = preview;
  }
  if (vcam != recordedVcam_) {
    telemetry_->setSurfaceActive(TelemetrySurface::kVcam, vcam);
    recordedVcam_ = vcam;
  }
  previewWasActive_ = preview;

  if (!demand) {
    idlePass(now);
    return true;
  }
  return demandPass(now, control.request);
}

void ProducerSession::ensureContext() {
  if (context_) return;
  logLine("initializing retouch context");
  status_.setState(kProducerStateStarting, 0);
  try {
    context_ = seams_.makeContext ? seams_.makeContext(options_) : makePassThroughContext(options_);
    if (!context_) throw std::runtime_error("retouch context unavailable");
  } catch (...) {
    status_.setState(kProducerStateModelFailure, 0);
    throw;
  }
  const uint32_t cpuFallback = context_->hasGpuCompositor() ? 0 : 1;
  if (cpuFallback != detailGiven_) {
    status_.setDetail(cpuFallback);
    detailGiven_ = cpuFallback;
    if (cpuFallback) logLine("status: CPU fallback active (D3D compositor unavailable)");
  }
  provider_ = context_->providerName();
  logLine("retouch context ready provider=" + provider_);
}

bool ProducerSession::demandPass(int64_t now, const CaptureRequest& request) {
  lastDemandNs_ = now;
  if (!stillMode_ && (!selectionMade_ || !sameRequest(request, selection_))) {
    if (camera_.opened) camera_.stop();
    selection_ = request;
    selectionMade_ = true;
    // Landmark lead prediction forgets its previous detection here once it is plugged in.
    logLine("capture selection changed to camera-index=" + std::to_string(selection_.cameraIndex) + " " +
            std::to_string(selection_.width) + "x" + std::to_string(selection_.height) + "@" +
            std::to_string(selection_.fpsNumerator) + "/" + std::to_string(selection_.fpsDenominator));
  }
  if (!demandLogged_) {
    logLine("vcam demand active");
    demandLogged_ = true;
  }
  ensureContext();

  if (!stillMode_ && !camera_.opened) {
    if (now - lastOpenAttemptNs_ >= kNsPerSecond) {
      lastOpenAttemptNs_ = now;
      if (camera_.source->open(selection_, options_.mirror)) {
        camera_.opened = true;
        firstFailedReadTick_ = 0;
      } else {
        const HRESULT hr = camera_.source->lastHresult();
        status_.setState(stateFromHresult(hr), uint32_t(hr));
      }
    }
    if (!camera_.opened) {
      sleepMs(50);
      return true;
    }
  }

  const int64_t frameStart = now;
  cv::Mat frame;
  if (stillMode_) {
    frame = still_;
  } else {
    int64_t t = steadyNs();
    if (!camera_.source->waitFrame(frame, 200) || frame.empty()) {
      ++window_.readMisses;
      const uint64_t tick = GetTickCount64();
      if (firstFailedReadTick_ == 0) {
        firstFailedReadTick_ = tick;
      } else if (tick - firstFailedReadTick_ > 2000) {
        status_.setState(kProducerStateCaptureFailure, 0);
      }
      sleepMs(10);
      return true;
    }
    firstFailedReadTick_ = 0;
    stages_[kCapture].add(msBetween(t, steadyNs()));
    t = steadyNs();
    if (options_.mirror && !camera_.source->mirrorsInCapture()) cv::flip(frame, frame, 1);
    stages_[kPre].add(msBetween(t, steadyNs()));
  }
  return processAndPublish(now, frameStart, frame);
}

bool ProducerSession::processAndPublish(int64_t passNow, int64_t frameStart, const cv::Mat& frame) {
  const int64_t timestampMs = (steadyNs() - startNs_) / kNsPerMs;
  const RetouchSettings settings =
      frameSettings(static_cast<const RetouchSettingsBlock*>(settings_.channel.view), options_.retouchDefaults);
  cv::Mat output = frame;
  bool nv12Ready = false;
  int outWidth = 0, outHeight = 0;
  RetouchTimings timings;
  CameraStateReason reason = CameraStateReason::kRetouched;
  bool stateToRecord = false;

  if (options_.bypass) {
    reason = CameraStateReason::kBypass;
    stateToRecord = true;
  } else {
    try {
      int64_t t = steadyNs();
      LandmarkResult detected;
      const LandmarkResult* landmarks = &detected;
      if (!landmarkFree_ || !cachedLandmark_) {
        detected = context_->detect(frame, timestampMs);
        if (landmarkFree_ && detected.found && !detected.points.empty()) cachedLandmark_ = detected;
      } else {
        landmarks = &*cachedLandmark_;
      }
      stages_[kLandmark].add(msBetween(t, steadyNs()));
      const bool face = landmarks->found && !landmarks->points.empty();
      t = steadyNs();
      static const std::vector<LandmarkPoint> kNoPoints;
      // Points go to the engine as detected until lead prediction is plugged in.
      nv12Ready = context_->processFrame(frame, face ? landmarks->points : kNoPoints, settings, nv12_, outWidth,
                                         outHeight, output, timings);
      stages_[kPipeline].add(msBetween(t, steadyNs()));
      if (face) {
        ++window_.face;
        stages_[kSkinModel].add(timings.skinModelMs);
        stages_[kSkinComp].add(timings.skinCompMs);
        stages_[kPaste].add(timings.pasteMs);
        if (timings.mouthOpen) ++window_.mouthOpen;
        if (timings.teeth) {
          ++window_.teethFrames;
          stages_[kTeethTotal].add(timings.teethTotalMs);
          stages_[kTeethModel].add(timings.teethModelMs);
          stages_[kTeethComp].add(timings.teethCompMs);
        }
        if (timings.eye) {
          ++window_.eyeFrames;
          stages_[kEye].add(timings.eyeMs);
        }
        ++window_.retouched;
        reason = CameraStateReason::kRetouched;
      } else {
        ++window_.noFace;
        reason = CameraStateReason::kNoFace;
      }
      stateToRecord = true;
    } catch (const std::exception& error) {
      ++window_.processErrors;
      reason = CameraStateReason::kModelError;
      stateToRecord = true;
      nv12Ready = false;
      output = frame;
      if (window_.processErrors <= 5 || window_.processErrors % 60 == 0) {
        logLine(std::string("warning: retouch processing failed: ") + error.what());
      }
    }
  }
  // Never read past what the engine filled.
  if (nv12Ready && (outWidth <= 0 || outHeight <= 0 || nv12_.size() < nv12Bytes(uint64_t(outWidth), uint64_t(outHeight)))) {
    nv12Ready = false;
  }

  if (options_.stampSeq) {
    const uint32_t tick = uint32_t(GetTickCount64());
    if (nv12Ready) {
      stampNv12Frame(nv12_.data(), outWidth, outHeight, uint32_t(totalFrames_), tick);
    } else {
      output = output.clone();
      stampBgrFrame(output, uint32_t(totalFrames_), tick);
    }
  }

  int64_t t = steadyNs();
  const bool published = nv12Ready ? frameWriter_.publishNv12(nv12_.data(), outWidth, outHeight)
                                   : frameWriter_.publishBgr(output);
  if (published) {
    ++window_.published;
    status_.setState(kProducerStateLive, 0);
    if (stateToRecord) {
      CameraStateSnapshot snapshot;
      snapshot.settings = settings;
      snapshot.bypass = options_.bypass;
      snapshot.width = uint32_t(nv12Ready ? outWidth : output.cols);
      snapshot.height = uint32_t(nv12Ready ? outHeight : output.rows);
      snapshot.fps = int32_t(selection_.fpsDenominator) > 0
                         ? double(selection_.fpsNumerator) / double(selection_.fpsDenominator)
                         : 30.0;
      snapshot.provider = providerForLines();
      lastSnapshot_ = snapshot;
      telemetry_->recordCameraState(snapshot, reason);
    }
  }
  stages_[kPublish].add(msBetween(t, steadyNs()));

  const double frameTotalMs = msBetween(frameStart, steadyNs());
  stages_[kTotal].add(frameTotalMs);

  const int64_t afterFrame = steadyNs();
  if (timings.teeth && (timings.teethTotalMs >= 25.0 || frameTotalMs >= 60.0) &&
      afterFrame - lastSlowLineNs_ >= 2 * kNsPerSecond) {
    logLine("slow frame timings_ms total=" + fixed2(frameTotalMs) + " pipeline=" + fixed2(timings.pipelineMs) +
            " skin_model=" + fixed2(timings.skinModelMs) + " skin_comp=" + fixed2(timings.skinCompMs) +
            " teeth_total=" + fixed2(timings.teethTotalMs) + " teeth_roi=" + fixed2(timings.teethRoiMs) +
            " teeth_model=" + fixed2(timings.teethModelMs) + " teeth_comp=" + fixed2(timings.teethCompMs) +
            " eye=" + fixed2(timings.eyeMs) + " paste=" + fixed2(timings.pasteMs));
    lastSlowLineNs_ = afterFrame;
  }

  if (stillMode_ && options_.stillFps > 0.0) {
    const double periodMs = 1000.0 / options_.stillFps;
    if (periodMs > frameTotalMs) sleepMs(periodMs - frameTotalMs);
  }

  ++totalFrames_;
  if (options_.headlessFrames > 0 && totalFrames_ >= uint64_t(options_.headlessFrames)) return false;

  if (passNow - lastStatsNs_ >= 5 * kNsPerSecond) {
    logStatistics();
    lastStatsNs_ = passNow;
  }
  return true;
}

void ProducerSession::logStatistics() {
  const WindowCounters& w = window_;
  std::string line = "vcam producer frames=" + std::to_string(totalFrames_) + " published=" + std::to_string(w.published) +
                     " face=" + std::to_string(w.face) + " retouched=" + std::to_string(w.retouched) +
                     " no-face=" + std::to_string(w.noFace) + " process-errors=" + std::to_string(w.processErrors) +
                     " read-misses=" + std::to_string(w.readMisses) + " mouth-open=" + std::to_string(w.mouthOpen) +
                     " teeth-frames=" + std::to_string(w.teethFrames) + " eye-frames=" + std::to_string(w.eyeFrames) +
                     " d3d-texture-frames=" + std::to_string(w.d3dTextureFrames) + " provider=" + providerForLines() +
                     " timings_ms(avg/max)";
  for (int stage = 0; stage < kStageCount; ++stage) line += " " + formatStageTiming(kStageNames[stage], stages_[stage]);
  out_ << line << std::endl;
  logLine(line);
  window_ = {};
  stages_ = {};
}

void ProducerSession::idlePass(int64_t now) {
  if (camera_.opened) {
    camera_.stop();
    logLine("physical camera released: no active vcam consumers");
  }
  if (demandLogged_) {
    logLine("vcam demand inactive");
    demandLogged_ = false;
  }
  if (context_ && now - lastDemandNs_ >= 60 * kNsPerSecond) {
    context_.reset();
    logLine("retouch context released after idle");
  }
  status_.setState(kProducerStateNone, 0);
  firstFailedReadTick_ = 0;
  sleepMs(100);
}

void ProducerSession::stopSequence() {
  if (camera_.opened) {
    camera_.stop();
    logLine("physical camera released: producer stopping");
  }
  logLine("vcam producer stopped");
  endTimerPeriod();
}

}  // namespace

void StageTiming::add(double ms) {
  sumMs += ms;
  if (ms > maxMs) maxMs = ms;
  ++count;
}

std::string formatStageTiming(const std::string& name, const StageTiming& timing) {
  const double average = timing.count ? timing.sumMs / timing.count : 0.0;
  return name + "=" + fixed2(average) + "/" + fixed2(timing.maxMs);
}

bool envFlagEnabled(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] == '1';
}

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
