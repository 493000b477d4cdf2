// The USER stand-in on a real (virtual) display: controls, their messages and the queue.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tesmira/user_testing.h"

namespace {

struct Seen {
  std::vector<UINT> messages;
  std::vector<WPARAM> commands;
};
Seen* gSeen = nullptr;

LRESULT CALLBACK recordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (gSeen) {
    gSeen->messages.push_back(message);
    if (message == WM_COMMAND) gSeen->commands.push_back(wParam);
  }
  if (message == WM_DESTROY) PostQuitMessage(7);
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

class UserWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(GetEnvironmentVariableW(L"DISPLAY", nullptr, 0), 0u) << "run under xvfb-run (./tesmira test does)";
    gSeen = &seen_;
    WNDCLASSW wc{};
    wc.lpfnWndProc = recordingProc;
    wc.lpszClassName = L"UserTestWindow";
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    static const bool registered = RegisterClassW(&wc) != 0;  // once a process, as on Windows
    ASSERT_TRUE(registered);
    RECT frame{0, 0, 300, 200};
    ASSERT_TRUE(AdjustWindowRect(&frame, WS_CAPTION | WS_SYSMENU, FALSE));
    window_ = CreateWindowExW(0, L"UserTestWindow", L"User test", WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                              CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                              nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    DestroyWindow(window_);
    MSG left;
    while (PeekMessageW(&left, nullptr, 0, 0, PM_REMOVE)) {
    }
    gSeen = nullptr;
  }

  HWND child(const wchar_t* cls, DWORD style, const wchar_t* text, int id) {
    return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 10, 10, 200, 100, window_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
  }
  std::wstring editText(HWND edit) {
    std::wstring text(size_t(SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
    const LRESULT n = SendMessageW(edit, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(size_t(n));
    return text;
  }
  void append(HWND edit, const std::wstring& text) {
    const LRESULT length = SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0);
    SendMessageW(edit, EM_SETSEL, WPARAM(length), LPARAM(length));
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  }

  Seen seen_;
  HWND window_ = nullptr;
};

TEST_F(UserWindowTest, TheClientAreaIsWhatAdjustWindowRectWasAskedFor) {
  EXPECT_EQ(seen_.messages.front(), UINT(WM_CREATE));
  const auto windows = tesmira::platform::usertesting::describeWindows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].clientWidth, 300);
  EXPECT_EQ(windows[0].clientHeight, 200);
  EXPECT_EQ(windows[0].title, L"User test");
}

TEST_F(UserWindowTest, AnEditControlKeepsWindowsDefaultLimitUntilRaised) {
  HWND edit = child(L"EDIT", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL, L"", 10);
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(SendMessageW(edit, EM_GETLIMITTEXT, 0, 0), 32767);
  const std::wstring block(30000, L'a');
  append(edit, block);
  append(edit, std::wstring(5000, L'b'));  // only 2,767 fit
  EXPECT_EQ(SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0), 32767);
  append(edit, L"lost");
  EXPECT_EQ(editText(edit).substr(32760), L"bbbbbbb");

  struct Case {
    WPARAM limit;
    LRESULT expected;
  };
  for (const Case c : {Case{262144, 262144}, Case{0, 0x7FFFFFFE}, Case{10, 10}}) {
    SendMessageW(edit, EM_SETLIMITTEXT, c.limit, 0);
    EXPECT_EQ(SendMessageW(edit, EM_GETLIMITTEXT, 0, 0), c.expected) << c.limit;
  }
  SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
  append(edit, L"\r\nnow it fits");
  EXPECT_EQ(editText(edit).substr(32767), L"\r\nnow it fits");
  // Removing the start keeps the rest.
  SendMessageW(edit, EM_SETSEL, 0, 30000);
  SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  EXPECT_EQ(SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0), 2767 + 13);
  EXPECT_EQ(editText(edit).substr(0, 3), L"bbb");
}

TEST_F(UserWindowTest, TextLengthsCountUtf16Units) {
  HWND edit = child(L"EDIT", ES_MULTILINE, L"", 10);
  append(edit, L"a\U0001F600\u2014");
  EXPECT_EQ(SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0), 4);
  HWND combo = child(L"COMBOBOX", CBS_DROPDOWNLIST, L"", 11);
  SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"\U0001F600x"));
  EXPECT_EQ(SendMessageW(combo, CB_GETLBTEXTLEN, 0, 0), 3);
}

TEST_F(UserWindowTest, ComboBoxRowsAndSelection) {
  HWND combo = child(L"COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL, L"", 12);
  EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), CB_ERR);
  for (const wchar_t* item : {L"640", L"960", L"1280"}) {
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
  }
  EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 3);
  struct Case {
    WPARAM index;
    LRESULT result, selection;
  };
  for (const Case c : {Case{2, 2, 2}, Case{3, CB_ERR, CB_ERR}, Case{WPARAM(-1), CB_ERR, CB_ERR}, Case{0, 0, 0}}) {
    EXPECT_EQ(SendMessageW(combo, CB_SETCURSEL, c.index, 0), c.result) << c.index;
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), c.selection) << c.index;
  }
  wchar_t text[8] = {};
  EXPECT_EQ(SendMessageW(combo, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(text)), 3);
  EXPECT_EQ(std::wstring(text), L"960");
  EXPECT_EQ(SendMessageW(combo, CB_GETLBTEXT, 5, reinterpret_cast<LPARAM>(text)), CB_ERR);
  EXPECT_EQ(SendMessageW(combo, CB_GETLBTEXTLEN, 5, 0), CB_ERR);
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 0);
  EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), CB_ERR);
  // Changes made by messages notify nobody.
  EXPECT_TRUE(seen_.commands.empty());
}

TEST_F(UserWindowTest, CheckBoxAndEnabledState) {
  HWND box = child(L"BUTTON", BS_AUTOCHECKBOX, L"D3D capture", 13);
  EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
  SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
  EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_TRUE(seen_.commands.empty());
  EXPECT_FALSE(EnableWindow(box, FALSE));  // was enabled
  EXPECT_TRUE(EnableWindow(box, TRUE));    // was disabled
  HWND disabled = child(L"BUTTON", BS_PUSHBUTTON | WS_DISABLED, L"Stop", 14);
  const auto windows = tesmira::platform::usertesting::describeWindows();
  ASSERT_EQ(windows[0].controls.size(), 2u);
  EXPECT_TRUE(windows[0].controls[0].checked);
  EXPECT_TRUE(windows[0].controls[0].enabled);
  EXPECT_FALSE(windows[0].controls[1].enabled);
  EXPECT_EQ(windows[0].controls[1].text, L"Stop");
  EXPECT_NE(disabled, nullptr);
}

TEST_F(UserWindowTest, PostsFromAnotherThreadWakeTheLoopAndTheQuitComesLast) {
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) PostMessageW(window_, WM_APP + 1, WPARAM(i), 0);
    PostMessageW(window_, WM_CLOSE, 0, 0);
  });
  MSG msg{};
  std::vector<WPARAM> got;
  BOOL result;
  while ((result = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
    if (msg.message == WM_APP + 1) got.push_back(msg.wParam);
    DispatchMessageW(&msg);
  }
  poster.join();
  EXPECT_EQ(result, FALSE);
  EXPECT_EQ(msg.message, UINT(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  ASSERT_EQ(got.size(), 100u);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], i);
}

TEST_F(UserWindowTest, MessagesToADestroyedWindowAreDropped) {
  ASSERT_TRUE(PostMessageW(window_, WM_APP + 1, 1, 0));
  ASSERT_TRUE(PostMessageW(window_, WM_APP + 2, 2, 0));
  MSG msg{};
  // Only the asked range comes out of the queue.
  ASSERT_TRUE(PeekMessageW(&msg, window_, WM_APP + 2, WM_APP + 2, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 2u);
  EXPECT_FALSE(PeekMessageW(&msg, window_, WM_APP + 2, WM_APP + 2, PM_REMOVE));
  ASSERT_TRUE(DestroyWindow(window_));
  EXPECT_FALSE(PeekMessageW(&msg, window_, 0, 0, PM_REMOVE));  // WM_APP + 1 went with the window
  EXPECT_FALSE(PostMessageW(window_, WM_APP + 1, 3, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_FALSE(DestroyWindow(window_));
  const size_t before = seen_.messages.size();
  msg = MSG{};
  msg.hwnd = window_;
  msg.message = WM_APP + 1;
  EXPECT_EQ(DispatchMessageW(&msg), 0);
  EXPECT_EQ(seen_.messages.size(), before);
  EXPECT_TRUE(tesmira::platform::usertesting::describeWindows().empty());
}

TEST_F(UserWindowTest, UnknownClassesAndBadArgumentsFail) {
  EXPECT_EQ(CreateWindowExW(0, L"NoSuchClass", L"", WS_CAPTION, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CANNOT_FIND_WND_CLASS));
  EXPECT_EQ(child(L"LISTBOX", 0, L"", 1), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CANNOT_FIND_WND_CLASS));
  WNDCLASSW again{};
  again.lpfnWndProc = recordingProc;
  again.lpszClassName = L"usertestwindow";  // names compare without case
  EXPECT_EQ(RegisterClassW(&again), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CLASS_ALREADY_EXISTS));
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES};
  EXPECT_TRUE(InitCommonControlsEx(&icc));
  icc.dwSize = 4;
  EXPECT_FALSE(InitCommonControlsEx(&icc));
}

}  // namespace
