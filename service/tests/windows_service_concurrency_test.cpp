#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "service/service_state.h"

namespace tesmira {
namespace {

// Controls arrive on the dispatcher thread while the main thread closes the stop event
// and reports STOPPED: no control may set the event once it is closed, and the status
// record both threads write stays whole.
TEST(ServiceStateConcurrency, ControlsRacingTheStopEventCloseNeverTouchAClosedEvent) {
  for (int round = 0; round < 50; ++round) {
    ServiceState s;
    reportServiceStatus(s, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0);
    s.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(s.stopEvent.load(), nullptr);
    std::atomic<bool> go{false};
    std::thread dispatcher([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 20; ++i) serviceControlHandler(s, SERVICE_CONTROL_STOP, 0, nullptr);
    });
    go = true;
    WaitForSingleObject(s.stopEvent.load(), INFINITE);
    closeStopEvent(s);
    reportServiceStatus(s, SERVICE_STOPPED, 0, 0, 0, 0);
    dispatcher.join();
    EXPECT_EQ(s.stopEvent.load(), nullptr);
    const DWORD state = s.status.dwCurrentState;
    EXPECT_TRUE(state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING);
  }
}

}  // namespace
}  // namespace tesmira
