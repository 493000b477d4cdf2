#pragma once
// Media types the source offers, their log texts and the RGB32 conversion.
#include <windows.h>
#include <mfapi.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>

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

// BT.601 studio-range NV12 (w x h, packed) to B, G, R, 255 rows of w x 4 bytes.
void nv12ToRgb32(const uint8_t* nv12, uint32_t w, uint32_t h, uint8_t* bgra);

}  // namespace tesmira::vcam
