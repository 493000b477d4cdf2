#pragma once
// Test hook of the USER stand-in: what every window and control shows. Product code
// never includes this header. With TESMIRA_USER_REPORT naming a file, the stand-in
// also writes this as JSON whenever its message loop goes idle after a change, so a
// test can watch a program it started.
#include <string>
#include <vector>

#include "../minwindef.h"

namespace tesmira::platform::usertesting {

struct ControlState {
  int id = 0;
  std::wstring className;  // "BUTTON", "STATIC", "COMBOBOX", "EDIT" as created
  DWORD style = 0;
  std::wstring text;       // label, or the edit control's whole text
  LONG x = 0, y = 0, width = 0, height = 0;  // as created, in client pixels
  bool enabled = true;
  bool checked = false;
  bool visible = false;
  std::vector<std::wstring> items;  // combo box rows
  int selection = -1;
  std::wstring fontFace;  // empty without WM_SETFONT
  int fontHeight = 0;
};

struct WindowState {
  std::wstring className;
  std::wstring title;
  LONG clientWidth = 0, clientHeight = 0;
  unsigned long nativeId = 0;  // the X11 window, 0 when unknown
  std::vector<ControlState> controls;
};

TESMIRA_EXPORT std::vector<WindowState> describeWindows();

}  // namespace tesmira::platform::usertesting
