#pragma once
// The Camera Frame Server's part in opening a virtual camera: the class id of
// its media source, the InprocServer32 module from HKLM, DllGetClassObject,
// IClassFactory, IMFActivate with the camera's attributes, then the media source.
#include <mfidl.h>

#include "mfdevices/virtual_camera_store.h"

namespace tesmira::platform::mfdevices {

// Failures as COM reports them: REGDB_E_CLASSNOTREG for an unregistered class,
// the loader's error (0x8007007E) for a missing module, CO_E_ERRORINDLL for a
// module without DllGetClassObject, else what the module answers.
// The module's activation object gets the camera's stored strings, then every
// attribute of `device` (what enumeration and the caller put on the device).
HRESULT activateVirtualCamera(const vcams::VirtualCameraRecord& camera, IMFAttributes* device, REFIID riid,
                              void** object);

}  // namespace tesmira::platform::mfdevices
