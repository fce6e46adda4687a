#include "accounts.h"

#include <cstdint>
#include <map>
#include <mutex>

#include "bot_sim.h"
#include "dulu_host.h"
#include "xlz_host.h"

namespace hostsim {
namespace {

std::mutex mu;
std::map<std::string, bool> book;  // account -> online

// Each host's own form of the list (GBK).
void PublishLocked() {
  std::string online, offline, xlz = "{\"QQlist\":{", dulu = "{";
  for (const auto& [account, is_online] : book) {
    (is_online ? online : offline) += account + "\r\n";
    xlz += std::string(xlz.back() == '{' ? "" : ",") + "\"" + account + "\":{\"登录信息\":\"" +
           (is_online ? "登录成功" : "下线成功") + "\"}";
    dulu += std::string(dulu.back() == '{' ? "" : ",") + "\"" + account + "\":{\"附加信息\":\"" +
            (is_online ? "登录成功" : "你的帐号当前登录已失效，请重新登录。") + "\",\"状态\":" +
            (is_online ? "1" : "0") + "}";
  }
  BotSim_SetLists(online.c_str(), offline.c_str());
  SetXlzAccountList(xlz + "}}");
  SetDuluAccountList(dulu + "}");
}

// The next number of a xorshift sequence (the same on every platform, so a
// seed replays the same flips).
uint32_t NextRandom(unsigned* seed) {
  uint32_t x = *seed ? *seed : 2463534242u;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *seed = x;
  return x;
}

}  // namespace

void SetAccountOnline(const std::string& account, bool online) {
  std::lock_guard<std::mutex> lock(mu);
  book[account] = online;
  PublishLocked();
}

void SetAccountsOnline(const std::vector<std::pair<std::string, bool>>& accounts) {
  std::lock_guard<std::mutex> lock(mu);
  for (const auto& [account, online] : accounts) book[account] = online;
  PublishLocked();
}

size_t FlipRandomAccounts(size_t count, unsigned* seed) {
  std::lock_guard<std::mutex> lock(mu);
  if (book.empty()) return 0;
  std::vector<std::map<std::string, bool>::iterator> all;
  all.reserve(book.size());
  for (auto it = book.begin(); it != book.end(); ++it) all.push_back(it);
  for (size_t i = 0; i < count; ++i) {
    auto it = all[NextRandom(seed) % all.size()];
    it->second = !it->second;
  }
  PublishLocked();
  return count;
}

void RemoveAccount(const std::string& account) {
  std::lock_guard<std::mutex> lock(mu);
  book.erase(account);
  PublishLocked();
}

std::vector<std::string> DescribeAccounts() {
  std::lock_guard<std::mutex> lock(mu);
  std::vector<std::string> lines;
  for (const auto& [account, online] : book) lines.push_back(account + (online ? " online" : " offline"));
  return lines;
}

}  // namespace hostsim
