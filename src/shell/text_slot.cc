#include "shell/text_slot.h"

namespace lanfeng {

const char* TextSlot::Keep(std::string text) {
  std::lock_guard<std::mutex> lock(mu_);
  std::string& kept = texts_[std::this_thread::get_id()];
  kept = std::move(text);
  return kept.c_str();
}

}  // namespace lanfeng
