#pragma once
// The file log every deliverable writes: one line per call, the file opened for
// appending and closed again, no lock, no state, no rotation.
#include <windows.h>

#include <filesystem>
#include <string>

namespace tesmira {

// base\Tesmira\Logs\name; empty (nowhere to log) when base is empty.
std::filesystem::path logFileUnder(const std::filesystem::path& base, const std::wstring& name);
std::filesystem::path serviceLogPath();  // ...\Tesmira\Logs\vcam-service.log
std::filesystem::path agentLogPath();    // ...\Tesmira\Logs\vcam-agent.log

// One log line: local time "%Y-%m-%d %H:%M:%S", a blank, the message, a line break.
// The folder is created first. Never fails visibly.
void appendLogLine(const std::wstring& message);  // to serviceLogPath()
void appendLogLineTo(const std::filesystem::path& file, const std::wstring& message);  // as UTF-8
void appendLogLineTo(const std::filesystem::path& file, const std::string& message);   // as given
// The line as written, without its line break.
std::string formatLogLine(const SYSTEMTIME& localTime, const std::string& message);

}  // namespace tesmira
