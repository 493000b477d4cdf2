// tesmira_vcam_launcher: the administrator's window for the virtual camera and the producer.
#include <windows.h>

#include "launcher/launcher_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) { return tesmira::launcher::runLauncher(instance); }

#ifndef _WIN32
// The Windows loader enters at wWinMain; elsewhere the C++ entry hands over to it.
int main() { return wWinMain(nullptr, nullptr, nullptr, 0); }
#endif
