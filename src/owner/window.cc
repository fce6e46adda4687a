// The parts of the window layer both backends share: the message box, the
// description of a window, and the list of open windows.
#include "owner/window.h"

#include <algorithm>

namespace lanfeng {
namespace {

const char* KindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::kEdit: return "edit";
    case ControlKind::kMultiLineEdit: return "multi-line edit";
    case ControlKind::kButton: return "button";
    case ControlKind::kCheckBox: return "check box";
    case ControlKind::kGroupBox: return "group box";
    case ControlKind::kLabel: return "label";
  }
  return "?";
}

}  // namespace

void ShowInfo(const std::string& text) {
  CurrentPlatform().ShowMessageBox(text, kMessageBoxTitle, 0);
}

std::string DescribeLayout(const WindowLayout& layout, bool closed,
                           const std::function<std::string(const ControlLayout&)>& text,
                           const std::function<bool(const ControlLayout&)>& checked) {
  std::string shown = std::string(layout.name) + " \"" + (layout.caption ? layout.caption : "") +
                      "\"" + (closed ? " (closed)" : "") + "\n";
  for (const ControlLayout& control : layout.controls) {
    shown += std::string("  ") + control.name + " [" + KindName(control.kind) + "]";
    if (control.parent) shown += std::string(" in ") + control.parent;
    if (control.kind == ControlKind::kButton || control.kind == ControlKind::kCheckBox ||
        control.kind == ControlKind::kGroupBox || control.kind == ControlKind::kLabel) {
      shown += std::string(" \"") + (control.caption ? control.caption : "") + "\"";
    }
    if (control.kind == ControlKind::kCheckBox)
      shown += checked(control) ? " checked" : " unchecked";
    if (control.kind == ControlKind::kEdit || control.kind == ControlKind::kMultiLineEdit) {
      shown += ": " + text(control);
    }
    shown += "\n";
  }
  return shown;
}

void OpenWindows::Add(std::shared_ptr<Window> window) {
  std::lock_guard<std::mutex> lock(mu_);
  windows_.erase(std::remove_if(windows_.begin(), windows_.end(),
                                [](const std::shared_ptr<Window>& w) { return w->closed(); }),
                 windows_.end());
  windows_.push_back(std::move(window));
}

std::shared_ptr<Window> OpenWindows::Find(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) {
    if (!(*it)->closed() && name == (*it)->layout().name) return *it;
  }
  return nullptr;
}

std::vector<std::shared_ptr<Window>> OpenWindows::List() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::shared_ptr<Window>> open;
  for (const auto& window : windows_) {
    if (!window->closed()) open.push_back(window);
  }
  return open;
}

void OpenWindows::CloseAll() {
  std::vector<std::shared_ptr<Window>> windows;
  {
    std::lock_guard<std::mutex> lock(mu_);
    windows.swap(windows_);
  }
  // Closed outside the lock: a real window answers on its own thread, whose
  // handlers may be adding a window right now.
  for (const auto& window : windows) window->Close();
}

}  // namespace lanfeng
