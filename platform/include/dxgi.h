#pragma once
// The DXGI subset: the adapter behind a Direct3D 11 device and its description.
#include "dxgiformat.h"
#include "minwindef.h"
#include "unknwn.h"
#include "winerror.h"

#ifndef DXGI_ERROR_WAS_STILL_DRAWING
#define DXGI_ERROR_WAS_STILL_DRAWING _HRESULT_TYPEDEF_(0x887A000AL)
#endif

#ifndef TESMIRA_LUID_DEFINED
#define TESMIRA_LUID_DEFINED
typedef struct _LUID {
  DWORD LowPart;
  LONG HighPart;
} LUID, *PLUID;
#endif

typedef struct DXGI_SAMPLE_DESC {
  UINT Count;
  UINT Quality;
} DXGI_SAMPLE_DESC;

typedef struct DXGI_ADAPTER_DESC {
  WCHAR Description[128];
  UINT VendorId;
  UINT DeviceId;
  UINT SubSysId;
  UINT Revision;
  SIZE_T DedicatedVideoMemory;
  SIZE_T DedicatedSystemMemory;
  SIZE_T SharedSystemMemory;
  LUID AdapterLuid;
} DXGI_ADAPTER_DESC;

struct IDXGIObject : IUnknown {
  STDMETHOD(GetParent)(REFIID riid, void** parent) = 0;
};
TESMIRA_INTERFACE_IID(IDXGIObject, 0xaec22fb8, 0x76f3, 0x4639, 0x9b, 0xe0, 0x28, 0xeb, 0x43, 0xa6, 0x7a, 0x2e);

struct IDXGIAdapter : IDXGIObject {
  STDMETHOD(GetDesc)(DXGI_ADAPTER_DESC* desc) = 0;
};
TESMIRA_INTERFACE_IID(IDXGIAdapter, 0x2411e7e1, 0x12ac, 0x4ccf, 0xbd, 0x14, 0x97, 0x98, 0xe8, 0x53, 0x4d, 0xc0);

struct IDXGIDevice : IDXGIObject {
  STDMETHOD(GetAdapter)(IDXGIAdapter** adapter) = 0;
};
TESMIRA_INTERFACE_IID(IDXGIDevice, 0x54ec77fa, 0x1377, 0x44e6, 0x8c, 0x32, 0x88, 0xfd, 0x5f, 0x44, 0xc8, 0x4c);
