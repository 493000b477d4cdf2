#include "kernel/named_object.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/security.h"
#include "core/exclusive_lock.h"
#include "core/faults.h"
#include "core/machine.h"
#include "core/strings.h"
#include "errhandlingapi.h"
#include "winerror.h"

namespace tesmira::platform::kernel {
namespace {

constexpr size_t kMaxNameChars = MAX_PATH;

const char* kindExtension(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::Mapping: return ".map";
    case ObjectKind::Event: return ".event";
    case ObjectKind::Mutex: return ".mutex";
  }
  return ".object";
}

std::string sessionFolder() {
  const char* id = std::getenv("TESMIRA_SESSION_ID");
  return std::string("objects/Session") + (id && *id ? id : "1");
}

struct ResolvedName {
  std::filesystem::path folder;
  std::string file;
  bool global = false;
};

DWORD resolveName(std::wstring_view name, ObjectKind kind, ResolvedName& out) {
  if (name.size() > kMaxNameChars) return ERROR_FILENAME_EXCED_RANGE;
  std::wstring_view bare = name;
  std::string folder = sessionFolder();
  auto hasPrefix = [&](std::wstring_view prefix) {
    return bare.size() >= prefix.size() && equalsNoCase(bare.substr(0, prefix.size()), prefix);
  };
  if (hasPrefix(L"Global\\")) {
    bare.remove_prefix(7);
    folder = "objects/Global";
    out.global = true;
  } else if (hasPrefix(L"Local\\")) {
    bare.remove_prefix(6);
  }
  if (bare.empty() || bare.find(L'\\') != std::wstring_view::npos) return ERROR_INVALID_NAME;
  out.folder = machinePath(folder);
  out.file = escapedFileName(bare) + kindExtension(kind);  // names are case-sensitive
  return ERROR_SUCCESS;
}

DWORD errnoToWin32(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return ERROR_GEN_FAILURE;
  }
}

// Serialises create, open and last-close within one namespace folder.
class FolderGuard : public ExclusiveLock {
 public:
  explicit FolderGuard(const std::filesystem::path& folder) : ExclusiveLock(folder, O_RDONLY | O_DIRECTORY) {}
};

ObjectHeader* mapHeader(int fd) {
  void* p = ::mmap(nullptr, kHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<ObjectHeader*>(p);
}

void initialiseHeader(ObjectHeader* h, const ObjectRequest& r) {
  h->kind = uint32_t(r.kind);
  h->size = r.size;
  h->protection = r.protection;
  h->manualReset = r.manualReset ? 1 : 0;
  h->signalled.store(r.initialState ? 1 : 0);
  h->owned.store(0);
  h->magic = kObjectMagic;  // others read the header only under the folder lock
}

// A file written by someone other than this layer, or left half-made, is refused.
bool headerValid(int fd, const ObjectHeader* h, ObjectKind kind) {
  struct stat st{};
  if (::fstat(fd, &st) != 0 || uint64_t(st.st_size) < kHeaderBytes) return false;
  if (h->magic != kObjectMagic || h->kind != uint32_t(kind)) return false;
  return h->size <= uint64_t(st.st_size) - kHeaderBytes;
}

DWORD createFile(int fd, const ObjectRequest& r, ObjectHeader*& header) {
  if (::ftruncate(fd, off_t(kHeaderBytes + r.size)) != 0) return errnoToWin32(errno);
  header = mapHeader(fd);
  if (!header) return ERROR_NOT_ENOUGH_MEMORY;
  initialiseHeader(header, r);
  return ERROR_SUCCESS;
}

DWORD openUnnamed(const ObjectRequest& r, ObjectResult& out) {
  int fd = ::memfd_create("tesmira-object", MFD_CLOEXEC);
  if (fd < 0) return errnoToWin32(errno);
  ObjectHeader* header = nullptr;
  DWORD error = createFile(fd, r, header);
  if (error != ERROR_SUCCESS) {
    ::close(fd);
    return error;
  }
  out.file = std::make_shared<ObjectFile>(fd, std::filesystem::path(), header);
  out.existed = false;
  return ERROR_SUCCESS;
}

bool envFlag(const char* name, bool fallback) {
  const char* value = std::getenv(name);
  if (!value || !*value) return fallback;
  return value[0] == '1';
}

}  // namespace

bool processIsElevated() { return security::processIsElevated(); }
bool processIsService() { return envFlag("TESMIRA_SERVICE", false); }

ObjectFile::ObjectFile(int fd, std::filesystem::path path, ObjectHeader* header)
    : fd_(fd), path_(std::move(path)), header_(header), size_(header->size), protection_(header->protection) {}

ObjectFile::~ObjectFile() {
  ::munmap(header_, kHeaderBytes);
  if (!path_.empty()) {
    // The last holder removes the file; anyone else still holds a shared lock.
    FolderGuard guard(path_.parent_path());
    if (guard.held() && ::flock(fd_, LOCK_EX | LOCK_NB) == 0) ::unlink(path_.c_str());
  }
  ::close(fd_);
}

DWORD openObject(const ObjectRequest& r, ObjectResult& out) {
  out = {};
  if (auto injected = faults::take(r.function)) return *injected;
  if (r.name && *r.name) {
    // "<function>:<name without its Global\ or Local\ prefix>" fails that one object.
    std::wstring_view bare(r.name);
    if (size_t slash = bare.find(L'\\'); slash != std::wstring_view::npos) bare.remove_prefix(slash + 1);
    if (auto injected = faults::take(std::string(r.function) + ":" + toUtf8(bare))) return *injected;
  }
  if (!r.name || !*r.name) {
    if (!r.create) return ERROR_INVALID_PARAMETER;
    return openUnnamed(r, out);
  }
  ResolvedName name;
  if (DWORD error = resolveName(r.name, r.kind, name); error != ERROR_SUCCESS) return error;
  std::filesystem::path path = name.folder / name.file;

  FolderGuard guard(name.folder);
  if (!guard.held()) return ERROR_PATH_NOT_FOUND;

  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Nobody holds it any more: its last holders died without closing.
      ::unlink(path.c_str());
      ::close(fd);
      fd = -1;
    } else if (::flock(fd, LOCK_SH) == 0) {
      ObjectHeader* header = mapHeader(fd);
      if (!header || !headerValid(fd, header, r.kind)) {
        if (header) ::munmap(header, kHeaderBytes);
        ::close(fd);
        return ERROR_INVALID_HANDLE;
      }
      out.file = std::make_shared<ObjectFile>(fd, path, header);
      out.existed = true;
      return ERROR_SUCCESS;
    } else {
      DWORD error = errnoToWin32(errno);
      ::close(fd);
      return error;
    }
  } else if (errno != ENOENT) {
    return errnoToWin32(errno);
  }

  if (!r.create) return ERROR_FILE_NOT_FOUND;
  if (name.global) {
    std::string site = std::string(r.function) + ".Global";
    if (auto injected = faults::take(site)) return *injected;
    // SeCreateGlobalPrivilege gates file mappings only: anyone may create a Global\ mutex or event.
    if (r.kind == ObjectKind::Mapping && !processIsElevated() && !processIsService()) return ERROR_ACCESS_DENIED;
  }
  fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errnoToWin32(errno);
  // The descriptor's DACL becomes the file's mode; without one only the creator may use it.
  auto mode = r.descriptor ? security::modeFor(r.descriptor, false) : std::nullopt;
  ::fchmod(fd, mode ? (*mode & 0666) : 0600);
  ::flock(fd, LOCK_SH);
  ObjectHeader* header = nullptr;
  if (DWORD error = createFile(fd, r, header); error != ERROR_SUCCESS) {
    ::unlink(path.c_str());
    ::close(fd);
    return error;
  }
  out.file = std::make_shared<ObjectFile>(fd, path, header);
  out.existed = false;
  return ERROR_SUCCESS;
}

HANDLE failNull(DWORD error) {
  SetLastError(error);
  return nullptr;
}

HANDLE handleFor(std::shared_ptr<KernelObject> object, bool alreadyExisted) {
  HANDLE handle = handles::insert(std::move(object));
  SetLastError(alreadyExisted ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

}  // namespace tesmira::platform::kernel
