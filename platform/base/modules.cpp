#include "base/modules.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <system_error>

#include "core/faults.h"
#include "core/strings.h"
#include "errhandlingapi.h"
#include "libloaderapi.h"
#include "winerror.h"

namespace tesmira::platform {
namespace {

struct SystemModules {
  std::mutex mutex;
  std::set<std::wstring> names;  // lower case
};

SystemModules& systemModules() {
  static auto* modules = new SystemModules;  // never destroyed: used from static initialisers
  return *modules;
}

// The platform library's own handle, one reference held for the process's life.
void* platformHandle() {
  static void* handle = [] {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&registerSystemModule), &info) || !info.dli_fname) return (void*)nullptr;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  }();
  return handle;
}

std::wstring fileNameOf(std::wstring_view name) {
  size_t slash = name.find_last_of(L"\\/");
  return lowerCase(slash == std::wstring_view::npos ? name : name.substr(slash + 1));
}

// Windows libraries of the field whose Linux builds go by another file name.
const wchar_t* linuxLibraryFor(const std::wstring& file) {
  if (file == L"onnxruntime.dll") return L"libonnxruntime.so.1";
  return nullptr;
}

std::string selfExecutable() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
}

// The file a dlopen handle stands for; the main program for its own handle.
std::string fileOfHandle(void* handle) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !*map->l_name) return selfExecutable();
  return map->l_name;
}

HMODULE toModule(void* handle) { return reinterpret_cast<HMODULE>(handle); }

HMODULE loadModule(LPCWSTR name) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::wstring_view view(name);
  std::wstring file = fileNameOf(view);
  if (auto error = faults::take("LoadLibraryW." + toUtf8(file))) {
    SetLastError(*error);
    return nullptr;
  }
  bool bare = view.find_first_of(L"\\/") == std::wstring_view::npos;
  if (bare && isSystemModule(file)) {
    void* self = platformHandle();
    if (self) dlopen(fileOfHandle(self).c_str(), RTLD_NOW | RTLD_NOLOAD);  // one more reference, as FreeLibrary drops one
    if (!self) SetLastError(ERROR_MOD_NOT_FOUND);
    return toModule(self);
  }
  if (bare) {
    if (const wchar_t* linuxName = linuxLibraryFor(file)) {
      // The loaded library, or the one the program's own search path finds.
      void* handle = dlopen(toUtf8(linuxName).c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle) SetLastError(ERROR_MOD_NOT_FOUND);
      return toModule(handle);
    }
  }
  // Windows looks in the application's folder first; a bare name here means that folder.
  std::filesystem::path path = bare ? std::filesystem::path(selfExecutable()).parent_path() / toUtf8(view)
                                    : toLinuxPath(view);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  return toModule(handle);
}

}  // namespace

void registerSystemModule(std::wstring_view dllName) {
  auto& modules = systemModules();
  std::lock_guard lock(modules.mutex);
  modules.names.insert(lowerCase(dllName));
}

bool isSystemModule(std::wstring_view dllName) {
  auto& modules = systemModules();
  std::lock_guard lock(modules.mutex);
  return modules.names.count(lowerCase(dllName)) != 0;
}

}  // namespace tesmira::platform

using namespace tesmira::platform;

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) { return loadModule(lpLibFileName); }

HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  if (hFile) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return loadModule(lpLibFileName);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (!hModule || !lpProcName) {
    SetLastError(hModule ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Ordinals (values below 64K) have no meaning for shared objects.
  if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = dlsym(hModule, lpProcName);
  if (!symbol) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (!hLibModule || dlclose(hLibModule) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  if (!lpModuleName) {
    void* self = dlopen(nullptr, RTLD_NOW);
    dlclose(self);  // the main program stays loaded; the handle is not counted, as on Windows
    return toModule(self);
  }
  std::wstring_view view(lpModuleName);
  std::wstring file = fileNameOf(view);
  if (view.find_first_of(L"\\/") == std::wstring_view::npos && isSystemModule(file)) return toModule(platformHandle());
  // An already loaded module: by its path, or by its file name among the loaded objects.
  std::string wanted = view.find_first_of(L"\\/") == std::wstring_view::npos ? std::string() : toLinuxPath(view).string();
  const wchar_t* linuxName = linuxLibraryFor(file);
  std::string wantedName = toUtf8(linuxName ? std::wstring(linuxName) : file);
  struct Search {
    const std::string* path;
    const std::string* name;
    std::string found;
  } search{&wanted, &wantedName, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* s = static_cast<Search*>(data);
        if (!info->dlpi_name || !*info->dlpi_name) return 0;
        std::string loaded = info->dlpi_name;
        bool match = s->path->empty()
                         ? equalsNoCase(fromUtf8(std::filesystem::path(loaded).filename().string()), fromUtf8(*s->name))
                         : loaded == *s->path;
        if (match) {
          s->found = loaded;
          return 1;
        }
        return 0;
      },
      &search);
  if (search.found.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  void* handle = dlopen(search.found.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);  // not counted
  if (!handle) SetLastError(ERROR_MOD_NOT_FOUND);
  return toModule(handle);
}

BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  if (!phModule) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *phModule = nullptr;
  HMODULE module = nullptr;
  if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<const void*>(lpModuleName), &info) || !info.dli_fname) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    std::string self = selfExecutable();
    module = toModule(info.dli_fname == self ? dlopen(nullptr, RTLD_NOW)
                                             : dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD));
    if (module && (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) dlclose(module);
  } else {
    module = GetModuleHandleW(lpModuleName);
    if (module && !(dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) {
      dlopen(fileOfHandle(module).c_str(), RTLD_NOW | RTLD_NOLOAD);
    }
  }
  if (!module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  *phModule = module;
  return TRUE;
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  std::string file;
  if (!hModule) {
    file = selfExecutable();
  } else {
    link_map* map = nullptr;
    if (dlinfo(hModule, RTLD_DI_LINKMAP, &map) != 0 || !map) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    file = (map->l_name && *map->l_name) ? std::string(map->l_name) : selfExecutable();
  }
  std::wstring wide = fromUtf8(file);
  if (!lpFilename || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Too small: truncated to nSize - 1 characters plus the terminator, nSize returned.
  if (wide.size() >= nSize) {
    std::memcpy(lpFilename, wide.data(), (nSize - 1) * sizeof(WCHAR));
    lpFilename[nSize - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return DWORD(wide.size());
}
