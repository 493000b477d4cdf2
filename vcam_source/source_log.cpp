#include "vcam_source/source_log.h"

#include <combaseapi.h>

#include "common/file_log.h"

namespace tesmira::vcam {

void logSource(const std::wstring& message) { appendLogLine(L"source: " + message); }

std::wstring guidToText(REFGUID guid) {
  wchar_t text[40] = {};
  if (StringFromGUID2(guid, text, 40) == 0) return L"<invalid-guid>";
  return text;
}

}  // namespace tesmira::vcam
