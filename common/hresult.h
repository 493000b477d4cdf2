#pragma once
// One error idiom for COM, Media Foundation and Win32 code: each step that can fail
// either passes or ends the function with its HRESULT; a logged failure reads
// "<step> failed: <HRESULT text>".
#include <windows.h>

#include <string>

#include "common/error_text.h"

// Ends the calling function with the expression's HRESULT when it failed.
#define RETURN_IF_FAILED(expression)                  \
  do {                                                \
    const HRESULT tesmiraHr_ = (expression);          \
    if (FAILED(tesmiraHr_)) return tesmiraHr_;        \
  } while (0)

// As RETURN_IF_FAILED, first handing log (a callable taking std::wstring) the line
// step + " failed: " + the HRESULT text.
#define RETURN_IF_FAILED_LOG(log, step, expression)                 \
  do {                                                              \
    const HRESULT tesmiraHr_ = (expression);                        \
    if (FAILED(tesmiraHr_)) {                                       \
      (log)(::tesmira::failureText((step), tesmiraHr_));            \
      return tesmiraHr_;                                            \
    }                                                               \
  } while (0)

namespace tesmira {

// step + " failed: " + hresultToText(hr): the log's wording for a failed step.
inline std::wstring failureText(const std::wstring& step, HRESULT hr) { return step + L" failed: " + hresultToText(hr); }

}  // namespace tesmira
