#pragma once
// The producer's own file log: %ProgramData%\Tesmira\Logs\vcam-producer.log.
#include <windows.h>

#include <filesystem>
#include <string>

namespace tesmira {

std::filesystem::path producerLogPath();
// "YYYY-MM-DD HH:MM:SS message", local time; a file problem loses the line silently.
void logLine(const std::string& message);
// The line as written, without its line break.
std::string formatLogLine(const SYSTEMTIME& localTime, const std::string& message);

}  // namespace tesmira
