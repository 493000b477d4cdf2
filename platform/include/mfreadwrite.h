#pragma once
// The Media Foundation source reader: synchronous reads from a media source,
// with its current type converted when the reader is allowed to.
#include "mfidl.h"
#include "propidl.h"

struct IMFSourceReader : IUnknown {
  STDMETHOD(GetStreamSelection)(DWORD streamIndex, BOOL* selected) = 0;
  STDMETHOD(SetStreamSelection)(DWORD streamIndex, BOOL selected) = 0;
  STDMETHOD(GetNativeMediaType)(DWORD streamIndex, DWORD mediaTypeIndex, IMFMediaType** mediaType) = 0;
  STDMETHOD(GetCurrentMediaType)(DWORD streamIndex, IMFMediaType** mediaType) = 0;
  STDMETHOD(SetCurrentMediaType)(DWORD streamIndex, DWORD* reserved, IMFMediaType* mediaType) = 0;
  STDMETHOD(SetCurrentPosition)(REFGUID timeFormat, const PROPVARIANT& position) = 0;
  STDMETHOD(ReadSample)(DWORD streamIndex, DWORD controlFlags, DWORD* actualStreamIndex, DWORD* streamFlags,
                        LONGLONG* timestamp, IMFSample** sample) = 0;
  STDMETHOD(Flush)(DWORD streamIndex) = 0;
  STDMETHOD(GetServiceForStream)(DWORD streamIndex, REFGUID service, REFIID riid, LPVOID* object) = 0;
  STDMETHOD(GetPresentationAttribute)(DWORD streamIndex, REFGUID attribute, PROPVARIANT* value) = 0;
};
TESMIRA_INTERFACE_IID(IMFSourceReader, 0x70ae66f2, 0xc809, 0x4e4f, 0x89, 0x15, 0xbd, 0xcb, 0x40, 0x6b, 0x79, 0x93);

enum MF_SOURCE_READER_CONSTANTS : DWORD {
  MF_SOURCE_READER_INVALID_STREAM_INDEX = 0xFFFFFFFF,
  MF_SOURCE_READER_ALL_STREAMS = 0xFFFFFFFE,
  MF_SOURCE_READER_ANY_STREAM = 0xFFFFFFFE,
  MF_SOURCE_READER_FIRST_AUDIO_STREAM = 0xFFFFFFFD,
  MF_SOURCE_READER_FIRST_VIDEO_STREAM = 0xFFFFFFFC,
  MF_SOURCE_READER_MEDIASOURCE = 0xFFFFFFFF,
};

enum MF_SOURCE_READER_FLAG : DWORD {
  MF_SOURCE_READERF_ERROR = 0x00000001,
  MF_SOURCE_READERF_ENDOFSTREAM = 0x00000002,
  MF_SOURCE_READERF_NEWSTREAM = 0x00000004,
  MF_SOURCE_READERF_NATIVEMEDIATYPECHANGED = 0x00000010,
  MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED = 0x00000020,
  MF_SOURCE_READERF_STREAMTICK = 0x00000100,
  MF_SOURCE_READERF_ALLEFFECTSREMOVED = 0x00000200,
};

enum MF_SOURCE_READER_CONTROL_FLAG : DWORD {
  MF_SOURCE_READER_CONTROLF_DRAIN = 0x00000001,
};

// Reader attributes.
DEFINE_GUID(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, 0x0f81da2c, 0xb537, 0x4672, 0xa8, 0xb2, 0xa6, 0x81, 0xb1,
            0x73, 0x07, 0xa3);
DEFINE_GUID(MF_SOURCE_READER_ENABLE_VIDEO_PROCESSING, 0xfb394f3d, 0xccf1, 0x42ee, 0xbb, 0xb3, 0xf9, 0xb8, 0x45, 0xd5,
            0x68, 0x1d);
DEFINE_GUID(MF_SOURCE_READER_D3D_MANAGER, 0xec822da2, 0xe1e9, 0x4b29, 0xa0, 0xd8, 0x56, 0x3c, 0x71, 0x9f, 0x52, 0x69);
DEFINE_GUID(MF_SOURCE_READER_DISCONNECT_MEDIASOURCE_ON_SHUTDOWN, 0x56b67165, 0x219e, 0x456d, 0xa2, 0x2e, 0x2d, 0x30,
            0x04, 0xc7, 0xfe, 0x56);
DEFINE_GUID(MF_SOURCE_READER_ASYNC_CALLBACK, 0x1e3dbeac, 0xbb43, 0x4c35, 0xb5, 0x07, 0xcd, 0x64, 0x44, 0x64, 0xc9, 0x65);
DEFINE_GUID(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, 0xa634a91c, 0x822b, 0x41b9, 0xa4, 0x94, 0x4d, 0xe4, 0x64, 0x36,
            0x12, 0xb0);
DEFINE_GUID(MF_READWRITE_DISABLE_CONVERTERS, 0x98d5b065, 0x1374, 0x4847, 0x8d, 0x5d, 0x31, 0x52, 0x0f, 0xee, 0x71, 0x56);

// Only synchronous readers over a camera device's media source are made here:
// an asynchronous callback in the attributes is refused with E_NOTIMPL.
STDAPI MFCreateSourceReaderFromMediaSource(IMFMediaSource* mediaSource, IMFAttributes* attributes,
                                           IMFSourceReader** sourceReader);
