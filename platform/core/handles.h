#pragma once
// The process's handle table. Every kernel object (mapping, event, mutex,
// process, job, token, registry key, ...) is a KernelObject behind a HANDLE;
// CloseHandle drops the table's reference.
#include <memory>

#include "minwindef.h"

namespace tesmira::platform {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Called by CloseHandle before the table forgets the handle; most objects need nothing.
  virtual void onClose() {}
};

namespace handles {

HANDLE insert(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> lookup(HANDLE handle);
// Removes the handle; false when it was not in the table.
bool remove(HANDLE handle);

template <class T>
std::shared_ptr<T> lookupAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(lookup(handle));
}

}  // namespace handles
}  // namespace tesmira::platform
