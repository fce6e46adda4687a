#include "owner/login_hooks.h"

namespace lanfeng {

namespace {
constexpr int32_t kLockPrompt = 3;
}  // namespace

std::string DrGetticket(DrBinding& dr, int32_t kind, const std::string& message) {
  if (kind == kLockPrompt) dr.OutPutLog("收到假锁提示 :" + message);
  return "";
}

}  // namespace lanfeng
