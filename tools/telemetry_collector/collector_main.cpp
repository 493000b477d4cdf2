// tesmira_telemetry_collector [output.json]: prints its endpoint URL, keeps every batch
// (written to output.json after each one when given) and runs until standard input closes.
#include <atomic>
#include <fstream>
#include <iostream>
#include <thread>

#include "tools/telemetry_collector/collector.h"

int main(int argc, char** argv) {
  tesmira::tools::TelemetryCollector collector;
  if (!collector.listening()) {
    std::cerr << "collector: cannot listen on 127.0.0.1\n";
    return 1;
  }
  std::cout << collector.url() << std::endl;
  const std::string output = argc > 1 ? argv[1] : "";
  std::atomic<bool> done{false};
  std::thread writer([&] {
    size_t written = 0;
    while (!done.load()) {
      const size_t count = collector.batches().size();
      if (!output.empty() && count != written) {
        std::ofstream(output, std::ios::binary | std::ios::trunc) << collector.batchesJson().dump(2) << "\n";
        written = count;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  for (std::string line; std::getline(std::cin, line);) {
  }
  done.store(true);
  writer.join();
  if (!output.empty()) std::ofstream(output, std::ios::binary | std::ios::trunc) << collector.batchesJson().dump(2) << "\n";
  std::cout << collector.batches().size() << " batches\n";
  return 0;
}
