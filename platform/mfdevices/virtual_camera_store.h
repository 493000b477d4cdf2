#pragma once
// Virtual cameras that were started, kept in the machine root
// (<root>/devices/virtual-cameras/*.json) so every process of the machine sees
// them: system lifetime outlives the creating process, session lifetime ends with it.
#include <map>
#include <string>
#include <vector>

#include "guiddef.h"
#include "minwindef.h"

namespace tesmira::platform::vcams {

// The documented values of MFVirtualCameraLifetime and MFVirtualCameraAccess.
inline constexpr uint32_t kLifetimeSession = 0;
inline constexpr uint32_t kLifetimeSystem = 1;
inline constexpr uint32_t kAccessCurrentUser = 0;
inline constexpr uint32_t kAccessAllUsers = 1;

struct VirtualCameraRecord {
  std::wstring friendlyName;
  std::wstring sourceId;  // the media source's class id as text
  uint32_t type = 0;
  uint32_t lifetime = kLifetimeSystem;
  uint32_t access = kAccessAllUsers;
  std::wstring owner;     // the user who created it (current-user access)
  uint32_t ownerProcess = 0;  // session lifetime
  std::vector<GUID> categories;
  std::vector<std::wstring> deviceSources;  // AddDeviceSourceInfo, in order
  std::map<GUID, std::wstring> strings;     // string attributes stored on the camera
  std::wstring symbolicLink;
};

std::wstring currentUserName();
// The link the device interface of this camera gets; the same for the same identity.
std::wstring symbolicLinkFor(const VirtualCameraRecord& camera);
HRESULT saveStarted(const VirtualCameraRecord& camera);
// Removes the stored camera with this identity; S_OK also when none was stored.
HRESULT removeStored(const VirtualCameraRecord& camera);
// Started cameras the current user can see, in a stable order.
std::vector<VirtualCameraRecord> visibleCameras();

std::wstring guidText(const GUID& guid);  // "{xxxxxxxx-...}" lower case
bool parseGuid(const std::wstring& text, GUID& guid);

}  // namespace tesmira::platform::vcams
