#include <atomic>
#include <thread>

#include "vcam_source/tests/stream/vcam_test_support.h"

namespace tesmira::vcam::testing {
namespace {

class StreamConcurrencyTest : public tesmira::testing::MachineTest {};

// Eight threads request samples (and take their events) while another thread
// shuts the source down; every call ends with S_OK or MF_E_SHUTDOWN.
TEST_F(StreamConcurrencyTest, RequestsRacingShutdownEndCleanly) {
  CapabilitiesChannel caps({{320, 240, 30, 1}});
  ControlChannel control;
  FrameChannel frames;
  frames.publish(patternNv12(320, 240, 1), 320, 240);
  auto source = makeSource();
  auto stream = startSource(source.Get(), 1);  // RGB32: conversions overlap too
  ASSERT_TRUE(stream);
  constexpr int kThreads = 8;
  std::atomic<int> served{0};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (;;) {
        HRESULT hr = stream->RequestSample(nullptr);
        if (hr == MF_E_SHUTDOWN) return;
        if (hr != S_OK) ++unexpected;
        ComPtr<IMFMediaEvent> event;
        stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);
        ++served;
        MF_STREAM_STATE state;
        stream->GetStreamState(&state);
      }
    });
  }
  std::thread closer([&] {
    while (served.load() < 200) std::this_thread::yield();
    ComPtr<IMFAttributes> attributes;
    source->GetStreamAttributes(0, &attributes);
    EXPECT_EQ(source->Shutdown(), S_OK);
  });
  closer.join();
  for (auto& t : threads) t.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(stream->RequestSample(nullptr), MF_E_SHUTDOWN);
}

// A request already past the state check when the stream pauses: its sample would
// follow MEStreamPaused, so it waits for the restart instead. The frozen clock
// holds the request in its wait for the frame-ready event until the pause is done.
TEST_F(StreamConcurrencyTest, ARequestInFlightDuringPauseIsServedAfterTheRestart) {
  ControlChannel control;
  FrameChannel frames;
  HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, localName(kFrameReadyEventName).c_str());
  ASSERT_NE(ready, nullptr);
  tesmira::platform::testclock::freeze();
  auto source = makeSource();
  auto stream = startSource(source.Get());
  ASSERT_TRUE(stream);
  drainEvents(stream.Get());
  const uint32_t started = control.block()->sequence;
  ComPtr<IMFAttributes> token;
  MFCreateAttributes(&token, 1);
  HRESULT requested = E_FAIL;
  std::thread request([&] { requested = stream->RequestSample(token.Get()); });
  // The request stamps the control channel before it waits for a frame.
  while (std::atomic_ref(control.block()->sequence).load() == started) std::this_thread::yield();
  ASSERT_EQ(source->Pause(), S_OK);
  frames.publish(patternNv12(1280, 720, 6), 1280, 720);
  SetEvent(ready);
  request.join();
  EXPECT_EQ(requested, S_OK);
  EXPECT_EQ(drainEvents(stream.Get()), std::vector<MediaEventType>{MEStreamPaused});
  SetEvent(ready);  // for the wait of the request served after the restart
  startSource(source.Get());
  std::vector<ComPtr<IMFMediaEvent>> events;
  ASSERT_EQ(drainEvents(stream.Get(), &events), (std::vector<MediaEventType>{MEStreamStarted, MEMediaSample}));
  ComPtr<IMFAttributes> back;
  eventObject<IMFSample>(events[1].Get())->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&back));
  EXPECT_EQ(back.Get(), token.Get());
  source->Shutdown();
  CloseHandle(ready);
}

// Requests racing Pause, Start and Stop: each answer is one of the documented
// ones, and once the source is shut down no token is left referenced.
TEST_F(StreamConcurrencyTest, RequestsRacingPauseStartAndStopKeepNoToken) {
  CapabilitiesChannel caps({{320, 240, 30, 1}});
  ControlChannel control;
  auto source = makeSource();
  auto stream = startSource(source.Get());
  ASSERT_TRUE(stream);
  auto pd = descriptorWithType(source.Get(), 0);
  std::atomic<bool> done{false};
  std::atomic<int> unexpected{0};
  // As a pipeline does, the requesters keep only a few requests unanswered.
  std::atomic<int> unanswered{0};
  std::vector<ComPtr<IMFAttributes>> tokens(4);
  for (auto& token : tokens) MFCreateAttributes(&token, 1);
  std::vector<std::thread> threads;
  for (auto& token : tokens) {
    threads.emplace_back([&, token] {
      while (!done.load()) {
        if (unanswered.load() < 8) {
          HRESULT hr = stream->RequestSample(token.Get());
          if (hr == S_OK) ++unanswered;
          if (hr != S_OK && hr != MF_E_MEDIA_SOURCE_WRONGSTATE && hr != MF_E_SHUTDOWN) ++unexpected;
        }
        ComPtr<IMFMediaEvent> event;
        MediaEventType type = 0;
        if (stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event) == S_OK && SUCCEEDED(event->GetType(&type)) &&
            type == MEMediaSample)
          --unanswered;
        std::this_thread::yield();
      }
    });
  }
  PROPVARIANT start;
  PropVariantInit(&start);
  for (int round = 0; round < 100; ++round) {
    EXPECT_EQ(source->Pause(), S_OK);
    EXPECT_EQ(source->Start(pd.Get(), nullptr, &start), S_OK);
    if (round % 3 == 0) {
      EXPECT_EQ(source->Stop(), S_OK);
      unanswered = 0;  // the held ones are dropped
      EXPECT_EQ(source->Start(pd.Get(), nullptr, &start), S_OK);
    }
    drainEvents(source.Get());
  }
  done = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(unexpected.load(), 0);
  source->Shutdown();
  for (auto& token : tokens) {
    token->AddRef();
    EXPECT_EQ(token->Release(), 1u);
  }
}

// Start, Stop and Pause from several threads with Shutdown in the middle.
TEST_F(StreamConcurrencyTest, StateCallsRacingShutdownEndCleanly) {
  auto source = makeSource();
  auto pd = descriptorWithType(source.Get(), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      PROPVARIANT start;
      PropVariantInit(&start);
      while (!stop.load()) {
        HRESULT hr = t % 2 ? source->Start(pd.Get(), nullptr, &start) : (t ? source->Pause() : source->Stop());
        EXPECT_TRUE(hr == S_OK || hr == MF_E_SHUTDOWN || hr == MF_E_INVALID_STATE_TRANSITION) << std::hex << hr;
        ComPtr<IMFMediaEvent> event;
        source->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);
        ++calls;
      }
    });
  }
  while (calls.load() < 200) std::this_thread::yield();
  source->Shutdown();
  stop = true;
  for (auto& t : threads) t.join();
}

// The application drops its last source reference (no Shutdown) while another
// thread asks the stream for its source: every source handed out is alive and
// answers, and once the last reference is gone the stream hands out none.
TEST_F(StreamConcurrencyTest, GetMediaSourceRacingTheLastReleaseNeverRevivesTheSource) {
  for (int round = 0; round < 200; ++round) {
    auto source = makeSource();
    auto stream = startSource(source.Get(), 0);
    ASSERT_TRUE(stream);
    std::atomic<bool> taken{false};
    std::atomic<int> unexpected{0};
    std::thread asker([&] {
      for (;;) {
        ComPtr<IMFMediaSource> linked;
        HRESULT hr = stream->GetMediaSource(&linked);
        if (hr != S_OK) {
          if (hr != E_UNEXPECTED) ++unexpected;
          return;
        }
        DWORD characteristics = 0;
        if (linked->GetCharacteristics(&characteristics) != S_OK) ++unexpected;
        taken = true;
      }
    });
    while (!taken.load()) std::this_thread::yield();
    source.Reset();
    asker.join();
    EXPECT_EQ(unexpected.load(), 0);
    ComPtr<IMFMediaSource> linked;
    EXPECT_EQ(stream->GetMediaSource(&linked), E_UNEXPECTED);
    EXPECT_FALSE(linked);
  }
}

}  // namespace
}  // namespace tesmira::vcam::testing
