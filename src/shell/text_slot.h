// Where an entry point keeps a text it hands to a host.
//
// The host reads the returned pointer after the entry point has returned and
// never frees it. A slot keeps the last text it returned to each calling
// thread, so the pointer stays valid until the same entry point is called
// again on that thread (or the library is unloaded), even while other host
// threads call the entry point at the same time.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace lanfeng {

class TextSlot {
 public:
  // Keeps text in the calling thread's place, freeing the text kept there
  // before, and returns the kept copy's NUL-terminated bytes.
  const char* Keep(std::string text);

 private:
  std::mutex mu_;
  std::map<std::thread::id, std::string> texts_;
};

}  // namespace lanfeng
