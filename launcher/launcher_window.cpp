#include "launcher/launcher_window.h"

#include <commctrl.h>
#include <mfapi.h>
#include <mfidl.h>

#include <cwchar>
#include <memory>
#include <string>

#include "common/executable_paths.h"
#include "common/process_token.h"
#include "common/text_search.h"
#include "common/vcam_registration.h"

namespace tesmira::launcher {
namespace {

struct ControlSpec {
  int id;  // 0: none
  const wchar_t* className;
  DWORD style;
  const wchar_t* text;
  int x, y, width, height;
};

constexpr DWORD kDropDown = CBS_DROPDOWNLIST | WS_VSCROLL;
constexpr ControlSpec kControls[] = {
    {0, L"BUTTON", BS_GROUPBOX, L"Virtual camera", 10, 12, 560, 60},
    {kIdRegister, L"BUTTON", BS_PUSHBUTTON, L"Register vcam", 24, 34, 160, 28},
    {kIdUnregister, L"BUTTON", BS_PUSHBUTTON, L"Unregister vcam", 200, 34, 160, 28},
    {0, L"BUTTON", BS_GROUPBOX, L"Producer settings", 10, 90, 560, 110},
    {0, L"STATIC", SS_LEFT, L"Provider:", 24, 116, 70, 20},
    {kIdProvider, L"COMBOBOX", kDropDown, L"", 100, 112, 180, 200},
    {0, L"STATIC", SS_LEFT, L"Max width:", 300, 116, 70, 20},
    {kIdMaxWidth, L"COMBOBOX", kDropDown, L"", 380, 112, 120, 200},
    {0, L"STATIC", SS_LEFT, L"Camera:", 24, 156, 70, 20},
    {kIdCamera, L"COMBOBOX", kDropDown, L"", 100, 152, 340, 240},
    {kIdRefresh, L"BUTTON", BS_PUSHBUTTON, L"Refresh", 450, 151, 100, 26},
    {kIdD3dCapture, L"BUTTON", BS_AUTOCHECKBOX, L"D3D capture", 100, 180, 120, 20},
    {0, L"BUTTON", BS_GROUPBOX, L"Producer", 10, 214, 560, 60},
    {kIdStart, L"BUTTON", BS_PUSHBUTTON, L"Start producer", 24, 236, 160, 28},
    {kIdStop, L"BUTTON", BS_PUSHBUTTON, L"Stop producer", 200, 236, 160, 28},
    {kIdLog, L"EDIT", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_BORDER | WS_VSCROLL, L"", 10, 284, 560,
     230},
};

struct Handles {
  HWND window = nullptr;
  HWND log = nullptr;
  HWND provider = nullptr;
  HWND width = nullptr;
  HWND camera = nullptr;
  HWND d3d = nullptr;
  HWND start = nullptr;
  HWND stop = nullptr;
  HFONT font = nullptr;
};

int selectionOf(HWND combo) {
  const LRESULT selection = SendMessageW(combo, CB_GETCURSEL, 0, 0);
  return selection == CB_ERR ? -1 : int(selection);
}

class Win32View : public LauncherView {
 public:
  explicit Win32View(Handles& h) : h_(h) {}

  void appendToPane(const std::wstring& text) override {
    if (!h_.log) return;
    const LRESULT length = SendMessageW(h_.log, WM_GETTEXTLENGTH, 0, 0);
    SendMessageW(h_.log, EM_SETSEL, WPARAM(length), LPARAM(length));
    SendMessageW(h_.log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  }
  void removePaneStart(size_t units) override {
    if (!h_.log) return;
    SendMessageW(h_.log, EM_SETSEL, 0, LPARAM(units));
    SendMessageW(h_.log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  }
  void setCameraRows(const std::vector<std::wstring>& rows, int selected) override {
    SendMessageW(h_.camera, CB_RESETCONTENT, 0, 0);
    for (const auto& row : rows) SendMessageW(h_.camera, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row.c_str()));
    if (selected >= 0) SendMessageW(h_.camera, CB_SETCURSEL, WPARAM(selected), 0);
  }
  void setProducerButtons(bool startEnabled, bool stopEnabled) override {
    EnableWindow(h_.start, startEnabled ? TRUE : FALSE);
    EnableWindow(h_.stop, stopEnabled ? TRUE : FALSE);
  }
  int providerSelection() override { return selectionOf(h_.provider); }
  std::wstring selectedWidthText() override {
    const int selection = selectionOf(h_.width);
    if (selection < 0) return {};
    const LRESULT length = SendMessageW(h_.width, CB_GETLBTEXTLEN, WPARAM(selection), 0);
    if (length == CB_ERR || length <= 0) return {};
    std::wstring text(size_t(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(h_.width, CB_GETLBTEXT, WPARAM(selection), reinterpret_cast<LPARAM>(text.data()));
    if (copied == CB_ERR) return {};
    text.resize(std::wcslen(text.c_str()));
    return text;
  }
  int cameraSelection() override { return selectionOf(h_.camera); }
  bool d3dCaptureChecked() override { return SendMessageW(h_.d3d, BM_GETCHECK, 0, 0) == BST_CHECKED; }
  bool postLine(const std::wstring& line) override {
    auto copy = std::make_unique<wchar_t[]>(line.size() + 1);
    std::wmemcpy(copy.get(), line.c_str(), line.size() + 1);
    if (!PostMessageW(h_.window, kMsgLogLine, 0, reinterpret_cast<LPARAM>(copy.get()))) return false;
    copy.release();  // the window procedure frees it
    return true;
  }
  bool postProducerExited() override { return PostMessageW(h_.window, kMsgProducerExited, 0, 0) != FALSE; }

 private:
  Handles& h_;
};

class Win32Producer : public ProducerProcess {
 public:
  Win32Producer(HANDLE process, HANDLE readEnd, DWORD id) : process_(process), readEnd_(readEnd), id_(id) {}
  ~Win32Producer() override {
    CloseHandle(readEnd_);
    CloseHandle(process_);
  }
  DWORD id() const override { return id_; }
  size_t read(char* buffer, size_t size) override {
    DWORD got = 0;
    if (!ReadFile(readEnd_, buffer, DWORD(size), &got, nullptr)) return 0;
    return got;
  }
  void waitForExit() override { WaitForSingleObject(process_, INFINITE); }
  void terminate() override { TerminateProcess(process_, 0); }

 private:
  HANDLE process_;
  HANDLE readEnd_;
  DWORD id_;
};

class Win32System : public LauncherSystem {
 public:
  bool fileExists(const std::filesystem::path& file) override {
    const DWORD attributes = GetFileAttributesW(file.wstring().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  bool isElevated() override { return isProcessElevated(); }
  std::vector<LauncherCamera> enumerateCameras() override { return enumerateLauncherCameras(); }
  HRESULT ensureVirtualCamera(const VcamRegistrationOptions& options, std::wstring* symbolicLink) override {
    return tesmira::ensureVirtualCamera(options, symbolicLink);
  }
  std::wstring lastFailureDetail() override { return tesmira::lastFailureDetail(); }
  HRESULT removeVirtualCamera(int32_t allUsers) override { return tesmira::removeVirtualCamera(allUsers); }
  HRESULT unregisterComServer() override { return tesmira::unregisterComServer(); }
  void setEnvironment(const wchar_t* name, const wchar_t* value) override { SetEnvironmentVariableW(name, value); }
  ProducerStart startProducer(const std::wstring& commandLine, const std::filesystem::path& folder) override {
    ProducerStart result;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
      result.pipeFailed = true;
      result.error = GetLastError();
      return result;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION info{};
    std::wstring line = commandLine;
    const std::wstring directory = folder.wstring();
    const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        directory.c_str(), &startup, &info);
    const DWORD error = GetLastError();
    CloseHandle(writeEnd);
    if (!started) {
      CloseHandle(readEnd);
      result.error = error;
      return result;
    }
    CloseHandle(info.hThread);
    result.process = std::make_unique<Win32Producer>(info.hProcess, readEnd, info.dwProcessId);
    return result;
  }
};

// One launcher window per process.
struct Launcher {
  Handles handles;
  Win32View view{handles};
  Win32System system;
  std::unique_ptr<LauncherController> controller;
};
Launcher* gLauncher = nullptr;

void createLauncherControls(HWND window, Handles& h) {
  h.font = CreateFontW(-14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
  for (const ControlSpec& c : kControls) {
    HWND control = CreateWindowExW(0, c.className, c.text, WS_CHILD | WS_VISIBLE | c.style, c.x, c.y, c.width,
                                   c.height, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), nullptr,
                                   nullptr);
    if (control && h.font) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(h.font), TRUE);
    switch (c.id) {
      case kIdLog: h.log = control; break;
      case kIdProvider: h.provider = control; break;
      case kIdMaxWidth: h.width = control; break;
      case kIdCamera: h.camera = control; break;
      case kIdD3dCapture: h.d3d = control; break;
      case kIdStart: h.start = control; break;
      case kIdStop: h.stop = control; break;
      default: break;
    }
  }
  // The default limit (32,767 characters) would silently stop the pane after a few
  // minutes of statistics lines; the controller keeps it within this cap instead.
  SendMessageW(h.log, EM_SETLIMITTEXT, WPARAM(kPaneCapUnits), 0);
  for (const wchar_t* item : {L"GPU (DirectML)", L"CPU"}) {
    SendMessageW(h.provider, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
  }
  SendMessageW(h.provider, CB_SETCURSEL, 0, 0);
  for (const wchar_t* item : {L"640", L"960", L"1280", L"1920"}) {
    SendMessageW(h.width, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
  }
  SendMessageW(h.width, CB_SETCURSEL, 2, 0);
  SendMessageW(h.d3d, BM_SETCHECK, BST_CHECKED, 0);
  EnableWindow(h.start, TRUE);
  EnableWindow(h.stop, FALSE);
}

// Lines the reader posted that the window will never append.
void freeQueuedLines(HWND window) {
  MSG message;
  while (PeekMessageW(&message, window, kMsgLogLine, kMsgLogLine, PM_REMOVE)) {
    delete[] reinterpret_cast<wchar_t*>(message.lParam);
  }
}

LRESULT handleMessage(Launcher& l, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  LauncherController& controller = *l.controller;
  switch (message) {
    case WM_CREATE:
      l.handles.window = hwnd;
      createLauncherControls(hwnd, l.handles);
      controller.onCreate();
      return 0;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kIdRegister:
        case kIdUnregister:
        case kIdRefresh:
        case kIdStart:
        case kIdStop:
          controller.onCommand(LOWORD(wParam));
          break;
        default:
          break;
      }
      return 0;
    case kMsgLogLine: {
      const std::unique_ptr<wchar_t[]> line(reinterpret_cast<wchar_t*>(lParam));
      if (line) controller.onLogLine(line.get());
      return 0;
    }
    case kMsgProducerExited:
      controller.onProducerExited();
      return 0;
    case WM_CLOSE:
      controller.onClose();
      freeQueuedLines(hwnd);
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      freeQueuedLines(hwnd);
      if (l.handles.font) DeleteObject(l.handles.font);
      l.handles = Handles{};
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

}  // namespace

std::vector<LauncherCamera> enumerateLauncherCameras() {
  std::vector<LauncherCamera> cameras;
  ComApartmentGuard apartment;
  if (FAILED(MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET))) return cameras;
  std::vector<Microsoft::WRL::ComPtr<IMFActivate>> devices;
  if (SUCCEEDED(enumerateVideoCaptureDevices(devices))) {
    for (size_t i = 0; i < devices.size(); ++i) {
      LauncherCamera camera;
      camera.index = uint32_t(i);
      camera.friendlyName = getAllocatedStringAttribute(devices[i].Get(), MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME);
      if (camera.friendlyName.empty()) camera.friendlyName = L"(unnamed camera)";
      camera.ownCamera = containsNoCase(camera.friendlyName, L"tesmira");
      cameras.push_back(std::move(camera));
    }
  }
  devices.clear();
  MFShutdown();
  return cameras;
}

LRESULT CALLBACK launcherWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!gLauncher || !gLauncher->controller) return DefWindowProcW(hwnd, message, wParam, lParam);
  // The one boundary no exception may cross: whatever a handler throws ends up in the pane.
  LRESULT result = 0;
  gLauncher->controller->guarded([&] { result = handleMessage(*gLauncher, hwnd, message, wParam, lParam); });
  return result;
}

int runLauncher(HINSTANCE instance) {
  Launcher launcher;
  launcher.controller = std::make_unique<LauncherController>(launcher.view, launcher.system, executableDirectory());
  gLauncher = &launcher;
  struct Reset {
    ~Reset() { gLauncher = nullptr; }
  } reset;

  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  WNDCLASSW windowClass{};
  windowClass.style = 0;
  windowClass.lpfnWndProc = launcherWindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  windowClass.lpszClassName = kWindowClassName;
  if (!RegisterClassW(&windowClass)) return 1;

  const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_VISIBLE;
  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRect(&frame, style, FALSE);
  HWND window = CreateWindowExW(0, kWindowClassName, kWindowTitle, style, CW_USEDEFAULT, CW_USEDEFAULT,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance,
                                nullptr);
  if (!window) return 1;
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);

  MSG message{};
  BOOL got;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
    if (got == -1) break;
    if (IsDialogMessageW(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return got == -1 ? 1 : int(message.wParam);
}

}  // namespace tesmira::launcher
