#include <gtest/gtest.h>
#include <mfapi.h>
#include <wrl/implements.h>

#include <atomic>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// Counts events and asks for the next one, as a frame server's pump does.
class Pump : public Microsoft::WRL::RuntimeClass<IMFAsyncCallback> {
 public:
  explicit Pump(IMFMediaEventQueue* queue) : queue_(queue) {}
  STDMETHOD(GetParameters)(DWORD*, DWORD*) override { return E_NOTIMPL; }
  STDMETHOD(Invoke)(IMFAsyncResult* result) override {
    ComPtr<IMFMediaEvent> event;
    if (FAILED(queue_->EndGetEvent(result, &event))) {
      ended_ = true;
      return S_OK;
    }
    ++received_;
    if (FAILED(queue_->BeginGetEvent(this, nullptr))) ended_ = true;
    return S_OK;
  }
  std::atomic<int> received_{0};
  std::atomic<bool> ended_{false};

 private:
  ComPtr<IMFMediaEventQueue> queue_;
};

TEST(EventQueueConcurrency, ProducersPumpAndShutdownRaceCleanly) {
  ComPtr<IMFMediaEventQueue> queue;
  ASSERT_EQ(MFCreateEventQueue(&queue), S_OK);
  auto pump = Microsoft::WRL::Make<Pump>(queue.Get());
  ASSERT_EQ(queue->BeginGetEvent(pump.Get(), nullptr), S_OK);
  std::atomic<int> queued{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        HRESULT hr = queue->QueueEventParamVar(MEMediaSample, GUID_NULL, S_OK, nullptr);
        if (hr == MF_E_SHUTDOWN) return;
        EXPECT_EQ(hr, S_OK);
        ++queued;
      }
    });
  }
  while (queued.load() < 1000) std::this_thread::yield();
  queue->Shutdown();
  for (auto& p : producers) p.join();
  while (!pump->ended_.load()) std::this_thread::yield();
  EXPECT_LE(pump->received_.load(), queued.load());
  EXPECT_GT(pump->received_.load(), 0);
}

}  // namespace
