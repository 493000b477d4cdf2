#pragma once
// An exclusive flock on a file or folder, held while the guard lives: it
// serialises work between processes on one machine.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

namespace tesmira::platform {

class ExclusiveLock {
 public:
  // openFlags: how to open the path (O_RDONLY | O_DIRECTORY for a folder,
  // O_RDWR | O_CREAT for a lock file made on first use).
  ExclusiveLock(const std::filesystem::path& path, int openFlags) : fd_(::open(path.c_str(), openFlags | O_CLOEXEC, 0666)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~ExclusiveLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace tesmira::platform
