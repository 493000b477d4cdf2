#pragma once
#include "ks.h"
#include "unknwn.h"

struct IKsControl : IUnknown {
  STDMETHOD(KsProperty)(PKSPROPERTY property, ULONG propertyLength, LPVOID data, ULONG dataLength, ULONG* bytesReturned) = 0;
  STDMETHOD(KsMethod)(PKSMETHOD method, ULONG methodLength, LPVOID data, ULONG dataLength, ULONG* bytesReturned) = 0;
  STDMETHOD(KsEvent)(PKSEVENT event, ULONG eventLength, LPVOID data, ULONG dataLength, ULONG* bytesReturned) = 0;
};
TESMIRA_INTERFACE_IID(IKsControl, 0x28F54685, 0x06FD, 0x11D2, 0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
