// A small window layer: windows and controls made from a layout table, with
// their contents and click handlers.
//
// The layout (names, kinds, captions, positions, sizes, group-box parents)
// is the one fact both backends share: on Linux the windows are headless
// (window_headless.cc: the host emulator and the tests read and drive the
// controls through OpenWindows), and the Windows build draws the same layout
// with real controls (win32/window_win32.cc). Events run on the thread that
// opened the window: a click from another thread is posted to that thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace lanfeng {

enum class ControlKind { kEdit, kMultiLineEdit, kButton, kCheckBox, kGroupBox, kLabel };

struct ControlLayout {
  const char* name;
  ControlKind kind;
  const char* caption;
  int left, top, width, height;
  const char* parent;  // the group box it sits in, or null
};

struct WindowLayout {
  const char* name;  // how the emulator and the tests find the window
  const char* caption;
  int left, top, width, height;
  std::vector<ControlLayout> controls;
};

// The title of every message box the windows raise.
inline constexpr char kMessageBoxTitle[] = "信息：";
// The same title in UTF-16, as a Windows message box shows it; unlike the
// GBK text it reads the same in a program compiled without GBK literals
// (the host emulator, which finds the boxes by it).
inline constexpr wchar_t kMessageBoxTitleUtf16[] = L"信息：";
// Shows text in a message box with an OK button and the title "信息：".
void ShowInfo(const std::string& text);

// One window as Window::Describe shows it: its name and caption, then every
// control with its kind, caption, content (`text`) and checked state
// (`checked`), one per line (GBK). The Windows emulator's driver prints the
// real windows with it, so both read the same.
std::string DescribeLayout(const WindowLayout& layout, bool closed,
                           const std::function<std::string(const ControlLayout&)>& text,
                           const std::function<bool(const ControlLayout&)>& checked);

// How a program in the same process finds the real windows of the Windows
// build (the emulator's driver, the Windows tests): top-level windows of
// this class; each carries the property kNativeWindowProperty + its layout's
// name (for example L"LanfengWatch:SettingsWindow"), whose value is the
// window's opening number (1, 2, ... in the order they were opened); the
// control at index i of the layout has the control ID kFirstControlId + i.
inline constexpr wchar_t kNativeWindowClass[] = L"LanfengWatchWindow";
inline constexpr wchar_t kNativeWindowProperty[] = L"LanfengWatch:";
inline constexpr int kFirstControlId = 1000;

class Window {
 public:
  // Opens the window; a real one is made on the calling thread, whose
  // messages serve it.
  explicit Window(const WindowLayout& layout);
  // A real window still open is destroyed (on its own thread), or cut loose
  // from the library to close itself (on another thread: the unload).
  ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  const WindowLayout& layout() const { return layout_; }
  bool Has(const std::string& control) const;

  std::string Text(const std::string& control) const;
  void SetText(const std::string& control, const std::string& text);
  bool Checked(const std::string& control) const;
  void SetChecked(const std::string& control, bool checked);

  // The handler of a click on control.
  void OnClick(const std::string& control, std::function<void()> handler);
  // Clicks control: the handler runs on the window's thread (at once when
  // called there). False for an unknown control or a closed window. A real
  // check box (Windows) also toggles, as under a person's click.
  bool Click(const std::string& control);

  // Closes the window as its title bar's close button does (a real window
  // is destroyed).
  void Close();
  bool closed() const;

  // Every control with its kind, caption, content and checked state, one
  // per line (GBK), for people and tests.
  std::string Describe() const;

 private:
  const WindowLayout& layout_;
  mutable std::mutex mu_;
  std::map<std::string, std::function<void()>> handlers_;
#if defined(_WIN32)
  friend class NativeWindow;  // the window procedure's side (window_win32.cc)
  // A real window made on the constructing thread, and its controls by
  // name (HWNDs, kept as void* so that this header needs no <windows.h>).
  void* handle_ = nullptr;
  uint32_t thread_id_ = 0;
  std::map<std::string, void*> controls_;
  std::atomic<bool> closed_{false};
#else
  struct State {
    std::string text;
    bool checked = false;
  };

  TaskQueueRef thread_;
  std::map<std::string, State> states_;
  bool closed_ = false;
#endif
};

// The windows that are open, newest last.
class OpenWindows {
 public:
  void Add(std::shared_ptr<Window> window);
  // The open window named name (the newest if several), or null.
  std::shared_ptr<Window> Find(const std::string& name) const;
  // Forgets closed windows; closes and forgets all with CloseAll.
  std::vector<std::shared_ptr<Window>> List() const;
  void CloseAll();

 private:
  mutable std::mutex mu_;
  std::vector<std::shared_ptr<Window>> windows_;
};

}  // namespace lanfeng
