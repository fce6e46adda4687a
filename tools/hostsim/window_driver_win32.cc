// The emulator's window driver on Windows: it finds the plugin's real
// windows in this process and sends them the messages a person's keys and
// clicks cause.
//
// A window is found by its class and the property named after its layout
// (owner/window.h: kNativeWindowClass, kNativeWindowProperty), a control by
// its ID, kFirstControlId + its index in the layout. A handler may raise a
// modal message box, which would hold the emulator until someone presses
// OK: while a click or a wait is under way, a watcher thread finds the
// plugin's boxes of this process (dialogs titled "信息："), reports their
// text and presses OK.
#include <windows.h>
#undef CreateDirectory  // a method of the plugin's Platform

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "owner/settings_windows.h"
#include "platform/win32/message_wait.h"
#include "platform/win32/wide_text.h"
#include "text.h"
#include "window_driver.h"
#include "window_driver_win32.h"

namespace hostsim {
namespace {

using lanfeng::ControlLayout;
using lanfeng::WindowLayout;

// The layouts of the windows the plugin opens.
const WindowLayout* const kLayouts[] = {&lanfeng::kNoticeWindowLayout,
                                        &lanfeng::kSettingsWindowLayout};

// How long a message to a window of another thread may take (a handler
// may send a mail).
constexpr UINT kAnswerWaitMs = 120000;
// How often the watcher looks for message boxes, how long it waits for a
// box's answer (its thread runs the box's modal loop), and after how many
// looks it presses OK again on a box that is still there.
constexpr DWORD kWatchIntervalMs = 10;
constexpr UINT kWatchAnswerWaitMs = 1000;
constexpr int kPressAgainAfter = 50;

using lanfeng::GbkText;
using lanfeng::WideText;

// Sends a message as the system would deliver a person's action: a direct
// call on the window's own thread, otherwise answered by that thread.
LRESULT Send(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
             UINT wait_ms = kAnswerWaitMs) {
  DWORD_PTR answer = 0;
  SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, wait_ms, &answer);
  return static_cast<LRESULT>(answer);
}

std::wstring WindowText(HWND window, UINT wait_ms = kAnswerWaitMs) {
  const LRESULT length = Send(window, WM_GETTEXTLENGTH, 0, 0, wait_ms);
  if (length <= 0) return L"";
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const LRESULT copied =
      Send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), wait_ms);
  text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
  return text;
}

std::wstring ClassName(HWND window) {
  wchar_t name[64] = {};
  int length = GetClassNameW(window, name, 64);
  return std::wstring(name, static_cast<size_t>(length > 0 ? length : 0));
}

bool OfThisProcess(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process == GetCurrentProcessId();
}

BOOL CALLBACK CollectWindowOfThisProcess(HWND window, LPARAM found) {
  if (OfThisProcess(window)) reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
  return TRUE;
}

// Calls visit for every top-level window of this process.
template <typename Visit>
void ForEachWindowOfThisProcess(Visit visit) {
  std::vector<HWND> windows;
  EnumWindows(CollectWindowOfThisProcess, reinterpret_cast<LPARAM>(&windows));
  for (HWND window : windows) visit(window);
}

struct PluginWindow {
  HWND handle;
  const WindowLayout* layout;
  uintptr_t number;  // its opening number
};

// The plugin's open windows, in the order they were opened.
std::vector<PluginWindow> FindPluginWindows() {
  std::vector<PluginWindow> found;
  ForEachWindowOfThisProcess([&found](HWND window) {
    if (ClassName(window) != lanfeng::kNativeWindowClass) return;
    for (const WindowLayout* layout : kLayouts) {
      const std::wstring property =
          std::wstring(lanfeng::kNativeWindowProperty) + WideText(layout->name);
      if (HANDLE number = GetPropW(window, property.c_str())) {
        found.push_back({window, layout, reinterpret_cast<uintptr_t>(number)});
      }
    }
  });
  std::sort(found.begin(), found.end(),
            [](const PluginWindow& a, const PluginWindow& b) { return a.number < b.number; });
  return found;
}

// The control of a window, found by its layout name; null if there is none.
HWND FindControl(const PluginWindow& window, const std::string& name) {
  const std::vector<ControlLayout>& controls = window.layout->controls;
  for (size_t i = 0; i < controls.size(); ++i) {
    if (name == controls[i].name)
      return GetDlgItem(window.handle, lanfeng::kFirstControlId + static_cast<int>(i));
  }
  return nullptr;
}

std::mutex reports_mu;
std::vector<std::string> reports;

BOOL CALLBACK TakeStaticText(HWND child, LPARAM out) {
  auto* text = reinterpret_cast<std::wstring*>(out);
  if (ClassName(child) == L"Static") *text = WindowText(child, kWatchAnswerWaitMs);
  return text->empty() ? TRUE : FALSE;
}

// The text of a message box: its static text (ID 0xFFFF in the system's
// message boxes), or the first static control with text.
std::wstring MessageBoxText(HWND box) {
  if (HWND text = GetDlgItem(box, 0xFFFF)) return WindowText(text, kWatchAnswerWaitMs);
  std::wstring found;
  EnumChildWindows(box, TakeStaticText, reinterpret_cast<LPARAM>(&found));
  return found;
}

// While it lives, a thread presses OK on every message box the plugin
// shows in this process, and reports it.
class MessageBoxWatch {
 public:
  MessageBoxWatch()
      : title_(lanfeng::kMessageBoxTitleUtf16), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (stop_ != nullptr) thread_ = std::thread([this] { Run(); });
  }
  ~MessageBoxWatch() {
    if (stop_ == nullptr) return;
    SetEvent(stop_);
    thread_.join();
    CloseHandle(stop_);
  }
  MessageBoxWatch(const MessageBoxWatch&) = delete;
  MessageBoxWatch& operator=(const MessageBoxWatch&) = delete;

 private:
  void Run() {
    do {
      Sweep();
    } while (WaitForSingleObject(stop_, kWatchIntervalMs) == WAIT_TIMEOUT);
    Sweep();  // one raised just before the end
  }

  void Sweep() {
    std::vector<std::pair<HWND, int>> open;  // each box, and how often it was seen
    ForEachWindowOfThisProcess([&](HWND window) {
      // Shown only once the box has its text.
      if (ClassName(window) != L"#32770" || !IsWindowVisible(window) ||
          WindowText(window, kWatchAnswerWaitMs) != title_)
        return;
      auto seen =
          std::find_if(pressed_.begin(), pressed_.end(),
                       [window](const std::pair<HWND, int>& p) { return p.first == window; });
      const int looks = seen == pressed_.end() ? 0 : seen->second + 1;
      open.emplace_back(window, looks);
      if (looks == 0)
        Report(GbkText(MessageBoxText(window)));  // a box still closing is not reported twice
      if (looks % kPressAgainAfter == 0) {
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
      }
    });
    pressed_ = open;
  }

  // As the Linux platform shows a message box: on standard error, UTF-8.
  void Report(const std::string& text) {
    std::string shown = "[message box] " + FromGbk(GbkText(title_) + "\n" + text) + "\n";
    std::fwrite(shown.data(), 1, shown.size(), stderr);
    std::fflush(stderr);
    std::lock_guard<std::mutex> lock(reports_mu);
    reports.push_back(text);
  }

  const std::wstring title_;
  HANDLE stop_;
  std::thread thread_;
  std::vector<std::pair<HWND, int>> pressed_;
};

}  // namespace

std::vector<std::string> TakeDismissedMessageBoxes() {
  std::lock_guard<std::mutex> lock(reports_mu);
  std::vector<std::string> taken;
  taken.swap(reports);
  return taken;
}

std::string DescribeWindows(const PluginLibrary&) {
  std::string all;
  for (const PluginWindow& window : FindPluginWindows()) {
    all += lanfeng::DescribeLayout(
        *window.layout, false,
        [&window](const ControlLayout& control) {
          HWND box = FindControl(window, control.name);
          return box ? GbkText(WindowText(box)) : std::string();
        },
        [&window](const ControlLayout& control) {
          HWND box = FindControl(window, control.name);
          return box != nullptr && Send(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
        });
  }
  return all;
}

bool DriveWindowControl(const PluginLibrary&, const std::string& action, const std::string& window,
                        const std::string& control, const std::string& text) {
  std::vector<PluginWindow> windows = FindPluginWindows();
  auto newest = std::find_if(windows.rbegin(), windows.rend(),
                             [&window](const PluginWindow& w) { return window == w.layout->name; });
  if (newest == windows.rend()) return false;
  if (action == "close") {
    MessageBoxWatch watch;
    Send(newest->handle, WM_SYSCOMMAND, SC_CLOSE, 0);  // the title bar's close button
    return true;
  }
  HWND target = FindControl(*newest, control);
  if (target == nullptr) return false;
  if (action == "type") {
    const std::wstring wide = WideText(text);
    Send(target, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
  } else if (action == "tick") {
    Send(target, BM_SETCHECK, text == "1" ? BST_CHECKED : BST_UNCHECKED, 0);
  } else if (action == "click") {
    MessageBoxWatch watch;
    Send(target, BM_CLICK, 0, 0);
  } else {
    return false;
  }
  return true;
}

void WaitHandlingWindows(double seconds) {
  // A handler run now (a click posted from another thread) may raise a box.
  std::unique_ptr<MessageBoxWatch> watch;
  if (!FindPluginWindows().empty()) watch = std::make_unique<MessageBoxWatch>();
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds > 0 ? seconds * 1000 : 0);
  for (;;) {
    lanfeng::DispatchThreadMessages();
    const ULONGLONG now = GetTickCount64();
    if (now >= end) break;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
  // A WM_QUIT met meanwhile is the caller's to see.
  lanfeng::RepostQuitMessage();
}

}  // namespace hostsim
