// V4L2 cameras found under /dev: YUYV and NV12 as the device gives them, MJPEG
// decoded to BGR24.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/strings.h"
#include "mfdevices/camera_decoders.h"
#include "mfdevices/camera_internal.h"

namespace tesmira::platform::cameras {
namespace fs = std::filesystem;
namespace {

int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = ::ioctl(fd, request, arg);
  } while (r == -1 && errno == EINTR);
  return r;
}

HRESULT hresultFromErrno(int error) {
  switch (error) {
    case EBUSY: return kCameraBusy;
    case EACCES:
    case EPERM: return kCameraAccessDenied;
    case ENOENT:
    case ENODEV:
    case ENXIO: return kCameraNotFound;
    default: return HRESULT(0x8007001F);  // ERROR_GEN_FAILURE
  }
}

bool isCaptureDevice(int fd, std::string& card) {
  v4l2_capability caps{};
  if (xioctl(fd, VIDIOC_QUERYCAP, &caps) != 0) return false;
  const uint32_t own = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
  if (!(own & V4L2_CAP_VIDEO_CAPTURE) || !(own & V4L2_CAP_STREAMING)) return false;
  card.assign(reinterpret_cast<const char*>(caps.card), strnlen(reinterpret_cast<const char*>(caps.card), sizeof caps.card));
  return true;
}

struct Native {
  uint32_t fourcc;
  PixelFormat format;
};
constexpr Native kNatives[] = {{V4L2_PIX_FMT_NV12, PixelFormat::NV12},
                               {V4L2_PIX_FMT_YUYV, PixelFormat::YUYV},
                               {V4L2_PIX_FMT_MJPEG, PixelFormat::BGR24}};

class V4l2CameraDevice final : public ICameraDevice {
 public:
  explicit V4l2CameraDevice(const CameraInfo& info) : info_(info) { enumerateModes(); }
  ~V4l2CameraDevice() override { stop(); }

  const CameraInfo& info() const override { return info_; }
  std::vector<CameraMode> modes() const override {
    std::vector<CameraMode> modes;
    for (const auto& m : modes_) modes.push_back(m.mode);
    return modes;
  }

  HRESULT start(const CameraMode& mode) override {
    stop();
    const auto it = std::find_if(modes_.begin(), modes_.end(), [&](const auto& m) { return m.mode == mode; });
    if (it == modes_.end()) return kCameraModeRefused;
    fd_ = ::open(info_.definition.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return hresultFromErrno(errno);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = mode.width;
    format.fmt.pix.height = mode.height;
    format.fmt.pix.pixelformat = it->fourcc;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (xioctl(fd_, VIDIOC_S_FMT, &format) != 0) return fail(errno);
    if (format.fmt.pix.width != mode.width || format.fmt.pix.height != mode.height ||
        format.fmt.pix.pixelformat != it->fourcc) {
      return fail(EINVAL, kCameraModeRefused);
    }
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe.numerator = mode.fpsDenominator;
    parm.parm.capture.timeperframe.denominator = mode.fpsNumerator;
    xioctl(fd_, VIDIOC_S_PARM, &parm);  // best effort: not every driver lets the rate be set
    fourcc_ = it->fourcc;
    mode_ = mode;
    stride_ = fourcc_ == V4L2_PIX_FMT_MJPEG ? minimumStride(mode.format, mode.width) : format.fmt.pix.bytesperline;
    if (stride_ < minimumStride(mode.format, mode.width)) return fail(EINVAL, kCameraModeRefused);
    v4l2_requestbuffers request{};
    request.count = 4;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd_, VIDIOC_REQBUFS, &request) != 0 || request.count == 0) return fail(errno);
    for (uint32_t i = 0; i < request.count; ++i) {
      v4l2_buffer buffer{};
      buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buffer.memory = V4L2_MEMORY_MMAP;
      buffer.index = i;
      if (xioctl(fd_, VIDIOC_QUERYBUF, &buffer) != 0) return fail(errno);
      void* at = ::mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, buffer.m.offset);
      if (at == MAP_FAILED) return fail(errno);
      maps_.push_back({static_cast<uint8_t*>(at), buffer.length});
      if (xioctl(fd_, VIDIOC_QBUF, &buffer) != 0) return fail(errno);
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd_, VIDIOC_STREAMON, &type) != 0) return fail(errno);
    if (::pipe2(cancelPipe_, O_CLOEXEC | O_NONBLOCK) != 0) return fail(errno);
    sequence_ = 0;
    return S_OK;
  }

  HRESULT readFrame(CameraFrame& frame) override {
    if (fd_ < 0) return kCameraStopped;
    if (queued_ >= 0) requeue();
    pollfd fds[2] = {{fd_, POLLIN, 0}, {cancelPipe_[0], POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, 5000) < 0) {
        if (errno == EINTR) continue;
        return hresultFromErrno(errno);
      }
      if (fds[1].revents) return kCameraStopped;
      if (fds[0].revents & (POLLERR | POLLHUP)) return kCameraNotFound;
      if (fds[0].revents & POLLIN) break;
    }
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd_, VIDIOC_DQBUF, &buffer) != 0) return hresultFromErrno(errno);
    queued_ = int(buffer.index);
    const uint8_t* data = maps_[buffer.index].data;
    size_t size = std::min<size_t>(buffer.bytesused, maps_[buffer.index].length);
    if (fourcc_ == V4L2_PIX_FMT_MJPEG) {
      const CameraDecoders* decoders = cameraDecoders();
      if (!decoders || !decoders->decodeJpeg(data, size, int(mode_.width), int(mode_.height), decoded_)) {
        size = 0;  // a broken JPEG comes as an empty (short) frame
      } else {
        data = decoded_.data;
        size = decoded_.total() * decoded_.elemSize();
      }
    }
    frame.data = data;
    frame.size = size;
    frame.stride = stride_;
    frame.width = mode_.width;
    frame.height = mode_.height;
    frame.format = mode_.format;
    frame.timestampNs = uint64_t(buffer.timestamp.tv_sec) * 1000000000ull + uint64_t(buffer.timestamp.tv_usec) * 1000ull;
    frame.sequence = sequence_++;
    return S_OK;
  }

  void stop() override {
    if (fd_ >= 0) {
      v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      xioctl(fd_, VIDIOC_STREAMOFF, &type);
    }
    for (const auto& m : maps_) ::munmap(m.data, m.length);
    maps_.clear();
    queued_ = -1;
    for (int& p : cancelPipe_) {
      if (p >= 0) ::close(p);
      p = -1;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void cancel() override {
    if (cancelPipe_[1] >= 0) {
      const char byte = 1;
      [[maybe_unused]] ssize_t n = ::write(cancelPipe_[1], &byte, 1);
    }
  }

 private:
  struct Mapping {
    uint8_t* data;
    size_t length;
  };
  struct NativeMode {
    CameraMode mode;
    uint32_t fourcc;
  };

  HRESULT fail(int error, HRESULT hr = 0) {
    stop();
    return hr ? hr : hresultFromErrno(error);
  }

  void requeue() {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = uint32_t(queued_);
    xioctl(fd_, VIDIOC_QBUF, &buffer);
    queued_ = -1;
  }

  void enumerateModes() {
    const int fd = ::open(info_.definition.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    for (const Native& native : kNatives) {
      v4l2_frmsizeenum size{};
      size.pixel_format = native.fourcc;
      for (size.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0 && size.type == V4L2_FRMSIZE_TYPE_DISCRETE;
           ++size.index) {
        v4l2_frmivalenum interval{};
        interval.pixel_format = native.fourcc;
        interval.width = size.discrete.width;
        interval.height = size.discrete.height;
        for (interval.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0 &&
                                 interval.type == V4L2_FRMIVAL_TYPE_DISCRETE;
             ++interval.index) {
          nlohmann::json j = {{"width", size.discrete.width},
                              {"height", size.discrete.height},
                              {"fpsNumerator", interval.discrete.denominator},
                              {"fpsDenominator", interval.discrete.numerator},
                              {"format", formatName(native.format)}};
          CameraMode mode;
          if (parseMode(j, mode)) modes_.push_back({mode, native.fourcc});
        }
      }
    }
    ::close(fd);
  }

  CameraInfo info_;
  std::vector<NativeMode> modes_;
  int fd_ = -1;
  int cancelPipe_[2] = {-1, -1};
  uint32_t fourcc_ = 0;
  CameraMode mode_;
  uint32_t stride_ = 0;
  std::vector<Mapping> maps_;
  int queued_ = -1;
  cv::Mat decoded_;
  uint64_t sequence_ = 0;
};

}  // namespace

std::vector<CameraInfo> discoverV4l2Cameras() {
  std::vector<fs::path> nodes;
  std::error_code ec;
  for (fs::directory_iterator it("/dev", ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind("video", 0) == 0) nodes.push_back(it->path());
  }
  std::sort(nodes.begin(), nodes.end());
  std::vector<CameraInfo> cameras;
  for (const fs::path& node : nodes) {
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    std::string card;
    if (isCaptureDevice(fd, card)) {
      CameraInfo info;
      info.kind = CameraKind::V4l2;
      info.friendlyName = fromUtf8(card.empty() ? node.filename().string() : card);
      info.symbolicLink = makeSymbolicLink(L"v4l2", fromUtf8(node.filename().string()));
      info.definition = node;
      cameras.push_back(std::move(info));
    }
    ::close(fd);
  }
  return cameras;
}

std::unique_ptr<ICameraDevice> makeV4l2Camera(const CameraInfo& info) {
  return std::make_unique<V4l2CameraDevice>(info);
}

}  // namespace tesmira::platform::cameras
