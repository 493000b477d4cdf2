#pragma once
// Shared Direct3D types: driver types, feature levels and the blob that carries
// compiled code and compiler messages.
#include "minwindef.h"
#include "unknwn.h"

typedef uint64_t UINT64;

typedef enum D3D_DRIVER_TYPE {
  D3D_DRIVER_TYPE_UNKNOWN = 0,
  D3D_DRIVER_TYPE_HARDWARE = 1,
  D3D_DRIVER_TYPE_REFERENCE = 2,
  D3D_DRIVER_TYPE_NULL = 3,
  D3D_DRIVER_TYPE_SOFTWARE = 4,
  D3D_DRIVER_TYPE_WARP = 5,
} D3D_DRIVER_TYPE;

typedef enum D3D_FEATURE_LEVEL {
  D3D_FEATURE_LEVEL_9_1 = 0x9100,
  D3D_FEATURE_LEVEL_9_2 = 0x9200,
  D3D_FEATURE_LEVEL_9_3 = 0x9300,
  D3D_FEATURE_LEVEL_10_0 = 0xa000,
  D3D_FEATURE_LEVEL_10_1 = 0xa100,
  D3D_FEATURE_LEVEL_11_0 = 0xb000,
  D3D_FEATURE_LEVEL_11_1 = 0xb100,
} D3D_FEATURE_LEVEL;

struct ID3D10Blob : IUnknown {
  STDMETHOD_(LPVOID, GetBufferPointer)() = 0;
  STDMETHOD_(SIZE_T, GetBufferSize)() = 0;
};
TESMIRA_INTERFACE_IID(ID3D10Blob, 0x8ba5fb08, 0x5195, 0x40e2, 0xac, 0x58, 0x0d, 0x98, 0x9c, 0x3a, 0x01, 0x02);
typedef ID3D10Blob ID3DBlob;
typedef ID3DBlob* LPD3DBLOB;
#define IID_ID3DBlob IID_ID3D10Blob

typedef struct _D3D_SHADER_MACRO {
  LPCSTR Name;
  LPCSTR Definition;
} D3D_SHADER_MACRO;

typedef enum D3D_INCLUDE_TYPE { D3D_INCLUDE_LOCAL = 0, D3D_INCLUDE_SYSTEM = 1 } D3D_INCLUDE_TYPE;

struct ID3DInclude {
  virtual HRESULT STDMETHODCALLTYPE Open(D3D_INCLUDE_TYPE type, LPCSTR fileName, LPCVOID parentData, LPCVOID* data,
                                         UINT* bytes) = 0;
  virtual HRESULT STDMETHODCALLTYPE Close(LPCVOID data) = 0;

 protected:
  ~ID3DInclude() = default;
};
