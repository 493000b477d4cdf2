#pragma once
// How the media source finds a channel: the machine-wide name first, then the session's.
#include <windows.h>

#include <string>

#include "common/channels.h"

namespace tesmira::vcam {

// Opens `name` under Global\ then Local\ and maps `bytes`; `accept` may refuse a view.
template <class Accept>
bool mapFirst(const wchar_t* name, DWORD access, SIZE_T bytes, HANDLE& mapping, void*& view, Accept&& accept) {
  for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
    HANDLE h = OpenFileMappingW(access, FALSE, (std::wstring(prefix) + name).c_str());
    if (!h) continue;
    void* v = MapViewOfFile(h, access, 0, 0, bytes);
    if (v && accept(v)) {
      mapping = h;
      view = v;
      return true;
    }
    if (v) UnmapViewOfFile(v);
    CloseHandle(h);
  }
  return false;
}

}  // namespace tesmira::vcam
