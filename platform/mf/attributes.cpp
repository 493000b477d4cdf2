#include "mf/attributes.h"

#include <cstring>
#include <cwchar>

#include "core/faults.h"

namespace tesmira::platform::mf {

HRESULT injectedFailure(const char* site) {
  auto error = faults::take(site);
  return error ? HRESULT(*error) : S_OK;
}

namespace {

// A PROPVARIANT of type vt with nothing in it yet, for a typed Set* to fill.
PROPVARIANT emptyOf(VARTYPE vt) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = vt;
  return v;
}

}  // namespace

bool isAttributeType(VARTYPE vt) {
  switch (vt) {
    case MF_ATTRIBUTE_UINT32: case MF_ATTRIBUTE_UINT64: case MF_ATTRIBUTE_DOUBLE: case MF_ATTRIBUTE_GUID:
    case MF_ATTRIBUTE_STRING: case MF_ATTRIBUTE_BLOB: case MF_ATTRIBUTE_IUNKNOWN:
      return true;
    default:
      return false;
  }
}

bool propVariantEqual(const PROPVARIANT& a, const PROPVARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_EMPTY: return true;
    case VT_UI4: case VT_I4: return a.ulVal == b.ulVal;
    case VT_UI8: case VT_I8: return a.uhVal.QuadPart == b.uhVal.QuadPart;
    case VT_R8: return a.dblVal == b.dblVal;
    case VT_CLSID: return a.puuid && b.puuid ? *a.puuid == *b.puuid : a.puuid == b.puuid;
    case VT_LPWSTR: return a.pwszVal && b.pwszVal ? std::wcscmp(a.pwszVal, b.pwszVal) == 0 : a.pwszVal == b.pwszVal;
    case VT_VECTOR | VT_UI1:
      return a.caub.cElems == b.caub.cElems &&
             (a.caub.cElems == 0 || std::memcmp(a.caub.pElems, b.caub.pElems, a.caub.cElems) == 0);
    case VT_UNKNOWN: return a.punkVal == b.punkVal;
    default: return false;
  }
}

AttributeItems::~AttributeItems() { clear(); }

const PROPVARIANT* AttributeItems::find(REFGUID key) const {
  for (auto& item : items_)
    if (item.first == key) return &item.second;
  return nullptr;
}

HRESULT AttributeItems::set(REFGUID key, const PROPVARIANT& value) {
  PROPVARIANT copy;
  HRESULT hr = PropVariantCopy(&copy, &value);
  if (FAILED(hr)) return hr;
  for (auto& item : items_) {
    if (item.first == key) {
      PropVariantClear(&item.second);
      item.second = copy;
      return S_OK;
    }
  }
  items_.emplace_back(key, copy);
  return S_OK;
}

bool AttributeItems::erase(REFGUID key) {
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (it->first == key) {
      PropVariantClear(&it->second);
      items_.erase(it);
      return true;
    }
  }
  return false;
}

void AttributeItems::clear() {
  for (auto& item : items_) PropVariantClear(&item.second);
  items_.clear();
}

using Lock = std::lock_guard<std::recursive_mutex>;

template <class I, class... M>
template <class F>
HRESULT AttributeStore<I, M...>::withItem(REFGUID key, VARTYPE expected, F&& f) {
  Lock lock(store_.mutex());
  const PROPVARIANT* item = store_.find(key);
  if (!item) return MF_E_ATTRIBUTENOTFOUND;
  if (item->vt != expected) return MF_E_INVALIDTYPE;
  return f(*item);
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetItem(REFGUID key, PROPVARIANT* value) {
  Lock lock(store_.mutex());
  const PROPVARIANT* item = store_.find(key);
  if (!item) return MF_E_ATTRIBUTENOTFOUND;
  return value ? PropVariantCopy(value, item) : S_OK;
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) {
  if (!type) return E_POINTER;
  Lock lock(store_.mutex());
  const PROPVARIANT* item = store_.find(key);
  if (!item) return MF_E_ATTRIBUTENOTFOUND;
  *type = MF_ATTRIBUTE_TYPE(item->vt);
  return S_OK;
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::CompareItem(REFGUID key, REFPROPVARIANT value, BOOL* result) {
  if (!value || !result) return E_POINTER;
  Lock lock(store_.mutex());
  const PROPVARIANT* item = store_.find(key);
  *result = item && propVariantEqual(*item, *value);
  return S_OK;
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result) {
  if (!theirs || !result) return E_POINTER;
  if (matchType > MF_ATTRIBUTES_MATCH_SMALLER) return E_INVALIDARG;
  Lock lock(store_.mutex());
  UINT32 theirCount = 0;
  theirs->GetCount(&theirCount);
  auto ourItemsInTheirs = [&] {
    for (auto& item : store_.items()) {
      BOOL same = FALSE;
      if (FAILED(theirs->CompareItem(item.first, &item.second, &same)) || !same) return false;
    }
    return true;
  };
  auto theirItemsInOurs = [&] {
    for (UINT32 i = 0; i < theirCount; ++i) {
      GUID key;
      PROPVARIANT value;
      PropVariantInit(&value);
      if (FAILED(theirs->GetItemByIndex(i, &key, &value))) return false;
      const PROPVARIANT* ours = store_.find(key);
      bool same = ours && propVariantEqual(*ours, value);
      PropVariantClear(&value);
      if (!same) return false;
    }
    return true;
  };
  bool match = false;
  switch (matchType) {
    case MF_ATTRIBUTES_MATCH_OUR_ITEMS: match = ourItemsInTheirs(); break;
    case MF_ATTRIBUTES_MATCH_THEIR_ITEMS: match = theirItemsInOurs(); break;
    case MF_ATTRIBUTES_MATCH_ALL_ITEMS:
      match = store_.items().size() == theirCount && ourItemsInTheirs();
      break;
    case MF_ATTRIBUTES_MATCH_INTERSECTION: {
      match = true;
      for (auto& item : store_.items()) {
        PROPVARIANT value;
        PropVariantInit(&value);
        if (SUCCEEDED(theirs->GetItem(item.first, &value))) {
          match = propVariantEqual(item.second, value);
          PropVariantClear(&value);
          if (!match) break;
        }
      }
      break;
    }
    case MF_ATTRIBUTES_MATCH_SMALLER:
      match = store_.items().size() <= theirCount ? ourItemsInTheirs() : theirItemsInOurs();
      break;
  }
  *result = match;
  return S_OK;
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetUINT32(REFGUID key, UINT32* value) {
  if (!value) return E_POINTER;
  return withItem(key, VT_UI4, [&](const PROPVARIANT& v) { *value = v.ulVal; return S_OK; });
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetUINT64(REFGUID key, UINT64* value) {
  if (!value) return E_POINTER;
  return withItem(key, VT_UI8, [&](const PROPVARIANT& v) { *value = v.uhVal.QuadPart; return S_OK; });
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetDouble(REFGUID key, double* value) {
  if (!value) return E_POINTER;
  return withItem(key, VT_R8, [&](const PROPVARIANT& v) { *value = v.dblVal; return S_OK; });
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetGUID(REFGUID key, GUID* value) {
  if (!value) return E_POINTER;
  return withItem(key, VT_CLSID, [&](const PROPVARIANT& v) { *value = *v.puuid; return S_OK; });
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetStringLength(REFGUID key, UINT32* length) {
  if (!length) return E_POINTER;
  return withItem(key, VT_LPWSTR, [&](const PROPVARIANT& v) { *length = UINT32(std::wcslen(v.pwszVal)); return S_OK; });
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetString(REFGUID key, LPWSTR value, UINT32 capacity, UINT32* length) {
  if (!value) return E_POINTER;
  return withItem(key, VT_LPWSTR, [&](const PROPVARIANT& v) {
    size_t n = std::wcslen(v.pwszVal);
    if (length) *length = UINT32(n);
    if (n + 1 > capacity) return E_NOT_SUFFICIENT_BUFFER;
    std::memcpy(value, v.pwszVal, (n + 1) * sizeof(wchar_t));
    return S_OK;
  });
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) {
  if (!value || !length) return E_POINTER;
  *value = nullptr;
  *length = 0;
  return withItem(key, VT_LPWSTR, [&](const PROPVARIANT& v) {
    size_t n = std::wcslen(v.pwszVal);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((n + 1) * sizeof(wchar_t)));
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, v.pwszVal, (n + 1) * sizeof(wchar_t));
    *value = copy;
    *length = UINT32(n);
    return S_OK;
  });
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetBlobSize(REFGUID key, UINT32* size) {
  if (!size) return E_POINTER;
  return withItem(key, VT_VECTOR | VT_UI1, [&](const PROPVARIANT& v) { *size = v.caub.cElems; return S_OK; });
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetBlob(REFGUID key, UINT8* buffer, UINT32 capacity, UINT32* size) {
  if (!buffer) return E_POINTER;
  return withItem(key, VT_VECTOR | VT_UI1, [&](const PROPVARIANT& v) {
    if (size) *size = v.caub.cElems;
    if (v.caub.cElems > capacity) return E_NOT_SUFFICIENT_BUFFER;
    if (v.caub.cElems) std::memcpy(buffer, v.caub.pElems, v.caub.cElems);
    return S_OK;
  });
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) {
  if (!buffer || !size) return E_POINTER;
  *buffer = nullptr;
  *size = 0;
  return withItem(key, VT_VECTOR | VT_UI1, [&](const PROPVARIANT& v) {
    auto* copy = static_cast<UINT8*>(CoTaskMemAlloc(v.caub.cElems ? v.caub.cElems : 1));
    if (!copy) return E_OUTOFMEMORY;
    if (v.caub.cElems) std::memcpy(copy, v.caub.pElems, v.caub.cElems);
    *buffer = copy;
    *size = v.caub.cElems;
    return S_OK;
  });
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetUnknown(REFGUID key, REFIID riid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  return withItem(key, VT_UNKNOWN, [&](const PROPVARIANT& v) {
    return v.punkVal ? v.punkVal->QueryInterface(riid, object) : E_NOINTERFACE;
  });
}

template <class I, class... M>
HRESULT AttributeStore<I, M...>::setLocked(REFGUID key, const PROPVARIANT& value) {
  Lock lock(store_.mutex());
  return store_.set(key, value);
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::SetItem(REFGUID key, REFPROPVARIANT value) {
  if (!value) return E_POINTER;
  if (!isAttributeType(value->vt)) return MF_E_INVALIDTYPE;
  return setLocked(key, *value);
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::DeleteItem(REFGUID key) {
  Lock lock(store_.mutex());
  store_.erase(key);
  return S_OK;
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::DeleteAllItems() {
  Lock lock(store_.mutex());
  store_.clear();
  return S_OK;
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::SetUINT32(REFGUID key, UINT32 value) {
  PROPVARIANT v = emptyOf(VT_UI4);
  v.ulVal = value;
  return setLocked(key, v);
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::SetUINT64(REFGUID key, UINT64 value) {
  PROPVARIANT v = emptyOf(VT_UI8);
  v.uhVal.QuadPart = value;
  return setLocked(key, v);
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::SetDouble(REFGUID key, double value) {
  PROPVARIANT v = emptyOf(VT_R8);
  v.dblVal = value;
  return setLocked(key, v);
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::SetGUID(REFGUID key, REFGUID value) {
  GUID copy = value;
  PROPVARIANT v = emptyOf(VT_CLSID);
  v.puuid = &copy;
  return setLocked(key, v);
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::SetString(REFGUID key, LPCWSTR value) {
  if (!value) return E_POINTER;
  PROPVARIANT v = emptyOf(VT_LPWSTR);
  v.pwszVal = const_cast<LPWSTR>(value);
  return setLocked(key, v);
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) {
  if (!buffer && size) return E_POINTER;
  PROPVARIANT v = emptyOf(VT_VECTOR | VT_UI1);
  v.caub.cElems = size;
  v.caub.pElems = const_cast<UINT8*>(buffer);
  return setLocked(key, v);
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::SetUnknown(REFGUID key, IUnknown* value) {
  PROPVARIANT v = emptyOf(VT_UNKNOWN);
  v.punkVal = value;
  return setLocked(key, v);
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::LockStore() {
  store_.mutex().lock();
  return S_OK;
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::UnlockStore() {
  store_.mutex().unlock();
  return S_OK;
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetCount(UINT32* count) {
  if (!count) return E_POINTER;
  Lock lock(store_.mutex());
  *count = UINT32(store_.items().size());
  return S_OK;
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) {
  if (!key) return E_POINTER;
  Lock lock(store_.mutex());
  if (index >= store_.items().size()) return E_INVALIDARG;
  const auto& item = store_.items()[index];
  if (value) {
    HRESULT hr = PropVariantCopy(value, &item.second);
    if (FAILED(hr)) return hr;
  }
  *key = item.first;
  return S_OK;
}

template <class I, class... M>
STDMETHODIMP AttributeStore<I, M...>::CopyAllItems(IMFAttributes* destination) {
  if (!destination) return E_POINTER;
  // Copying into oneself would delete what is being copied.
  if (static_cast<IMFAttributes*>(this) == destination) return S_OK;
  Lock lock(store_.mutex());
  destination->LockStore();
  HRESULT hr = destination->DeleteAllItems();
  for (auto& item : store_.items()) {
    if (FAILED(hr)) break;
    hr = destination->SetItem(item.first, &item.second);
  }
  destination->UnlockStore();
  return hr;
}

}  // namespace tesmira::platform::mf

#include <mfidl.h>

namespace tesmira::platform::mf {
template class AttributeStore<IMFAttributes>;
template class AttributeStore<IMFMediaType>;
template class AttributeStore<IMFMediaEvent>;
template class AttributeStore<IMFSample>;
template class AttributeStore<IMFStreamDescriptor>;
template class AttributeStore<IMFPresentationDescriptor>;
}  // namespace tesmira::platform::mf
