#pragma once
// The Direct3D 11 subset the compositor and the camera capture call: device,
// immediate context, 2D textures, buffers, views, sampler, compute shaders and
// timestamp queries. Values and layouts are the documented ones.
#include "d3dcommon.h"
#include "dxgi.h"
#include "dxgiformat.h"
#include "minwindef.h"
#include "unknwn.h"

#define D3D11_SDK_VERSION 7
#define D3D11_FLOAT32_MAX 3.402823466e+38f
#define D3D11_CS_DISPATCH_MAX_THREAD_GROUPS_PER_DIMENSION 65535
#define D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT 128
#define D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT 16
#define D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT 14
#define D3D11_1_UAV_SLOT_COUNT 64
#define D3D11_KEEP_UNORDERED_ACCESS_VIEWS 0xffffffff

typedef enum D3D11_CREATE_DEVICE_FLAG {
  D3D11_CREATE_DEVICE_SINGLETHREADED = 0x1,
  D3D11_CREATE_DEVICE_DEBUG = 0x2,
  D3D11_CREATE_DEVICE_SWITCH_TO_REF = 0x4,
  D3D11_CREATE_DEVICE_PREVENT_INTERNAL_THREADING_OPTIMIZATIONS = 0x8,
  D3D11_CREATE_DEVICE_BGRA_SUPPORT = 0x20,
  D3D11_CREATE_DEVICE_DEBUGGABLE = 0x40,
  D3D11_CREATE_DEVICE_PREVENT_ALTERING_LAYER_SETTINGS_FROM_REGISTRY = 0x80,
  D3D11_CREATE_DEVICE_DISABLE_GPU_TIMEOUT = 0x100,
  D3D11_CREATE_DEVICE_VIDEO_SUPPORT = 0x800,
} D3D11_CREATE_DEVICE_FLAG;

typedef enum D3D11_USAGE {
  D3D11_USAGE_DEFAULT = 0,
  D3D11_USAGE_IMMUTABLE = 1,
  D3D11_USAGE_DYNAMIC = 2,
  D3D11_USAGE_STAGING = 3,
} D3D11_USAGE;

typedef enum D3D11_BIND_FLAG {
  D3D11_BIND_VERTEX_BUFFER = 0x1,
  D3D11_BIND_INDEX_BUFFER = 0x2,
  D3D11_BIND_CONSTANT_BUFFER = 0x4,
  D3D11_BIND_SHADER_RESOURCE = 0x8,
  D3D11_BIND_STREAM_OUTPUT = 0x10,
  D3D11_BIND_RENDER_TARGET = 0x20,
  D3D11_BIND_DEPTH_STENCIL = 0x40,
  D3D11_BIND_UNORDERED_ACCESS = 0x80,
  D3D11_BIND_DECODER = 0x200,
  D3D11_BIND_VIDEO_ENCODER = 0x400,
} D3D11_BIND_FLAG;

typedef enum D3D11_CPU_ACCESS_FLAG {
  D3D11_CPU_ACCESS_WRITE = 0x10000,
  D3D11_CPU_ACCESS_READ = 0x20000,
} D3D11_CPU_ACCESS_FLAG;

typedef enum D3D11_RESOURCE_MISC_FLAG {
  D3D11_RESOURCE_MISC_GENERATE_MIPS = 0x1,
  D3D11_RESOURCE_MISC_SHARED = 0x2,
  D3D11_RESOURCE_MISC_TEXTURECUBE = 0x4,
  D3D11_RESOURCE_MISC_DRAWINDIRECT_ARGS = 0x10,
  D3D11_RESOURCE_MISC_BUFFER_ALLOW_RAW_VIEWS = 0x20,
  D3D11_RESOURCE_MISC_BUFFER_STRUCTURED = 0x40,
} D3D11_RESOURCE_MISC_FLAG;

typedef enum D3D11_RESOURCE_DIMENSION {
  D3D11_RESOURCE_DIMENSION_UNKNOWN = 0,
  D3D11_RESOURCE_DIMENSION_BUFFER = 1,
  D3D11_RESOURCE_DIMENSION_TEXTURE1D = 2,
  D3D11_RESOURCE_DIMENSION_TEXTURE2D = 3,
  D3D11_RESOURCE_DIMENSION_TEXTURE3D = 4,
} D3D11_RESOURCE_DIMENSION;

typedef enum D3D11_MAP {
  D3D11_MAP_READ = 1,
  D3D11_MAP_WRITE = 2,
  D3D11_MAP_READ_WRITE = 3,
  D3D11_MAP_WRITE_DISCARD = 4,
  D3D11_MAP_WRITE_NO_OVERWRITE = 5,
} D3D11_MAP;

typedef enum D3D11_MAP_FLAG { D3D11_MAP_FLAG_DO_NOT_WAIT = 0x100000 } D3D11_MAP_FLAG;

typedef enum D3D11_SRV_DIMENSION {
  D3D11_SRV_DIMENSION_UNKNOWN = 0,
  D3D11_SRV_DIMENSION_BUFFER = 1,
  D3D11_SRV_DIMENSION_TEXTURE1D = 2,
  D3D11_SRV_DIMENSION_TEXTURE1DARRAY = 3,
  D3D11_SRV_DIMENSION_TEXTURE2D = 4,
  D3D11_SRV_DIMENSION_TEXTURE2DARRAY = 5,
  D3D11_SRV_DIMENSION_TEXTURE2DMS = 6,
  D3D11_SRV_DIMENSION_TEXTURE2DMSARRAY = 7,
  D3D11_SRV_DIMENSION_TEXTURE3D = 8,
  D3D11_SRV_DIMENSION_TEXTURECUBE = 9,
  D3D11_SRV_DIMENSION_TEXTURECUBEARRAY = 10,
  D3D11_SRV_DIMENSION_BUFFEREX = 11,
} D3D11_SRV_DIMENSION;

typedef enum D3D11_UAV_DIMENSION {
  D3D11_UAV_DIMENSION_UNKNOWN = 0,
  D3D11_UAV_DIMENSION_BUFFER = 1,
  D3D11_UAV_DIMENSION_TEXTURE1D = 2,
  D3D11_UAV_DIMENSION_TEXTURE1DARRAY = 3,
  D3D11_UAV_DIMENSION_TEXTURE2D = 4,
  D3D11_UAV_DIMENSION_TEXTURE2DARRAY = 5,
  D3D11_UAV_DIMENSION_TEXTURE3D = 8,
} D3D11_UAV_DIMENSION;

typedef enum D3D11_FILTER {
  D3D11_FILTER_MIN_MAG_MIP_POINT = 0,
  D3D11_FILTER_MIN_MAG_MIP_LINEAR = 0x15,
} D3D11_FILTER;

typedef enum D3D11_TEXTURE_ADDRESS_MODE {
  D3D11_TEXTURE_ADDRESS_WRAP = 1,
  D3D11_TEXTURE_ADDRESS_MIRROR = 2,
  D3D11_TEXTURE_ADDRESS_CLAMP = 3,
  D3D11_TEXTURE_ADDRESS_BORDER = 4,
  D3D11_TEXTURE_ADDRESS_MIRROR_ONCE = 5,
} D3D11_TEXTURE_ADDRESS_MODE;

typedef enum D3D11_COMPARISON_FUNC {
  D3D11_COMPARISON_NEVER = 1,
  D3D11_COMPARISON_LESS = 2,
  D3D11_COMPARISON_EQUAL = 3,
  D3D11_COMPARISON_LESS_EQUAL = 4,
  D3D11_COMPARISON_GREATER = 5,
  D3D11_COMPARISON_NOT_EQUAL = 6,
  D3D11_COMPARISON_GREATER_EQUAL = 7,
  D3D11_COMPARISON_ALWAYS = 8,
} D3D11_COMPARISON_FUNC;

typedef enum D3D11_QUERY {
  D3D11_QUERY_EVENT = 0,
  D3D11_QUERY_OCCLUSION = 1,
  D3D11_QUERY_TIMESTAMP = 2,
  D3D11_QUERY_TIMESTAMP_DISJOINT = 3,
} D3D11_QUERY;

typedef enum D3D11_ASYNC_GETDATA_FLAG { D3D11_ASYNC_GETDATA_DONOTFLUSH = 0x1 } D3D11_ASYNC_GETDATA_FLAG;

typedef struct D3D11_BOX {
  UINT left;
  UINT top;
  UINT front;
  UINT right;
  UINT bottom;
  UINT back;
} D3D11_BOX;

typedef struct D3D11_TEXTURE2D_DESC {
  UINT Width;
  UINT Height;
  UINT MipLevels;
  UINT ArraySize;
  DXGI_FORMAT Format;
  DXGI_SAMPLE_DESC SampleDesc;
  D3D11_USAGE Usage;
  UINT BindFlags;
  UINT CPUAccessFlags;
  UINT MiscFlags;
} D3D11_TEXTURE2D_DESC;

typedef struct D3D11_BUFFER_DESC {
  UINT ByteWidth;
  D3D11_USAGE Usage;
  UINT BindFlags;
  UINT CPUAccessFlags;
  UINT MiscFlags;
  UINT StructureByteStride;
} D3D11_BUFFER_DESC;

typedef struct D3D11_SUBRESOURCE_DATA {
  const void* pSysMem;
  UINT SysMemPitch;
  UINT SysMemSlicePitch;
} D3D11_SUBRESOURCE_DATA;

typedef struct D3D11_MAPPED_SUBRESOURCE {
  void* pData;
  UINT RowPitch;
  UINT DepthPitch;
} D3D11_MAPPED_SUBRESOURCE;

typedef struct D3D11_BUFFER_SRV {
  union {
    UINT FirstElement;
    UINT ElementOffset;
  };
  union {
    UINT NumElements;
    UINT ElementWidth;
  };
} D3D11_BUFFER_SRV;

typedef struct D3D11_TEX2D_SRV {
  UINT MostDetailedMip;
  UINT MipLevels;
} D3D11_TEX2D_SRV;

typedef struct D3D11_TEX2D_ARRAY_SRV {
  UINT MostDetailedMip;
  UINT MipLevels;
  UINT FirstArraySlice;
  UINT ArraySize;
} D3D11_TEX2D_ARRAY_SRV;

typedef struct D3D11_SHADER_RESOURCE_VIEW_DESC {
  DXGI_FORMAT Format;
  D3D11_SRV_DIMENSION ViewDimension;
  union {
    D3D11_BUFFER_SRV Buffer;
    D3D11_TEX2D_SRV Texture2D;
    D3D11_TEX2D_ARRAY_SRV Texture2DArray;
  };
} D3D11_SHADER_RESOURCE_VIEW_DESC;

typedef struct D3D11_BUFFER_UAV {
  UINT FirstElement;
  UINT NumElements;
  UINT Flags;
} D3D11_BUFFER_UAV;

typedef struct D3D11_TEX2D_UAV {
  UINT MipSlice;
} D3D11_TEX2D_UAV;

typedef struct D3D11_TEX2D_ARRAY_UAV {
  UINT MipSlice;
  UINT FirstArraySlice;
  UINT ArraySize;
} D3D11_TEX2D_ARRAY_UAV;

typedef struct D3D11_UNORDERED_ACCESS_VIEW_DESC {
  DXGI_FORMAT Format;
  D3D11_UAV_DIMENSION ViewDimension;
  union {
    D3D11_BUFFER_UAV Buffer;
    D3D11_TEX2D_UAV Texture2D;
    D3D11_TEX2D_ARRAY_UAV Texture2DArray;
  };
} D3D11_UNORDERED_ACCESS_VIEW_DESC;

typedef struct D3D11_SAMPLER_DESC {
  D3D11_FILTER Filter;
  D3D11_TEXTURE_ADDRESS_MODE AddressU;
  D3D11_TEXTURE_ADDRESS_MODE AddressV;
  D3D11_TEXTURE_ADDRESS_MODE AddressW;
  FLOAT MipLODBias;
  UINT MaxAnisotropy;
  D3D11_COMPARISON_FUNC ComparisonFunc;
  FLOAT BorderColor[4];
  FLOAT MinLOD;
  FLOAT MaxLOD;
} D3D11_SAMPLER_DESC;

typedef struct D3D11_QUERY_DESC {
  D3D11_QUERY Query;
  UINT MiscFlags;
} D3D11_QUERY_DESC;

typedef struct D3D11_QUERY_DATA_TIMESTAMP_DISJOINT {
  UINT64 Frequency;
  BOOL Disjoint;
} D3D11_QUERY_DATA_TIMESTAMP_DISJOINT;

struct ID3D11Device;
struct ID3D11ClassLinkage;
struct ID3D11ClassInstance;

struct ID3D11DeviceChild : IUnknown {
  STDMETHOD_(void, GetDevice)(ID3D11Device** device) = 0;
};
TESMIRA_INTERFACE_IID(ID3D11DeviceChild, 0x1841e5c8, 0x16b0, 0x489b, 0xbc, 0xc8, 0x44, 0xcf, 0xb0, 0xd5, 0xde, 0xae);

struct ID3D11Resource : ID3D11DeviceChild {
  STDMETHOD_(void, GetType)(D3D11_RESOURCE_DIMENSION* dimension) = 0;
};
TESMIRA_INTERFACE_IID(ID3D11Resource, 0xdc8e63f3, 0xd12b, 0x4952, 0xb4, 0x7b, 0x5e, 0x45, 0x02, 0x6a, 0x86, 0x2d);

struct ID3D11Buffer : ID3D11Resource {
  STDMETHOD_(void, GetDesc)(D3D11_BUFFER_DESC* desc) = 0;
};
TESMIRA_INTERFACE_IID(ID3D11Buffer, 0x48570b85, 0xd1ee, 0x4fcd, 0xa2, 0x50, 0xeb, 0x35, 0x07, 0x22, 0xb0, 0x37);

struct ID3D11Texture2D : ID3D11Resource {
  STDMETHOD_(void, GetDesc)(D3D11_TEXTURE2D_DESC* desc) = 0;
};
TESMIRA_INTERFACE_IID(ID3D11Texture2D, 0x6f15aaf2, 0xd208, 0x4e89, 0x9a, 0xb4, 0x48, 0x95, 0x35, 0xd3, 0x4f, 0x9c);

struct ID3D11View : ID3D11DeviceChild {
  STDMETHOD_(void, GetResource)(ID3D11Resource** resource) = 0;
};
TESMIRA_INTERFACE_IID(ID3D11View, 0x839d1216, 0xbb2e, 0x412b, 0xb7, 0xf4, 0xa9, 0xdb, 0xeb, 0xe0, 0x8e, 0xd1);

struct ID3D11ShaderResourceView : ID3D11View {
  STDMETHOD_(void, GetDesc)(D3D11_SHADER_RESOURCE_VIEW_DESC* desc) = 0;
};
TESMIRA_INTERFACE_IID(ID3D11ShaderResourceView, 0xb0e06fe0, 0x8192, 0x4e1a, 0xb1, 0xca, 0x36, 0xd7, 0x41, 0x47, 0x10,
                      0xb2);

struct ID3D11UnorderedAccessView : ID3D11View {
  STDMETHOD_(void, GetDesc)(D3D11_UNORDERED_ACCESS_VIEW_DESC* desc) = 0;
};
TESMIRA_INTERFACE_IID(ID3D11UnorderedAccessView, 0x28acf509, 0x7f5c, 0x48f6, 0x86, 0x11, 0xf3, 0x16, 0x01, 0x0a, 0x63,
                      0x80);

struct ID3D11SamplerState : ID3D11DeviceChild {
  STDMETHOD_(void, GetDesc)(D3D11_SAMPLER_DESC* desc) = 0;
};
TESMIRA_INTERFACE_IID(ID3D11SamplerState, 0xda6fea51, 0x564c, 0x4487, 0x98, 0x10, 0xf0, 0xd0, 0xf9, 0xb4, 0xe3, 0xa5);

struct ID3D11ComputeShader : ID3D11DeviceChild {};
TESMIRA_INTERFACE_IID(ID3D11ComputeShader, 0x4f5b196e, 0xc2bd, 0x495e, 0xbd, 0x01, 0x1f, 0xde, 0xd3, 0x8e, 0x49, 0x69);

struct ID3D11Asynchronous : ID3D11DeviceChild {
  STDMETHOD_(UINT, GetDataSize)() = 0;
};
TESMIRA_INTERFACE_IID(ID3D11Asynchronous, 0x4b35d0cd, 0x1e15, 0x4258, 0x9c, 0x98, 0x1b, 0x13, 0x33, 0xf6, 0xdd, 0x3b);

struct ID3D11Query : ID3D11Asynchronous {
  STDMETHOD_(void, GetDesc)(D3D11_QUERY_DESC* desc) = 0;
};
TESMIRA_INTERFACE_IID(ID3D11Query, 0xd6c00747, 0x87b7, 0x425e, 0xb8, 0x4d, 0x44, 0xd1, 0x08, 0x56, 0x0a, 0xfd);

struct ID3D11DeviceContext : ID3D11DeviceChild {
  STDMETHOD_(void, CSSetShaderResources)(UINT startSlot, UINT numViews,
                                         ID3D11ShaderResourceView* const* views) = 0;
  STDMETHOD_(void, CSSetUnorderedAccessViews)(UINT startSlot, UINT numUavs, ID3D11UnorderedAccessView* const* uavs,
                                              const UINT* initialCounts) = 0;
  STDMETHOD_(void, CSSetShader)(ID3D11ComputeShader* shader, ID3D11ClassInstance* const* classInstances,
                                UINT numClassInstances) = 0;
  STDMETHOD_(void, CSSetSamplers)(UINT startSlot, UINT numSamplers, ID3D11SamplerState* const* samplers) = 0;
  STDMETHOD_(void, CSSetConstantBuffers)(UINT startSlot, UINT numBuffers, ID3D11Buffer* const* buffers) = 0;
  STDMETHOD_(void, Dispatch)(UINT x, UINT y, UINT z) = 0;
  STDMETHOD(Map)(ID3D11Resource* resource, UINT subresource, D3D11_MAP mapType, UINT mapFlags,
                 D3D11_MAPPED_SUBRESOURCE* mapped) = 0;
  STDMETHOD_(void, Unmap)(ID3D11Resource* resource, UINT subresource) = 0;
  STDMETHOD_(void, CopySubresourceRegion)(ID3D11Resource* dst, UINT dstSubresource, UINT dstX, UINT dstY, UINT dstZ,
                                          ID3D11Resource* src, UINT srcSubresource, const D3D11_BOX* srcBox) = 0;
  STDMETHOD_(void, CopyResource)(ID3D11Resource* dst, ID3D11Resource* src) = 0;
  STDMETHOD_(void, Begin)(ID3D11Asynchronous* async) = 0;
  STDMETHOD_(void, End)(ID3D11Asynchronous* async) = 0;
  STDMETHOD(GetData)(ID3D11Asynchronous* async, void* data, UINT dataSize, UINT getDataFlags) = 0;
  STDMETHOD_(void, Flush)() = 0;
};
TESMIRA_INTERFACE_IID(ID3D11DeviceContext, 0xc0bfa96c, 0xe089, 0x44fb, 0x8e, 0xaf, 0x26, 0xf8, 0x79, 0x61, 0x90, 0xda);

struct ID3D11Device : IUnknown {
  STDMETHOD(CreateBuffer)(const D3D11_BUFFER_DESC* desc, const D3D11_SUBRESOURCE_DATA* initialData,
                          ID3D11Buffer** buffer) = 0;
  STDMETHOD(CreateTexture2D)(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA* initialData,
                             ID3D11Texture2D** texture) = 0;
  STDMETHOD(CreateShaderResourceView)(ID3D11Resource* resource, const D3D11_SHADER_RESOURCE_VIEW_DESC* desc,
                                      ID3D11ShaderResourceView** view) = 0;
  STDMETHOD(CreateUnorderedAccessView)(ID3D11Resource* resource, const D3D11_UNORDERED_ACCESS_VIEW_DESC* desc,
                                       ID3D11UnorderedAccessView** view) = 0;
  STDMETHOD(CreateComputeShader)(const void* bytecode, SIZE_T length, ID3D11ClassLinkage* linkage,
                                 ID3D11ComputeShader** shader) = 0;
  STDMETHOD(CreateSamplerState)(const D3D11_SAMPLER_DESC* desc, ID3D11SamplerState** sampler) = 0;
  STDMETHOD(CreateQuery)(const D3D11_QUERY_DESC* desc, ID3D11Query** query) = 0;
  STDMETHOD_(D3D_FEATURE_LEVEL, GetFeatureLevel)() = 0;
  STDMETHOD(GetDeviceRemovedReason)() = 0;
  STDMETHOD_(void, GetImmediateContext)(ID3D11DeviceContext** context) = 0;
};
TESMIRA_INTERFACE_IID(ID3D11Device, 0xdb6f6ddb, 0xac77, 0x4e88, 0x82, 0x53, 0x81, 0x9d, 0xf9, 0xbb, 0xf1, 0x40);

struct IDXGIAdapter;

extern "C" TESMIRA_EXPORT HRESULT WINAPI D3D11CreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType,
                                                           HMODULE software, UINT flags,
                                                           const D3D_FEATURE_LEVEL* featureLevels, UINT numLevels,
                                                           UINT sdkVersion, ID3D11Device** device,
                                                           D3D_FEATURE_LEVEL* obtainedLevel,
                                                           ID3D11DeviceContext** immediateContext);
