// Fuzzes the JSON path reader with the hosts' account-list texts and the
// paths the poller builds: whatever the text and the path, nothing crashes,
// reads are bounded, and a text that parses serializes to JSON that parses.
//
// Input: the path, a NUL byte, then the document text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "watch/json_path_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string path = split == std::string::npos ? "" : input.substr(0, split);
  const std::string text = split == std::string::npos ? input : input.substr(split + 1);

  lanfeng::JsonPathReader reader("da");
  reader.Initialize();
  if (!reader.Parse(text)) return 0;
  std::vector<std::string> names;
  reader.MemberNames(&names, path);
  reader.GetText(path);
  reader.GetText(path, true);
  reader.PathExists(path);
  reader.Count(path);
  for (size_t i = 0; i < names.size() && i < 16; ++i) {
    reader.GetText(path + "['" + names[i] + "']");
  }
  // What the reader writes out, it reads back.
  lanfeng::JsonPathReader again("da");
  again.Initialize();
  if (!again.Parse(reader.ToJson())) std::abort();
  return 0;
}
