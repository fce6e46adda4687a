#include "host_calls.h"

#include <atomic>
#include <mutex>

namespace hostsim {
namespace {

std::mutex mu;
std::vector<std::string> calls;
std::atomic<CallPrinter> printer{nullptr};

}  // namespace

void RecordCall(const std::string& function, const std::vector<std::string>& arguments) {
  std::string joined;
  for (size_t i = 0; i < arguments.size(); ++i) joined += (i ? "|" : "") + arguments[i];
  {
    std::lock_guard<std::mutex> lock(mu);
    calls.push_back(arguments.empty() ? function : function + "|" + joined);
  }
  if (CallPrinter print = printer.load()) print(function, joined);
}

std::vector<std::string> TakeCalls() {
  std::lock_guard<std::mutex> lock(mu);
  std::vector<std::string> taken;
  taken.swap(calls);
  return taken;
}

void SetCallPrinter(CallPrinter new_printer) { printer.store(new_printer); }

std::string TextArg(const char* text) { return text ? text : "(null)"; }

}  // namespace hostsim
