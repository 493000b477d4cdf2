#pragma once
// Media Foundation virtual cameras (Windows build 22000+). MFCreateVirtualCamera
// is exported by mfsensorgroup.dll; the product loads it at run time.
#include "mfidl.h"

#ifndef TESMIRA_DEVPROPKEY_DEFINED
#define TESMIRA_DEVPROPKEY_DEFINED
typedef ULONG DEVPROPTYPE;
typedef GUID DEVPROPGUID;
typedef ULONG DEVPROPID;
typedef struct _DEVPROPKEY {
  DEVPROPGUID fmtid;
  DEVPROPID pid;
} DEVPROPKEY;
#endif

typedef enum __MFVirtualCameraType {
  MFVirtualCameraType_SoftwareCameraSource = 0,
} MFVirtualCameraType;

typedef enum __MFVirtualCameraLifetime {
  MFVirtualCameraLifetime_Session = 0,
  MFVirtualCameraLifetime_System = 1,
} MFVirtualCameraLifetime;

typedef enum __MFVirtualCameraAccess {
  MFVirtualCameraAccess_CurrentUser = 0,
  MFVirtualCameraAccess_AllUsers = 1,
} MFVirtualCameraAccess;

struct IMFCameraSyncObject : IUnknown {
  STDMETHOD(WaitOnSignal)(DWORD timeOutInMs) = 0;
  STDMETHOD_(void, Shutdown)() = 0;
};
TESMIRA_INTERFACE_IID(IMFCameraSyncObject, 0x6338b23a, 0x3042, 0x49d2, 0xa3, 0xea, 0xec, 0x0f, 0xed, 0x81, 0x54, 0x07);

struct IMFVirtualCamera : IMFAttributes {
  STDMETHOD(AddDeviceSourceInfo)(LPCWSTR deviceSourceInfo) = 0;
  STDMETHOD(AddProperty)(const DEVPROPKEY* key, DEVPROPTYPE type, const BYTE* data, ULONG size) = 0;
  STDMETHOD(AddRegistryEntry)(LPCWSTR entryName, LPCWSTR subkeyPath, DWORD regType, const BYTE* data, ULONG size) = 0;
  STDMETHOD(Start)(IMFAsyncCallback* callback) = 0;
  STDMETHOD(Stop)() = 0;
  STDMETHOD(Remove)() = 0;
  STDMETHOD(GetMediaSource)(IMFMediaSource** mediaSource) = 0;
  STDMETHOD(SendCameraProperty)(REFGUID propertySet, ULONG propertyId, ULONG propertyFlags, void* propertyPayload,
                                ULONG propertyPayloadLength, void* data, ULONG dataLength, ULONG* dataWritten) = 0;
  STDMETHOD(CreateSyncEvent)(REFGUID kseventSet, ULONG kseventId, ULONG kseventFlags, HANDLE eventHandle,
                             IMFCameraSyncObject** cameraSyncObject) = 0;
  STDMETHOD(CreateSyncSemaphore)(REFGUID kseventSet, ULONG kseventId, ULONG kseventFlags, HANDLE semaphoreHandle,
                                 LONG semaphoreAdjustment, IMFCameraSyncObject** cameraSyncObject) = 0;
  STDMETHOD(Shutdown)() = 0;
};
TESMIRA_INTERFACE_IID(IMFVirtualCamera, 0x1c08a864, 0xef6c, 0x4c75, 0xaf, 0x59, 0x5f, 0x2d, 0x68, 0xda, 0x95, 0x63);

STDAPI MFCreateVirtualCamera(MFVirtualCameraType type, MFVirtualCameraLifetime lifetime, MFVirtualCameraAccess access,
                             LPCWSTR friendlyName, LPCWSTR sourceId, const GUID* categories, ULONG categoryCount,
                             IMFVirtualCamera** virtualCamera);
