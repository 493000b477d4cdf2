// System-memory buffers and samples.
#include <mfidl.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "mf/attributes.h"

namespace tesmira::platform::mf {
namespace {

class MemoryBuffer final : public RuntimeClass<IMFMediaBuffer> {
 public:
  explicit MemoryBuffer(DWORD maxLength) : maxLength_(maxLength) {}
  bool allocate() {
    // Left uninitialized: every producer of a sample fills the bytes it reports.
    data_.reset(new (std::nothrow) BYTE[maxLength_ ? maxLength_ : 1]);
    return data_ != nullptr;
  }

  STDMETHOD(Lock)(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) override {
    if (!buffer) return E_POINTER;
    *buffer = data_.get();
    if (maxLength) *maxLength = maxLength_;
    if (currentLength) *currentLength = currentLength_.load();
    return S_OK;
  }
  STDMETHOD(Unlock)() override { return S_OK; }
  STDMETHOD(GetCurrentLength)(DWORD* length) override {
    if (!length) return E_POINTER;
    *length = currentLength_.load();
    return S_OK;
  }
  STDMETHOD(SetCurrentLength)(DWORD length) override {
    if (length > maxLength_) return E_INVALIDARG;
    currentLength_.store(length);
    return S_OK;
  }
  STDMETHOD(GetMaxLength)(DWORD* length) override {
    if (!length) return E_POINTER;
    *length = maxLength_;
    return S_OK;
  }

 private:
  const DWORD maxLength_;
  std::atomic<DWORD> currentLength_{0};
  std::unique_ptr<BYTE[]> data_;
};

class Sample final : public AttributeStore<IMFSample> {
 public:
  STDMETHOD(GetSampleFlags)(DWORD* flags) override {
    if (!flags) return E_POINTER;
    std::lock_guard lock(mutex_);
    *flags = flags_;
    return S_OK;
  }
  STDMETHOD(SetSampleFlags)(DWORD flags) override {
    std::lock_guard lock(mutex_);
    flags_ = flags;
    return S_OK;
  }
  STDMETHOD(GetSampleTime)(LONGLONG* time) override {
    if (!time) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (!hasTime_) return MF_E_NO_SAMPLE_TIMESTAMP;
    *time = time_;
    return S_OK;
  }
  STDMETHOD(SetSampleTime)(LONGLONG time) override {
    std::lock_guard lock(mutex_);
    time_ = time;
    hasTime_ = true;
    return S_OK;
  }
  STDMETHOD(GetSampleDuration)(LONGLONG* duration) override {
    if (!duration) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (!hasDuration_) return MF_E_NO_SAMPLE_DURATION;
    *duration = duration_;
    return S_OK;
  }
  STDMETHOD(SetSampleDuration)(LONGLONG duration) override {
    std::lock_guard lock(mutex_);
    duration_ = duration;
    hasDuration_ = true;
    return S_OK;
  }
  STDMETHOD(GetBufferCount)(DWORD* count) override {
    if (!count) return E_POINTER;
    std::lock_guard lock(mutex_);
    *count = DWORD(buffers_.size());
    return S_OK;
  }
  STDMETHOD(GetBufferByIndex)(DWORD index, IMFMediaBuffer** buffer) override {
    if (!buffer) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (index >= buffers_.size()) return E_INVALIDARG;
    return buffers_[index].CopyTo(buffer);
  }
  STDMETHOD(ConvertToContiguousBuffer)(IMFMediaBuffer** buffer) override;
  STDMETHOD(AddBuffer)(IMFMediaBuffer* buffer) override {
    if (!buffer) return E_POINTER;
    std::lock_guard lock(mutex_);
    buffers_.emplace_back(buffer);
    return S_OK;
  }
  STDMETHOD(RemoveBufferByIndex)(DWORD index) override {
    std::lock_guard lock(mutex_);
    if (index >= buffers_.size()) return E_INVALIDARG;
    buffers_.erase(buffers_.begin() + index);
    return S_OK;
  }
  STDMETHOD(RemoveAllBuffers)() override {
    std::lock_guard lock(mutex_);
    buffers_.clear();
    return S_OK;
  }
  STDMETHOD(GetTotalLength)(DWORD* length) override {
    if (!length) return E_POINTER;
    std::lock_guard lock(mutex_);
    *length = totalLengthLocked();
    return S_OK;
  }
  STDMETHOD(CopyToBuffer)(IMFMediaBuffer* buffer) override;

 private:
  DWORD totalLengthLocked() {
    uint64_t total = 0;
    for (auto& b : buffers_) {
      DWORD n = 0;
      b->GetCurrentLength(&n);
      total += n;
    }
    return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : DWORD(total);
  }
  // Copies every buffer's current bytes into `out` (at least totalLengthLocked() bytes).
  void gatherLocked(BYTE* out) {
    for (auto& b : buffers_) {
      BYTE* data = nullptr;
      DWORD current = 0;
      if (FAILED(b->Lock(&data, nullptr, &current))) continue;
      std::memcpy(out, data, current);
      out += current;
      b->Unlock();
    }
  }

  std::mutex mutex_;
  DWORD flags_ = 0;
  LONGLONG time_ = 0;
  LONGLONG duration_ = 0;
  bool hasTime_ = false;
  bool hasDuration_ = false;
  std::vector<ComPtr<IMFMediaBuffer>> buffers_;
};

STDMETHODIMP Sample::ConvertToContiguousBuffer(IMFMediaBuffer** buffer) {
  if (!buffer) return E_POINTER;
  *buffer = nullptr;
  std::lock_guard lock(mutex_);
  if (buffers_.empty()) return E_UNEXPECTED;
  if (buffers_.size() == 1) return buffers_[0].CopyTo(buffer);
  DWORD total = totalLengthLocked();
  ComPtr<IMFMediaBuffer> joined;
  HRESULT hr = MFCreateMemoryBuffer(total, &joined);
  if (FAILED(hr)) return hr;
  BYTE* data = nullptr;
  joined->Lock(&data, nullptr, nullptr);
  gatherLocked(data);
  joined->Unlock();
  joined->SetCurrentLength(total);
  buffers_.clear();
  buffers_.push_back(joined);
  return joined.CopyTo(buffer);
}

STDMETHODIMP Sample::CopyToBuffer(IMFMediaBuffer* buffer) {
  if (!buffer) return E_POINTER;
  std::lock_guard lock(mutex_);
  DWORD total = totalLengthLocked();
  BYTE* data = nullptr;
  DWORD max = 0;
  HRESULT hr = buffer->Lock(&data, &max, nullptr);
  if (FAILED(hr)) return hr;
  if (max < total) {
    buffer->Unlock();
    return MF_E_BUFFERTOOSMALL;
  }
  gatherLocked(data);
  buffer->Unlock();
  return buffer->SetCurrentLength(total);
}

}  // namespace
}  // namespace tesmira::platform::mf

using namespace tesmira::platform::mf;

HRESULT MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer) {
  if (HRESULT hr = startCreate("MFCreateMemoryBuffer", buffer); FAILED(hr)) return hr;
  auto created = Microsoft::WRL::Make<MemoryBuffer>(maxLength);
  if (!created || !created->allocate()) return E_OUTOFMEMORY;
  *buffer = created.Detach();
  return S_OK;
}

HRESULT MFCreateSample(IMFSample** sample) {
  if (HRESULT hr = startCreate("MFCreateSample", sample); FAILED(hr)) return hr;
  *sample = Microsoft::WRL::Make<Sample>().Detach();
  return *sample ? S_OK : E_OUTOFMEMORY;
}
