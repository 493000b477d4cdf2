#pragma once
// The media source and its activation object, reachable from the class factory.
#include <windows.h>
#include <mfidl.h>

namespace tesmira::vcam {

// {FB0AFEDC-9B71-404F-8154-36CC0EF0A550}; defined here, since without INITGUID a
// DEFINE_GUID only declares it and no library defines it.
inline constexpr GUID CLSID_TesmiraMediaSource = {
    0xFB0AFEDC, 0x9B71, 0x404F, {0x81, 0x54, 0x36, 0xCC, 0x0E, 0xF0, 0xA5, 0x50}};

// A new, initialized media source built from the activation store (or null),
// handed out through riid.
HRESULT createMediaSource(IMFAttributes* activationStore, REFIID riid, void** out);
// A new activation object with its inner store, handed out through riid.
HRESULT createMediaSourceActivate(REFIID riid, void** out);

}  // namespace tesmira::vcam
