// tesmira_agent: the windowless per-session agent. It takes no arguments.
#include <windows.h>

#include "agent/win32_agent.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return tesmira::agent::runAgent(); }

#ifndef _WIN32
// The Windows loader enters at wWinMain; elsewhere the C++ entry hands over to it.
int main() { return wWinMain(nullptr, nullptr, nullptr, 0); }
#endif
