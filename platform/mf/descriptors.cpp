// Stream and presentation descriptors with their media type handler.
#include <mfidl.h>

#include <mutex>
#include <vector>

#include "mf/attributes.h"

namespace tesmira::platform::mf {
namespace {

class MediaTypeHandler final : public RuntimeClass<IMFMediaTypeHandler> {
 public:
  explicit MediaTypeHandler(std::vector<ComPtr<IMFMediaType>> types) : types_(std::move(types)) {}

  // Supported when some offered type matches in major type, subtype and format data.
  STDMETHOD(IsMediaTypeSupported)(IMFMediaType* type, IMFMediaType** closest) override {
    if (closest) *closest = nullptr;
    if (!type) return E_POINTER;
    constexpr DWORD kNeeded = MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_DATA;
    for (auto& offered : types_) {
      DWORD flags = 0;
      offered->IsEqual(type, &flags);
      if ((flags & kNeeded) == kNeeded) return S_OK;
    }
    return MF_E_INVALIDMEDIATYPE;
  }
  STDMETHOD(GetMediaTypeCount)(DWORD* count) override {
    if (!count) return E_POINTER;
    *count = DWORD(types_.size());
    return S_OK;
  }
  STDMETHOD(GetMediaTypeByIndex)(DWORD index, IMFMediaType** type) override {
    if (!type) return E_POINTER;
    *type = nullptr;
    if (index >= types_.size()) return MF_E_NO_MORE_TYPES;
    return types_[index].CopyTo(type);
  }
  STDMETHOD(SetCurrentMediaType)(IMFMediaType* type) override {
    if (!type) return E_POINTER;
    std::lock_guard lock(mutex_);
    current_ = type;
    return S_OK;
  }
  STDMETHOD(GetCurrentMediaType)(IMFMediaType** type) override {
    if (!type) return E_POINTER;
    *type = nullptr;
    std::lock_guard lock(mutex_);
    if (!current_) return MF_E_NOT_INITIALIZED;
    return current_.CopyTo(type);
  }
  STDMETHOD(GetMajorType)(GUID* majorType) override {
    if (!majorType) return E_POINTER;
    std::lock_guard lock(mutex_);
    IMFMediaType* source = current_ ? current_.Get() : (types_.empty() ? nullptr : types_[0].Get());
    if (!source) return MF_E_NOT_INITIALIZED;
    return source->GetGUID(MF_MT_MAJOR_TYPE, majorType);
  }

 private:
  const std::vector<ComPtr<IMFMediaType>> types_;
  std::mutex mutex_;
  ComPtr<IMFMediaType> current_;
};

class StreamDescriptor final : public AttributeStore<IMFStreamDescriptor> {
 public:
  StreamDescriptor(DWORD id, ComPtr<IMFMediaTypeHandler> handler) : id_(id), handler_(std::move(handler)) {}
  STDMETHOD(GetStreamIdentifier)(DWORD* identifier) override {
    if (!identifier) return E_POINTER;
    *identifier = id_;
    return S_OK;
  }
  STDMETHOD(GetMediaTypeHandler)(IMFMediaTypeHandler** handler) override {
    if (!handler) return E_POINTER;
    return handler_.CopyTo(handler);
  }

 private:
  const DWORD id_;
  const ComPtr<IMFMediaTypeHandler> handler_;
};

struct StreamEntry {
  ComPtr<IMFStreamDescriptor> descriptor;
  bool selected = false;
};

class PresentationDescriptor final : public AttributeStore<IMFPresentationDescriptor> {
 public:
  explicit PresentationDescriptor(std::vector<StreamEntry> streams) : streams_(std::move(streams)) {}

  STDMETHOD(GetStreamDescriptorCount)(DWORD* count) override {
    if (!count) return E_POINTER;
    *count = DWORD(streams_.size());
    return S_OK;
  }
  STDMETHOD(GetStreamDescriptorByIndex)(DWORD index, BOOL* selected, IMFStreamDescriptor** descriptor) override {
    if (!selected || !descriptor) return E_POINTER;
    *descriptor = nullptr;
    std::lock_guard lock(mutex_);
    if (index >= streams_.size()) return E_INVALIDARG;
    *selected = streams_[index].selected;
    return streams_[index].descriptor.CopyTo(descriptor);
  }
  STDMETHOD(SelectStream)(DWORD index) override { return select(index, true); }
  STDMETHOD(DeselectStream)(DWORD index) override { return select(index, false); }
  // The copy has its own attributes and selection and shares the stream descriptors.
  STDMETHOD(Clone)(IMFPresentationDescriptor** copy) override {
    if (!copy) return E_POINTER;
    *copy = nullptr;
    std::vector<StreamEntry> streams;
    {
      std::lock_guard lock(mutex_);
      streams = streams_;
    }
    auto clone = Microsoft::WRL::Make<PresentationDescriptor>(std::move(streams));
    if (!clone) return E_OUTOFMEMORY;
    HRESULT hr = CopyAllItems(clone.Get());
    if (FAILED(hr)) return hr;
    *copy = clone.Detach();
    return S_OK;
  }

 private:
  HRESULT select(DWORD index, bool selected) {
    std::lock_guard lock(mutex_);
    if (index >= streams_.size()) return E_INVALIDARG;
    streams_[index].selected = selected;
    return S_OK;
  }
  std::mutex mutex_;
  std::vector<StreamEntry> streams_;
};

}  // namespace
}  // namespace tesmira::platform::mf

using namespace tesmira::platform::mf;

HRESULT MFCreateStreamDescriptor(DWORD streamIdentifier, DWORD typeCount, IMFMediaType** types,
                                 IMFStreamDescriptor** descriptor) {
  if (HRESULT hr = startCreate("MFCreateStreamDescriptor", descriptor); FAILED(hr)) return hr;
  if (typeCount == 0 || !types) return E_INVALIDARG;
  std::vector<ComPtr<IMFMediaType>> list;
  for (DWORD i = 0; i < typeCount; ++i) {
    if (!types[i]) return E_POINTER;
    list.emplace_back(types[i]);
  }
  ComPtr<IMFMediaTypeHandler> handler = Microsoft::WRL::Make<MediaTypeHandler>(std::move(list));
  if (!handler) return E_OUTOFMEMORY;
  *descriptor = Microsoft::WRL::Make<StreamDescriptor>(streamIdentifier, std::move(handler)).Detach();
  return *descriptor ? S_OK : E_OUTOFMEMORY;
}

HRESULT MFCreatePresentationDescriptor(DWORD streamCount, IMFStreamDescriptor** streams,
                                       IMFPresentationDescriptor** descriptor) {
  if (HRESULT hr = startCreate("MFCreatePresentationDescriptor", descriptor); FAILED(hr)) return hr;
  if (streamCount && !streams) return E_INVALIDARG;
  std::vector<StreamEntry> list;
  for (DWORD i = 0; i < streamCount; ++i) {
    if (!streams[i]) return E_INVALIDARG;
    list.push_back({ComPtr<IMFStreamDescriptor>(streams[i]), false});
  }
  *descriptor = Microsoft::WRL::Make<PresentationDescriptor>(std::move(list)).Detach();
  return *descriptor ? S_OK : E_OUTOFMEMORY;
}
