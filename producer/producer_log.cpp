#include "producer/producer_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

namespace tesmira {
namespace fs = std::filesystem;

fs::path producerLogPath() {
  const char* programData = std::getenv("ProgramData");
  fs::path base;
  if (programData && *programData && std::strlen(programData) <= MAX_PATH) {
    base = programData;
  } else {
    std::error_code ec;
    base = fs::temp_directory_path(ec);
  }
  return base / "Tesmira" / "Logs" / "vcam-producer.log";
}

std::string formatLogLine(const SYSTEMTIME& t, const std::string& message) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(t.wYear), unsigned(t.wMonth),
                unsigned(t.wDay), unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond));
  return std::string(stamp) + " " + message;
}

void logLine(const std::string& message) {
  try {
    fs::path file = producerLogPath();
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary | std::ios::app);
    if (!out) return;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    out << formatLogLine(now, message) << "\r\n";
  } catch (...) {
    // The log never stops the producer.
  }
}

}  // namespace tesmira
