// Sensor profiles and their collection: what a camera source tells the frame
// server about its modes. Filters are kept as given.
#include <mfidl.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "mf/attributes.h"

namespace tesmira::platform::mf {
namespace {

class SensorProfile final : public RuntimeClass<IMFSensorProfile> {
 public:
  explicit SensorProfile(SENSORPROFILEID id) : id_(id) {}
  STDMETHOD(GetProfileId)(SENSORPROFILEID* id) override {
    if (!id) return E_POINTER;
    *id = id_;
    return S_OK;
  }
  STDMETHOD(AddProfileFilter)(UINT32 streamId, LPCWSTR filterSet) override {
    if (!filterSet) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    filters_[streamId] = filterSet;
    return S_OK;
  }
  // Without a filter parser every type counts as supported on a filtered stream.
  STDMETHOD(IsMediaTypeSupported)(UINT32 streamId, IMFMediaType* type, BOOL* supported) override {
    if (!type || !supported) return E_POINTER;
    std::lock_guard lock(mutex_);
    *supported = filters_.count(streamId) != 0;
    return S_OK;
  }
  STDMETHOD(AddBlockedControl)(LPCWSTR blockedControl) override {
    if (!blockedControl) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    blocked_.emplace_back(blockedControl);
    return S_OK;
  }

 private:
  const SENSORPROFILEID id_;
  std::mutex mutex_;
  std::map<UINT32, std::wstring> filters_;
  std::vector<std::wstring> blocked_;
};

bool sameId(const SENSORPROFILEID& a, const SENSORPROFILEID& b) { return a.Type == b.Type && a.Index == b.Index; }

class SensorProfileCollection final : public RuntimeClass<IMFSensorProfileCollection> {
 public:
  STDMETHOD_(DWORD, GetProfileCount)() override {
    std::lock_guard lock(mutex_);
    return DWORD(profiles_.size());
  }
  STDMETHOD(GetProfile)(DWORD index, IMFSensorProfile** profile) override {
    if (!profile) return E_POINTER;
    *profile = nullptr;
    std::lock_guard lock(mutex_);
    if (index >= profiles_.size()) return E_INVALIDARG;
    return profiles_[index].CopyTo(profile);
  }
  STDMETHOD(AddProfile)(IMFSensorProfile* profile) override {
    if (!profile) return E_INVALIDARG;
    SENSORPROFILEID id{};
    HRESULT hr = profile->GetProfileId(&id);
    if (FAILED(hr)) return hr;
    std::lock_guard lock(mutex_);
    for (auto& p : profiles_) {
      SENSORPROFILEID other{};
      p->GetProfileId(&other);
      if (sameId(id, other)) return E_INVALIDARG;
    }
    profiles_.emplace_back(profile);
    return S_OK;
  }
  STDMETHOD(FindProfile)(SENSORPROFILEID* id, IMFSensorProfile** profile) override {
    if (!id || !profile) return E_INVALIDARG;
    *profile = nullptr;
    std::lock_guard lock(mutex_);
    for (auto& p : profiles_) {
      SENSORPROFILEID other{};
      p->GetProfileId(&other);
      if (sameId(*id, other)) return p.CopyTo(profile);
    }
    return E_NOTFOUND_PROFILE;
  }
  STDMETHOD_(void, RemoveProfileByIndex)(DWORD index) override {
    std::lock_guard lock(mutex_);
    if (index < profiles_.size()) profiles_.erase(profiles_.begin() + index);
  }
  STDMETHOD_(void, RemoveProfile)(SENSORPROFILEID* id) override {
    if (!id) return;
    std::lock_guard lock(mutex_);
    for (auto it = profiles_.begin(); it != profiles_.end(); ++it) {
      SENSORPROFILEID other{};
      (*it)->GetProfileId(&other);
      if (sameId(*id, other)) {
        profiles_.erase(it);
        return;
      }
    }
  }

 private:
  static constexpr HRESULT E_NOTFOUND_PROFILE = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  std::mutex mutex_;
  std::vector<ComPtr<IMFSensorProfile>> profiles_;
};

}  // namespace
}  // namespace tesmira::platform::mf

using namespace tesmira::platform::mf;

HRESULT MFCreateSensorProfile(REFGUID profileType, UINT32 profileIndex, LPCWSTR, IMFSensorProfile** profile) {
  if (HRESULT hr = startCreate("MFCreateSensorProfile", profile); FAILED(hr)) return hr;
  SENSORPROFILEID id{profileType, profileIndex, 0};
  *profile = Microsoft::WRL::Make<SensorProfile>(id).Detach();
  return *profile ? S_OK : E_OUTOFMEMORY;
}

HRESULT MFCreateSensorProfileCollection(IMFSensorProfileCollection** collection) {
  if (HRESULT hr = startCreate("MFCreateSensorProfileCollection", collection); FAILED(hr)) return hr;
  *collection = Microsoft::WRL::Make<SensorProfileCollection>().Detach();
  return *collection ? S_OK : E_OUTOFMEMORY;
}
