#pragma once
// A COM object that keeps its attributes in an inner store (device activation
// objects, virtual cameras): IUnknown with an atomic count that starts at 1,
// answering IUnknown, IMFAttributes and Interface; every attribute call goes to the store.
#include <mfapi.h>
#include <wrl/client.h>

#include <atomic>

namespace tesmira::platform::mfdevices {

template <class Interface>
class AttributesForwarder : public Interface {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (riid != __uuidof(IUnknown) && riid != __uuidof(IMFAttributes) && riid != __uuidof(Interface)) {
      return E_NOINTERFACE;
    }
    *object = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP GetItem(REFGUID key, PROPVARIANT* value) override { return store_->GetItem(key, value); }
  STDMETHODIMP GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override { return store_->GetItemType(key, type); }
  STDMETHODIMP CompareItem(REFGUID key, REFPROPVARIANT value, BOOL* result) override {
    return store_->CompareItem(key, value, result);
  }
  STDMETHODIMP Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE type, BOOL* result) override {
    return store_->Compare(theirs, type, result);
  }
  STDMETHODIMP GetUINT32(REFGUID key, UINT32* value) override { return store_->GetUINT32(key, value); }
  STDMETHODIMP GetUINT64(REFGUID key, UINT64* value) override { return store_->GetUINT64(key, value); }
  STDMETHODIMP GetDouble(REFGUID key, double* value) override { return store_->GetDouble(key, value); }
  STDMETHODIMP GetGUID(REFGUID key, GUID* value) override { return store_->GetGUID(key, value); }
  STDMETHODIMP GetStringLength(REFGUID key, UINT32* length) override { return store_->GetStringLength(key, length); }
  STDMETHODIMP GetString(REFGUID key, LPWSTR value, UINT32 capacity, UINT32* length) override {
    return store_->GetString(key, value, capacity, length);
  }
  STDMETHODIMP GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) override {
    return store_->GetAllocatedString(key, value, length);
  }
  STDMETHODIMP GetBlobSize(REFGUID key, UINT32* size) override { return store_->GetBlobSize(key, size); }
  STDMETHODIMP GetBlob(REFGUID key, UINT8* buffer, UINT32 capacity, UINT32* size) override {
    return store_->GetBlob(key, buffer, capacity, size);
  }
  STDMETHODIMP GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) override {
    return store_->GetAllocatedBlob(key, buffer, size);
  }
  STDMETHODIMP GetUnknown(REFGUID key, REFIID riid, LPVOID* object) override {
    return store_->GetUnknown(key, riid, object);
  }
  STDMETHODIMP SetItem(REFGUID key, REFPROPVARIANT value) override { return store_->SetItem(key, value); }
  STDMETHODIMP DeleteItem(REFGUID key) override { return store_->DeleteItem(key); }
  STDMETHODIMP DeleteAllItems() override { return store_->DeleteAllItems(); }
  STDMETHODIMP SetUINT32(REFGUID key, UINT32 value) override { return store_->SetUINT32(key, value); }
  STDMETHODIMP SetUINT64(REFGUID key, UINT64 value) override { return store_->SetUINT64(key, value); }
  STDMETHODIMP SetDouble(REFGUID key, double value) override { return store_->SetDouble(key, value); }
  STDMETHODIMP SetGUID(REFGUID key, REFGUID value) override { return store_->SetGUID(key, value); }
  STDMETHODIMP SetString(REFGUID key, LPCWSTR value) override { return store_->SetString(key, value); }
  STDMETHODIMP SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) override {
    return store_->SetBlob(key, buffer, size);
  }
  STDMETHODIMP SetUnknown(REFGUID key, IUnknown* value) override { return store_->SetUnknown(key, value); }
  STDMETHODIMP LockStore() override { return store_->LockStore(); }
  STDMETHODIMP UnlockStore() override { return store_->UnlockStore(); }
  STDMETHODIMP GetCount(UINT32* count) override { return store_->GetCount(count); }
  STDMETHODIMP GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override {
    return store_->GetItemByIndex(index, key, value);
  }
  STDMETHODIMP CopyAllItems(IMFAttributes* destination) override { return store_->CopyAllItems(destination); }

 protected:
  virtual ~AttributesForwarder() = default;
  // Called once by the owner before the object is handed out.
  HRESULT createStore(UINT32 initialSize) { return MFCreateAttributes(store_.ReleaseAndGetAddressOf(), initialSize); }
  Microsoft::WRL::ComPtr<IMFAttributes> store_;

 private:
  std::atomic<ULONG> refs_{1};
};

}  // namespace tesmira::platform::mfdevices
