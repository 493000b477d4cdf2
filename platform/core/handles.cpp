#include "core/handles.h"

#include <mutex>
#include <unordered_map>

#include "errhandlingapi.h"
#include "handleapi.h"
#include "winerror.h"

namespace tesmira::platform::handles {
namespace {

struct Table {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
  uintptr_t next = 0x100;
};

Table& table() {
  static Table* t = new Table;  // never destroyed: handles may be closed from static destructors
  return *t;
}

}  // namespace

HANDLE insert(std::shared_ptr<KernelObject> object) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  uintptr_t value = t.next;
  t.next += 4;  // Windows handles are multiples of four
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> lookup(HANDLE handle) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

bool remove(HANDLE handle) {
  std::shared_ptr<KernelObject> object;
  {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end()) return false;
    object = std::move(it->second);
    t.objects.erase(it);
  }
  object->onClose();
  return true;
}

}  // namespace tesmira::platform::handles

BOOL WINAPI CloseHandle(HANDLE handle) {
  if (!tesmira::platform::handles::remove(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
