// The activation object the frame server keeps its attributes on.
#include <mfapi.h>

#include "common/hresult.h"
#include "common/sdk_compat.h"
#include "vcam_source/media_source.h"
#include "vcam_source/source_log.h"
#include "vcam_source/wrl_classes.h"

namespace tesmira::vcam {
namespace {

using Microsoft::WRL::ChainInterfaces;
using Microsoft::WRL::ClassicCom;
using Microsoft::WRL::ComPtr;
using Microsoft::WRL::RuntimeClass;
using Microsoft::WRL::RuntimeClassFlags;

class TesmiraMediaSourceActivate final
    : public RuntimeClass<RuntimeClassFlags<ClassicCom>, ChainInterfaces<IMFActivate, IMFAttributes>> {
 public:
  HRESULT initialize() {
    logSource(L"activate Initialize");
    store_.Reset();
    RETURN_IF_FAILED_LOG(logSource, L"activate Initialize", MFCreateAttributes(&store_, 8));
    store_->SetUINT32(MF_VIRTUALCAMERA_PROVIDE_ASSOCIATED_CAMERA_SOURCES, 1);
    logSource(L"activate Initialize succeeded");
    return S_OK;
  }

  STDMETHOD(GetItem)(REFGUID key, PROPVARIANT* value) override { return store_->GetItem(key, value); }
  STDMETHOD(GetItemType)(REFGUID key, MF_ATTRIBUTE_TYPE* type) override { return store_->GetItemType(key, type); }
  STDMETHOD(CompareItem)(REFGUID key, REFPROPVARIANT value, BOOL* result) override {
    return store_->CompareItem(key, value, result);
  }
  STDMETHOD(Compare)(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE type, BOOL* result) override {
    return store_->Compare(theirs, type, result);
  }
  STDMETHOD(GetUINT32)(REFGUID key, UINT32* value) override { return store_->GetUINT32(key, value); }
  STDMETHOD(GetUINT64)(REFGUID key, UINT64* value) override { return store_->GetUINT64(key, value); }
  STDMETHOD(GetDouble)(REFGUID key, double* value) override { return store_->GetDouble(key, value); }
  STDMETHOD(GetGUID)(REFGUID key, GUID* value) override { return store_->GetGUID(key, value); }
  STDMETHOD(GetStringLength)(REFGUID key, UINT32* length) override { return store_->GetStringLength(key, length); }
  STDMETHOD(GetString)(REFGUID key, LPWSTR value, UINT32 capacity, UINT32* length) override {
    return store_->GetString(key, value, capacity, length);
  }
  STDMETHOD(GetAllocatedString)(REFGUID key, LPWSTR* value, UINT32* length) override {
    return store_->GetAllocatedString(key, value, length);
  }
  STDMETHOD(GetBlobSize)(REFGUID key, UINT32* size) override { return store_->GetBlobSize(key, size); }
  STDMETHOD(GetBlob)(REFGUID key, UINT8* buffer, UINT32 capacity, UINT32* size) override {
    return store_->GetBlob(key, buffer, capacity, size);
  }
  STDMETHOD(GetAllocatedBlob)(REFGUID key, UINT8** buffer, UINT32* size) override {
    return store_->GetAllocatedBlob(key, buffer, size);
  }
  STDMETHOD(GetUnknown)(REFGUID key, REFIID riid, LPVOID* object) override { return store_->GetUnknown(key, riid, object); }
  STDMETHOD(SetItem)(REFGUID key, REFPROPVARIANT value) override { return store_->SetItem(key, value); }
  STDMETHOD(DeleteItem)(REFGUID key) override { return store_->DeleteItem(key); }
  STDMETHOD(DeleteAllItems)() override { return store_->DeleteAllItems(); }
  STDMETHOD(SetUINT32)(REFGUID key, UINT32 value) override { return store_->SetUINT32(key, value); }
  STDMETHOD(SetUINT64)(REFGUID key, UINT64 value) override { return store_->SetUINT64(key, value); }
  STDMETHOD(SetDouble)(REFGUID key, double value) override { return store_->SetDouble(key, value); }
  STDMETHOD(SetGUID)(REFGUID key, REFGUID value) override {
    logSource(L"activate SetGUID key=" + guidToText(key) + L" value=" + guidToText(value));
    return store_->SetGUID(key, value);
  }
  STDMETHOD(SetString)(REFGUID key, LPCWSTR value) override {
    logSource(L"activate SetString key=" + guidToText(key) + L" value=" + (value ? value : L"<null>"));
    return store_->SetString(key, value);
  }
  STDMETHOD(SetBlob)(REFGUID key, const UINT8* buffer, UINT32 size) override { return store_->SetBlob(key, buffer, size); }
  STDMETHOD(SetUnknown)(REFGUID key, IUnknown* value) override { return store_->SetUnknown(key, value); }
  STDMETHOD(LockStore)() override { return store_->LockStore(); }
  STDMETHOD(UnlockStore)() override { return store_->UnlockStore(); }
  STDMETHOD(GetCount)(UINT32* count) override { return store_->GetCount(count); }
  STDMETHOD(GetItemByIndex)(UINT32 index, GUID* key, PROPVARIANT* value) override {
    return store_->GetItemByIndex(index, key, value);
  }
  STDMETHOD(CopyAllItems)(IMFAttributes* destination) override { return store_->CopyAllItems(destination); }

  STDMETHOD(ActivateObject)(REFIID riid, void** out) override {
    logSource(L"activate ActivateObject riid=" + guidToText(riid));
    return createMediaSource(store_.Get(), riid, out);
  }
  STDMETHOD(ShutdownObject)() override {
    logSource(L"activate ShutdownObject");
    return S_OK;
  }
  STDMETHOD(DetachObject)() override {
    logSource(L"activate DetachObject");
    return S_OK;
  }

 private:
  ComPtr<IMFAttributes> store_;
};

}  // namespace

HRESULT createMediaSourceActivate(REFIID riid, void** out) {
  auto activate = Microsoft::WRL::Make<TesmiraMediaSourceActivate>();
  if (!activate) return E_OUTOFMEMORY;
  RETURN_IF_FAILED(activate->initialize());
  if (riid != IID_IMFActivate && riid != IID_IMFAttributes && riid != IID_IUnknown) return E_NOINTERFACE;
  return activate->QueryInterface(riid, out);
}

}  // namespace tesmira::vcam
