#pragma once
// D3DCompile: HLSL source to code that ID3D11Device::CreateComputeShader takes.
#include "d3dcommon.h"

#define D3DCOMPILE_DEBUG (1 << 0)
#define D3DCOMPILE_SKIP_VALIDATION (1 << 1)
#define D3DCOMPILE_SKIP_OPTIMIZATION (1 << 2)
#define D3DCOMPILE_ENABLE_STRICTNESS (1 << 11)
#define D3DCOMPILE_OPTIMIZATION_LEVEL3 (1 << 15)
#define D3DCOMPILE_WARNINGS_ARE_ERRORS (1 << 18)

extern "C" TESMIRA_EXPORT HRESULT WINAPI D3DCompile(LPCVOID srcData, SIZE_T srcDataSize, LPCSTR sourceName,
                                                    const D3D_SHADER_MACRO* defines, ID3DInclude* include,
                                                    LPCSTR entryPoint, LPCSTR target, UINT flags1, UINT flags2,
                                                    ID3DBlob** code, ID3DBlob** errorMsgs);
