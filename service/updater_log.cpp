#include "service/updater_log.h"

#include <windows.h>

#include "common/file_log.h"
#include "common/program_data.h"
#include "service/vcam_command.h"

namespace tesmira {

std::filesystem::path updatesFolder() { return programDataFolder() / L"Tesmira" / L"Updates"; }

std::filesystem::path updaterLogPath() { return updatesFolder() / L"vcam-updater.log"; }

void logUpdater(const std::wstring& message) {
  writeStdout(message + L"\n");
  try {
    appendLogLineTo(updaterLogPath(), message);
  } catch (...) {
    // No folder to log into: the console line stands alone.
  }
}

}  // namespace tesmira
