#pragma once
// Small helpers that the service tool, the media source, the agent and the
// launcher compile in. None keeps state; none throws for an ordinary failure.
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tesmira {

// Folders and files under %ProgramData%\Tesmira. The folder is the known folder
// FOLDERID_ProgramData, else programDataFromEnvironment().
std::filesystem::path programDataFolder();
// The environment variable "ProgramData" (under 260 characters), else the temporary
// folder; empty when neither is there.
std::filesystem::path programDataFromEnvironment();
// base\Tesmira\Logs\name; empty (nowhere to log) when base is empty.
std::filesystem::path logFileUnder(const std::filesystem::path& base, const std::wstring& name);
std::filesystem::path serviceLogPath();    // ...\Tesmira\Logs\vcam-service.log
std::filesystem::path agentLogPath();      // ...\Tesmira\Logs\vcam-agent.log
std::filesystem::path vcamStagingFolder(); // ...\Tesmira\Vcam

// One log line: local time "%Y-%m-%d %H:%M:%S", a blank, the message, a line break.
// Never fails visibly.
void appendLogLine(const std::wstring& message);  // to serviceLogPath()
void appendLogLineTo(const std::filesystem::path& file, const std::wstring& message);  // as UTF-8
void appendLogLineTo(const std::filesystem::path& file, const std::string& message);   // as given
// The line as written, without its line break.
std::string formatLogLine(const SYSTEMTIME& localTime, const std::string& message);

// Win32 codes above 0 become 0x80070000 plus their low 16 bits; 0 and negative values pass.
HRESULT win32ToHresult(LONG code);
std::wstring formatSystemMessage(DWORD extraFlags, DWORD code);
std::wstring hresultToText(HRESULT hr);
std::wstring win32ErrorToText(DWORD code);

bool isProcessElevated();

// Quoted so that CommandLineToArgvW gives back exactly the original argument.
std::wstring quoteArgument(const std::wstring& argument);
std::wstring joinCommandLine(const std::vector<std::wstring>& arguments);

bool containsNoCase(const std::wstring& haystack, const std::wstring& needle);

std::filesystem::path executablePath();
std::filesystem::path executableDirectory();
std::filesystem::path defaultMediaSourceDllPath();

HRESULT applyFileAcl(const std::filesystem::path& path, bool folder);
HRESULT createDirectoryWithAcl(const std::filesystem::path& folder);
HRESULT copyFileWithAcl(const std::filesystem::path& source, const std::filesystem::path& destination);

}  // namespace tesmira
