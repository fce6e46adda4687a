// Fuzzes the XiaoLiZi API list: any list text, any function name.
//
// Input: the list text, then NUL-separated names to look up. The names the
// list quotes and a few fixed ones are looked up too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/xlz_binding.h"

namespace {

constexpr size_t kMostNames = 32;

void Check(bool condition) {
  if (!condition) std::abort();
}

// The texts between pairs of double quotes, as a list names its functions.
void AddQuotedNames(const std::string& list, std::vector<std::string>* names) {
  size_t open = list.find('"');
  while (open != std::string::npos && names->size() < kMostNames) {
    const size_t close = list.find('"', open + 1);
    if (close == std::string::npos) break;
    names->push_back(list.substr(open + 1, close - open - 1));
    open = list.find('"', close + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using lanfeng::XlzBinding;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t list_end = input.find('\0');
  const std::string list = input.substr(0, list_end);

  std::vector<std::string> names = {"输出日志", "取框架QQ", "发送好友消息", "", "\"", ":", ","};
  AddQuotedNames(list, &names);
  for (size_t start = list_end; start != std::string::npos && names.size() < kMostNames * 2;) {
    const size_t end = input.find('\0', start + 1);
    names.push_back(input.substr(start + 1, end == std::string::npos ? end : end - start - 1));
    start = end;
  }

  XlzBinding binding;
  binding.AttachHost("fuzz-key", list);
  for (const std::string& name : names) binding.FindApi(name);

  // A list naming only this function finds its address, whatever the name.
  for (const std::string& name : names) {
    binding.AttachHost("fuzz-key", "{\"" + name + "\":1234}");
    Check(binding.FindApi(name) == 1234);
  }
  return 0;
}
