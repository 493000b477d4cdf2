#pragma once
// What Windows' capability access manager records when an application uses the
// camera: under the user's HKCU ...\ConsentStore\webcam\NonPackaged, a key named after
// the executable's path (every separator as "#") with LastUsedTimeStart and
// LastUsedTimeStop (REG_QWORD FILETIMEs; stop 0 while in use).
#include <string>

namespace tesmira::platform::consent {

// The key name for this process's executable ("C:#dir#app.exe").
std::wstring ownConsentKeyName();
// Start: start = now, stop = 0. Stop: stop = now. Failures leave the store as it was.
void recordCameraUse(bool inUse);

}  // namespace tesmira::platform::consent
