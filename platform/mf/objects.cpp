// Attribute stores, media types and media events.
#include <mfidl.h>

#include "core/clock.h"
#include "mf/attributes.h"

namespace tesmira::platform::mf {
namespace {

class Attributes final : public AttributeStore<IMFAttributes> {};

class MediaType final : public AttributeStore<IMFMediaType> {
 public:
  STDMETHOD(GetMajorType)(GUID* majorType) override {
    if (!majorType) return E_POINTER;
    return GetGUID(MF_MT_MAJOR_TYPE, majorType) == S_OK ? S_OK : MF_E_ATTRIBUTENOTFOUND;
  }
  STDMETHOD(IsCompressedFormat)(BOOL* compressed) override {
    if (!compressed) return E_POINTER;
    UINT32 independent = 0;
    UINT32 flagged = 0;
    bool known = SUCCEEDED(GetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, &independent));
    GetUINT32(MF_MT_COMPRESSED, &flagged);
    *compressed = flagged != 0 || (known && independent == 0);
    return S_OK;
  }
  STDMETHOD(IsEqual)(IMFMediaType* other, DWORD* flags) override;
  STDMETHOD(GetRepresentation)(GUID, LPVOID*) override { return E_NOTIMPL; }
  STDMETHOD(FreeRepresentation)(GUID, LPVOID) override { return E_NOTIMPL; }
};

bool sameItem(IMFAttributes* a, IMFAttributes* b, REFGUID key) {
  PROPVARIANT va, vb;
  PropVariantInit(&va);
  PropVariantInit(&vb);
  bool inA = SUCCEEDED(a->GetItem(key, &va));
  bool inB = SUCCEEDED(b->GetItem(key, &vb));
  bool same = inA == inB && (!inA || propVariantEqual(va, vb));
  PropVariantClear(&va);
  PropVariantClear(&vb);
  return same;
}

// Every item of `a` other than the user data is in `b` with the same value.
bool formatItemsIn(IMFAttributes* a, IMFAttributes* b) {
  UINT32 count = 0;
  a->GetCount(&count);
  for (UINT32 i = 0; i < count; ++i) {
    GUID key;
    if (FAILED(a->GetItemByIndex(i, &key, nullptr))) return false;
    if (key == MF_MT_USER_DATA) continue;
    if (!sameItem(a, b, key)) return false;
  }
  return true;
}

STDMETHODIMP MediaType::IsEqual(IMFMediaType* other, DWORD* flags) {
  if (!other || !flags) return E_POINTER;
  DWORD result = 0;
  GUID ours{}, theirs{};
  HRESULT hrOurs = GetGUID(MF_MT_MAJOR_TYPE, &ours);
  HRESULT hrTheirs = other->GetGUID(MF_MT_MAJOR_TYPE, &theirs);
  if (FAILED(hrOurs) || FAILED(hrTheirs)) {
    *flags = 0;
    return E_INVALIDARG;
  }
  if (ours == theirs) result |= MF_MEDIATYPE_EQUAL_MAJOR_TYPES;
  if (sameItem(this, other, MF_MT_SUBTYPE)) result |= MF_MEDIATYPE_EQUAL_FORMAT_TYPES;
  if (formatItemsIn(this, other) && formatItemsIn(other, this)) result |= MF_MEDIATYPE_EQUAL_FORMAT_DATA;
  if (sameItem(this, other, MF_MT_USER_DATA)) result |= MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA;
  *flags = result;
  constexpr DWORD kAll = MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_TYPES |
                         MF_MEDIATYPE_EQUAL_FORMAT_DATA | MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA;
  return result == kAll ? S_OK : S_FALSE;
}

class MediaEvent final : public AttributeStore<IMFMediaEvent> {
 public:
  MediaEvent(MediaEventType type, REFGUID extendedType, HRESULT status) : type_(type), extended_(extendedType), status_(status) {
    PropVariantInit(&value_);
  }
  ~MediaEvent() override { PropVariantClear(&value_); }
  HRESULT setValue(const PROPVARIANT* value) { return value ? PropVariantCopy(&value_, value) : S_OK; }

  STDMETHOD(GetType)(MediaEventType* type) override {
    if (!type) return E_POINTER;
    *type = type_;
    return S_OK;
  }
  STDMETHOD(GetExtendedType)(GUID* extendedType) override {
    if (!extendedType) return E_POINTER;
    *extendedType = extended_;
    return S_OK;
  }
  STDMETHOD(GetStatus)(HRESULT* status) override {
    if (!status) return E_POINTER;
    *status = status_;
    return S_OK;
  }
  STDMETHOD(GetValue)(PROPVARIANT* value) override {
    if (!value) return E_POINTER;
    return PropVariantCopy(value, &value_);
  }

 private:
  MediaEventType type_;
  GUID extended_;
  HRESULT status_;
  PROPVARIANT value_;
};

}  // namespace

ComPtr<IMFAttributes> makeAttributes() { return Microsoft::WRL::Make<Attributes>(); }

}  // namespace tesmira::platform::mf

using namespace tesmira::platform::mf;

HRESULT MFStartup(ULONG, DWORD) { return S_OK; }
HRESULT MFShutdown() { return S_OK; }
MFTIME MFGetSystemTime() { return MFTIME(tesmira::platform::clock::nowNs() / 100); }

HRESULT MFCreateAttributes(IMFAttributes** attributes, UINT32) {
  if (HRESULT hr = startCreate("MFCreateAttributes", attributes); FAILED(hr)) return hr;
  *attributes = makeAttributes().Detach();
  return *attributes ? S_OK : E_OUTOFMEMORY;
}

HRESULT MFCreateMediaType(IMFMediaType** type) {
  if (HRESULT hr = startCreate("MFCreateMediaType", type); FAILED(hr)) return hr;
  *type = Microsoft::WRL::Make<MediaType>().Detach();
  return *type ? S_OK : E_OUTOFMEMORY;
}

HRESULT MFCreateMediaEvent(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value,
                           IMFMediaEvent** event) {
  if (HRESULT hr = startCreate("MFCreateMediaEvent", event); FAILED(hr)) return hr;
  auto created = Microsoft::WRL::Make<MediaEvent>(type, extendedType, status);
  if (!created) return E_OUTOFMEMORY;
  HRESULT hr = created->setValue(value);
  if (FAILED(hr)) return hr;
  *event = created.Detach();
  return S_OK;
}
