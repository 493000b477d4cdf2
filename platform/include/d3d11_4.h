#pragma once
// ID3D11Multithread: the device's lock around its immediate context.
#include "d3d11.h"

struct ID3D11Multithread : IUnknown {
  STDMETHOD_(void, Enter)() = 0;
  STDMETHOD_(void, Leave)() = 0;
  STDMETHOD_(BOOL, SetMultithreadProtected)(BOOL protect) = 0;
  STDMETHOD_(BOOL, GetMultithreadProtected)() = 0;
};
TESMIRA_INTERFACE_IID(ID3D11Multithread, 0x9b7e4e00, 0x342c, 0x4106, 0xa1, 0x9f, 0x4f, 0x27, 0x04, 0xf6, 0x89, 0xf0);
