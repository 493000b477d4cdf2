#include "producer/producer_log.h"

#include "common/file_log.h"
#include "common/program_data.h"

namespace tesmira {
namespace fs = std::filesystem;

fs::path producerLogPath() {
  // The environment variable only: the producer does not look up the known folder.
  return logFileUnder(programDataFromEnvironment(), L"vcam-producer.log");
}

void logLine(const std::string& message) {
  try {
    appendLogLineTo(producerLogPath(), message);
  } catch (...) {
    // The log never stops the producer.
  }
}

}  // namespace tesmira
