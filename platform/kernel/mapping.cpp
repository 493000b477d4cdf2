// Page-file-backed file mappings and their views.
#include <errno.h>
#include <sys/mman.h>

#include <map>
#include <mutex>

#include "core/faults.h"
#include "core/handles.h"
#include "errhandlingapi.h"
#include "kernel/named_object.h"
#include "memoryapi.h"
#include "winerror.h"

namespace tesmira::platform::kernel {
namespace {

constexpr uint64_t kAllocationGranularity = 65536;
// Larger sections would only ever be a caller's arithmetic fault.
constexpr uint64_t kMaxSectionBytes = 4ull << 30;

class MappingObject : public KernelObject {
 public:
  MappingObject(std::shared_ptr<ObjectFile> file, bool writable) : file(std::move(file)), writable(writable) {}
  std::shared_ptr<ObjectFile> file;
  bool writable;  // the handle's right to map write views
};

struct View {
  size_t length;
  std::shared_ptr<ObjectFile> file;  // a view keeps its section alive, as on Windows
};

std::mutex gViewsMutex;
std::map<uintptr_t, View>& views() {
  static auto* v = new std::map<uintptr_t, View>;
  return *v;
}

bool validProtection(DWORD protect) {
  switch (protect & 0xFFu) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE: return true;
    default: return false;
  }
}

bool protectionAllowsWrite(uint32_t protect) {
  return (protect & 0xFFu) == PAGE_READWRITE || (protect & 0xFFu) == PAGE_EXECUTE_READWRITE;
}

}  // namespace
}  // namespace tesmira::platform::kernel

using namespace tesmira::platform;
using namespace tesmira::platform::kernel;

HANDLE WINAPI CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD maximumSizeHigh,
                                 DWORD maximumSizeLow, LPCWSTR name) {
  // Only page-file-backed sections are offered; the product maps no files.
  if (file != INVALID_HANDLE_VALUE) return failNull(ERROR_INVALID_HANDLE);
  if (!validProtection(protect)) return failNull(ERROR_INVALID_PARAMETER);
  uint64_t size = (uint64_t(maximumSizeHigh) << 32) | maximumSizeLow;
  if (size == 0) return failNull(ERROR_INVALID_PARAMETER);
  if (size > kMaxSectionBytes) return failNull(ERROR_NOT_ENOUGH_MEMORY);

  ObjectRequest request{ObjectKind::Mapping, name, true, "CreateFileMappingW"};
  request.descriptor = descriptorOf(attributes);
  request.size = size;
  request.protection = protect & 0xFFu;
  ObjectResult result;
  if (DWORD error = openObject(request, result); error != ERROR_SUCCESS) return failNull(error);
  // An existing section keeps its own size and protection.
  bool writable = protectionAllowsWrite(result.file->protection());
  return handleFor(std::make_shared<MappingObject>(result.file, writable), result.existed);
}

HANDLE WINAPI OpenFileMappingW(DWORD desiredAccess, BOOL, LPCWSTR name) {
  if (!name || !*name) return failNull(ERROR_INVALID_PARAMETER);
  ObjectRequest request{ObjectKind::Mapping, name, false, "OpenFileMappingW"};
  ObjectResult result;
  if (DWORD error = openObject(request, result); error != ERROR_SUCCESS) return failNull(error);
  bool wantsWrite = (desiredAccess & FILE_MAP_WRITE) != 0;
  bool sectionWritable = protectionAllowsWrite(result.file->protection());
  if (wantsWrite && !sectionWritable) return failNull(ERROR_ACCESS_DENIED);
  return handleFor(std::make_shared<MappingObject>(result.file, wantsWrite), false);
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD fileOffsetHigh, DWORD fileOffsetLow,
                            SIZE_T numberOfBytesToMap) {
  auto object = handles::lookupAs<MappingObject>(mapping);
  if (!object) return failNull(ERROR_INVALID_HANDLE);
  if (auto injected = faults::take("MapViewOfFile")) return failNull(*injected);
  bool write = (desiredAccess & FILE_MAP_WRITE) != 0;
  bool copy = desiredAccess == FILE_MAP_COPY;
  if (write && !object->writable) return failNull(ERROR_ACCESS_DENIED);

  uint64_t sectionSize = object->file->size();
  uint64_t offset = (uint64_t(fileOffsetHigh) << 32) | fileOffsetLow;
  if (offset % kAllocationGranularity != 0) return failNull(ERROR_MAPPED_ALIGNMENT);
  if (offset >= sectionSize) return failNull(ERROR_ACCESS_DENIED);
  uint64_t length = numberOfBytesToMap ? uint64_t(numberOfBytesToMap) : sectionSize - offset;
  // A view past the end of the section is refused here instead of faulting later.
  if (length > sectionSize - offset) return failNull(ERROR_ACCESS_DENIED);

  int prot = (write || copy) ? PROT_READ | PROT_WRITE : PROT_READ;
  void* p = ::mmap(nullptr, size_t(length), prot, copy ? MAP_PRIVATE : MAP_SHARED, object->file->fd(),
                   off_t(kHeaderBytes + offset));
  if (p == MAP_FAILED) return failNull(errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_ACCESS_DENIED);
  {
    std::lock_guard lock(gViewsMutex);
    views().emplace(reinterpret_cast<uintptr_t>(p), View{size_t(length), object->file});
  }
  SetLastError(ERROR_SUCCESS);
  return p;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress) {
  View view;
  {
    std::lock_guard lock(gViewsMutex);
    auto it = views().find(reinterpret_cast<uintptr_t>(baseAddress));
    if (it == views().end()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    view = std::move(it->second);
    views().erase(it);
  }
  ::munmap(const_cast<void*>(baseAddress), view.length);
  return TRUE;
}
