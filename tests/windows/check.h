// The smallest test harness for the Windows test programs, which run under
// Wine without GoogleTest: CHECK counts, prints each failure, and Finish
// prints the closing "N passed, N failed" line and gives the exit code.
#pragma once

#include <cstdio>

namespace wintest {

inline int passed = 0;
inline int failed = 0;

inline void Check(bool ok, const char* what, const char* file, int line) {
  if (ok) {
    ++passed;
    return;
  }
  ++failed;
  std::printf("FAILED %s:%d: %s\n", file, line, what);
  std::fflush(stdout);
}

inline int Finish() {
  std::printf("%d passed, %d failed\n", passed, failed);
  std::fflush(stdout);
  return failed == 0 ? 0 : 1;
}

}  // namespace wintest

#define CHECK(condition) \
  ::wintest::Check(static_cast<bool>(condition), #condition, __FILE__, __LINE__)
