#pragma once
// Declarations of the Windows 10 and 11 SDKs that older SDKs lack. mfvirtualcamera.h
// (SDK 10.0.22000) is the newest header the product needs, so an SDK that has it
// has everything here and its own declarations win; an SDK without it (MinGW-w64
// 10) gets what the product uses from here. Values are the SDK's documented ones.
// MFCreateVirtualCamera is loaded at run time, so no import library is needed.
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>
#include <mfidl.h>

#if __has_include(<mfvirtualcamera.h>)
#include <mfvirtualcamera.h>
#else
#include <devpropdef.h>

// From mfvirtualcamera.h.
typedef enum __MFVirtualCameraType { MFVirtualCameraType_SoftwareCameraSource = 0 } MFVirtualCameraType;
typedef enum __MFVirtualCameraLifetime {
  MFVirtualCameraLifetime_Session = 0,
  MFVirtualCameraLifetime_System = 1
} MFVirtualCameraLifetime;
typedef enum __MFVirtualCameraAccess {
  MFVirtualCameraAccess_CurrentUser = 0,
  MFVirtualCameraAccess_AllUsers = 1
} MFVirtualCameraAccess;

struct IMFCameraSyncObject : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE WaitOnSignal(DWORD timeOutInMs) = 0;
  virtual void STDMETHODCALLTYPE Shutdown() = 0;
};

// Method order is the vtable order of the SDK's interface.
struct IMFVirtualCamera : public IMFAttributes {
  virtual HRESULT STDMETHODCALLTYPE AddDeviceSourceInfo(LPCWSTR deviceSourceInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddProperty(const DEVPROPKEY* key, DEVPROPTYPE type, const BYTE* data,
                                                ULONG size) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddRegistryEntry(LPCWSTR entryName, LPCWSTR subkeyPath, DWORD regType,
                                                     const BYTE* data, ULONG size) = 0;
  virtual HRESULT STDMETHODCALLTYPE Start(IMFAsyncCallback* callback) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual HRESULT STDMETHODCALLTYPE Remove() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMediaSource(IMFMediaSource** mediaSource) = 0;
  virtual HRESULT STDMETHODCALLTYPE SendCameraProperty(REFGUID propertySet, ULONG propertyId, ULONG propertyFlags,
                                                       void* propertyPayload, ULONG propertyPayloadLength, void* data,
                                                       ULONG dataLength, ULONG* dataWritten) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateSyncEvent(REFGUID kseventSet, ULONG kseventId, ULONG kseventFlags,
                                                    HANDLE eventHandle, IMFCameraSyncObject** cameraSyncObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateSyncSemaphore(REFGUID kseventSet, ULONG kseventId, ULONG kseventFlags,
                                                        HANDLE semaphoreHandle, LONG semaphoreAdjustment,
                                                        IMFCameraSyncObject** cameraSyncObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE Shutdown() = 0;
};

// From the Windows 10 SDKs' mfidl.h and ksmedia.h.
struct IMFMediaStream2 : public IMFMediaStream {
  virtual HRESULT STDMETHODCALLTYPE SetStreamState(MF_STREAM_STATE value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamState(MF_STREAM_STATE* value) = 0;
};

typedef enum _MFSampleAllocatorUsage {
  MFSampleAllocatorUsage_UsesProvidedAllocator = 0,
  MFSampleAllocatorUsage_UsesCustomAllocator = 1,
  MFSampleAllocatorUsage_DoesNotAllocate = 2
} MFSampleAllocatorUsage;

struct IMFSampleAllocatorControl : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetDefaultAllocator(DWORD outputStreamId, IUnknown* allocator) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAllocatorUsage(DWORD outputStreamId, DWORD* inputStreamId,
                                                      MFSampleAllocatorUsage* usage) = 0;
};

typedef struct _SENSORPROFILEID {
  GUID Type;
  UINT32 Index;
  UINT32 Unused;
} SENSORPROFILEID;

struct IMFSensorProfile : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetProfileId(SENSORPROFILEID* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddProfileFilter(UINT32 streamId, LPCWSTR filterSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsMediaTypeSupported(UINT32 streamId, IMFMediaType* type, BOOL* supported) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddBlockedControl(LPCWSTR blockedControl) = 0;
};

struct IMFSensorProfileCollection : public IUnknown {
  virtual DWORD STDMETHODCALLTYPE GetProfileCount() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProfile(DWORD index, IMFSensorProfile** profile) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddProfile(IMFSensorProfile* profile) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindProfile(SENSORPROFILEID* id, IMFSensorProfile** profile) = 0;
  virtual void STDMETHODCALLTYPE RemoveProfileByIndex(DWORD index) = 0;
  virtual void STDMETHODCALLTYPE RemoveProfile(SENSORPROFILEID* id) = 0;
};

STDAPI MFCreateSensorProfile(REFGUID profileType, UINT32 profileIndex, LPCWSTR constraints,
                             IMFSensorProfile** profile);
STDAPI MFCreateSensorProfileCollection(IMFSensorProfileCollection** collection);

typedef enum _MFFrameSourceTypes {
  MFFrameSourceTypes_Color = 0x0001,
  MFFrameSourceTypes_Infrared = 0x0002,
  MFFrameSourceTypes_Depth = 0x0004,
  MFFrameSourceTypes_Image = 0x0008,
  MFFrameSourceTypes_Custom = 0x0080
} MFFrameSourceTypes;

// Defined here rather than declared: no import library carries them.
inline constexpr GUID MF_DEVICESTREAM_STREAM_CATEGORY = {
    0x2939e7b8, 0xa62e, 0x4579, {0xb6, 0x74, 0xd4, 0x07, 0x3d, 0xfa, 0xbb, 0xba}};
inline constexpr GUID MF_DEVICESTREAM_STREAM_ID = {
    0x11bd5120, 0xd124, 0x446b, {0x88, 0xe6, 0x17, 0x06, 0x02, 0x57, 0xff, 0xf9}};
inline constexpr GUID MF_DEVICESTREAM_FRAMESERVER_SHARED = {
    0x1cb378e9, 0xb279, 0x41d4, {0xaf, 0x97, 0x34, 0xa2, 0x43, 0xe6, 0x83, 0x20}};
inline constexpr GUID MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES = {
    0x17145fd1, 0x1b2b, 0x423c, {0x80, 0x01, 0x2b, 0x68, 0x33, 0xed, 0x35, 0x88}};
inline constexpr GUID MF_DEVICEMFT_SENSORPROFILE_COLLECTION = {
    0x36ebdc44, 0xb12c, 0x441b, {0x89, 0xf4, 0x08, 0xb2, 0xf4, 0x1a, 0x9c, 0xfc}};
inline constexpr GUID MF_VIRTUALCAMERA_PROVIDE_ASSOCIATED_CAMERA_SOURCES = {
    0xf0273718, 0x4a4d, 0x4ac5, {0xa1, 0x5d, 0x30, 0x5e, 0xb5, 0xe9, 0x06, 0x67}};
inline constexpr GUID KSCAMERAPROFILE_Legacy = {
    0xb4894d81, 0x62b7, 0x4eec, {0x87, 0x40, 0x80, 0x65, 0x8c, 0x4a, 0x9d, 0x3e}};

#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IMFCameraSyncObject, 0x6338b23a, 0x3042, 0x49d2, 0xa3, 0xea, 0xec, 0x0f, 0xed, 0x81, 0x54, 0x07)
__CRT_UUID_DECL(IMFVirtualCamera, 0x1c08a864, 0xef6c, 0x4c75, 0xaf, 0x59, 0x5f, 0x2d, 0x68, 0xda, 0x95, 0x63)
__CRT_UUID_DECL(IMFMediaStream2, 0xc5bc37d6, 0x75c7, 0x46a1, 0xa1, 0x32, 0x81, 0xb5, 0xf7, 0x23, 0xc2, 0x0f)
__CRT_UUID_DECL(IMFSampleAllocatorControl, 0xda62b958, 0x3a38, 0x4a97, 0xbd, 0x27, 0x14, 0x9c, 0x64, 0x0c, 0x07, 0x71)
__CRT_UUID_DECL(IMFSensorProfile, 0x22f765d1, 0x8dab, 0x4107, 0x84, 0x6d, 0x56, 0xba, 0xf7, 0x22, 0x15, 0xe7)
__CRT_UUID_DECL(IMFSensorProfileCollection, 0xc95ea55b, 0x0187, 0x48be, 0x93, 0x53, 0x8d, 0x25, 0x07, 0x66, 0x23, 0x51)
#endif
#endif
