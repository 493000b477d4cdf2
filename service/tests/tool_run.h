#pragma once
// Runs the built service tool as the user would, with its output and exit code.
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/host_calls.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::testing {

struct ToolOutcome {
  int exitCode;
  std::string out;
  std::string err;
};

// `program` with `args`; its output files go into `folder`.
inline ToolOutcome runTool(const std::filesystem::path& folder, const std::vector<std::string>& args,
                           const std::string& program = TESMIRA_SERVICE_EXE, DWORD timeoutMs = 60000) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::filesystem::path out = folder / "tool-out.txt", err = folder / "tool-err.txt";
  OutputCapturingChild child(argv, out, err);
  const int code = child.started() ? child.wait(timeoutMs) : -1;
  return {code, readFile(out), readFile(err)};
}

}  // namespace tesmira::testing
