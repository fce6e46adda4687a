// The DR host's Bot.dll for the Windows tests. Its Api_ functions take the
// host's calling convention and record every call as one line,
// "name|first text" (GBK); BotTest_Calls hands the record to the test host.
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace {

std::mutex mu;
std::string calls;

void Record(const char* api, const char* text) {
  std::lock_guard<std::mutex> lock(mu);
  calls += std::string(api) + "|" + (text ? text : "") + "\n";
}

}  // namespace

extern "C" {

__declspec(dllexport) int32_t __stdcall Api_OutPutLog(const char* line) {
  Record("Api_OutPutLog", line);
  return 1;
}

// No account is logged in or out.
__declspec(dllexport) const char* __stdcall Api_GetOnLineList() {
  Record("Api_GetOnLineList", nullptr);
  return "";
}

__declspec(dllexport) const char* __stdcall Api_GetOffLineList() {
  Record("Api_GetOffLineList", nullptr);
  return "";
}

// Copies the record into buffer (NUL-terminated, cut to size); answers the
// record's whole length.
__declspec(dllexport) int32_t __stdcall BotTest_Calls(char* buffer, int32_t size) {
  std::lock_guard<std::mutex> lock(mu);
  if (size > 0) {
    size_t n =
        calls.size() < static_cast<size_t>(size - 1) ? calls.size() : static_cast<size_t>(size - 1);
    calls.copy(buffer, n);
    buffer[n] = '\0';
  }
  return static_cast<int32_t>(calls.size());
}

}  // extern "C"
