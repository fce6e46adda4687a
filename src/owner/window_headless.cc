// Windows without a screen: each control's content and checked state live
// here, and the host emulator and the tests read and drive them (Linux).
#include "owner/window.h"

namespace lanfeng {

Window::Window(const WindowLayout& layout) : layout_(layout), thread_(ThisThreadQueue()) {
  for (const ControlLayout& control : layout.controls) {
    State state;
    if (control.kind == ControlKind::kEdit || control.kind == ControlKind::kMultiLineEdit) {
      state.text = control.caption ? control.caption : "";
    }
    states_[control.name] = state;
  }
}

Window::~Window() = default;

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
  return DescribeLayout(
      layout_, closed_, [this](const ControlLayout& c) { return states_.at(c.name).text; },
      [this](const ControlLayout& c) { return states_.at(c.name).checked; });
}

}  // namespace lanfeng
