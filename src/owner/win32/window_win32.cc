// The window layer on Windows: each Window is a real top-level window with
// real child controls, drawn from the layout table.
//
// The window is made on the thread that constructs the Window (the host's
// thread that called the settings entry, whose message loop serves it);
// its clicks arrive there as WM_COMMAND and run their handlers there. The
// other methods may be called from any thread: they send the controls the
// messages a person's actions cause (WM_SETTEXT, BM_SETCHECK, WM_CLOSE),
// which the window's thread answers; from another thread they wait a
// limited time, so a window thread that never answers cannot hang them.
//
// Texts are GBK inside and UTF-16 in the controls (code page 936).
#include <windows.h>
#undef CreateDirectory  // a method of Platform, not the Windows call

#include <cwchar>

#include "owner/window.h"
#include "platform/win32/wide_text.h"

namespace lanfeng {
namespace {

// How long a call from another thread waits for the window's thread.
constexpr UINT kCrossThreadWaitMs = 5000;

// The window property that marks a window of this plugin and its layout.
std::wstring PropertyName(const WindowLayout& layout) {
  return std::wstring(kNativeWindowProperty) + WideText(layout.name);
}

HMODULE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

// Sends a message to a window of any thread of this process. On the
// window's own thread it is a direct call; from another it waits at most
// kCrossThreadWaitMs for the window's thread, serving messages sent to this
// thread meanwhile. False when the window did not answer.
bool Send(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result = nullptr) {
  LRESULT answer = 0;
  if (::GetWindowThreadProcessId(window, nullptr) == ::GetCurrentThreadId()) {
    answer = ::SendMessageW(window, message, wparam, lparam);
  } else {
    DWORD_PTR value = 0;
    if (!::SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                               kCrossThreadWaitMs, &value)) {
      return false;
    }
    answer = static_cast<LRESULT>(value);
  }
  if (result != nullptr) *result = answer;
  return true;
}

// The GUI font: the first CJK face of this system, at 9 points, or the
// stock GUI font where none is installed.
int CALLBACK NoteFontFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool FontInstalled(HDC dc, const wchar_t* face) {
  LOGFONTW font = {};
  font.lfCharSet = DEFAULT_CHARSET;
  std::wcsncpy(font.lfFaceName, face, LF_FACESIZE - 1);
  bool found = false;
  ::EnumFontFamiliesExW(dc, &font, NoteFontFound, reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

HFONT MakeGuiFont(bool* owned) {
  *owned = false;
  const wchar_t* faces[] = {L"SimSun", L"Microsoft YaHei", L"WenQuanYi Micro Hei",
                            L"Noto Sans CJK SC", L"Noto Sans SC"};
  HDC screen = ::GetDC(nullptr);
  HFONT font = nullptr;
  if (screen != nullptr) {
    const int height = -::MulDiv(9, ::GetDeviceCaps(screen, LOGPIXELSY), 72);
    for (const wchar_t* face : faces) {
      if (!FontInstalled(screen, face)) continue;
      font = ::CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                           DEFAULT_PITCH | FF_DONTCARE, face);
      if (font != nullptr) break;
    }
    ::ReleaseDC(nullptr, screen);
  }
  if (font != nullptr) {
    *owned = true;
    return font;
  }
  return static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
}

// The window class and the font, made with the first window of a load and
// given back when the library is unloaded (or, after that, when its last
// window goes), so that a later load of the library registers anew.
struct SharedResources {
  std::mutex mu;
  bool registered = false;
  bool unloading = false;
  int windows = 0;  // real windows of the class that exist
  HFONT font = nullptr;
  bool font_owned = false;

  void FreeIfUnused() {
    if (!unloading || windows > 0) return;
    if (registered && ::UnregisterClassW(kNativeWindowClass, ThisModule())) registered = false;
    if (font_owned && font != nullptr) ::DeleteObject(font);
    font = nullptr;
    font_owned = false;
  }
};

SharedResources resources;

// Frees the shared resources when the library is unloaded.
struct UnloadResources {
  ~UnloadResources() {
    std::lock_guard<std::mutex> lock(resources.mu);
    resources.unloading = true;
    resources.FreeIfUnused();
  }
} unload_resources;

// The opening number of the next window.
std::atomic<uintptr_t> next_window_number{1};

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The window's style: a caption with the system menu (its close button),
// and the minimize button; not resizable, as the layout is fixed.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = WS_EX_APPWINDOW;

}  // namespace

// What the window procedure does with a Window: it is the one place that
// touches the Window's native side besides the Window's own methods.
class NativeWindow {
 public:
  // Registers the class (once per load) and counts a window to come; the
  // font for its controls, or null when the class cannot be registered.
  static HFONT Acquire() {
    std::lock_guard<std::mutex> lock(resources.mu);
    if (!resources.registered) {
      WNDCLASSEXW type = {};
      type.cbSize = sizeof type;
      type.lpfnWndProc = WindowProcedure;
      type.hInstance = ThisModule();
      type.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
      type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
      type.lpszClassName = kNativeWindowClass;
      // A class left by an earlier load of the library at the same address
      // (its window outlived that load on an unresponsive thread) has this
      // same procedure.
      if (!::RegisterClassExW(&type) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;
      resources.registered = true;
      resources.unloading = false;
    }
    if (resources.font == nullptr) resources.font = MakeGuiFont(&resources.font_owned);
    ++resources.windows;
    return resources.font;
  }

  static void Release() {
    std::lock_guard<std::mutex> lock(resources.mu);
    --resources.windows;
    resources.FreeIfUnused();
  }

  // Makes the window and its controls on this thread and shows it.
  static void Create(Window& self) {
    const WindowLayout& layout = self.layout_;
    HFONT font = Acquire();
    if (font == nullptr) {
      self.closed_ = true;
      return;
    }
    RECT frame = {0, 0, layout.width, layout.height};
    ::AdjustWindowRectEx(&frame, kWindowStyle, FALSE, kWindowExStyle);
    HWND window = ::CreateWindowExW(
        kWindowExStyle, kNativeWindowClass, WideText(layout.caption ? layout.caption : "").c_str(),
        kWindowStyle, layout.left, layout.top, frame.right - frame.left, frame.bottom - frame.top,
        nullptr, nullptr, ThisModule(), &self);
    if (window == nullptr) {
      // A window that failed after its creation message has had its
      // destruction message too, which released it already.
      if (!self.closed_.exchange(true)) Release();
      return;
    }
    self.handle_ = window;
    const std::wstring property = PropertyName(layout);
    ::SetPropW(window, property.c_str(), reinterpret_cast<HANDLE>(next_window_number++));
    for (size_t i = 0; i < layout.controls.size(); ++i) {
      HWND control =
          CreateControl(window, layout, layout.controls[i], kFirstControlId + static_cast<int>(i));
      if (control == nullptr) continue;
      ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
      self.controls_[layout.controls[i].name] = control;
    }
    ::ShowWindow(window, SW_SHOWNORMAL);
    ::UpdateWindow(window);
  }

  // Runs the handler of a click on the control with this ID.
  static void Clicked(Window& self, int id) {
    const size_t index = static_cast<size_t>(id - kFirstControlId);
    if (id < kFirstControlId || index >= self.layout_.controls.size()) return;
    const ControlLayout& control = self.layout_.controls[index];
    if (control.kind != ControlKind::kButton && control.kind != ControlKind::kCheckBox) return;
    std::function<void()> handler;
    {
      std::lock_guard<std::mutex> lock(self.mu_);
      auto found = self.handlers_.find(control.name);
      if (found == self.handlers_.end()) return;
      handler = found->second;  // a copy: the handler may close and free the window
    }
    handler();
  }

  static bool IsLabel(const Window& self, HWND control) {
    const size_t index = static_cast<size_t>(::GetDlgCtrlID(control) - kFirstControlId);
    return index < self.layout_.controls.size() &&
           self.layout_.controls[index].kind == ControlKind::kLabel;
  }

  // The window is gone: its property, its count and its C++ side.
  static void Destroyed(Window& self, HWND window) {
    const std::wstring property = PropertyName(self.layout_);
    ::RemovePropW(window, property.c_str());
    ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    self.closed_ = true;
    Release();
  }

  // The window outlives its Window on another thread (the library is being
  // unloaded): it loses every tie to this library, hides, and closes itself
  // through the system's default procedure when its thread next serves it.
  static void Orphan(Window& self, HWND window) {
    ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&::DefWindowProcW));
    const std::wstring property = PropertyName(self.layout_);
    ::RemovePropW(window, property.c_str());
    ::ShowWindowAsync(window, SW_HIDE);
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    self.closed_ = true;
    Release();
  }

 private:
  // One control: its class and style by kind; a control inside a group box
  // is placed relative to the group box.
  static HWND CreateControl(HWND window, const WindowLayout& layout, const ControlLayout& control,
                            int id) {
    const wchar_t* type = L"BUTTON";
    DWORD style = WS_CHILD | WS_VISIBLE;
    DWORD ex_style = 0;
    switch (control.kind) {
      case ControlKind::kEdit:
        type = L"EDIT";
        style |= WS_TABSTOP | ES_AUTOHSCROLL;
        ex_style = WS_EX_CLIENTEDGE;
        break;
      case ControlKind::kMultiLineEdit:
        type = L"EDIT";
        style |= WS_TABSTOP | ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | WS_VSCROLL;
        ex_style = WS_EX_CLIENTEDGE;
        break;
      case ControlKind::kButton:
        style |= WS_TABSTOP | BS_PUSHBUTTON;
        break;
      case ControlKind::kCheckBox:
        style |= WS_TABSTOP | BS_AUTOCHECKBOX;
        break;
      case ControlKind::kGroupBox:
        style |= BS_GROUPBOX;
        break;
      case ControlKind::kLabel:
        // One line, cut at the label's edge rather than wrapped out of it.
        type = L"STATIC";
        style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX;
        break;
    }
    int left = control.left, top = control.top;
    if (control.parent != nullptr) {
      for (const ControlLayout& group : layout.controls) {
        if (std::string(group.name) == control.parent) {
          left += group.left;
          top += group.top;
          break;
        }
      }
    }
    HWND made =
        ::CreateWindowExW(ex_style, type, WideText(control.caption ? control.caption : "").c_str(),
                          style, left, top, control.width, control.height, window,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ThisModule(), nullptr);
    if (made != nullptr &&
        (control.kind == ControlKind::kEdit || control.kind == ControlKind::kMultiLineEdit)) {
      ::SendMessageW(made, EM_SETLIMITTEXT, 0, 0);  // as long as the system allows
    }
    return made;
  }
};

namespace {

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    auto* self = static_cast<Window*>(create->lpCreateParams);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    return ::DefWindowProcW(window, message, wparam, lparam);
  }
  auto* self = reinterpret_cast<Window*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return ::DefWindowProcW(window, message, wparam, lparam);
  // Nothing may unwind into the system's frames.
  try {
    switch (message) {
      case WM_COMMAND:
        if (HIWORD(wparam) == BN_CLICKED && lparam != 0) {
          NativeWindow::Clicked(*self, LOWORD(wparam));  // may free self
          return 0;
        }
        break;
      case WM_CTLCOLORSTATIC:
        // Labels are transparent: the window's background shows through.
        if (NativeWindow::IsLabel(*self, reinterpret_cast<HWND>(lparam))) {
          ::SetBkMode(reinterpret_cast<HDC>(wparam), TRANSPARENT);
          return reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
        }
        break;
      case WM_NCDESTROY:
        NativeWindow::Destroyed(*self, window);
        break;
      default:
        break;
    }
  } catch (...) {
    DebugTrace("a window's handler failed");
    return 0;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

Window::Window(const WindowLayout& layout) : layout_(layout), thread_id_(::GetCurrentThreadId()) {
  NativeWindow::Create(*this);
}

Window::~Window() {
  HWND window = static_cast<HWND>(handle_);
  if (window == nullptr || !::IsWindow(window) ||
      ::GetWindowLongPtrW(window, GWLP_USERDATA) != reinterpret_cast<LONG_PTR>(this)) {
    return;
  }
  if (::GetCurrentThreadId() == thread_id_) {
    ::DestroyWindow(window);
    return;
  }
  // Another thread: the library's teardown, which holds the system's loader
  // lock, so waiting there for the window's thread might wait for ever (its
  // DestroyWindow may need that lock). The window is cut loose from this
  // library instead, and closes itself when its thread next serves it.
  NativeWindow::Orphan(*this, window);
}

bool Window::Has(const std::string& control) const { return controls_.count(control) > 0; }

std::string Window::Text(const std::string& control) const {
  auto found = controls_.find(control);
  if (found == controls_.end()) return "";
  HWND box = static_cast<HWND>(found->second);
  LRESULT length = 0;
  if (!Send(box, WM_GETTEXTLENGTH, 0, 0, &length) || length <= 0) return "";
  std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
  LRESULT copied = 0;
  if (!Send(box, WM_GETTEXT, wide.size(), reinterpret_cast<LPARAM>(&wide[0]), &copied)) return "";
  wide.resize(static_cast<size_t>(copied < 0 ? 0 : copied));
  return GbkText(wide);
}

void Window::SetText(const std::string& control, const std::string& text) {
  auto found = controls_.find(control);
  if (found == controls_.end()) return;
  const std::wstring wide = WideText(text);
  Send(static_cast<HWND>(found->second), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

bool Window::Checked(const std::string& control) const {
  auto found = controls_.find(control);
  if (found == controls_.end()) return false;
  LRESULT state = BST_UNCHECKED;
  return Send(static_cast<HWND>(found->second), BM_GETCHECK, 0, 0, &state) && state == BST_CHECKED;
}

void Window::SetChecked(const std::string& control, bool checked) {
  auto found = controls_.find(control);
  if (found == controls_.end()) return;
  Send(static_cast<HWND>(found->second), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void Window::OnClick(const std::string& control, std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(mu_);
  handlers_[control] = std::move(handler);
}

// What a person's click causes: a check box toggles, then the window gets
// BN_CLICKED from the control, at once on the window's thread and posted to
// it from another.
bool Window::Click(const std::string& control) {
  auto found = controls_.find(control);
  if (closed() || found == controls_.end()) return false;
  HWND window = static_cast<HWND>(handle_);
  HWND button = static_cast<HWND>(found->second);
  const int id = ::GetDlgCtrlID(button);
  const ControlKind kind = layout_.controls[static_cast<size_t>(id - kFirstControlId)].kind;
  if (kind != ControlKind::kButton && kind != ControlKind::kCheckBox) return true;
  if (kind == ControlKind::kCheckBox) SetChecked(control, !Checked(control));
  const WPARAM command = MAKEWPARAM(id, BN_CLICKED);
  if (::GetCurrentThreadId() == thread_id_) {
    ::SendMessageW(window, WM_COMMAND, command, reinterpret_cast<LPARAM>(button));
    return true;
  }
  return ::PostMessageW(window, WM_COMMAND, command, reinterpret_cast<LPARAM>(button)) != 0;
}

// As the title bar's close button: the window is destroyed.
void Window::Close() {
  HWND window = static_cast<HWND>(handle_);
  if (window != nullptr && !closed()) {
    if (::GetCurrentThreadId() == thread_id_) {
      ::DestroyWindow(window);
    } else if (!Send(window, WM_CLOSE, 0, 0)) {
      ::PostMessageW(window, WM_CLOSE, 0, 0);  // closes when its thread gets to it
    }
  }
  closed_ = true;
}

bool Window::closed() const { return closed_ || !::IsWindow(static_cast<HWND>(handle_)); }

std::string Window::Describe() const {
  return DescribeLayout(
      layout_, closed(), [this](const ControlLayout& c) { return Text(c.name); },
      [this](const ControlLayout& c) { return Checked(c.name); });
}

}  // namespace lanfeng
