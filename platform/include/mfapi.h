#pragma once
// Media Foundation platform functions, media type attributes and formats.
#include "mfobjects.h"

#define MF_SDK_VERSION 0x0002
#define MF_API_VERSION 0x0070
#define MF_VERSION ((MF_SDK_VERSION << 16) | MF_API_VERSION)
#define MFSTARTUP_NOSOCKET 0x1
#define MFSTARTUP_LITE MFSTARTUP_NOSOCKET
#define MFSTARTUP_FULL 0

STDAPI MFStartup(ULONG version, DWORD flags);
STDAPI MFShutdown();
// 100 ns units of the layer's monotonic clock (the test clock moves it too).
STDAPI_(MFTIME) MFGetSystemTime();

STDAPI MFCreateAttributes(IMFAttributes** attributes, UINT32 initialSize);
STDAPI MFCreateMediaType(IMFMediaType** type);
STDAPI MFCreateMediaEvent(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value, IMFMediaEvent** event);
STDAPI MFCreateEventQueue(IMFMediaEventQueue** queue);
STDAPI MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer);
STDAPI MFCreateSample(IMFSample** sample);
STDAPI MFCreateAsyncResult(IUnknown* object, IMFAsyncCallback* callback, IUnknown* state, IMFAsyncResult** result);
// Runs callback->Invoke(result) on the work-queue thread.
STDAPI MFInvokeCallback(IMFAsyncResult* result);
// A manager without a device until ResetDevice gives it one with the token returned here.
STDAPI MFCreateDXGIDeviceManager(UINT* resetToken, IMFDXGIDeviceManager** manager);

#define MFASYNC_CALLBACK_QUEUE_STANDARD 0x00000001
#define MFASYNC_CALLBACK_QUEUE_MULTITHREADED 0x00000005

// Media types and formats.
DEFINE_GUID(MF_MT_MAJOR_TYPE, 0x48eba18e, 0xf8c9, 0x4687, 0xbf, 0x11, 0x0a, 0x74, 0xc9, 0xf9, 0x6a, 0x8f);
DEFINE_GUID(MF_MT_SUBTYPE, 0xf7e34c9a, 0x42e8, 0x4714, 0xb7, 0x4b, 0xcb, 0x29, 0xd7, 0x2c, 0x35, 0xe5);
DEFINE_GUID(MF_MT_INTERLACE_MODE, 0xe2724bb8, 0xe676, 0x4806, 0xb4, 0xb2, 0xa8, 0xd6, 0xef, 0xb4, 0x4c, 0xcd);
DEFINE_GUID(MF_MT_ALL_SAMPLES_INDEPENDENT, 0xc9173739, 0x5e56, 0x461c, 0xb7, 0x13, 0x46, 0xfb, 0x99, 0x5c, 0xb9, 0x5f);
DEFINE_GUID(MF_MT_FIXED_SIZE_SAMPLES, 0xb8ebefaf, 0xb718, 0x4e04, 0xb0, 0xa9, 0x11, 0x67, 0x75, 0xe3, 0x32, 0x1b);
DEFINE_GUID(MF_MT_COMPRESSED, 0x3afd0cee, 0x18f2, 0x4ba5, 0xa1, 0x10, 0x8b, 0xea, 0x50, 0x2e, 0x1f, 0x92);
DEFINE_GUID(MF_MT_FRAME_SIZE, 0x1652c33d, 0xd6b2, 0x4012, 0xb8, 0x34, 0x72, 0x03, 0x08, 0x49, 0xa3, 0x7d);
DEFINE_GUID(MF_MT_FRAME_RATE, 0xc459a2e8, 0x3d2c, 0x4e44, 0xb1, 0x32, 0xfe, 0xe5, 0x15, 0x6c, 0x7b, 0xb0);
DEFINE_GUID(MF_MT_FRAME_RATE_RANGE_MIN, 0xd2e7558c, 0xdc1f, 0x403f, 0x9a, 0x72, 0xd2, 0x8b, 0xb1, 0xeb, 0x3b, 0x5e);
DEFINE_GUID(MF_MT_FRAME_RATE_RANGE_MAX, 0xe3371d41, 0xb4cf, 0x4a05, 0xbd, 0x4e, 0x20, 0xb8, 0x8b, 0xb2, 0xc4, 0xd6);
DEFINE_GUID(MF_MT_PIXEL_ASPECT_RATIO, 0xc6376a1e, 0x8d0a, 0x4027, 0xbe, 0x45, 0x6d, 0x9a, 0x0a, 0xd3, 0x9b, 0xb6);
DEFINE_GUID(MF_MT_SAMPLE_SIZE, 0xdad3ab78, 0x1990, 0x408b, 0xbc, 0xe2, 0xeb, 0xa6, 0x73, 0xda, 0xcc, 0x10);
DEFINE_GUID(MF_MT_AVG_BITRATE, 0x20332624, 0xfb0d, 0x4d9e, 0xbd, 0x0d, 0xcb, 0xf6, 0x78, 0x6c, 0x10, 0x2e);
DEFINE_GUID(MF_MT_DEFAULT_STRIDE, 0x644b4e48, 0x1e02, 0x4516, 0xb0, 0xeb, 0xc0, 0x1c, 0xa9, 0xd4, 0x9a, 0xc6);
DEFINE_GUID(MF_MT_USER_DATA, 0xb6bc765f, 0x4c3b, 0x40a4, 0xbd, 0x51, 0x25, 0x35, 0xb6, 0x6f, 0xe0, 0x9d);
DEFINE_GUID(MFSampleExtension_Token, 0x8294da66, 0xf328, 0x4805, 0xb5, 0x51, 0x00, 0xde, 0xb4, 0xc5, 0x7a, 0x61);

DEFINE_GUID(MFMediaType_Video, 0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
DEFINE_GUID(MFMediaType_Audio, 0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
// Video subtypes: FourCC (or D3DFORMAT) in Data1 of the common base GUID.
#define TESMIRA_VIDEO_FORMAT(name, code) \
  DEFINE_GUID(name, code, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71)
TESMIRA_VIDEO_FORMAT(MFVideoFormat_NV12, 0x3231564E);
TESMIRA_VIDEO_FORMAT(MFVideoFormat_RGB32, 0x00000016);
TESMIRA_VIDEO_FORMAT(MFVideoFormat_ARGB32, 0x00000015);
TESMIRA_VIDEO_FORMAT(MFVideoFormat_RGB24, 0x00000014);
TESMIRA_VIDEO_FORMAT(MFVideoFormat_YUY2, 0x32595559);
TESMIRA_VIDEO_FORMAT(MFVideoFormat_MJPG, 0x47504A4D);
TESMIRA_VIDEO_FORMAT(MFVideoFormat_I420, 0x30323449);
TESMIRA_VIDEO_FORMAT(MFVideoFormat_IYUV, 0x56555949);
TESMIRA_VIDEO_FORMAT(MFVideoFormat_YV12, 0x32315659);

typedef enum _MFVideoInterlaceMode {
  MFVideoInterlace_Unknown = 0,
  MFVideoInterlace_Progressive = 2,
} MFVideoInterlaceMode;

// Two 32-bit halves in one UINT64 attribute: the first value in the upper half.
inline UINT64 Pack2UINT32AsUINT64(UINT32 high, UINT32 low) { return (UINT64(high) << 32) | low; }
inline void Unpack2UINT32AsUINT64(UINT64 packed, UINT32* high, UINT32* low) {
  *high = UINT32(packed >> 32);
  *low = UINT32(packed);
}
inline HRESULT MFSetAttribute2UINT32asUINT64(IMFAttributes* attributes, REFGUID key, UINT32 high, UINT32 low) {
  return attributes->SetUINT64(key, Pack2UINT32AsUINT64(high, low));
}
inline HRESULT MFGetAttribute2UINT32asUINT64(IMFAttributes* attributes, REFGUID key, UINT32* high, UINT32* low) {
  UINT64 packed = 0;
  HRESULT hr = attributes->GetUINT64(key, &packed);
  if (SUCCEEDED(hr)) Unpack2UINT32AsUINT64(packed, high, low);
  return hr;
}
inline HRESULT MFSetAttributeSize(IMFAttributes* a, REFGUID key, UINT32 width, UINT32 height) {
  return MFSetAttribute2UINT32asUINT64(a, key, width, height);
}
inline HRESULT MFGetAttributeSize(IMFAttributes* a, REFGUID key, UINT32* width, UINT32* height) {
  return MFGetAttribute2UINT32asUINT64(a, key, width, height);
}
inline HRESULT MFSetAttributeRatio(IMFAttributes* a, REFGUID key, UINT32 numerator, UINT32 denominator) {
  return MFSetAttribute2UINT32asUINT64(a, key, numerator, denominator);
}
inline HRESULT MFGetAttributeRatio(IMFAttributes* a, REFGUID key, UINT32* numerator, UINT32* denominator) {
  return MFGetAttribute2UINT32asUINT64(a, key, numerator, denominator);
}
inline UINT32 MFGetAttributeUINT32(IMFAttributes* a, REFGUID key, UINT32 fallback) {
  UINT32 value = fallback;
  return SUCCEEDED(a->GetUINT32(key, &value)) ? value : fallback;
}
