#include <gtest/gtest.h>
#include <mfapi.h>
#include <wrl/implements.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// Records what arrives through BeginGetEvent and asks for the next event each time.
class Collector : public Microsoft::WRL::RuntimeClass<IMFAsyncCallback> {
 public:
  explicit Collector(IMFMediaEventQueue* queue, bool rearm) : queue_(queue), rearm_(rearm) {}
  STDMETHOD(GetParameters)(DWORD*, DWORD*) override { return E_NOTIMPL; }
  STDMETHOD(Invoke)(IMFAsyncResult* result) override {
    ComPtr<IMFMediaEvent> event;
    HRESULT hr = queue_->EndGetEvent(result, &event);
    std::lock_guard lock(mutex_);
    threads_.push_back(std::this_thread::get_id());
    if (SUCCEEDED(hr)) {
      MediaEventType type = 0;
      event->GetType(&type);
      types_.push_back(type);
      if (rearm_) queue_->BeginGetEvent(this, nullptr);
    } else {
      failures_.push_back(hr);
    }
    changed_.notify_all();
    return S_OK;
  }
  void waitFor(size_t events, size_t failures = 0) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return types_.size() >= events && failures_.size() >= failures; });
  }
  std::vector<MediaEventType> types() {
    std::lock_guard lock(mutex_);
    return types_;
  }
  std::vector<HRESULT> failures() {
    std::lock_guard lock(mutex_);
    return failures_;
  }
  std::vector<std::thread::id> threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  ComPtr<IMFMediaEventQueue> queue_;
  bool rearm_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<MediaEventType> types_;
  std::vector<HRESULT> failures_;
  std::vector<std::thread::id> threads_;
};

ComPtr<IMFMediaEventQueue> makeQueue() {
  ComPtr<IMFMediaEventQueue> queue;
  EXPECT_EQ(MFCreateEventQueue(&queue), S_OK);
  return queue;
}

TEST(EventQueue, GetEventWithoutWaitingAnswersNoEventsThenDeliversInOrder) {
  auto queue = makeQueue();
  ComPtr<IMFMediaEvent> event;
  EXPECT_EQ(queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_NO_EVENTS_AVAILABLE);
  ASSERT_EQ(queue->QueueEventParamVar(MENewStream, GUID_NULL, S_OK, nullptr), S_OK);
  ASSERT_EQ(queue->QueueEventParamUnk(MESourceStarted, GUID_NULL, S_OK, nullptr), S_OK);
  MediaEventType type = 0;
  ASSERT_EQ(queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), S_OK);
  event->GetType(&type);
  EXPECT_EQ(type, DWORD(MENewStream));
  ASSERT_EQ(queue->GetEvent(0, &event), S_OK);
  event->GetType(&type);
  EXPECT_EQ(type, DWORD(MESourceStarted));
}

TEST(EventQueue, BlockingGetEventWakesWhenAnEventArrives) {
  auto queue = makeQueue();
  std::thread producer([&] { queue->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, nullptr); });
  ComPtr<IMFMediaEvent> event;
  EXPECT_EQ(queue->GetEvent(0, &event), S_OK);
  producer.join();
}

TEST(EventQueue, BeginGetEventDeliversOnTheWorkQueueThreadInOrder) {
  auto queue = makeQueue();
  auto collector = Microsoft::WRL::Make<Collector>(queue.Get(), true);
  ASSERT_EQ(queue->BeginGetEvent(collector.Get(), nullptr), S_OK);
  for (MediaEventType t : {MENewStream, MEStreamStarted, MESourceStarted, MEMediaSample})
    ASSERT_EQ(queue->QueueEventParamVar(t, GUID_NULL, S_OK, nullptr), S_OK);
  collector->waitFor(4);
  EXPECT_EQ(collector->types(), (std::vector<MediaEventType>{MENewStream, MEStreamStarted, MESourceStarted, MEMediaSample}));
  for (auto id : collector->threads()) EXPECT_NE(id, std::this_thread::get_id());
  queue->Shutdown();
  collector->waitFor(4, 1);  // the re-armed request ends with the queue
}

TEST(EventQueue, SecondBeginGetEventIsRefused) {
  auto queue = makeQueue();
  auto first = Microsoft::WRL::Make<Collector>(queue.Get(), false);
  auto second = Microsoft::WRL::Make<Collector>(queue.Get(), false);
  auto state = Microsoft::WRL::Make<Collector>(queue.Get(), false);
  ASSERT_EQ(queue->BeginGetEvent(first.Get(), nullptr), S_OK);
  EXPECT_EQ(queue->BeginGetEvent(first.Get(), nullptr), MF_S_MULTIPLE_BEGIN);
  EXPECT_EQ(queue->BeginGetEvent(first.Get(), state.Get()), MF_E_MULTIPLE_BEGIN);
  EXPECT_EQ(queue->BeginGetEvent(second.Get(), nullptr), MF_E_MULTIPLE_SUBSCRIBERS);
  ComPtr<IMFMediaEvent> event;
  EXPECT_EQ(queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_MULTIPLE_SUBSCRIBERS);
  queue->Shutdown();
  first->waitFor(0, 1);
}

TEST(EventQueue, ShutdownFailsThePendingRequestAndEveryLaterCall) {
  auto queue = makeQueue();
  auto collector = Microsoft::WRL::Make<Collector>(queue.Get(), false);
  ASSERT_EQ(queue->BeginGetEvent(collector.Get(), nullptr), S_OK);
  EXPECT_EQ(queue->Shutdown(), S_OK);
  collector->waitFor(0, 1);
  EXPECT_EQ(collector->failures(), std::vector<HRESULT>{MF_E_SHUTDOWN});
  ComPtr<IMFMediaEvent> event;
  EXPECT_EQ(queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
  EXPECT_EQ(queue->QueueEventParamVar(MEError, GUID_NULL, S_OK, nullptr), MF_E_SHUTDOWN);
  EXPECT_EQ(queue->BeginGetEvent(collector.Get(), nullptr), MF_E_SHUTDOWN);
  EXPECT_EQ(queue->Shutdown(), S_OK);
}

TEST(EventQueue, ShutdownWakesABlockedGetEvent) {
  auto queue = makeQueue();
  HRESULT hr = S_OK;
  std::thread waiter([&] {
    ComPtr<IMFMediaEvent> event;
    hr = queue->GetEvent(0, &event);
  });
  // Whether the waiter blocks first or not, it must end with MF_E_SHUTDOWN.
  queue->Shutdown();
  waiter.join();
  EXPECT_EQ(hr, MF_E_SHUTDOWN);
}

}  // namespace
