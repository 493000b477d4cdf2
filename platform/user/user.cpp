// USER on GTK 3: a top-level window is a GtkWindow whose client area is a GtkFixed,
// so child controls sit at exactly the pixels they were created with. One thread owns
// the windows (the one that created them); PostMessageW may come from any thread and
// wakes GLib's main context. Messages a control receives are handled here against a
// model (texts in UTF-16 units, selection, limit) that the GTK widget mirrors.
#include <gdk/gdk.h>
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "commctrl.h"
#include "core/strings.h"
#include "errhandlingapi.h"
#include "gdi/objects.h"
#include "tesmira/user_testing.h"
#include "winerror.h"
#include "winuser.h"

namespace tesmira::platform::user {
namespace {

// The frame AdjustWindowRect adds and CreateWindowExW takes off again.
constexpr int kBorder = 3;
constexpr int kCaption = 23;
constexpr int kMenuBar = 20;
// What an edit control accepts before EM_SETLIMITTEXT.
constexpr size_t kDefaultEditLimit = 32767;
constexpr size_t kLargestEditLimit = 0x7FFFFFFE;
// GTK's widgets draw taller than their text; a drop-down list shows one row.
constexpr int kComboHeight = 24;
constexpr const char* kEndMark = "tesmira-end";

enum class Kind { Top, PushButton, GroupBox, CheckBox, Static, Combo, Edit };

struct UserWindow {
  HWND hwnd = nullptr;
  Kind kind = Kind::Top;
  std::wstring className;
  WNDPROC proc = nullptr;
  HWND parent = nullptr;
  int id = 0;
  DWORD style = 0;
  RECT rect{};  // children: client pixels as created; top: the client area
  std::wstring text;
  std::u16string editText;
  size_t limit = kDefaultEditLimit;
  size_t selStart = 0, selEnd = 0;
  std::vector<std::wstring> items;
  int selection = -1;
  bool checked = false;
  bool enabled = true;
  bool visible = false;
  HFONT font = nullptr;
  std::shared_ptr<gdi::Font> fontInfo;
  GtkWidget* widget = nullptr;
  GtkWidget* fixed = nullptr;     // top: the client area
  GtkWidget* textView = nullptr;  // edit: the view inside the scrolled window
  GtkCssProvider* fontCss = nullptr;
  std::vector<HWND> children;
  int quiet = 0;  // changes made by messages, not by the user: no notifications
};

struct Class {
  WNDPROC proc = nullptr;
  HBRUSH background = nullptr;
};

struct State {
  std::mutex mutex;  // windows (the table) and the queue
  std::map<HWND, std::shared_ptr<UserWindow>> windows;
  std::deque<MSG> queue;
  bool quitPosted = false;
  int quitCode = 0;
  uintptr_t nextHandle = 0x10010;
  std::map<std::wstring, Class> classes;  // lower-case names
  std::atomic<bool> dirty{false};
};

State& state() {
  static State* s = new State;  // lives for the process; windows may be destroyed late
  return *s;
}

std::string utf8(const std::wstring& text) { return toUtf8(text); }

std::shared_ptr<UserWindow> find(HWND hwnd) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.windows.find(hwnd);
  return it == s.windows.end() ? nullptr : it->second;
}

void changed() { state().dirty = true; }

bool gtkReady() {
  static int ready = -1;
  if (ready < 0) {
    // No accessibility bus here: its bridge would hold a D-Bus connection for nothing.
    g_setenv("NO_AT_BRIDGE", "1", FALSE);
    ready = gtk_init_check(nullptr, nullptr) ? 1 : 0;
  }
  if (ready == 1) {
    static bool styled = false;
    if (!styled) {
      styled = true;
      // Controls as compact as Windows draws them, on the button face colour.
      GtkCssProvider* css = gtk_css_provider_new();
      gtk_css_provider_load_from_data(css,
                                      "window { background-color: #f0f0f0; }"
                                      "button { padding: 0 6px; min-height: 0; min-width: 0; }"
                                      "combobox button { padding: 0 4px; }"
                                      "checkbutton { padding: 0; min-height: 0; }"
                                      "frame > border { border-color: #c8c8c8; }"
                                      "textview text { background-color: #ffffff; }",
                                      -1, nullptr);
      gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                                GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
      g_object_unref(css);
    }
  }
  return ready == 1;
}

LRESULT callProc(const std::shared_ptr<UserWindow>& w, UINT msg, WPARAM wp, LPARAM lp) {
  return w->proc ? w->proc(w->hwnd, msg, wp, lp) : 0;
}

void notifyParent(const std::shared_ptr<UserWindow>& w, WORD code) {
  if (w->quiet) return;
  if (auto parent = find(w->parent)) {
    callProc(parent, WM_COMMAND, MAKEWPARAM(WORD(w->id), code), reinterpret_cast<LPARAM>(w->hwnd));
  }
}

// While held, what the control's widget reports comes from a message, not from the
// user: the parent hears nothing of it.
class Quiet {
 public:
  explicit Quiet(UserWindow& w) : w_(w) { ++w_.quiet; }
  ~Quiet() { --w_.quiet; }
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;

 private:
  UserWindow& w_;
};

// GTK callbacks carry the handle, never the object: the window may be gone by then.
gpointer handleData(HWND hwnd) { return reinterpret_cast<gpointer>(hwnd); }
HWND handleOf(gpointer data) { return reinterpret_cast<HWND>(data); }

void onClicked(GtkButton*, gpointer data) {
  if (auto w = find(handleOf(data))) notifyParent(w, BN_CLICKED);
}

void onToggled(GtkToggleButton* button, gpointer data) {
  auto w = find(handleOf(data));
  if (!w) return;
  w->checked = gtk_toggle_button_get_active(button);
  changed();
  notifyParent(w, BN_CLICKED);
}

void onComboChanged(GtkComboBox* combo, gpointer data) {
  auto w = find(handleOf(data));
  if (!w) return;
  w->selection = gtk_combo_box_get_active(combo);
  changed();
  notifyParent(w, CBN_SELCHANGE);
}

gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
  if (auto w = find(handleOf(data))) callProc(w, WM_CLOSE, 0, 0);
  return TRUE;  // the window procedure decides
}

// Alt+F4 closes, as the system menu's Close would.
gboolean onKey(GtkWidget*, GdkEventKey* event, gpointer data) {
  if (event->keyval == GDK_KEY_F4 && (event->state & GDK_MOD1_MASK)) {
    if (auto w = find(handleOf(data))) callProc(w, WM_CLOSE, 0, 0);
    return TRUE;
  }
  return FALSE;
}

// Character offset in the GTK buffer of a UTF-16 offset in the model.
int bufferOffset(const std::u16string& text, size_t units) {
  int chars = 0;
  for (size_t i = 0; i < units && i < text.size(); ++i) {
    if (text[i] < 0xDC00 || text[i] > 0xDFFF) ++chars;
  }
  return chars;
}

std::string utf8(const std::u16string& text) { return toUtf8(fromUtf16(text)); }

void editReplace(UserWindow& w, size_t from, size_t to, const std::u16string& insert) {
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(w.textView));
  GtkTextIter start, end;
  gtk_text_buffer_get_iter_at_offset(buffer, &start, bufferOffset(w.editText, from));
  gtk_text_buffer_get_iter_at_offset(buffer, &end, bufferOffset(w.editText, to));
  {
    const Quiet quiet(w);
    if (from != to) gtk_text_buffer_delete(buffer, &start, &end);
    if (!insert.empty()) {
      const std::string bytes = utf8(insert);
      gtk_text_buffer_insert(buffer, &start, bytes.data(), int(bytes.size()));
    }
  }
  w.editText.replace(from, to - from, insert);
  w.selStart = w.selEnd = from + insert.size();
  // Moving GTK's cursor would lay the line out at once (seconds for a long one); a queued
  // scroll to the end lays out only what gets drawn.
  if (w.style & ES_AUTOVSCROLL) {
    gtk_text_view_scroll_to_mark(GTK_TEXT_VIEW(w.textView), gtk_text_buffer_get_mark(buffer, kEndMark), 0.0, FALSE,
                                 0.0, 0.0);
  }
  changed();
}

void applyFont(UserWindow& w, HFONT font) {
  w.font = font;
  w.fontInfo = gdi::lookupFont(font);
  if (!w.fontInfo || !w.widget) return;
  // Every face is DejaVu Sans here, as GDI draws it; a negative height is the character height.
  const int pixels = std::max(1, std::abs(w.fontInfo->height));
  const int weight = w.fontInfo->weight >= FW_SEMIBOLD ? 700 : 400;
  const std::string rule = "* { font-family: \"DejaVu Sans\"; font-size: " + std::to_string(pixels) +
                           "px; font-weight: " + std::to_string(weight) + "; }";
  if (!w.fontCss) w.fontCss = gtk_css_provider_new();
  gtk_css_provider_load_from_data(w.fontCss, rule.c_str(), -1, nullptr);
  for (GtkWidget* target : {w.widget, w.textView}) {
    if (!target) continue;
    gtk_style_context_add_provider(gtk_widget_get_style_context(target), GTK_STYLE_PROVIDER(w.fontCss),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
  }
  if (GTK_IS_BIN(w.widget)) {
    if (GtkWidget* inner = gtk_bin_get_child(GTK_BIN(w.widget))) {
      gtk_style_context_add_provider(gtk_widget_get_style_context(inner), GTK_STYLE_PROVIDER(w.fontCss),
                                     GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
    }
  }
  if (w.kind == Kind::GroupBox) {
    if (GtkWidget* label = gtk_frame_get_label_widget(GTK_FRAME(w.widget))) {
      gtk_style_context_add_provider(gtk_widget_get_style_context(label), GTK_STYLE_PROVIDER(w.fontCss),
                                     GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
    }
  }
}

LRESULT copyText(const std::wstring& text, WPARAM capacity, LPARAM buffer) {
  auto* out = reinterpret_cast<wchar_t*>(buffer);
  if (!out || capacity == 0) return 0;
  const size_t n = std::min(text.size(), size_t(capacity) - 1);
  std::wmemcpy(out, text.data(), n);
  out[n] = L'\0';
  return LRESULT(n);
}

std::wstring textOf(const UserWindow& w) { return w.kind == Kind::Edit ? fromUtf16(w.editText) : w.text; }

// What every control answers the same way. Labels live in `text`; an edit control
// answers its text messages itself.
LRESULT anyControlMessage(UserWindow& w, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_SETFONT:
      applyFont(w, reinterpret_cast<HFONT>(wParam));
      changed();
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(w.font);
    case WM_GETTEXTLENGTH:
      return LRESULT(toUtf16(w.text).size());
    case WM_GETTEXT:
      return copyText(w.text, wParam, lParam);
    case WM_SETTEXT: {
      const auto* text = reinterpret_cast<const wchar_t*>(lParam);
      w.text = text ? text : L"";
      const std::string label = utf8(w.text);
      if (GTK_IS_BUTTON(w.widget)) gtk_button_set_label(GTK_BUTTON(w.widget), label.c_str());
      if (GTK_IS_LABEL(w.widget)) gtk_label_set_text(GTK_LABEL(w.widget), label.c_str());
      if (GTK_IS_FRAME(w.widget)) gtk_frame_set_label(GTK_FRAME(w.widget), label.c_str());
      changed();
      return TRUE;
    }
    default:
      return 0;
  }
}

LRESULT editMessage(UserWindow& w, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_GETTEXTLENGTH:
      return LRESULT(w.editText.size());
    case WM_GETTEXT:
      return copyText(fromUtf16(w.editText), wParam, lParam);
    case WM_SETTEXT: {
      const auto* text = reinterpret_cast<const wchar_t*>(lParam);
      editReplace(w, 0, w.editText.size(), toUtf16(text ? text : L""));
      return TRUE;
    }
    case EM_SETSEL: {
      const size_t length = w.editText.size();
      const auto start = static_cast<int64_t>(static_cast<int32_t>(wParam));
      const auto end = static_cast<int64_t>(static_cast<int32_t>(lParam));
      if (start < 0) {
        w.selStart = w.selEnd = std::min(w.selEnd, length);  // -1 removes the selection
        return 0;
      }
      size_t a = std::min(size_t(start), length);
      size_t b = end < 0 ? length : std::min(size_t(end), length);
      if (a > b) std::swap(a, b);
      w.selStart = a;
      w.selEnd = b;
      return 0;
    }
    case EM_REPLACESEL: {
      const auto* text = reinterpret_cast<const wchar_t*>(lParam);
      std::u16string insert = toUtf16(text ? text : L"");
      const size_t from = std::min(w.selStart, w.editText.size());
      const size_t to = std::min(std::max(w.selEnd, from), w.editText.size());
      const size_t kept = w.editText.size() - (to - from);
      // Past the limit only what fits goes in, as Windows does.
      const size_t room = kept >= w.limit ? 0 : w.limit - kept;
      if (insert.size() > room) {
        size_t cut = room;
        if (cut > 0 && insert[cut - 1] >= 0xD800 && insert[cut - 1] <= 0xDBFF) --cut;
        insert.resize(cut);
      }
      editReplace(w, from, to, insert);
      return 0;
    }
    case EM_SETLIMITTEXT:
      w.limit = wParam == 0 ? kLargestEditLimit : std::min(size_t(wParam), kLargestEditLimit);
      return 0;
    case EM_GETLIMITTEXT:
      return LRESULT(w.limit);
    default:
      return anyControlMessage(w, msg, wParam, lParam);
  }
}

LRESULT comboMessage(UserWindow& w, UINT msg, WPARAM wParam, LPARAM lParam) {
  GtkComboBoxText* combo = GTK_COMBO_BOX_TEXT(w.widget);
  const auto index = static_cast<int64_t>(static_cast<intptr_t>(wParam));
  const bool valid = index >= 0 && size_t(index) < w.items.size();
  switch (msg) {
    case CB_ADDSTRING: {
      const auto* text = reinterpret_cast<const wchar_t*>(lParam);
      w.items.push_back(text ? text : L"");
      const Quiet quiet(w);
      gtk_combo_box_text_append_text(combo, utf8(w.items.back()).c_str());
      changed();
      return LRESULT(w.items.size() - 1);
    }
    case CB_RESETCONTENT: {
      const Quiet quiet(w);
      gtk_combo_box_text_remove_all(combo);
      w.items.clear();
      w.selection = -1;
      changed();
      return CB_OKAY;
    }
    case CB_GETCOUNT:
      return LRESULT(w.items.size());
    case CB_SETCURSEL: {
      w.selection = valid ? int(index) : -1;
      const Quiet quiet(w);
      gtk_combo_box_set_active(GTK_COMBO_BOX(combo), w.selection);
      changed();
      return valid ? LRESULT(index) : CB_ERR;
    }
    case CB_GETCURSEL:
      return w.selection >= 0 ? w.selection : CB_ERR;
    case CB_GETLBTEXTLEN:
      return valid ? LRESULT(toUtf16(w.items[size_t(index)]).size()) : CB_ERR;
    case CB_GETLBTEXT: {
      if (!valid || !lParam) return CB_ERR;
      // The caller's buffer holds CB_GETLBTEXTLEN + 1 characters.
      const std::wstring& item = w.items[size_t(index)];
      auto* out = reinterpret_cast<wchar_t*>(lParam);
      std::wmemcpy(out, item.data(), item.size());
      out[item.size()] = L'\0';
      return LRESULT(toUtf16(item).size());
    }
    default:
      return anyControlMessage(w, msg, wParam, lParam);
  }
}

LRESULT checkBoxMessage(UserWindow& w, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case BM_GETCHECK:
      return w.checked ? BST_CHECKED : BST_UNCHECKED;
    case BM_SETCHECK: {
      w.checked = wParam == BST_CHECKED;
      const Quiet quiet(w);
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w.widget), w.checked);
      changed();
      return 0;
    }
    default:
      return anyControlMessage(w, msg, wParam, lParam);
  }
}

// Push buttons, group boxes and static texts: never checked.
LRESULT labelMessage(UserWindow& w, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == BM_GETCHECK) return BST_UNCHECKED;
  return anyControlMessage(w, msg, wParam, lParam);
}

LRESULT controlMessage(const std::shared_ptr<UserWindow>& window, UINT msg, WPARAM wParam, LPARAM lParam) {
  UserWindow& w = *window;
  switch (w.kind) {
    case Kind::Edit: return editMessage(w, msg, wParam, lParam);
    case Kind::Combo: return comboMessage(w, msg, wParam, lParam);
    case Kind::CheckBox: return checkBoxMessage(w, msg, wParam, lParam);
    case Kind::PushButton:
    case Kind::GroupBox:
    case Kind::Static:
    case Kind::Top: return labelMessage(w, msg, wParam, lParam);
  }
  return 0;
}

void setVisible(UserWindow& w, bool visible) {
  w.visible = visible;
  if (!w.widget) return;
  if (visible) {
    gtk_widget_show_all(w.widget);
  } else {
    gtk_widget_hide(w.widget);
  }
  changed();
}

bool kindFor(const std::wstring& lowerClass, DWORD style, Kind& kind) {
  if (lowerClass == L"button") {
    switch (style & BS_TYPEMASK) {
      case BS_PUSHBUTTON:
      case BS_DEFPUSHBUTTON: kind = Kind::PushButton; return true;
      case BS_GROUPBOX: kind = Kind::GroupBox; return true;
      case BS_AUTOCHECKBOX:
      case BS_CHECKBOX: kind = Kind::CheckBox; return true;
      default: return false;
    }
  }
  if (lowerClass == L"static") kind = Kind::Static;
  else if (lowerClass == L"combobox") kind = Kind::Combo;
  else if (lowerClass == L"edit") kind = Kind::Edit;
  else return false;
  return true;
}

GtkWidget* makeControl(UserWindow& w) {
  const std::string label = utf8(w.text);
  switch (w.kind) {
    case Kind::PushButton: {
      GtkWidget* b = gtk_button_new_with_label(label.c_str());
      g_signal_connect(b, "clicked", G_CALLBACK(onClicked), handleData(w.hwnd));
      return b;
    }
    case Kind::CheckBox: {
      GtkWidget* b = gtk_check_button_new_with_label(label.c_str());
      g_signal_connect(b, "toggled", G_CALLBACK(onToggled), handleData(w.hwnd));
      return b;
    }
    case Kind::GroupBox:
      return gtk_frame_new(label.c_str());
    case Kind::Static: {
      GtkWidget* l = gtk_label_new(label.c_str());
      gtk_label_set_xalign(GTK_LABEL(l), 0.0f);
      gtk_label_set_yalign(GTK_LABEL(l), 0.0f);
      return l;
    }
    case Kind::Combo: {
      GtkWidget* c = gtk_combo_box_text_new();
      g_signal_connect(c, "changed", G_CALLBACK(onComboChanged), handleData(w.hwnd));
      return c;
    }
    case Kind::Edit: {
      GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
      gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled),
                                     (w.style & WS_HSCROLL) ? GTK_POLICY_AUTOMATIC : GTK_POLICY_NEVER,
                                     (w.style & WS_VSCROLL) ? GTK_POLICY_ALWAYS : GTK_POLICY_NEVER);
      if (w.style & WS_BORDER) gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled), GTK_SHADOW_IN);
      w.textView = gtk_text_view_new();
      gtk_text_view_set_editable(GTK_TEXT_VIEW(w.textView), !(w.style & ES_READONLY));
      gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(w.textView), !(w.style & ES_READONLY));
      if ((w.style & ES_MULTILINE) && !(w.style & ES_AUTOHSCROLL)) {
        gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(w.textView), GTK_WRAP_WORD_CHAR);
      }
      gtk_container_add(GTK_CONTAINER(scrolled), w.textView);
      GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(w.textView));
      GtkTextIter end;
      gtk_text_buffer_get_end_iter(buffer, &end);
      gtk_text_buffer_create_mark(buffer, kEndMark, &end, FALSE);  // stays at the end
      if (!w.text.empty()) w.editText = toUtf16(w.text);
      if (!w.editText.empty()) {
        const std::string bytes = utf8(w.editText);
        gtk_text_buffer_set_text(buffer, bytes.data(), int(bytes.size()));
      }
      w.text.clear();
      return scrolled;
    }
    case Kind::Top:
      break;
  }
  return nullptr;
}

HWND newHandle() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto h = reinterpret_cast<HWND>(s.nextHandle);
  s.nextHandle += 4;
  return h;
}

void publish(const std::shared_ptr<UserWindow>& w) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.windows[w->hwnd] = w;
}

// Forgets the window and its children; what was queued for them is dropped.
void forget(const std::shared_ptr<UserWindow>& w) {
  State& s = state();
  std::vector<std::shared_ptr<UserWindow>> gone{w};
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (HWND child : w->children) {
      if (auto it = s.windows.find(child); it != s.windows.end()) gone.push_back(it->second);
    }
    for (const auto& g : gone) s.windows.erase(g->hwnd);
    std::erase_if(s.queue, [&](const MSG& m) {
      return std::any_of(gone.begin(), gone.end(), [&](const auto& g) { return g->hwnd == m.hwnd; });
    });
  }
  for (const auto& g : gone) {
    ++g->quiet;
    if (g->fontCss) g_object_unref(g->fontCss);
    g->fontCss = nullptr;
  }
  changed();
}

bool matches(const MSG& m, HWND hwnd, UINT low, UINT high) {
  if (hwnd && m.hwnd != hwnd) return false;
  if (low == 0 && high == 0) return true;
  return m.message >= low && m.message <= high;
}

bool take(MSG* out, HWND hwnd, UINT low, UINT high, bool remove) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto it = s.queue.begin(); it != s.queue.end(); ++it) {
    if (!matches(*it, hwnd, low, high)) continue;
    *out = *it;
    if (remove) s.queue.erase(it);
    return true;
  }
  // The quit message comes once nothing else is waiting.
  if (s.quitPosted && !hwnd && ((low == 0 && high == 0) || (WM_QUIT >= low && WM_QUIT <= high))) {
    *out = MSG{};
    out->message = WM_QUIT;
    out->wParam = WPARAM(s.quitCode);
    if (remove) s.quitPosted = false;
    return true;
  }
  return false;
}

nlohmann::json reportJson() {
  nlohmann::json windows = nlohmann::json::array();
  for (const auto& w : usertesting::describeWindows()) {
    nlohmann::json controls = nlohmann::json::array();
    for (const auto& c : w.controls) {
      nlohmann::json items = nlohmann::json::array();
      for (const auto& item : c.items) items.push_back(toUtf8(item));
      controls.push_back({{"id", c.id},
                          {"class", toUtf8(c.className)},
                          {"style", c.style},
                          {"text", toUtf8(c.text)},
                          {"x", c.x},
                          {"y", c.y},
                          {"width", c.width},
                          {"height", c.height},
                          {"enabled", c.enabled},
                          {"checked", c.checked},
                          {"visible", c.visible},
                          {"items", items},
                          {"selection", c.selection},
                          {"fontFace", toUtf8(c.fontFace)},
                          {"fontHeight", c.fontHeight}});
    }
    windows.push_back({{"class", toUtf8(w.className)},
                       {"title", toUtf8(w.title)},
                       {"clientWidth", w.clientWidth},
                       {"clientHeight", w.clientHeight},
                       {"nativeId", w.nativeId},
                       {"controls", controls}});
  }
  return {{"windows", windows}};
}

// Written whole and renamed into place, so a reader never sees half of it.
void writeReport() {
  if (!state().dirty.exchange(false)) return;
  const char* file = std::getenv("TESMIRA_USER_REPORT");
  if (!file || !*file) return;
  const std::filesystem::path target(file);
  const std::filesystem::path temp = target.string() + ".partial";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << reportJson().dump();
    if (!out) return;
  }
  std::error_code ec;
  std::filesystem::rename(temp, target, ec);
}

}  // namespace
}  // namespace tesmira::platform::user

namespace tesmira::platform::usertesting {

std::vector<WindowState> describeWindows() {
  using namespace tesmira::platform::user;
  std::vector<std::shared_ptr<UserWindow>> all;
  {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const auto& [h, w] : s.windows) all.push_back(w);
  }
  std::vector<WindowState> out;
  for (const auto& w : all) {
    if (w->kind != Kind::Top) continue;
    WindowState ws;
    ws.className = w->className;
    ws.title = w->text;
    ws.clientWidth = w->rect.right - w->rect.left;
    ws.clientHeight = w->rect.bottom - w->rect.top;
#ifdef GDK_WINDOWING_X11
    if (GdkWindow* native = w->widget ? gtk_widget_get_window(w->widget) : nullptr; native && GDK_IS_X11_WINDOW(native)) {
      ws.nativeId = gdk_x11_window_get_xid(native);
    }
#endif
    for (HWND child : w->children) {
      auto c = find(child);
      if (!c) continue;
      ControlState cs;
      cs.id = c->id;
      cs.className = c->className;
      cs.style = c->style;
      cs.text = textOf(*c);
      cs.x = c->rect.left;
      cs.y = c->rect.top;
      cs.width = c->rect.right - c->rect.left;
      cs.height = c->rect.bottom - c->rect.top;
      cs.enabled = c->enabled;
      cs.checked = c->checked;
      cs.visible = c->visible;
      cs.items = c->items;
      cs.selection = c->selection;
      if (c->fontInfo) {
        cs.fontFace = c->fontInfo->face;
        cs.fontHeight = c->fontInfo->height;
      }
      ws.controls.push_back(std::move(cs));
    }
    out.push_back(std::move(ws));
  }
  return out;
}

}  // namespace tesmira::platform::usertesting

using namespace tesmira::platform;
using namespace tesmira::platform::user;

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce) {
  if (!picce || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

HCURSOR WINAPI LoadCursorW(HINSTANCE, LPCWSTR name) {
  // Only the system's shared cursors; GTK draws the arrow.
  if (reinterpret_cast<ULONG_PTR>(name) >> 16) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return reinterpret_cast<HCURSOR>(reinterpret_cast<ULONG_PTR>(name));
}

ATOM WINAPI RegisterClassW(const WNDCLASSW* wc) {
  if (!wc || !wc->lpszClassName || !wc->lpfnWndProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!gtkReady()) {
    SetLastError(ERROR_DEVICE_NOT_AVAILABLE);  // no display to draw on
    return 0;
  }
  State& s = state();
  const std::wstring name = lowerCase(wc->lpszClassName);
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.classes.count(name)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  s.classes[name] = Class{wc->lpfnWndProc, wc->hbrBackground};
  return ATOM(0xC000 + s.classes.size());
}

BOOL WINAPI AdjustWindowRect(LPRECT rect, DWORD style, BOOL menu) {
  if (!rect) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int border = 0, caption = 0;
  if ((style & WS_CAPTION) == WS_CAPTION) {
    border = kBorder;
    caption = kCaption;
  } else if (style & (WS_BORDER | WS_DLGFRAME | WS_THICKFRAME)) {
    border = 1;
  }
  rect->left -= border;
  rect->right += border;
  rect->top -= border + caption + (menu ? kMenuBar : 0);
  rect->bottom += border;
  return TRUE;
}

HWND WINAPI CreateWindowExW(DWORD, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width,
                            int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
  if (!className) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!gtkReady()) {
    SetLastError(ERROR_DEVICE_NOT_AVAILABLE);
    return nullptr;
  }
  auto w = std::make_shared<UserWindow>();
  w->className = className;
  w->style = style;
  w->text = windowName ? windowName : L"";
  const std::wstring lower = lowerCase(className);
  std::shared_ptr<UserWindow> parentWindow;
  if (style & WS_CHILD) {
    parentWindow = find(parent);
    if (!parentWindow || !parentWindow->fixed) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    if (!kindFor(lower, style, w->kind)) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    w->parent = parent;
    w->id = int(reinterpret_cast<intptr_t>(menu));
    w->rect = RECT{x, y, x + width, y + height};
  } else {
    State& s = state();
    Class cls;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      auto it = s.classes.find(lower);
      if (it == s.classes.end()) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
      }
      cls = it->second;
    }
    w->kind = Kind::Top;
    w->proc = cls.proc;
    RECT frame{0, 0, 0, 0};
    AdjustWindowRect(&frame, style, menu != nullptr);
    const int clientWidth = width == CW_USEDEFAULT ? 640 : std::max(0, width - (frame.right - frame.left));
    const int clientHeight = height == CW_USEDEFAULT ? 480 : std::max(0, height - (frame.bottom - frame.top));
    w->rect = RECT{0, 0, clientWidth, clientHeight};
  }
  w->hwnd = newHandle();

  if (w->kind == Kind::Top) {
    w->widget = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(w->widget), utf8(w->text).c_str());
    gtk_window_set_resizable(GTK_WINDOW(w->widget), (style & WS_THICKFRAME) != 0);
    if (x != CW_USEDEFAULT) gtk_window_move(GTK_WINDOW(w->widget), x, y);
    w->fixed = gtk_fixed_new();
    gtk_widget_set_size_request(w->fixed, w->rect.right, w->rect.bottom);
    gtk_container_add(GTK_CONTAINER(w->widget), w->fixed);
    gtk_widget_show(w->fixed);
    g_signal_connect(w->widget, "delete-event", G_CALLBACK(onDelete), handleData(w->hwnd));
    g_signal_connect(w->widget, "key-press-event", G_CALLBACK(onKey), handleData(w->hwnd));
  } else {
    w->widget = makeControl(*w);
    const int shownHeight = w->kind == Kind::Combo ? std::min(height, kComboHeight) : height;
    gtk_widget_set_size_request(w->widget, width, shownHeight);
    gtk_fixed_put(GTK_FIXED(parentWindow->fixed), w->widget, x, y);
    parentWindow->children.push_back(w->hwnd);
    if (style & WS_DISABLED) {
      w->enabled = false;
      gtk_widget_set_sensitive(w->widget, FALSE);
    }
  }
  publish(w);
  changed();

  if (w->kind == Kind::Top) {
    CREATESTRUCTW create{};
    create.lpCreateParams = param;
    create.hInstance = instance;
    create.hMenu = menu;
    create.hwndParent = parent;
    create.cx = width;
    create.cy = height;
    create.x = x;
    create.y = y;
    create.style = LONG(style);
    create.lpszName = windowName;
    create.lpszClass = className;
    if (callProc(w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
      DestroyWindow(w->hwnd);
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
  }
  if (style & WS_VISIBLE) setVisible(*w, true);
  return w->hwnd;
}

BOOL WINAPI ShowWindow(HWND hwnd, int command) {
  auto w = find(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  const bool was = w->visible;
  if (command == SW_HIDE) {
    setVisible(*w, false);
  } else {
    w->visible = true;
    gtk_widget_show(w->widget);
    changed();
  }
  return was ? TRUE : FALSE;
}

BOOL WINAPI UpdateWindow(HWND hwnd) {
  if (!find(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;  // GTK paints from its own loop
}

BOOL WINAPI EnableWindow(HWND hwnd, BOOL enable) {
  auto w = find(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  const bool wasDisabled = !w->enabled;
  w->enabled = enable != FALSE;
  gtk_widget_set_sensitive(w->widget, w->enabled);
  changed();
  return wasDisabled ? TRUE : FALSE;
}

BOOL WINAPI DestroyWindow(HWND hwnd) {
  auto w = find(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->kind == Kind::Top) callProc(w, WM_DESTROY, 0, 0);
  forget(w);
  if (auto parent = find(w->parent)) {
    std::erase(parent->children, hwnd);
  }
  if (w->widget) gtk_widget_destroy(w->widget);
  w->widget = w->fixed = w->textView = nullptr;
  return TRUE;
}

LRESULT WINAPI DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_GETTEXTLENGTH:
    case WM_GETTEXT:
    case WM_SETTEXT:
      if (auto w = find(hwnd)) {
        if (msg == WM_GETTEXTLENGTH) return LRESULT(toUtf16(w->text).size());
        if (msg == WM_GETTEXT) return copyText(w->text, wParam, lParam);
        const auto* text = reinterpret_cast<const wchar_t*>(lParam);
        w->text = text ? text : L"";
        if (w->widget) gtk_window_set_title(GTK_WINDOW(w->widget), utf8(w->text).c_str());
        changed();
        return TRUE;
      }
      return 0;
    default:
      return 0;
  }
}

LRESULT WINAPI SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto w = find(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->kind == Kind::Top) return callProc(w, msg, wParam, lParam);
  return controlMessage(w, msg, wParam, lParam);
}

BOOL WINAPI PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (hwnd && !s.windows.count(hwnd)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    MSG m{};
    m.hwnd = hwnd;
    m.message = msg;
    m.wParam = wParam;
    m.lParam = lParam;
    s.queue.push_back(m);
  }
  g_main_context_wakeup(nullptr);
  return TRUE;
}

void WINAPI PostQuitMessage(int exitCode) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.quitPosted = true;
    s.quitCode = exitCode;
  }
  g_main_context_wakeup(nullptr);
}

BOOL WINAPI PeekMessageW(LPMSG msg, HWND hwnd, UINT low, UINT high, UINT remove) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return take(msg, hwnd, low, high, (remove & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL WINAPI GetMessageW(LPMSG msg, HWND hwnd, UINT low, UINT high) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (!gtkReady()) {
    SetLastError(ERROR_DEVICE_NOT_AVAILABLE);
    return -1;
  }
  for (;;) {
    // Whatever GTK has ready first (clicks arrive as sent messages), then the queue.
    for (int i = 0; i < 64 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
    if (take(msg, hwnd, low, high, true)) return msg->message == WM_QUIT ? FALSE : TRUE;
    writeReport();
    g_main_context_iteration(nullptr, TRUE);
  }
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

LRESULT WINAPI DispatchMessageW(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  auto w = find(msg->hwnd);
  if (!w) return 0;  // the window has gone: the message goes with it
  if (w->kind == Kind::Top) return callProc(w, msg->message, msg->wParam, msg->lParam);
  return controlMessage(w, msg->message, msg->wParam, msg->lParam);
}

BOOL WINAPI IsDialogMessageW(HWND, LPMSG) {
  return FALSE;  // GTK moves the focus with Tab itself
}
