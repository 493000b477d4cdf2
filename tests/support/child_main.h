#pragma once
// Cross-process tests run their own binary again as the child:
//   TESMIRA_CHILD_MAIN(waitForEvent) { ...; return 0; }
// and start it with childCommandLine("waitForEvent", {args...}) (a Windows
// command line for CreateProcessW) or childArgv(...) for a plain exec.
#include <functional>
#include <string>
#include <vector>

namespace tesmira::testing {

using ChildMain = std::function<int(const std::vector<std::string>& args)>;
bool registerChildMain(const std::string& name, ChildMain main);
std::vector<std::string> childArgv(const std::string& name, const std::vector<std::string>& args = {});
std::wstring childCommandLine(const std::string& name, const std::vector<std::string>& args = {});

}  // namespace tesmira::testing

#define TESMIRA_CHILD_MAIN(name)                                                                        \
  static int tesmiraChild_##name(const std::vector<std::string>& args);                                 \
  static const bool tesmiraChildRegistered_##name =                                                     \
      ::tesmira::testing::registerChildMain(#name, tesmiraChild_##name);                                \
  static int tesmiraChild_##name([[maybe_unused]] const std::vector<std::string>& args)
