#pragma once
// The launcher's Win32 window: the controls, the window procedure as a thin view over
// LauncherController, and the machine seams on the real Windows calls.
#include <windows.h>

#include <vector>

#include "launcher/launcher_controller.h"

namespace tesmira::launcher {

inline constexpr UINT kMsgLogLine = WM_APP + 1;          // lParam: a heap line (new wchar_t[]) to append and free
inline constexpr UINT kMsgProducerExited = WM_APP + 2;

inline constexpr const wchar_t* kWindowClassName = L"TesmiraLauncherWindow";
inline constexpr const wchar_t* kWindowTitle = L"Tesmira Launcher";
inline constexpr int kClientWidth = 596;
inline constexpr int kClientHeight = 600;

std::vector<LauncherCamera> enumerateLauncherCameras();
LRESULT CALLBACK launcherWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// The whole program: 1 when the window cannot be made, else the quit message's code.
int runLauncher(HINSTANCE instance);

}  // namespace tesmira::launcher
