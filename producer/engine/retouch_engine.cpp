#include "producer/engine/retouch_engine.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/environment.h"
#include "producer/engine/crop_calibration.h"
#include "producer/engine/crop_paste.h"
#include "producer/engine/eye_effects.h"
#include "producer/engine/face_compositing.h"
#include "producer/engine/retouch_assets.h"
#include "producer/engine/retouch_models.h"
#include "producer/loop_clock.h"

namespace tesmira {
namespace {

constexpr int kSkinFieldWidth = 40;
constexpr int kSkinFieldHeight = 64;
constexpr int kTeethPatch = 256;
constexpr int kTeethSide = 128;
constexpr size_t kTeethMinPoints = 416;
constexpr size_t kMouthTestMinPoints = 153;

// A double beyond the float range would be undefined as a float; it becomes infinite.
float toFloat(double v) {
  if (v > double(FLT_MAX)) return INFINITY;
  if (v < -double(FLT_MAX)) return -INFINITY;
  return float(v);
}

cv::Matx23f affineAsFloats(const std::array<double, 6>& m) {
  return cv::Matx23f(toFloat(m[0]), toFloat(m[1]), toFloat(m[2]), toFloat(m[3]), toFloat(m[4]), toFloat(m[5]));
}

// The engine's own image for this frame: last frame's buffer again unless a caller still holds it.
cv::Mat& reusable(cv::Mat& image) {
  if (image.u && image.u->refcount > 1) image.release();
  return image;
}

}  // namespace

// The CPU face stage's images, fields and point lists, reused frame to frame.
struct FaceStageScratch {
  cv::Mat fieldPlane, field, fullMask, retouched;
  cv::Mat plainPatch, retouchedPatch, plainSmall, retouchedSmall;
  std::vector<float> teethRaw;
  cv::Mat teethField, teethPlane, inside, soft, composited, difference, delta;
  MouthMaskScratch insideScratch, softScratch;
  std::vector<cv::Point2f> mapped, ring;
  EyeScratch eyes;
};

namespace {

// Teeth whitening on `image` (the skin-retouched crop) in place; false when it left the
// image as it was.
bool retouchTeethInPlace(RetouchModels& models, const cv::Mat& teethMask, FaceStageScratch& s, cv::Mat& image,
                         const cv::Mat& crop, const std::vector<cv::Point2f>& points, float strength,
                         RetouchTimings* timings) {
  const int64_t totalStart = steadyNs();
  if (points.size() < kTeethMinPoints || !(strength > 0)) return false;

  int64_t start = steadyNs();
  cv::Point2f centre((points[13].x + points[14].x) * 0.5f, (points[13].y + points[14].y) * 0.5f);
  if (!std::isfinite(centre.x) || !std::isfinite(centre.y)) return false;
  // A centre a whole patch beyond the crop samples only replicated border and pastes
  // nowhere; clamping it there keeps every later bound finite and small.
  centre.x = std::clamp(centre.x, -float(kTeethPatch), float(crop.cols + kTeethPatch));
  centre.y = std::clamp(centre.y, -float(kTeethPatch), float(crop.rows + kTeethPatch));

  const cv::Size side(kTeethSide, kTeethSide);
  cv::getRectSubPix(crop, cv::Size(kTeethPatch, kTeethPatch), centre, s.plainPatch);
  cv::getRectSubPix(image, cv::Size(kTeethPatch, kTeethPatch), centre, s.retouchedPatch);
  cv::resize(s.plainPatch, s.plainSmall, side, 0, 0, cv::INTER_LINEAR);
  cv::resize(s.retouchedPatch, s.retouchedSmall, side, 0, 0, cv::INTER_LINEAR);
  if (timings) timings->teeth_roi = msBetween(start, steadyNs());

  start = steadyNs();
  models.runTeeth(s.plainSmall, s.teethRaw);
  if (timings) timings->teeth_model = msBetween(start, steadyNs());

  start = steadyNs();
  decodeModelField(s.teethRaw, kTeethSide, kTeethSide, side, {}, s.teethField, s.teethPlane);
  s.mapped.clear();
  const float left = centre.x - float(kTeethSide), top = centre.y - float(kTeethSide);
  for (const cv::Point2f& p : points) s.mapped.emplace_back((p.x - left) * 0.5f, (p.y - top) * 0.5f);
  // A shut mouth (a ring without area) shows no teeth.
  s.ring.clear();
  for (int i : kMouthIndices) s.ring.push_back(s.mapped[size_t(i)]);
  const double area = std::fabs(cv::contourArea(s.ring));
  if (!(area >= 1.0)) return false;
  // Soft inside the inner lips and zero beyond them: a wide blur would whiten the lips.
  softMouthMask(side, s.mapped, kMouthIndices.data(), kMouthIndices.size(), 0.0, s.inside, s.insideScratch);
  softMouthMask(side, s.mapped, kMouthIndices.data(), kMouthIndices.size(), 1.5, s.soft, s.softScratch);
  cv::multiply(s.soft, s.inside, s.soft);
  cv::multiply(s.soft, teethMask, s.soft);
  composeTeeth(s.retouchedSmall, s.teethField, s.soft, strength, s.composited);

  // Byte differences are exact in floats.
  cv::subtract(s.composited, s.retouchedSmall, s.difference, cv::noArray(), CV_32F);
  cv::resize(s.difference, s.delta, cv::Size(kTeethPatch, kTeethPatch), 0, 0, cv::INTER_LINEAR);
  addPatchDelta(image, centre, s.delta);
  if (timings) {
    timings->teeth_comp = msBetween(start, steadyNs());
    timings->teeth_total = msBetween(totalStart, steadyNs());
  }
  return true;
}

}  // namespace

std::filesystem::path toneAtlasPath(const std::filesystem::path& resourcesDir, int index) {
  std::string folder = resourcesDir.string();
  const bool separated = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
  if (!separated) folder += char(std::filesystem::path::preferred_separator);
  return std::filesystem::path(folder + kToneAtlasNames[index - 1]);
}

RetouchEngine::RetouchEngine(const ProducerOptions& options, RetouchModels& models, const CropCalibration& calibration,
                             bool preferGpu, const CompositorFactory& makeCompositor)
    : models_(&models), calibration_(&calibration), scratch_(std::make_unique<FaceStageScratch>()) {
  facemask_ = loadImageChannel(options.facemaskPath, 0);
  skinMask_ = loadImageChannel(options.skinMaskPath, 2);
  teethMask_ = loadImageChannel(options.teethMaskPath, 0);
  lookup_ = loadLookupTexture(options.lookupPath);
  cv::resize(facemask_, facemask_, cv::Size(kCropWidth, kCropHeight), 0, 0, cv::INTER_LINEAR);
  cv::resize(teethMask_, teethMask_, cv::Size(kTeethSide, kTeethSide), 0, 0, cv::INTER_LINEAR);
  setUpCompositor(options, preferGpu, makeCompositor);
}

RetouchEngine::~RetouchEngine() = default;

void RetouchEngine::setUpCompositor(const ProducerOptions& options, bool preferGpu,
                                    const CompositorFactory& makeCompositor) {
  const bool pasteWanted = environmentBeginsWith("TESMIRA_GPU_PASTE", '1');
  const bool residentWanted = environmentBeginsWith("TESMIRA_GPU_RESIDENT", '1') ||
                              (!environmentBeginsWith("TESMIRA_GPU_RESIDENT", '0') && preferGpu && !pasteWanted);
  if (!pasteWanted && !residentWanted) return;
  try {
    compositor_ = makeCompositor ? makeCompositor() : createGpuCompositor();
    if (!compositor_) throw std::runtime_error("no GPU compositor");
    if (!residentWanted) {
      gpuPaste_ = 1;
      return;
    }
    compositor_->setFacemask(facemask_);
    for (int index = 1; index <= kToneCount; ++index) {
      const std::filesystem::path path = toneAtlasPath(options.resourcesDir, index);
      const cv::Mat bgr = cv::imread(path.string(), cv::IMREAD_COLOR);
      if (bgr.empty()) throw std::runtime_error("Could not load tone LUT: " + path.string());
      cv::Mat rgba;
      cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
      compositor_->setToneLut(index, rgba);
    }
    gpuResident_ = 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "GPU compositor unavailable, using CPU path: %s\n", error.what());
    gpuPaste_ = 0;
    gpuResident_ = 0;
  }
}

ID3D11Device* RetouchEngine::d3dDevice() const { return compositor_ ? compositor_->device() : nullptr; }

bool RetouchEngine::processFrame(const CameraFrame& cameraFrame, const std::vector<LandmarkPoint>& landmarks,
                                 const RetouchSettings& settings, std::vector<uint8_t>& nv12, uint32_t& outWidth,
                                 uint32_t& outHeight, cv::Mat& bgrOut, RetouchTimings* timings) {
  const cv::Mat& frame = cameraFrame.image;
  RetouchTimings own;
  RetouchTimings& t = timings ? *timings : own;
  t = RetouchTimings{};
  const int64_t start = steadyNs();
  const bool resident = gpuResident_ && compositor_;
  auto finish = [&](bool nv12Ready) {
    if (nv12Ready) {
      outWidth = uint32_t(frame.cols);
      outHeight = uint32_t(frame.rows);
    }
    t.pipeline = msBetween(start, steadyNs());
    return nv12Ready;
  };

  if (landmarks.empty()) {
    if (resident && (settings.sharpen > 0 || settings.tone >= 1)) {
      const GpuPostParams post{settings.sharpen, settings.tone, nullptr};
      GpuTimings gpu;
      if (compositor_->processCameraOnly(cameraFrame, post, nv12, gpu))
        return finish(true);
    }
    bgrOut = frame;
    return finish(false);
  }

  const FaceCrop& face = face_;
  runSkinStage(frame, landmarks, settings, t, face_);
  if (resident) {
    std::optional<PerspectiveField> field =
        buildPerspectiveField(landmarks, frame.cols, frame.rows, settings.perspectiveStrength, 0.0f);
    GpuPostParams post{settings.sharpen, settings.tone, field ? &*field : nullptr};
    const bool teethWanted = settings.teeth > 0 && face.mouthOpen;
    const bool eyesWanted = settings.eyeWhite > 0 || settings.eyeSharp > 0;
    if (!teethWanted && !eyesWanted) {
      GpuTimings gpu;
      if (compositor_->processResident(cameraFrame, face, settings.gain, settings.maskBypass, post, nv12, gpu)) {
        t.skin_comp = gpu.compositeGpu;
        t.paste = gpu.pasteGpu;
        return finish(true);
      }
    } else {
      const cv::Mat retouched = faceStageCpu(frame, face, settings, t);
      GpuTimings gpu;
      if (compositor_->pasteCrops(cameraFrame, face, retouched, post, nv12, gpu)) {
        t.paste = gpu.pasteGpu;
        return finish(true);
      }
      const int64_t pasteStart = steadyNs();
      cv::Mat& pasted = reusable(pasted_);
      pasteCropCpu(frame, face.crop, retouched, face.cropFromFrame, pasted);
      bgrOut = pasted;
      t.paste = msBetween(pasteStart, steadyNs());
      return finish(false);
    }
  }

  bgrOut = retouchFaceCpu(frame, frame, face, settings, t);
  return finish(false);
}

FaceCrop RetouchEngine::runSkinStage(const cv::Mat& frame, const std::vector<LandmarkPoint>& landmarks,
                                     const RetouchSettings& settings, RetouchTimings& timings) {
  FaceCrop face;
  runSkinStage(frame, landmarks, settings, timings, face);
  return face;
}

void RetouchEngine::runSkinStage(const cv::Mat& frame, const std::vector<LandmarkPoint>& landmarks,
                                 const RetouchSettings& settings, RetouchTimings& timings, FaceCrop& face) {
  face.cropFromFrame = calibration_->cropPoints(landmarks);
  face.mouthOpen = false;
  const auto& m = face.cropFromFrame;
  // Last frame's crop is dropped first: holding the buffer, it would make it look taken.
  face.crop.release();
  cv::Mat& crop = reusable(cropBuffer_);
  cv::warpAffine(frame, crop, affineAsFloats(m), cv::Size(kCropWidth, kCropHeight), cv::INTER_LINEAR,
                 cv::BORDER_REPLICATE);
  face.crop = crop;
  face.points.clear();
  face.points.reserve(landmarks.size());
  for (const LandmarkPoint& p : landmarks) {
    const double x = p.x, y = p.y;
    face.points.emplace_back(toFloat(m[0] * x + m[1] * y + m[2]), toFloat(m[3] * x + m[4] * y + m[5]));
  }

  const int64_t modelStart = steadyNs();
  models_->runSkin(face.crop, settings, face.skinField);
  timings.skin_model = msBetween(modelStart, steadyNs());

  if (face.points.size() >= kMouthTestMinPoints) {
    const std::vector<cv::Point2f>& p = face.points;
    const float dx = p[13].x - p[14].x, dy = p[13].y - p[14].y;
    const float opening = std::sqrt(dx * dx + dy * dy);
    const float faceHalfHeight = std::max(0.5f * std::fabs(p[10].y - p[152].y), 1.0f);
    face.mouthOpen = opening / faceHalfHeight >= 0.03f;
  }
  timings.mouthOpen = face.mouthOpen;
}

cv::Mat RetouchEngine::faceStageCpu(const cv::Mat& frame, const FaceCrop& face, const RetouchSettings& settings,
                                    RetouchTimings& timings) {
  FaceStageScratch& s = *scratch_;
  const int64_t start = steadyNs();
  decodeModelField(face.skinField, kSkinFieldWidth, kSkinFieldHeight, cv::Size(kCropWidth, kCropHeight),
                   kNeutralSkinField, s.field, s.fieldPlane);
  if (settings.maskBypass && s.fullMask.empty()) s.fullMask = cv::Mat(facemask_.size(), CV_32FC1, cv::Scalar(1.0));
  const cv::Mat& mask = settings.maskBypass ? s.fullMask : facemask_;
  cv::Mat& retouched = reusable(s.retouched);
  composeSkin(face.crop, s.field, mask, settings.gain, retouched);
  timings.skin_comp = msBetween(start, steadyNs());

  if (settings.teeth > 0 && face.mouthOpen) {
    timings.teethApplied = true;
    retouchTeethInPlace(*models_, teethMask_, s, retouched, face.crop, face.points, settings.teeth, &timings);
  }
  if (settings.eyeWhite > 0 || settings.eyeSharp > 0) {
    const int64_t eyeStart = steadyNs();
    retouchEyeRegionInPlace(retouched, face.points, frame.cols, frame.rows, face.cropFromFrame, settings, skinMask_,
                            lookup_, s.eyes);
    timings.eyeApplied = true;
    timings.eye = msBetween(eyeStart, steadyNs());
  }
  return retouched;
}

cv::Mat RetouchEngine::retouchTeeth(const cv::Mat& retouched, const cv::Mat& crop,
                                    const std::vector<cv::Point2f>& points, float strength, RetouchTimings* timings) {
  cv::Mat result = retouched.clone();
  if (!retouchTeethInPlace(*models_, teethMask_, *scratch_, result, crop, points, strength, timings)) return retouched;
  return result;
}

cv::Mat RetouchEngine::retouchEyes(const cv::Mat& retouched, const std::vector<cv::Point2f>& points, int frameWidth,
                                   int frameHeight, const std::array<double, 6>& cropFromFrame,
                                   const RetouchSettings& settings) {
  cv::Mat result = retouched.clone();
  if (!retouchEyeRegionInPlace(result, points, frameWidth, frameHeight, cropFromFrame, settings, skinMask_, lookup_,
                               scratch_->eyes))
    return retouched;
  return result;
}

cv::Mat RetouchEngine::retouchFaceCpu(const cv::Mat& faceFrame, const cv::Mat& pasteFrame, const FaceCrop& face,
                                      const RetouchSettings& settings, RetouchTimings& timings) {
  const cv::Mat retouched = faceStageCpu(faceFrame, face, settings, timings);
  const int64_t start = steadyNs();
  cv::Mat result;
  if (gpuPaste_ && compositor_) {
    GpuDeltaTimings gpu;
    result = compositor_->applyDelta(pasteFrame, face.crop, retouched, face.cropFromFrame, gpu);
  } else {
    cv::Mat& pasted = reusable(pasted_);
    pasteCropCpu(pasteFrame, face.crop, retouched, face.cropFromFrame, pasted);
    result = pasted;
  }
  timings.paste = msBetween(start, steadyNs());
  return result;
}

}  // namespace tesmira
