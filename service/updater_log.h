#pragma once
// The updater's log: the console first, then %ProgramData%\Tesmira\Updates\vcam-updater.log.
#include <filesystem>
#include <string>

namespace tesmira {

std::filesystem::path updatesFolder();  // ...\Tesmira\Updates
std::filesystem::path updaterLogPath();  // ...\Tesmira\Updates\vcam-updater.log
// Prints the message and a line break on standard output, then appends the line to
// the updater log (created with its folder when missing); a log that cannot be opened
// is not reported.
void logUpdater(const std::wstring& message);

}  // namespace tesmira
