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

void ShowInfo(const std::string& text) { CurrentPlatform().ShowMessageBox(text, kMessageBoxTitle, 0); }

Window::Window(const WindowLayout& layout) : layout_(layout), thread_(ThisThreadQueue()) {
  for (const ControlLayout& control : layout.controls) {
    State state;
    if (control.kind == ControlKind::kEdit || control.kind == ControlKind::kMultiLineEdit) {
      state.text = control.caption ? control.caption : "";
    }
    states_[control.name] = state;
  }
}

bool Window::Has(const std::string& control) const {
  std::lock_guard<std::mutex> lock(mu_);
  return states_.count(control) > 0;
}

std::string Window::Text(const std::string& control) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto found = states_.find(control);
  return found == states_.end() ? "" : found->second.text;
}

void Window::SetText(const std::string& control, const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  auto found = states_.find(control);
  if (found != states_.end()) found->second.text = text;
}

bool Window::Checked(const std::string& control) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto found = states_.find(control);
  return found != states_.end() && found->second.checked;
}

void Window::SetChecked(const std::string& control, bool checked) {
  std::lock_guard<std::mutex> lock(mu_);
  auto found = states_.find(control);
  if (found != states_.end()) found->second.checked = checked;
}

void Window::OnClick(const std::string& control, std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(mu_);
  handlers_[control] = std::move(handler);
}

bool Window::Click(const std::string& control) {
  std::function<void()> handler;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_ || states_.count(control) == 0) return false;
    auto found = handlers_.find(control);
    if (found == handlers_.end()) return true;  // a control without a handler
    handler = found->second;
  }
  if (ThisThreadQueue() == thread_) {
    handler();
    return true;
  }
  return PostTask(thread_, std::move(handler));
}

void Window::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
}

bool Window::closed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_;
}

std::string Window::Describe() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string text = std::string(layout_.name) + " \"" + (layout_.caption ? layout_.caption : "") +
                     "\"" + (closed_ ? " (closed)" : "") + "\n";
  for (const ControlLayout& control : layout_.controls) {
    const State& state = states_.at(control.name);
    text += std::string("  ") + control.name + " [" + KindName(control.kind) + "]";
    if (control.parent) text += std::string(" in ") + control.parent;
    if (control.kind == ControlKind::kButton || control.kind == ControlKind::kCheckBox ||
        control.kind == ControlKind::kGroupBox || control.kind == ControlKind::kLabel) {
      text += std::string(" \"") + (control.caption ? control.caption : "") + "\"";
    }
    if (control.kind == ControlKind::kCheckBox) text += state.checked ? " checked" : " unchecked";
    if (control.kind == ControlKind::kEdit || control.kind == ControlKind::kMultiLineEdit) {
      text += ": " + state.text;
    }
    text += "\n";
  }
  return text;
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
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& window : windows_) window->Close();
  windows_.clear();
}

}  // namespace lanfeng
