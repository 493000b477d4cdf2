#pragma once
// Media types the source offers and their log texts (the RGB32 conversion is in
// common/pixel_format.h).
#include <windows.h>
#include <mfapi.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>

#include "common/pixel_format.h"

namespace tesmira::vcam {

HRESULT makeVideoMediaType(REFGUID subtype, UINT32 width, UINT32 height, UINT32 numerator, UINT32 denominator,
                           IMFMediaType** type);
std::wstring describeMediaType(IMFMediaType* type);
std::wstring subtypeName(REFGUID subtype);

// A frame size the stream can serve: even, non-zero, each side at most 1920 and
// at most 2,073,600 pixels in all.
bool isServableFrameSize(UINT32 width, UINT32 height);
// 100 ns units per frame: denominator x 10^7 / numerator, 333333 for a zero numerator.
LONGLONG sampleDuration(UINT32 numerator, UINT32 denominator);

}  // namespace tesmira::vcam
