#pragma once
// One line per case for the Windows test programs, "passed: <case>" or
// "failed: <case>: <why>", the form ./tesmira counts; flushed at once, so a run
// that is ended keeps what it printed.
#include <cstdio>
#include <string>

namespace tesmira::wine_checks {

inline int failures = 0;

inline void result(const std::string& name, const std::string& why) {
  if (why.empty()) {
    std::printf("passed: %s\n", name.c_str());
  } else {
    std::printf("failed: %s: %s\n", name.c_str(), why.c_str());
    ++failures;
  }
  std::fflush(stdout);
}

}  // namespace tesmira::wine_checks
