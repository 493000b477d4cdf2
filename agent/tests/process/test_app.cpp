// An application that the consumer tests run under other names (zoom.exe, ...): it
// only has to be there until the test ends it.
#include <chrono>
#include <thread>

int main() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
