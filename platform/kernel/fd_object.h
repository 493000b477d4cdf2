#pragma once
// A kernel object that stands on a Linux file descriptor (pipe ends, files).
// CreateProcessW hands such handles to a child as its standard streams.
#include "../core/handles.h"  // relative, so tests can include this header too

namespace tesmira::platform::kernel {

class FdObject : public KernelObject {
 public:
  virtual int fd() const = 0;
};

}  // namespace tesmira::platform::kernel
