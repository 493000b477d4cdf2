#pragma once
// Capture device enumeration (MFEnumDeviceSources) and its attributes.
#include "mfobjects.h"

// MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, ..._VIDCAP_GUID, ..._FRIENDLY_NAME and
// ..._VIDCAP_SYMBOLIC_LINK come with mfidl.h, which includes this header.

DEFINE_GUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_AUDCAP_GUID, 0x14dd9a1c, 0x7cff, 0x41be, 0xb1, 0xb9, 0xba, 0x1a, 0xc6, 0xec, 0xb5, 0x71);
DEFINE_GUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_CATEGORY, 0x77f0ae69, 0xc3bd, 0x4509, 0x94, 0x1d, 0x46, 0x7e, 0x4d, 0x24, 0x89, 0x9e);
DEFINE_GUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_HW_SOURCE, 0xde7046ba, 0x54d6, 0x4487, 0xa2, 0xa4, 0xec, 0x7c, 0x0d, 0x1b, 0xd1, 0x63);
DEFINE_GUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_MAX_BUFFERS, 0x7dd9b730, 0x4f2d, 0x41d5, 0x8f, 0x95, 0x0c, 0xc9, 0xa9, 0x12, 0xba, 0x26);

// Video capture devices (MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE = ..._VIDCAP_GUID) in
// the system's order: physical cameras, then started virtual cameras the user
// may see. The array comes from CoTaskMemAlloc; each element holds a reference.
// Any other source type (audio) finds no devices here.
STDAPI MFEnumDeviceSources(IMFAttributes* attributes, IMFActivate*** sources, UINT32* count);
