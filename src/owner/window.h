// A small window layer: windows and controls made from a layout table, with
// their contents and click handlers.
//
// The layout (names, kinds, captions, positions, sizes, group-box parents)
// is the one fact both backends share: here the windows are headless (the
// host emulator and the tests read and drive the controls through
// OpenWindows), and the Windows build draws the same layout with real
// controls. Events run on the thread that opened the window: a click from
// another thread is posted to that thread's task queue.
#pragma once

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
  const char* name;     // how the emulator and the tests find the window
  const char* caption;
  int left, top, width, height;
  std::vector<ControlLayout> controls;
};

// The title of every message box the windows raise.
inline constexpr char kMessageBoxTitle[] = "信息：";
// Shows text in a message box with an OK button and the title "信息：".
void ShowInfo(const std::string& text);

class Window {
 public:
  explicit Window(const WindowLayout& layout);
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
  // called there). False for an unknown control or a closed window.
  bool Click(const std::string& control);

  void Close();
  bool closed() const;

  // Every control with its kind, caption, content and checked state, one
  // per line (GBK), for people and tests.
  std::string Describe() const;

 private:
  struct State {
    std::string text;
    bool checked = false;
  };

  const WindowLayout& layout_;
  TaskQueueRef thread_;
  mutable std::mutex mu_;
  std::map<std::string, State> states_;
  std::map<std::string, std::function<void()>> handlers_;
  bool closed_ = false;
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
