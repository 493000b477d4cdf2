#pragma once
// The update commands' options, filled by the service tool's command line.
#include <string>

namespace tesmira {

struct UpdateOptions {
  std::wstring manifestUrl;
  std::wstring srcTag = L"manual";
  std::wstring installedVersionOverride;
  bool interactive = false;
  bool allowUnsigned = false;
};

// The update commands; each returns the process exit code.
int updateCheck(const UpdateOptions& options);
int updateApply(const UpdateOptions& options);

}  // namespace tesmira
