#include "vcam_source/media_types.h"

#include <algorithm>
#include <cstring>

#include "common/channels.h"
#include "common/hresult.h"
#include "vcam_source/source_log.h"

namespace tesmira::vcam {

HRESULT makeVideoMediaType(REFGUID subtype, UINT32 w, UINT32 h, UINT32 n, UINT32 d, IMFMediaType** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  Microsoft::WRL::ComPtr<IMFMediaType> type;
  RETURN_IF_FAILED(MFCreateMediaType(&type));
  const bool nv12 = subtype == MFVideoFormat_NV12;
  const uint64_t bitsPerPixel = nv12 ? 12 : 32;
  const UINT32 sampleSize = nv12 ? UINT32(nv12Bytes(w, h)) : UINT32(uint64_t(w) * h * 4);
  const UINT32 bitrate = d ? UINT32(uint64_t(w) * h * n * bitsPerPixel / d) : 0;
  const UINT32 stride = nv12 ? w : w * 4;
  RETURN_IF_FAILED(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
  RETURN_IF_FAILED(type->SetGUID(MF_MT_SUBTYPE, subtype));
  RETURN_IF_FAILED(type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive));
  RETURN_IF_FAILED(type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1));
  RETURN_IF_FAILED(type->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, 1));
  RETURN_IF_FAILED(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, w, h));
  RETURN_IF_FAILED(MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, n, d));
  RETURN_IF_FAILED(MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1));
  RETURN_IF_FAILED(type->SetUINT32(MF_MT_SAMPLE_SIZE, sampleSize));
  RETURN_IF_FAILED(type->SetUINT32(MF_MT_AVG_BITRATE, bitrate));
  RETURN_IF_FAILED(type->SetUINT32(MF_MT_DEFAULT_STRIDE, stride));
  *out = type.Detach();
  return S_OK;
}

std::wstring subtypeName(REFGUID subtype) {
  struct Named {
    const GUID* guid;
    const wchar_t* name;
  };
  static const Named kNames[] = {
      {&MFVideoFormat_NV12, L"NV12"}, {&MFVideoFormat_RGB32, L"RGB32"}, {&MFVideoFormat_YUY2, L"YUY2"},
      {&MFVideoFormat_MJPG, L"MJPG"}, {&MFVideoFormat_I420, L"I420"},   {&MFVideoFormat_IYUV, L"IYUV"},
      {&MFVideoFormat_YV12, L"YV12"},
  };
  for (const auto& n : kNames)
    if (*n.guid == subtype) return n.name;
  return guidToText(subtype);
}

std::wstring describeMediaType(IMFMediaType* type) {
  if (!type) return L"<null media type>";
  GUID subtype = GUID_NULL;
  type->GetGUID(MF_MT_SUBTYPE, &subtype);
  UINT32 w = 0, h = 0, n = 0, d = 0;
  if (FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &w, &h))) w = h = 0;
  std::wstring text = subtypeName(subtype) + L" " + std::to_wstring(w) + L"x" + std::to_wstring(h);
  if (SUCCEEDED(MFGetAttributeRatio(type, MF_MT_FRAME_RATE, &n, &d)) && n && d)
    text += L" @" + std::to_wstring(n) + L"/" + std::to_wstring(d) + L"fps";
  UINT32 value = 0;
  if (SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &value)) && value) text += L" stride=" + std::to_wstring(value);
  if (SUCCEEDED(type->GetUINT32(MF_MT_SAMPLE_SIZE, &value)) && value) text += L" sample=" + std::to_wstring(value);
  return text;
}

bool isServableFrameSize(UINT32 w, UINT32 h) {
  return w && h && !(w & 1) && !(h & 1) && w <= kMaxFrameDimension && h <= kMaxFrameDimension &&
         uint64_t(w) * h <= kMaxFramePixels;
}

LONGLONG sampleDuration(UINT32 numerator, UINT32 denominator) {
  if (numerator == 0) return 333333;
  return LONGLONG(uint64_t(denominator) * 10000000ull / numerator);
}

}  // namespace tesmira::vcam
