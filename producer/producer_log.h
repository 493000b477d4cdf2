#pragma once
// The producer's own file log: %ProgramData%\Tesmira\Logs\vcam-producer.log.
#include <windows.h>

#include <filesystem>
#include <string>

#include "common/file_log.h"  // formatLogLine

namespace tesmira {

// Empty when neither the environment nor a temporary folder gives a base folder.
std::filesystem::path producerLogPath();
// "YYYY-MM-DD HH:MM:SS message", local time; a file problem loses the line silently.
void logLine(const std::string& message);

}  // namespace tesmira
