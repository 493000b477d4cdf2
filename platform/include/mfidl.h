#pragma once
// Media Foundation pipeline interfaces: descriptors, media sources and streams,
// services, sample allocator control and sensor profiles.
#include "ksproxy.h"
#include "mfobjects.h"

struct IMFMediaTypeHandler : IUnknown {
  STDMETHOD(IsMediaTypeSupported)(IMFMediaType* type, IMFMediaType** closest) = 0;
  STDMETHOD(GetMediaTypeCount)(DWORD* count) = 0;
  STDMETHOD(GetMediaTypeByIndex)(DWORD index, IMFMediaType** type) = 0;
  STDMETHOD(SetCurrentMediaType)(IMFMediaType* type) = 0;
  STDMETHOD(GetCurrentMediaType)(IMFMediaType** type) = 0;
  STDMETHOD(GetMajorType)(GUID* majorType) = 0;
};
TESMIRA_INTERFACE_IID(IMFMediaTypeHandler, 0xe93dcf6c, 0x4b07, 0x4e1e, 0x81, 0x23, 0xaa, 0x16, 0xed, 0x6e, 0xad, 0xf5);

struct IMFStreamDescriptor : IMFAttributes {
  STDMETHOD(GetStreamIdentifier)(DWORD* identifier) = 0;
  STDMETHOD(GetMediaTypeHandler)(IMFMediaTypeHandler** handler) = 0;
};
TESMIRA_INTERFACE_IID(IMFStreamDescriptor, 0x56c03d9c, 0x9dbb, 0x45f5, 0xab, 0x4b, 0xd8, 0x0f, 0x47, 0xc0, 0x59, 0x38);

struct IMFPresentationDescriptor : IMFAttributes {
  STDMETHOD(GetStreamDescriptorCount)(DWORD* count) = 0;
  STDMETHOD(GetStreamDescriptorByIndex)(DWORD index, BOOL* selected, IMFStreamDescriptor** descriptor) = 0;
  STDMETHOD(SelectStream)(DWORD index) = 0;
  STDMETHOD(DeselectStream)(DWORD index) = 0;
  STDMETHOD(Clone)(IMFPresentationDescriptor** copy) = 0;
};
TESMIRA_INTERFACE_IID(IMFPresentationDescriptor, 0x03cb2711, 0x24d7, 0x4db6, 0xa1, 0x7f, 0xf3, 0xa7, 0xa4, 0x79, 0xa5, 0x36);

enum _MFMEDIASOURCE_CHARACTERISTICS {
  MFMEDIASOURCE_IS_LIVE = 0x1,
  MFMEDIASOURCE_CAN_SEEK = 0x2,
  MFMEDIASOURCE_CAN_PAUSE = 0x4,
  MFMEDIASOURCE_HAS_SLOW_SEEK = 0x8,
};

struct IMFMediaSource : IMFMediaEventGenerator {
  STDMETHOD(GetCharacteristics)(DWORD* characteristics) = 0;
  STDMETHOD(CreatePresentationDescriptor)(IMFPresentationDescriptor** descriptor) = 0;
  STDMETHOD(Start)(IMFPresentationDescriptor* descriptor, const GUID* timeFormat, const PROPVARIANT* startPosition) = 0;
  STDMETHOD(Stop)() = 0;
  STDMETHOD(Pause)() = 0;
  STDMETHOD(Shutdown)() = 0;
};
TESMIRA_INTERFACE_IID(IMFMediaSource, 0x279a808d, 0xaec7, 0x40c8, 0x9c, 0x6b, 0xa6, 0xb4, 0x92, 0xc7, 0x8a, 0x66);

struct IMFMediaSourceEx : IMFMediaSource {
  STDMETHOD(GetSourceAttributes)(IMFAttributes** attributes) = 0;
  STDMETHOD(GetStreamAttributes)(DWORD streamIdentifier, IMFAttributes** attributes) = 0;
  STDMETHOD(SetD3DManager)(IUnknown* manager) = 0;
};
TESMIRA_INTERFACE_IID(IMFMediaSourceEx, 0x3C9B2EB9, 0x86D5, 0x4514, 0xA3, 0x94, 0xF5, 0x66, 0x64, 0xF9, 0xF0, 0xD8);

struct IMFMediaStream : IMFMediaEventGenerator {
  STDMETHOD(GetMediaSource)(IMFMediaSource** source) = 0;
  STDMETHOD(GetStreamDescriptor)(IMFStreamDescriptor** descriptor) = 0;
  STDMETHOD(RequestSample)(IUnknown* token) = 0;
};
TESMIRA_INTERFACE_IID(IMFMediaStream, 0xD182108F, 0x4EC6, 0x443f, 0xAA, 0x42, 0xA7, 0x11, 0x06, 0xEC, 0x82, 0x5F);

// A fixed underlying type: SetStreamState stores any value it is given.
typedef enum _MF_STREAM_STATE : int {
  MF_STREAM_STATE_STOPPED = 0,
  MF_STREAM_STATE_PAUSED = 1,
  MF_STREAM_STATE_RUNNING = 2,
} MF_STREAM_STATE;

struct IMFMediaStream2 : IMFMediaStream {
  STDMETHOD(SetStreamState)(MF_STREAM_STATE value) = 0;
  STDMETHOD(GetStreamState)(MF_STREAM_STATE* value) = 0;
};
TESMIRA_INTERFACE_IID(IMFMediaStream2, 0xC5BC37D6, 0x75C7, 0x46A1, 0xA1, 0x32, 0x81, 0xB5, 0xF7, 0x23, 0xC2, 0x0F);

struct IMFGetService : IUnknown {
  STDMETHOD(GetService)(REFGUID service, REFIID riid, LPVOID* object) = 0;
};
TESMIRA_INTERFACE_IID(IMFGetService, 0xfa993888, 0x4383, 0x415a, 0xa9, 0x30, 0xdd, 0x47, 0x2a, 0x8c, 0xf6, 0xf7);

typedef enum _MFSampleAllocatorUsage {
  MFSampleAllocatorUsage_UsesProvidedAllocator = 0,
  MFSampleAllocatorUsage_UsesCustomAllocator = 1,
  MFSampleAllocatorUsage_DoesNotAllocate = 2,
} MFSampleAllocatorUsage;

struct IMFSampleAllocatorControl : IUnknown {
  STDMETHOD(SetDefaultAllocator)(DWORD outputStreamId, IUnknown* allocator) = 0;
  STDMETHOD(GetAllocatorUsage)(DWORD outputStreamId, DWORD* inputStreamId, MFSampleAllocatorUsage* usage) = 0;
};
TESMIRA_INTERFACE_IID(IMFSampleAllocatorControl, 0xDA62B958, 0x3A38, 0x4A97, 0xBD, 0x27, 0x14, 0x9C, 0x64, 0x0C, 0x07, 0x71);

typedef struct _SENSORPROFILEID {
  GUID Type;
  UINT32 Index;
  UINT32 Unused;
} SENSORPROFILEID;
static_assert(sizeof(SENSORPROFILEID) == 24, "SENSORPROFILEID layout");

struct IMFSensorProfile : IUnknown {
  STDMETHOD(GetProfileId)(SENSORPROFILEID* id) = 0;
  STDMETHOD(AddProfileFilter)(UINT32 streamId, LPCWSTR filterSet) = 0;
  STDMETHOD(IsMediaTypeSupported)(UINT32 streamId, IMFMediaType* type, BOOL* supported) = 0;
  STDMETHOD(AddBlockedControl)(LPCWSTR blockedControl) = 0;
};
TESMIRA_INTERFACE_IID(IMFSensorProfile, 0x22f765d1, 0x8dab, 0x4107, 0x84, 0x6d, 0x56, 0xba, 0xf7, 0x22, 0x15, 0xe7);

struct IMFSensorProfileCollection : IUnknown {
  STDMETHOD_(DWORD, GetProfileCount)() = 0;
  STDMETHOD(GetProfile)(DWORD index, IMFSensorProfile** profile) = 0;
  STDMETHOD(AddProfile)(IMFSensorProfile* profile) = 0;
  STDMETHOD(FindProfile)(SENSORPROFILEID* id, IMFSensorProfile** profile) = 0;
  STDMETHOD_(void, RemoveProfileByIndex)(DWORD index) = 0;
  STDMETHOD_(void, RemoveProfile)(SENSORPROFILEID* id) = 0;
};
TESMIRA_INTERFACE_IID(IMFSensorProfileCollection, 0xC95EA55B, 0x0187, 0x48BE, 0x93, 0x53, 0x8D, 0x25, 0x07, 0x66, 0x23, 0x51);

// Device source and stream attributes.
DEFINE_GUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, 0xc60ac5fe, 0x252a, 0x478f, 0xa0, 0xef, 0xbc, 0x8f, 0xa5, 0xf7, 0xca, 0xd3);
DEFINE_GUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID, 0x8ac3587a, 0x4ae7, 0x42d8, 0x99, 0xe0, 0x0a, 0x60, 0x13, 0xee, 0xf9, 0x0f);
DEFINE_GUID(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, 0x60d0e559, 0x52f8, 0x4fa2, 0xbb, 0xce, 0xac, 0xdb, 0x34, 0xa8, 0xec, 0x01);
DEFINE_GUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK, 0x58f0aad8, 0x22bf, 0x4f8a, 0xbb, 0x3d, 0xd2, 0xc4, 0x97, 0x8c, 0x6e, 0x2f);
DEFINE_GUID(MF_DEVICESTREAM_STREAM_CATEGORY, 0x2939e7b8, 0xa62e, 0x4579, 0xb6, 0x74, 0xd4, 0x07, 0x3d, 0xfa, 0xbb, 0xba);
DEFINE_GUID(MF_DEVICESTREAM_STREAM_ID, 0x11bd5120, 0xd124, 0x446b, 0x88, 0xe6, 0x17, 0x06, 0x02, 0x57, 0xff, 0xf9);
DEFINE_GUID(MF_DEVICESTREAM_FRAMESERVER_SHARED, 0x1CB378E9, 0xB279, 0x41D4, 0xAF, 0x97, 0x34, 0xA2, 0x43, 0xE6, 0x83, 0x20);
DEFINE_GUID(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, 0x17145FD1, 0x1B2B, 0x423C, 0x80, 0x01, 0x2B, 0x68, 0x33, 0xED, 0x35, 0x88);
DEFINE_GUID(MF_DEVICEMFT_SENSORPROFILE_COLLECTION, 0x36EBDC44, 0xB12C, 0x441B, 0x89, 0xF4, 0x08, 0xB2, 0xF4, 0x1A, 0x9C, 0xFC);
DEFINE_GUID(MF_VIRTUALCAMERA_PROVIDE_ASSOCIATED_CAMERA_SOURCES, 0xF0273718, 0x4A4D, 0x4AC5, 0xA1, 0x5D, 0x30, 0x5E, 0xB5, 0xE9, 0x06, 0x67);

typedef enum _MFFrameSourceTypes {
  MFFrameSourceTypes_Color = 0x0001,
  MFFrameSourceTypes_Infrared = 0x0002,
  MFFrameSourceTypes_Depth = 0x0004,
  MFFrameSourceTypes_Image = 0x0008,
  MFFrameSourceTypes_Custom = 0x0080,
} MFFrameSourceTypes;

STDAPI MFCreateStreamDescriptor(DWORD streamIdentifier, DWORD typeCount, IMFMediaType** types, IMFStreamDescriptor** descriptor);
STDAPI MFCreatePresentationDescriptor(DWORD streamCount, IMFStreamDescriptor** streams, IMFPresentationDescriptor** descriptor);
STDAPI MFCreateSensorProfile(REFGUID profileType, UINT32 profileIndex, LPCWSTR constraints, IMFSensorProfile** profile);
STDAPI MFCreateSensorProfileCollection(IMFSensorProfileCollection** collection);

#if __has_include("mfdevices.h")
#include "mfdevices.h"
#endif
