#pragma once
// The attribute store behind every Media Foundation object that carries
// attributes. Items keep their insertion order; LockStore holds the store's
// (recursive) lock until UnlockStore.
#include <mfapi.h>
#include <wrl/implements.h>

#include <mutex>
#include <utility>
#include <vector>

namespace tesmira::platform::mf {

using Microsoft::WRL::ChainInterfaces;
using Microsoft::WRL::ComPtr;
using Microsoft::WRL::RuntimeClass;

// The HRESULT a test injected for an MFCreate* call site, or S_OK.
HRESULT injectedFailure(const char* site);

// How every MFCreate* starts: no out-pointer is E_POINTER; otherwise it is
// cleared first, so that any failure (an injected one too) leaves it null.
template <class T>
HRESULT startCreate(const char* site, T** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return injectedFailure(site);
}

bool isAttributeType(VARTYPE vt);
bool propVariantEqual(const PROPVARIANT& a, const PROPVARIANT& b);

class AttributeItems {
 public:
  AttributeItems() = default;
  ~AttributeItems();
  AttributeItems(const AttributeItems&) = delete;
  AttributeItems& operator=(const AttributeItems&) = delete;

  std::recursive_mutex& mutex() { return mutex_; }
  // Every call below expects the caller to hold mutex().
  const PROPVARIANT* find(REFGUID key) const;
  HRESULT set(REFGUID key, const PROPVARIANT& value);  // copies value
  bool erase(REFGUID key);
  void clear();
  const std::vector<std::pair<GUID, PROPVARIANT>>& items() const { return items_; }

 private:
  std::recursive_mutex mutex_;
  std::vector<std::pair<GUID, PROPVARIANT>> items_;
};

// Implements the 30 IMFAttributes methods for an interface I that extends
// IMFAttributes (or is IMFAttributes itself).
template <class I, class... More>
class AttributeStore : public RuntimeClass<ChainInterfaces<I, IMFAttributes>, More...> {
 public:
  STDMETHOD(GetItem)(REFGUID key, PROPVARIANT* value) override;
  STDMETHOD(GetItemType)(REFGUID key, MF_ATTRIBUTE_TYPE* type) override;
  STDMETHOD(CompareItem)(REFGUID key, REFPROPVARIANT value, BOOL* result) override;
  STDMETHOD(Compare)(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result) override;
  STDMETHOD(GetUINT32)(REFGUID key, UINT32* value) override;
  STDMETHOD(GetUINT64)(REFGUID key, UINT64* value) override;
  STDMETHOD(GetDouble)(REFGUID key, double* value) override;
  STDMETHOD(GetGUID)(REFGUID key, GUID* value) override;
  STDMETHOD(GetStringLength)(REFGUID key, UINT32* length) override;
  STDMETHOD(GetString)(REFGUID key, LPWSTR value, UINT32 capacity, UINT32* length) override;
  STDMETHOD(GetAllocatedString)(REFGUID key, LPWSTR* value, UINT32* length) override;
  STDMETHOD(GetBlobSize)(REFGUID key, UINT32* size) override;
  STDMETHOD(GetBlob)(REFGUID key, UINT8* buffer, UINT32 capacity, UINT32* size) override;
  STDMETHOD(GetAllocatedBlob)(REFGUID key, UINT8** buffer, UINT32* size) override;
  STDMETHOD(GetUnknown)(REFGUID key, REFIID riid, LPVOID* object) override;
  STDMETHOD(SetItem)(REFGUID key, REFPROPVARIANT value) override;
  STDMETHOD(DeleteItem)(REFGUID key) override;
  STDMETHOD(DeleteAllItems)() override;
  STDMETHOD(SetUINT32)(REFGUID key, UINT32 value) override;
  STDMETHOD(SetUINT64)(REFGUID key, UINT64 value) override;
  STDMETHOD(SetDouble)(REFGUID key, double value) override;
  STDMETHOD(SetGUID)(REFGUID key, REFGUID value) override;
  STDMETHOD(SetString)(REFGUID key, LPCWSTR value) override;
  STDMETHOD(SetBlob)(REFGUID key, const UINT8* buffer, UINT32 size) override;
  STDMETHOD(SetUnknown)(REFGUID key, IUnknown* value) override;
  STDMETHOD(LockStore)() override;
  STDMETHOD(UnlockStore)() override;
  STDMETHOD(GetCount)(UINT32* count) override;
  STDMETHOD(GetItemByIndex)(UINT32 index, GUID* key, PROPVARIANT* value) override;
  STDMETHOD(CopyAllItems)(IMFAttributes* destination) override;

 protected:
  AttributeItems store_;

 private:
  // Runs f(item) under the lock for an item of the expected type.
  template <class F>
  HRESULT withItem(REFGUID key, VARTYPE expected, F&& f);
  // Stores a copy of value under the lock.
  HRESULT setLocked(REFGUID key, const PROPVARIANT& value);
};

ComPtr<IMFAttributes> makeAttributes();

}  // namespace tesmira::platform::mf
