#pragma once
// Registration of the media source's COM class and of the "Tesmira" virtual
// camera; shared by the service tool and the launcher.
#include <windows.h>

#include <wrl/client.h>

#include <string>
#include <vector>

struct IMFAttributes;
struct IMFActivate;

namespace tesmira {

// {fb0afedc-9b71-404f-8154-36cc0ef0a550}
inline constexpr GUID CLSID_TesmiraMediaSource = {
    0xfb0afedc, 0x9b71, 0x404f, {0x81, 0x54, 0x36, 0xcc, 0x0e, 0xf0, 0xa5, 0x50}};
// String: symbolic link of the associated physical camera.
inline constexpr GUID VCAM_ATTR_PHYSICAL_CAMERA_LINK = {
    0x3fe6a436, 0xb25d, 0x45ea, {0x8e, 0x1c, 0xe3, 0x12, 0x92, 0xa9, 0xb0, 0x90}};
// String: folder of the media source DLL.
inline constexpr GUID VCAM_ATTR_MEDIA_SOURCE_FOLDER = {
    0x39fb8338, 0x7d42, 0x4efb, {0x90, 0x27, 0xe3, 0xfc, 0xa8, 0x90, 0x72, 0x24}};

inline constexpr const wchar_t* kVirtualCameraFriendlyName = L"Tesmira";
inline constexpr const wchar_t* kMediaSourceClsidText = L"{fb0afedc-9b71-404f-8154-36cc0ef0a550}";
inline constexpr const wchar_t* kMediaSourceClassName = L"Tesmira Retouch Media Source";

struct VcamRegistrationOptions {
  std::wstring dllPath;
  int32_t allUsers = 1;      // 1: all users; anything else: the current user only
  uint8_t registerCom = 1;   // write the COM registration before creating the camera
};

struct CameraDevice {
  std::wstring friendlyName;
  std::wstring symbolicLink;
};

struct RawCameraEntry {
  uint32_t index = 0;  // position in the system's device list
  std::wstring friendlyName;
  bool ours = false;
};

// Enters the multithreaded apartment for its lifetime. Every successful enter
// (S_OK, and S_FALSE when the thread already was in it) takes a reference that
// the destructor gives back; RPC_E_CHANGED_MODE means the thread lives in
// another apartment that we did not enter, so nothing is given back.
class ComApartmentGuard {
 public:
  ComApartmentGuard();
  ~ComApartmentGuard();
  ComApartmentGuard(const ComApartmentGuard&) = delete;
  ComApartmentGuard& operator=(const ComApartmentGuard&) = delete;
  // The CoInitializeEx result, as it came.
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

// Keeps `step` as this thread's failure detail, logs "<step> failed: <HRESULT text>", returns hr.
HRESULT logStepFailure(const std::wstring& step, HRESULT hr);
std::wstring lastFailureDetail();

HRESULT registerComServer(const std::wstring& dllPath);
HRESULT ensureVirtualCamera(const VcamRegistrationOptions& options, std::wstring* symbolicLink = nullptr);
HRESULT removeVirtualCamera(int32_t allUsers);
// 0x80070002 when nothing is registered; callers count that as success.
HRESULT unregisterComServer();

std::vector<CameraDevice> listPhysicalCameras();
std::vector<RawCameraEntry> listCamerasRaw();
bool isOwnVirtualCamera(const CameraDevice& device);
std::vector<CameraDevice>::const_iterator choosePreferredCamera(const std::vector<CameraDevice>& cameras);
std::wstring getAllocatedStringAttribute(IMFAttributes* attributes, const GUID& key);
// Every video capture device's activation object, in the system's order; empty on failure.
// Media Foundation must be started.
HRESULT enumerateVideoCaptureDevices(std::vector<Microsoft::WRL::ComPtr<IMFActivate>>& devices);

}  // namespace tesmira
