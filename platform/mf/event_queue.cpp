// Asynchronous results, the work-queue thread and media event queues.
#include <mfidl.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "mf/attributes.h"

namespace tesmira::platform::mf {
namespace {

class AsyncResult final : public RuntimeClass<IMFAsyncResult> {
 public:
  AsyncResult(IUnknown* object, IMFAsyncCallback* callback, IUnknown* state)
      : object_(object), callback_(callback), state_(state) {}

  STDMETHOD(GetState)(IUnknown** state) override {
    if (!state) return E_POINTER;
    *state = state_.Get();
    if (!*state) return E_POINTER;
    (*state)->AddRef();
    return S_OK;
  }
  STDMETHOD(GetStatus)() override { return status_.load(); }
  STDMETHOD(SetStatus)(HRESULT status) override {
    status_.store(status);
    return S_OK;
  }
  STDMETHOD(GetObject)(IUnknown** object) override {
    if (!object) return E_POINTER;
    *object = object_.Get();
    if (!*object) return E_POINTER;
    (*object)->AddRef();
    return S_OK;
  }
  STDMETHOD_(IUnknown*, GetStateNoAddRef)() override { return state_.Get(); }
  IMFAsyncCallback* callback() const { return callback_.Get(); }

 private:
  ComPtr<IUnknown> object_;
  ComPtr<IMFAsyncCallback> callback_;
  ComPtr<IUnknown> state_;
  std::atomic<HRESULT> status_{S_OK};
};

// One thread runs every callback in the order posted, as a standard work queue does.
class WorkQueue {
 public:
  static WorkQueue& instance() {
    static WorkQueue queue;
    return queue;
  }
  void post(ComPtr<AsyncResult> result) {
    {
      std::lock_guard lock(mutex_);
      if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
      items_.push_back(std::move(result));
    }
    wake_.notify_one();
  }
  ~WorkQueue() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || !items_.empty(); });
      if (items_.empty()) return;
      ComPtr<AsyncResult> item = std::move(items_.front());
      items_.pop_front();
      lock.unlock();
      item->callback()->Invoke(item.Get());
      item.Reset();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<ComPtr<AsyncResult>> items_;
  bool stopping_ = false;
  std::thread thread_;
};

class EventQueue final : public RuntimeClass<IMFMediaEventQueue> {
 public:
  STDMETHOD(GetEvent)(DWORD flags, IMFMediaEvent** event) override {
    if (!event) return E_POINTER;
    *event = nullptr;
    std::unique_lock lock(mutex_);
    if (shutDown_) return MF_E_SHUTDOWN;
    if (callback_) return MF_E_MULTIPLE_SUBSCRIBERS;
    if (events_.empty()) {
      if (flags & MF_EVENT_FLAG_NO_WAIT) return MF_E_NO_EVENTS_AVAILABLE;
      arrived_.wait(lock, [&] { return shutDown_ || !events_.empty(); });
      if (shutDown_) return MF_E_SHUTDOWN;
    }
    *event = events_.front().Detach();
    events_.pop_front();
    return S_OK;
  }

  STDMETHOD(BeginGetEvent)(IMFAsyncCallback* callback, IUnknown* state) override {
    if (!callback) return E_INVALIDARG;
    ComPtr<AsyncResult> ready;
    {
      std::lock_guard lock(mutex_);
      if (shutDown_) return MF_E_SHUTDOWN;
      if (callback_) {
        if (callback_.Get() != callback) return MF_E_MULTIPLE_SUBSCRIBERS;
        return state_.Get() == state ? MF_S_MULTIPLE_BEGIN : MF_E_MULTIPLE_BEGIN;
      }
      callback_ = callback;
      state_ = state;
      ready = takeReadyLocked();
    }
    if (ready) WorkQueue::instance().post(std::move(ready));
    return S_OK;
  }

  STDMETHOD(EndGetEvent)(IMFAsyncResult* result, IMFMediaEvent** event) override {
    if (!result || !event) return E_POINTER;
    *event = nullptr;
    HRESULT status = result->GetStatus();
    if (FAILED(status)) return status;
    ComPtr<IUnknown> object;
    HRESULT hr = result->GetObject(&object);
    if (FAILED(hr)) return hr;
    return object->QueryInterface(IID_PPV_ARGS(event));
  }

  STDMETHOD(QueueEvent)(IMFMediaEvent* event) override {
    if (!event) return E_POINTER;
    ComPtr<AsyncResult> ready;
    {
      std::lock_guard lock(mutex_);
      if (shutDown_) return MF_E_SHUTDOWN;
      events_.emplace_back(event);
      ready = takeReadyLocked();
    }
    arrived_.notify_all();
    if (ready) WorkQueue::instance().post(std::move(ready));
    return S_OK;
  }

  STDMETHOD(QueueEventParamVar)(MediaEventType type, REFGUID extendedType, HRESULT status,
                                const PROPVARIANT* value) override {
    ComPtr<IMFMediaEvent> event;
    HRESULT hr = MFCreateMediaEvent(type, extendedType, status, value, &event);
    return FAILED(hr) ? hr : QueueEvent(event.Get());
  }

  STDMETHOD(QueueEventParamUnk)(MediaEventType type, REFGUID extendedType, HRESULT status, IUnknown* value) override {
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = value;
    return QueueEventParamVar(type, extendedType, status, &v);
  }

  // A pending BeginGetEvent is completed with MF_E_SHUTDOWN.
  STDMETHOD(Shutdown)() override {
    ComPtr<AsyncResult> pending;
    {
      std::lock_guard lock(mutex_);
      if (shutDown_) return S_OK;
      shutDown_ = true;
      events_.clear();
      if (callback_) {
        pending = Microsoft::WRL::Make<AsyncResult>(nullptr, callback_.Get(), state_.Get());
        callback_.Reset();
        state_.Reset();
      }
    }
    arrived_.notify_all();
    if (pending) {
      pending->SetStatus(MF_E_SHUTDOWN);
      WorkQueue::instance().post(std::move(pending));
    }
    return S_OK;
  }

 private:
  // The first queued event for the waiting callback, if both exist.
  ComPtr<AsyncResult> takeReadyLocked() {
    if (!callback_ || events_.empty()) return nullptr;
    auto result = Microsoft::WRL::Make<AsyncResult>(events_.front().Get(), callback_.Get(), state_.Get());
    events_.pop_front();
    callback_.Reset();
    state_.Reset();
    return result;
  }

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<ComPtr<IMFMediaEvent>> events_;
  ComPtr<IMFAsyncCallback> callback_;
  ComPtr<IUnknown> state_;
  bool shutDown_ = false;
};

}  // namespace
}  // namespace tesmira::platform::mf

using namespace tesmira::platform::mf;

HRESULT MFCreateEventQueue(IMFMediaEventQueue** queue) {
  if (HRESULT hr = startCreate("MFCreateEventQueue", queue); FAILED(hr)) return hr;
  *queue = Microsoft::WRL::Make<EventQueue>().Detach();
  return *queue ? S_OK : E_OUTOFMEMORY;
}

HRESULT MFCreateAsyncResult(IUnknown* object, IMFAsyncCallback* callback, IUnknown* state, IMFAsyncResult** result) {
  if (!result) return E_POINTER;
  *result = Microsoft::WRL::Make<AsyncResult>(object, callback, state).Detach();
  return *result ? S_OK : E_OUTOFMEMORY;
}

HRESULT MFInvokeCallback(IMFAsyncResult* result) {
  if (!result) return E_POINTER;
  // Only results made here know their callback.
  auto* ours = dynamic_cast<AsyncResult*>(result);
  if (!ours || !ours->callback()) return E_INVALIDARG;
  WorkQueue::instance().post(ComPtr<AsyncResult>(ours));
  return S_OK;
}
