// The registry API over the file-backed hives.
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "core/faults.h"
#include "core/handles.h"
#include "core/machine.h"
#include "core/strings.h"
#include "kernel/named_object.h"
#include "registry/hive.h"
#include "winerror.h"
#include "winreg.h"

extern char** environ;

namespace tesmira::platform::registry {
namespace {

enum class HiveId { LocalMachine, CurrentUser };

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr REGSAM kAllRights = KEY_ALL_ACCESS;

class KeyObject : public KernelObject {
 public:
  KeyObject(HiveId hive, KeyPath path, REGSAM access) : hive(hive), path(std::move(path)), access(access) {}
  HiveId hive;
  KeyPath path;
  REGSAM access;
};

struct KeyRef {
  HiveId hive;
  KeyPath path;
  REGSAM access;
  bool predefined = false;  // a hive root or HKEY_CLASSES_ROOT: never "deleted"
};

std::string userName() {
  const char* name = std::getenv("USERNAME");
  return name && *name ? std::string(name) : std::string("user");
}

Hive hiveFor(HiveId id) {
  if (id == HiveId::LocalMachine) return Hive(machinePath("registry") / "HKLM.hive.json");
  return Hive(machinePath("registry/users") / (userName() + ".hive.json"));
}

// Resolves a handle (predefined or opened) to its hive, path and rights.
bool resolve(HKEY key, KeyRef& out) {
  auto value = reinterpret_cast<uintptr_t>(key);
  if (value == reinterpret_cast<uintptr_t>(HKEY_LOCAL_MACHINE)) {
    out = {HiveId::LocalMachine, {}, kAllRights, true};
    return true;
  }
  if (value == reinterpret_cast<uintptr_t>(HKEY_CURRENT_USER)) {
    out = {HiveId::CurrentUser, {}, kAllRights, true};
    return true;
  }
  if (value == reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT)) {
    out = {HiveId::LocalMachine, {L"Software", L"Classes"}, kAllRights, true};
    return true;
  }
  auto object = handles::lookupAs<KeyObject>(reinterpret_cast<HANDLE>(key));
  if (!object) return false;
  out = {object->hive, object->path, object->access};
  return true;
}

// "a\b\c" below a key; a leading backslash is refused, doubled ones are skipped.
DWORD appendPath(KeyPath& path, LPCWSTR subKey) {
  if (!subKey) return ERROR_SUCCESS;
  std::wstring_view rest(subKey);
  if (!rest.empty() && rest[0] == L'\\') return ERROR_BAD_PATHNAME;
  while (!rest.empty()) {
    size_t cut = rest.find(L'\\');
    std::wstring_view part = rest.substr(0, cut);
    if (part.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
    if (!part.empty()) path.emplace_back(part);
    if (cut == std::wstring_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  // A deeper key would make the whole hive unreadable.
  return path.size() > kMaxKeyDepth ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

// HKLM is written only by elevated processes and services; tests can refuse it.
DWORD mayWrite(HiveId hive) {
  if (hive != HiveId::LocalMachine) return ERROR_SUCCESS;
  if (auto injected = faults::take("Registry.HKLM")) return *injected;
  if (!kernel::processIsElevated() && !kernel::processIsService()) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

REGSAM normaliseAccess(REGSAM desired) {
  REGSAM access = desired & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= kAllRights;
  if (access & GENERIC_READ) access |= KEY_READ;
  if (access & GENERIC_WRITE) access |= KEY_WRITE;
  return access;
}

HKEY insertKey(HiveId hive, KeyPath path, REGSAM access) {
  return reinterpret_cast<HKEY>(handles::insert(std::make_shared<KeyObject>(hive, std::move(path), access)));
}

// Reads the key a handle names, or says why not.
DWORD readKey(const KeyRef& ref, std::unique_ptr<Key>& root, const Key*& key) {
  if (DWORD error = hiveFor(ref.hive).read(root); error != ERROR_SUCCESS) return error;
  key = findKey(*root, ref.path);
  return key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::wstring environmentValue(std::wstring_view name) {
  for (char** e = environ; e && *e; ++e) {
    std::wstring entry = fromUtf8(*e);
    size_t eq = entry.find(L'=', 1);
    if (eq != std::wstring::npos && equalsNoCase(std::wstring_view(entry).substr(0, eq), name)) {
      return entry.substr(eq + 1);
    }
  }
  return std::wstring(L"%") + std::wstring(name) + L"%";
}

// %NAME% replaced from the environment; unknown names stay as written.
std::wstring expandEnvironment(std::wstring_view text) {
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    size_t close = text[i] == L'%' ? text.find(L'%', i + 1) : std::wstring_view::npos;
    if (close == std::wstring_view::npos || close == i + 1) {
      out += text[i++];
      continue;
    }
    out += environmentValue(text.substr(i + 1, close - i - 1));
    i = close + 1;
  }
  return out;
}

std::vector<uint8_t> unitsToBytes(std::wstring_view text) {
  std::vector<uint8_t> bytes(text.size() * sizeof(wchar_t));
  if (!bytes.empty()) std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

std::wstring bytesToUnits(const std::vector<uint8_t>& data) {
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
  return text;
}

// The copy-out rule shared by RegQueryValueExW and RegGetValueW.
LSTATUS copyOut(const std::vector<uint8_t>& data, LPBYTE out, LPDWORD outBytes, bool zeroOnFailure) {
  if (!outBytes) return out ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  DWORD have = *outBytes;
  *outBytes = DWORD(data.size());
  if (!out) return ERROR_SUCCESS;
  if (have < data.size()) {
    if (zeroOnFailure) std::memset(out, 0, have);
    return ERROR_MORE_DATA;
  }
  if (!data.empty()) std::memcpy(out, data.data(), data.size());
  return ERROR_SUCCESS;
}

DWORD typeFlag(DWORD type) {
  switch (type) {
    case REG_NONE: return RRF_RT_REG_NONE;
    case REG_SZ: return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY: return RRF_RT_REG_BINARY;
    case REG_DWORD: return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD: return RRF_RT_REG_QWORD;
    default: return 0;
  }
}

LSTATUS deleteKeyAt(HKEY key, LPCWSTR subKey, bool wholeTree) {
  KeyRef ref;
  if (!resolve(key, ref)) return ERROR_INVALID_HANDLE;
  KeyPath target = ref.path;
  if (DWORD error = appendPath(target, subKey); error != ERROR_SUCCESS) return LSTATUS(error);
  bool clearOnly = wholeTree && (!subKey || !*subKey);
  if (!clearOnly && target.empty()) return ERROR_ACCESS_DENIED;  // a hive's root stays
  if (DWORD error = mayWrite(ref.hive); error != ERROR_SUCCESS) {
    // Windows looks the key up before it checks the access: a missing key is not found.
    std::unique_ptr<Key> root;
    if (DWORD readError = hiveFor(ref.hive).read(root); readError != ERROR_SUCCESS) return LSTATUS(readError);
    if (!clearOnly && !findKey(*root, target)) return ERROR_FILE_NOT_FOUND;
    return LSTATUS(error);
  }
  return LSTATUS(hiveFor(ref.hive).update([&](Key& root, bool& changed) -> DWORD {
    if (clearOnly) {
      Key* k = findKey(root, target);
      if (!k) return ERROR_KEY_DELETED;
      changed = !k->subkeys.empty() || !k->values.empty();
      k->subkeys.clear();
      k->values.clear();
      k->lastWrite = 0;
      return ERROR_SUCCESS;
    }
    KeyPath parentPath(target.begin(), target.end() - 1);
    Key* parent = findKey(root, parentPath);
    Key* victim = parent ? parent->child(target.back()) : nullptr;
    if (!victim) return ERROR_FILE_NOT_FOUND;
    if (!wholeTree && !victim->subkeys.empty()) return ERROR_ACCESS_DENIED;
    parent->removeChild(target.back());
    parent->lastWrite = 0;
    changed = true;
    return ERROR_SUCCESS;
  }));
}

// No C++ exception leaves a registry call: it becomes the Windows error it stands for.
template <class Body>
LSTATUS guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_REGISTRY_IO_FAILED;
  }
}

}  // namespace
}  // namespace tesmira::platform::registry

using namespace tesmira::platform;
using namespace tesmira::platform::registry;

LSTATUS WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM desired,
                               LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  return guarded([&]() -> LSTATUS {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    KeyRef ref;
    if (!resolve(key, ref)) return ERROR_INVALID_HANDLE;
    if (!subKey) return ERROR_INVALID_PARAMETER;
    KeyPath path = ref.path;
    if (DWORD error = appendPath(path, subKey); error != ERROR_SUCCESS) return LSTATUS(error);
    REGSAM access = normaliseAccess(desired);

    // Opening an existing key for reading needs no write right.
    std::unique_ptr<Key> root;
    if (DWORD error = hiveFor(ref.hive).read(root); error != ERROR_SUCCESS) return LSTATUS(error);
    bool exists = findKey(*root, path) != nullptr;
    if (!exists || (access & kWriteRights)) {
      if (DWORD error = mayWrite(ref.hive); error != ERROR_SUCCESS) return LSTATUS(error);
    }
    if (!exists) {
      size_t from = ref.predefined ? 0 : ref.path.size();
      DWORD error = hiveFor(ref.hive).update([&](Key& r, bool& changed) -> DWORD {
        Key* k = ref.predefined ? &r : findKey(r, ref.path);
        if (!k) return ERROR_KEY_DELETED;
        for (size_t i = from; i < path.size(); ++i) {
          if (!k->child(path[i])) {
            changed = true;
            k->lastWrite = 0;
          }
          k = &k->addChild(path[i]);
        }
        exists = !changed;
        return ERROR_SUCCESS;
      });
      if (error != ERROR_SUCCESS) return LSTATUS(error);
    }
    if (disposition) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *result = insertKey(ref.hive, std::move(path), access);
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  return guarded([&]() -> LSTATUS {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    KeyRef ref;
    if (!resolve(key, ref)) return ERROR_INVALID_HANDLE;
    KeyPath path = ref.path;
    if (DWORD error = appendPath(path, subKey); error != ERROR_SUCCESS) return LSTATUS(error);
    REGSAM access = normaliseAccess(desired);
    std::unique_ptr<Key> root;
    if (DWORD error = hiveFor(ref.hive).read(root); error != ERROR_SUCCESS) return LSTATUS(error);
    if (!findKey(*root, path)) return ERROR_FILE_NOT_FOUND;
    if (access & kWriteRights) {
      if (DWORD error = mayWrite(ref.hive); error != ERROR_SUCCESS) return LSTATUS(error);
    }
    *result = insertKey(ref.hive, std::move(path), access);
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  return guarded([&]() -> LSTATUS {
    KeyRef ref;
    if (!resolve(key, ref)) return ERROR_INVALID_HANDLE;
    if (!handles::lookupAs<KeyObject>(reinterpret_cast<HANDLE>(key))) return ERROR_SUCCESS;  // predefined
    handles::remove(reinterpret_cast<HANDLE>(key));
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataBytes) {
  return guarded([&]() -> LSTATUS {
    KeyRef ref;
    if (!resolve(key, ref)) return ERROR_INVALID_HANDLE;
    if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (!data && dataBytes) return ERROR_NOACCESS;
    if (dataBytes > kMaxValueBytes) return ERROR_INVALID_PARAMETER;
    if (DWORD error = mayWrite(ref.hive); error != ERROR_SUCCESS) return LSTATUS(error);
    std::vector<uint8_t> bytes(data, data + dataBytes);
    std::wstring name = valueName ? valueName : L"";
    return LSTATUS(hiveFor(ref.hive).update([&](Key& root, bool& changed) -> DWORD {
      Key* k = findKey(root, ref.path);
      if (!k) return ERROR_KEY_DELETED;
      k->setValue(name, type, std::move(bytes));
      changed = true;
      return ERROR_SUCCESS;
    }));
  });
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataBytes) {
  return guarded([&]() -> LSTATUS {
    KeyRef ref;
    if (!resolve(key, ref)) return ERROR_INVALID_HANDLE;
    if (reserved) return ERROR_INVALID_PARAMETER;
    if (data && !dataBytes) return ERROR_INVALID_PARAMETER;
    if (!(ref.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::unique_ptr<Key> root;
    const Key* k = nullptr;
    if (DWORD error = readKey(ref, root, k); error != ERROR_SUCCESS) return LSTATUS(error);
    const Value* v = k->value(valueName ? valueName : L"");
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    return copyOut(v->data, data, dataBytes, false);
  });
}

LSTATUS WINAPI RegGetValueW(HKEY key, LPCWSTR subKey, LPCWSTR valueName, DWORD flags, LPDWORD type, PVOID data,
                            LPDWORD dataBytes) {
  return guarded([&]() -> LSTATUS {
    DWORD allowed = flags & RRF_RT_ANY;
    bool zero = (flags & RRF_ZEROONFAILURE) != 0;
    auto failWith = [&](LSTATUS status) {
      if (zero && data && dataBytes) std::memset(data, 0, *dataBytes);
      return status;
    };
    if (allowed == 0 || (data && !dataBytes)) return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    if (!resolve(key, ref)) return ERROR_INVALID_HANDLE;
    if (DWORD error = appendPath(ref.path, subKey); error != ERROR_SUCCESS) return failWith(LSTATUS(error));
    std::unique_ptr<Key> root;
    const Key* k = nullptr;
    if (DWORD error = readKey(ref, root, k); error != ERROR_SUCCESS) {
      return failWith(error == ERROR_KEY_DELETED && subKey && *subKey ? ERROR_FILE_NOT_FOUND : LSTATUS(error));
    }
    const Value* v = k->value(valueName ? valueName : L"");
    if (!v) return failWith(ERROR_FILE_NOT_FOUND);

    DWORD reported = v->type;
    std::vector<uint8_t> bytes = v->data;
    bool expand = v->type == REG_EXPAND_SZ && !(flags & RRF_NOEXPAND);
    if (expand) {
      std::wstring text = bytesToUnits(bytes);
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      bytes = unitsToBytes(expandEnvironment(text));
      reported = REG_SZ;
    }
    DWORD flag = expand ? (RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ) : typeFlag(v->type);
    if (!(allowed & flag)) return failWith(ERROR_UNSUPPORTED_TYPE);
    if ((allowed & ~RRF_RT_REG_BINARY) == RRF_RT_REG_DWORD && v->type == REG_BINARY && bytes.size() != 4) {
      return failWith(ERROR_DATATYPE_MISMATCH);
    }
    if ((allowed & ~RRF_RT_REG_BINARY) == RRF_RT_REG_QWORD && v->type == REG_BINARY && bytes.size() != 8) {
      return failWith(ERROR_DATATYPE_MISMATCH);
    }
    // Strings always come back terminated.
    if (isStringType(v->type)) {
      bytes.resize(bytes.size() / sizeof(wchar_t) * sizeof(wchar_t));
      std::wstring text = bytesToUnits(bytes);
      if (text.empty() || text.back() != L'\0') bytes.resize(bytes.size() + sizeof(wchar_t), 0);
    }
    if (type) *type = reported;
    LSTATUS status = copyOut(bytes, static_cast<LPBYTE>(data), dataBytes, zero);
    return status;
  });
}

LSTATUS WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved, LPWSTR keyClass,
                             LPDWORD classChars, PFILETIME lastWriteTime) {
  return guarded([&]() -> LSTATUS {
    if (!name || !nameChars || reserved) return ERROR_INVALID_PARAMETER;
    KeyRef ref;
    if (!resolve(key, ref)) return ERROR_INVALID_HANDLE;
    if (!(ref.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    if (auto injected = faults::take("RegEnumKeyExW")) return LSTATUS(*injected);
    std::unique_ptr<Key> root;
    const Key* k = nullptr;
    if (DWORD error = readKey(ref, root, k); error != ERROR_SUCCESS) return LSTATUS(error);
    if (index >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const Key& child = *k->subkeys[index];
    if (*nameChars <= child.name.size()) return ERROR_MORE_DATA;
    std::memcpy(name, child.name.c_str(), (child.name.size() + 1) * sizeof(wchar_t));
    *nameChars = DWORD(child.name.size());
    if (keyClass && classChars && *classChars) keyClass[0] = L'\0';
    if (classChars) *classChars = 0;
    if (lastWriteTime) {
      lastWriteTime->dwLowDateTime = DWORD(child.lastWrite);
      lastWriteTime->dwHighDateTime = DWORD(child.lastWrite >> 32);
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  return guarded([&]() -> LSTATUS {
    KeyRef ref;
    if (!resolve(key, ref)) return ERROR_INVALID_HANDLE;
    if (!(ref.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (DWORD error = mayWrite(ref.hive); error != ERROR_SUCCESS) return LSTATUS(error);
    std::wstring name = valueName ? valueName : L"";
    return LSTATUS(hiveFor(ref.hive).update([&](Key& root, bool& changed) -> DWORD {
      Key* k = findKey(root, ref.path);
      if (!k) return ERROR_KEY_DELETED;
      changed = k->removeValue(name);
      return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }));
  });
}

LSTATUS WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  return guarded([&]() -> LSTATUS {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    return deleteKeyAt(key, subKey, false);
  });
}

LSTATUS WINAPI RegDeleteKeyExW(HKEY key, LPCWSTR subKey, REGSAM, DWORD) { return RegDeleteKeyW(key, subKey); }

LSTATUS WINAPI RegDeleteTreeW(HKEY key, LPCWSTR subKey) {
  return guarded([&] { return deleteKeyAt(key, subKey, true); });
}
