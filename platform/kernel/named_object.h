#pragma once
// Kernel objects that processes share. Each named object is one file under the
// machine root (objects/Global or objects/Session<id>): a header page that holds
// the object's own state, then the mapping's bytes. Every holder keeps a shared
// flock on the file, so an object lives exactly while some process holds it: the
// last close removes the file, and a file that nobody holds any more (its holders
// were killed) counts as gone and is replaced on the next create.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "core/handles.h"
#include "minwindef.h"

namespace tesmira::platform::kernel {

enum class ObjectKind : uint32_t { Mapping = 1, Event = 2, Mutex = 3 };

// The first page of every object file.
struct ObjectHeader {
  uint32_t magic;
  uint32_t kind;
  uint64_t size;        // the mapping's bytes after the header page
  uint32_t protection;  // PAGE_READONLY or PAGE_READWRITE (mappings)
  uint32_t manualReset; // events
  std::atomic<uint32_t> signalled;  // events: futex word
  std::atomic<uint32_t> owned;      // mutexes: set while some holder owns it
};
inline constexpr uint32_t kObjectMagic = 0x4F4D5354;  // "TSMO"
inline constexpr uint64_t kHeaderBytes = 4096;
static_assert(sizeof(ObjectHeader) <= kHeaderBytes);
static_assert(std::atomic<uint32_t>::is_always_lock_free, "futex words must be address-free");

// One holder's hold on an object file; the header page stays mapped read/write.
class ObjectFile {
 public:
  ObjectFile(int fd, std::filesystem::path path, ObjectHeader* header);
  // Size and protection as checked when the file was opened: the header page is
  // shared, and a later write into it must not widen a view past the file.
  ~ObjectFile();
  ObjectFile(const ObjectFile&) = delete;
  ObjectFile& operator=(const ObjectFile&) = delete;

  int fd() const { return fd_; }
  ObjectHeader& header() const { return *header_; }
  uint64_t size() const { return size_; }
  uint32_t protection() const { return protection_; }
  const std::filesystem::path& path() const { return path_; }  // empty for unnamed objects

 private:
  int fd_;
  std::filesystem::path path_;
  ObjectHeader* header_;
  uint64_t size_;
  uint32_t protection_;
};

struct ObjectRequest {
  ObjectKind kind;
  LPCWSTR name;          // null or empty: an unnamed object of this process
  bool create;           // false: open an existing object only
  const char* function;  // the API call, for fault sites ("CreateEventW", "CreateEventW.Global")
  uint64_t size = 0;     // mappings
  uint32_t protection = 0;
  bool manualReset = false;
  bool initialState = false;
  PSECURITY_DESCRIPTOR descriptor = nullptr;  // from SECURITY_ATTRIBUTES; null: default security
};

inline PSECURITY_DESCRIPTOR descriptorOf(const SECURITY_ATTRIBUTES* attributes) {
  return attributes ? attributes->lpSecurityDescriptor : nullptr;
}

struct ObjectResult {
  std::shared_ptr<ObjectFile> file;
  bool existed = false;
};

// Opens or creates the object. Returns ERROR_SUCCESS or the Win32 error
// (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED for a refused Global\ mapping,
// ERROR_INVALID_NAME, ERROR_INVALID_HANDLE for a broken or foreign object file, ...).
DWORD openObject(const ObjectRequest& request, ObjectResult& out);

// A failed call that hands back a handle or a view: the error becomes the
// thread's last error, and null comes back.
HANDLE failNull(DWORD error);
// The handle for an opened object; the last error tells a create that found the
// object already there (ERROR_ALREADY_EXISTS) from one that made it.
HANDLE handleFor(std::shared_ptr<KernelObject> object, bool alreadyExisted);

// SeCreateGlobalPrivilege, which creating a Global\ file mapping needs (mutexes and
// events need none): a service has it, an elevated process has it, a plain user does not. TESMIRA_SERVICE=1 marks a service; elevation is the token's
// (TESMIRA_ELEVATED=1/0, unset: elevated when running as root).
bool processIsElevated();
bool processIsService();

}  // namespace tesmira::platform::kernel
