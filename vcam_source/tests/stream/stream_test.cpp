#include <functional>
#include <memory>

#include "vcam_source/media_types.h"
#include "vcam_source/tests/stream/vcam_test_support.h"

namespace tesmira::vcam::testing {
namespace {

// A started 1280x720 NV12 (type 0) or RGB32 (type 1) stream on a machine with
// a frame channel and a control channel, and no frame-ready event (no waits).
class StreamTest : public tesmira::testing::MachineTest {
 protected:
  // The channels live in this test's machine, which SetUp makes.
  void SetUp() override {
    MachineTest::SetUp();
    controlChannel_ = std::make_unique<ControlChannel>();
    frameChannel_ = std::make_unique<FrameChannel>();
  }
  void start(DWORD typeIndex = 0) {
    source_ = makeSource();
    stream_ = startSource(source_.Get(), typeIndex);
    ASSERT_TRUE(stream_);
    drainEvents(stream_.Get());
  }
  void TearDown() override {
    if (source_) source_->Shutdown();
    source_.Reset();
    stream_.Reset();
    frameChannel_.reset();
    controlChannel_.reset();
    MachineTest::TearDown();
  }
  std::vector<uint8_t> request() {
    EXPECT_EQ(stream_->RequestSample(nullptr), S_OK);
    return sampleBytes(nextSample(stream_.Get()).Get());
  }
  std::unique_ptr<ControlChannel> controlChannel_;
  std::unique_ptr<FrameChannel> frameChannel_;
  ControlChannel& control() { return *controlChannel_; }
  FrameChannel& frames() { return *frameChannel_; }
  ComPtr<IMFMediaSourceEx> source_;
  ComPtr<IMFMediaStream2> stream_;
};

TEST_F(StreamTest, FreshFrameIsServedByteForByte) {
  start();
  auto frame = patternNv12(1280, 720, 1);
  frames().publish(frame, 1280, 720);
  EXPECT_EQ(request(), frame);
  // A strided slot arrives packed.
  auto second = patternNv12(1280, 720, 2);
  frames().publish(second, 1280, 720, 1344);
  EXPECT_EQ(request(), second);
}

TEST_F(StreamTest, Rgb32RequestsConvertTheFrame) {
  start(1);
  auto frame = patternNv12(1280, 720, 5);
  frames().publish(frame, 1280, 720);
  std::vector<uint8_t> expected(1280 * 720 * 4);
  nv12ToRgb32(frame.data(), 1280, 720, expected.data());
  EXPECT_EQ(request(), expected);
}

TEST_F(StreamTest, LastGoodFrameServesFor500msThenTheCard) {
  tesmira::platform::testclock::freeze();
  start();
  auto frame = patternNv12(1280, 720, 9);
  frames().publish(frame, 1280, 720);
  ASSERT_EQ(request(), frame);
  // The channel goes stale: the producer stops and its frame ages past 500 ms.
  frames().header()->latestSlot = kNoSlot;
  tesmira::platform::testclock::advanceMs(500);
  EXPECT_EQ(request(), frame);
  tesmira::platform::testclock::advanceMs(1);
  auto card = request();
  ASSERT_EQ(card.size(), frame.size());
  EXPECT_NE(card, frame);
}

TEST_F(StreamTest, CardIsServedWithoutAFrameAndAtTheNewSizeAfterAFormatChange) {
  start();
  frames().publish(patternNv12(1280, 720, 3), 1280, 720);
  request();
  // A 640x480 type: the 1280x720 frames are neither read nor reused.
  CapabilitiesChannel caps({{640, 480, 30, 1}, {1280, 720, 30, 1}});
  source_->Shutdown();
  source_ = makeSource();
  stream_ = startSource(source_.Get(), 2);  // types: 720p NV12, 720p RGB32, 480p NV12, ...
  drainEvents(stream_.Get());
  auto card = request();
  ASSERT_EQ(card.size(), 640u * 480 * 3 / 2);
  // The plain background at least: luma of the dark card colour everywhere outside the text.
  EXPECT_EQ(card[0], 30);
}

// After a stop, SetStreamState(running) is a new start: the start-up card, not the reconnecting one.
TEST_F(StreamTest, SetStreamStateFromStoppedForgetsTheEarlierFrame) {
  tesmira::platform::testclock::freeze();
  start();
  const auto startupCard = request();  // no frame yet
  frames().publish(patternNv12(1280, 720, 4), 1280, 720);
  request();
  frames().header()->latestSlot = kNoSlot;
  tesmira::platform::testclock::advanceMs(501);
  const auto reconnectingCard = request();
  EXPECT_NE(reconnectingCard, startupCard);
  source_->Stop();
  ASSERT_EQ(stream_->SetStreamState(MF_STREAM_STATE_RUNNING), S_OK);
  EXPECT_EQ(request(), startupCard);
}

// The token's references beyond the test's own one.
ULONG heldReferences(IUnknown* token) {
  token->AddRef();
  return token->Release() - 1;
}

// RequestSample in each stream state, then what the next state call makes of an
// accepted request: served after the restart, dropped on Stop, released on Shutdown.
TEST_F(StreamTest, RequestSampleInEveryStreamState) {
  using Events = std::vector<MediaEventType>;
  auto restart = [&] { startSource(source_.Get()); };
  struct Row {
    const char* name;
    std::function<void()> before;
    HRESULT result;
    bool stamped;
    Events afterCall;
    std::function<void()> then;
    Events afterThen;
  } rows[] = {
      {"running", [] {}, S_OK, true, {MEMediaSample}, [] {}, {}},
      {"paused, then started", [&] { source_->Pause(); }, S_OK, false, {}, restart, {MEStreamStarted, MEMediaSample}},
      {"paused, then stopped and started", [&] { source_->Pause(); }, S_OK, false, {},
       [&] {
         source_->Stop();
         restart();
       },
       {MEStreamStopped, MEStreamStarted}},
      {"paused, then shut down", [&] { source_->Pause(); }, S_OK, false, {}, [&] { source_->Shutdown(); }, {}},
      {"stopped", [&] { source_->Stop(); }, MF_E_MEDIA_SOURCE_WRONGSTATE, false, {}, restart, {MEStreamStarted}},
      {"set running after a stop",
       [&] {
         source_->Stop();
         stream_->SetStreamState(MF_STREAM_STATE_RUNNING);
       },
       S_OK, true, {MEMediaSample}, [] {}, {}},
      {"set paused, then set running", [&] { stream_->SetStreamState(MF_STREAM_STATE_PAUSED); }, S_OK, false, {},
       [&] { stream_->SetStreamState(MF_STREAM_STATE_RUNNING); }, {MEMediaSample}},
      {"set paused, then set stopped", [&] { stream_->SetStreamState(MF_STREAM_STATE_PAUSED); }, S_OK, false, {},
       [&] { stream_->SetStreamState(MF_STREAM_STATE_STOPPED); }, {}},
      {"shut down", [&] { source_->Shutdown(); }, MF_E_SHUTDOWN, false, {}, [] {}, {}},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    start();
    ComPtr<IMFAttributes> token;
    MFCreateAttributes(&token, 1);
    row.before();
    drainEvents(stream_.Get());
    const uint32_t sequence = control().block()->sequence;
    EXPECT_EQ(stream_->RequestSample(token.Get()), row.result);
    // Only a request served now tells the producer that the camera is in demand.
    EXPECT_EQ(control().block()->sequence, sequence + (row.stamped ? 1 : 0));
    std::vector<ComPtr<IMFMediaEvent>> events;
    EXPECT_EQ(drainEvents(stream_.Get(), &events), row.afterCall);
    row.then();
    EXPECT_EQ(drainEvents(stream_.Get(), &events), row.afterThen);
    for (auto& event : events) {
      MediaEventType type = 0;
      event->GetType(&type);
      if (type != MEMediaSample) continue;
      // The sample answers this request.
      ComPtr<IMFAttributes> back;
      eventObject<IMFSample>(event.Get())->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&back));
      EXPECT_EQ(back.Get(), token.Get());
    }
    events.clear();
    // Served, dropped or released: the stream keeps no reference to the token.
    EXPECT_EQ(heldReferences(token.Get()), 0u);
    source_->Shutdown();
  }
}

// Requests held while paused are served in the order they came, behind none of the later ones.
TEST_F(StreamTest, HeldRequestsAreServedInOrderAfterTheRestart) {
  start();
  ASSERT_EQ(source_->Pause(), S_OK);
  std::vector<ComPtr<IMFAttributes>> tokens(3);
  for (auto& token : tokens) {
    MFCreateAttributes(&token, 1);
    ASSERT_EQ(stream_->RequestSample(token.Get()), S_OK);
  }
  EXPECT_EQ(drainEvents(stream_.Get()), std::vector<MediaEventType>{MEStreamPaused});
  startSource(source_.Get());
  ComPtr<IMFAttributes> later;
  MFCreateAttributes(&later, 1);
  ASSERT_EQ(stream_->RequestSample(later.Get()), S_OK);
  tokens.push_back(later);
  std::vector<ComPtr<IMFMediaEvent>> events;
  ASSERT_EQ(drainEvents(stream_.Get(), &events),
            (std::vector<MediaEventType>{MEStreamStarted, MEMediaSample, MEMediaSample, MEMediaSample, MEMediaSample}));
  for (size_t i = 0; i < tokens.size(); ++i) {
    ComPtr<IMFAttributes> back;
    eventObject<IMFSample>(events[i + 1].Get())->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&back));
    EXPECT_EQ(back.Get(), tokens[i].Get()) << "sample " << i;
  }
}

TEST_F(StreamTest, SamplesCarryTimeDurationAndToken) {
  tesmira::platform::testclock::freeze();
  start();
  ComPtr<IMFAttributes> token;
  MFCreateAttributes(&token, 1);
  ASSERT_EQ(stream_->RequestSample(token.Get()), S_OK);
  auto sample = nextSample(stream_.Get());
  ASSERT_TRUE(sample);
  LONGLONG time = 0, duration = 0;
  sample->GetSampleTime(&time);
  sample->GetSampleDuration(&duration);
  EXPECT_EQ(time, MFGetSystemTime());
  EXPECT_EQ(duration, 333333);
  ComPtr<IMFAttributes> back;
  ASSERT_EQ(sample->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&back)), S_OK);
  EXPECT_EQ(back.Get(), token.Get());
  ASSERT_EQ(stream_->RequestSample(nullptr), S_OK);
  sample = nextSample(stream_.Get());
  EXPECT_EQ(sample->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&back)), MF_E_ATTRIBUTENOTFOUND);
  DWORD length = 0;
  sample->GetTotalLength(&length);
  EXPECT_EQ(length, 1280u * 720 * 3 / 2);
}

TEST_F(StreamTest, DurationFollowsTheFrameRate) {
  CapabilitiesChannel caps({{1280, 720, 15, 1}, {640, 480, 30000, 1001}});
  start();
  struct Row {
    DWORD typeIndex;
    LONGLONG duration;
  } rows[] = {{0, 666666}, {2, 333666}};
  for (auto& row : rows) {
    stream_ = startSource(source_.Get(), row.typeIndex);
    drainEvents(stream_.Get());
    ASSERT_EQ(stream_->RequestSample(nullptr), S_OK);
    LONGLONG duration = 0;
    nextSample(stream_.Get())->GetSampleDuration(&duration);
    EXPECT_EQ(duration, row.duration);
  }
}

TEST_F(StreamTest, ControlChannelShowsRequestsStartsAndTheFormat) {
  tesmira::platform::testclock::freeze();
  start();
  const uint64_t startTick = GetTickCount64();
  EXPECT_EQ(control().block()->streamStartTick, startTick);
  EXPECT_EQ(control().block()->requestTick, startTick);
  EXPECT_EQ(control().block()->formatTick, startTick);
  tesmira::platform::testclock::advanceMs(40);
  request();
  EXPECT_EQ(control().block()->requestTick, startTick + 40);
  EXPECT_EQ(control().block()->formatTick, startTick + 40);
  EXPECT_EQ(control().block()->streamStartTick, startTick);
  EXPECT_EQ(control().block()->width, 1280u);
  EXPECT_EQ(control().block()->height, 720u);
  EXPECT_EQ(control().block()->fpsNumerator, 30u);
  EXPECT_EQ(control().block()->fpsDenominator, 1u);
  EXPECT_EQ(control().block()->sequence, 2u);
  EXPECT_EQ(control().block()->fallbackWidth, 1280u);
}

TEST_F(StreamTest, RequestsOneAnd300AreLogged) {
  start();
  for (int i = 0; i < 300; ++i) ASSERT_EQ(stream_->RequestSample(nullptr), S_OK);
  std::string log = serviceLog();
  EXPECT_NE(log.find("source: stream RequestSample #1 type=NV12 1280x720 @30/1fps"), std::string::npos);
  EXPECT_NE(log.find("source: stream RequestSample #300 type="), std::string::npos);
  EXPECT_EQ(log.find("source: stream RequestSample #2 "), std::string::npos);
}

TEST_F(StreamTest, StreamStateCallsFollowTheTable) {
  start();
  MF_STREAM_STATE state;
  ASSERT_EQ(stream_->GetStreamState(&state), S_OK);
  EXPECT_EQ(state, MF_STREAM_STATE_RUNNING);
  // SetStreamState takes any value without events.
  EXPECT_EQ(stream_->SetStreamState(MF_STREAM_STATE(7)), S_OK);
  stream_->GetStreamState(&state);
  EXPECT_EQ(int(state), 7);
  EXPECT_TRUE(drainEvents(stream_.Get()).empty());
  EXPECT_EQ(stream_->GetStreamState(nullptr), E_POINTER);
  ComPtr<IMFStreamDescriptor> sd;
  EXPECT_EQ(stream_->GetStreamDescriptor(&sd), S_OK);
  EXPECT_EQ(stream_->GetStreamDescriptor(nullptr), E_POINTER);
  ComPtr<IMFMediaStream> plain;
  ComPtr<IMFMediaEventGenerator> generator;
  EXPECT_EQ(stream_->QueryInterface(IID_PPV_ARGS(&plain)), S_OK);
  EXPECT_EQ(stream_->QueryInterface(IID_PPV_ARGS(&generator)), S_OK);
  ComPtr<IMFMediaSource> notStream;
  EXPECT_EQ(stream_->QueryInterface(IID_PPV_ARGS(&notStream)), E_NOINTERFACE);
}

}  // namespace
}  // namespace tesmira::vcam::testing
