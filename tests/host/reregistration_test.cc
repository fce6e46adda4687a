// A host may register the plugin again while the workers are calling it:
// the bindings' texts and tables are replaced whole, never under a caller.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "dulu_host.h"
#include "host/dulu_binding.h"
#include "host/xlz_binding.h"
#include "host_calls.h"
#include "xlz_host.h"

namespace lanfeng {
namespace {

// Runs call on two threads while reattach runs on this one.
template <typename Call, typename Reattach>
void CallWhileReattaching(Call call, Reattach reattach) {
  std::atomic<bool> done{false};
  std::vector<std::thread> callers;
  for (int t = 0; t < 2; ++t) {
    callers.emplace_back([&] {
      while (!done) call();
    });
  }
  for (int i = 0; i < 300; ++i) reattach(i);
  done = true;
  for (auto& caller : callers) caller.join();
  hostsim::TakeCalls();
}

TEST(ReregistrationTest, XiaoLiZiCallsSeeOneWholeListOrTheOther) {
  XlzBinding xlz;
  const std::string list = hostsim::XlzApiList();
  xlz.AttachHost("key-a", list);
  CallWhileReattaching(
      [&] {
        ASSERT_NE(0u, xlz.FindApi("输出日志"));
        xlz.OutputLog("x");
      },
      [&](int i) { xlz.AttachHost(i % 2 ? "key-a" : "key-b", list); });
}

TEST(ReregistrationTest, DuluCallsSeeOneWholeTableOrTheOther) {
  DuluBinding dulu;
  auto load = [] {
    auto table = std::make_shared<TypedHashMap>();
    EXPECT_TRUE(LoadApiTable(static_cast<HostAddress>(hostsim::DuluApiSupplier()), table.get()));
    return table;
  };
  dulu.Attach(load(), "one");
  CallWhileReattaching(
      [&] {
        ASSERT_NE(0u, dulu.FindApi("输出日志"));
        dulu.OutputLog("x");
        dulu.DeleteAccount(10001);
      },
      [&](int i) { dulu.Attach(load(), i % 2 ? "one" : "two"); });
}

}  // namespace
}  // namespace lanfeng
