#include "support/gbk_text_testing.h"

#include <cstdio>

#include "runtime/gbk_text.h"

namespace lanfeng {

::testing::AssertionResult GbkTextsEqual(const char* expected_expr, const char* actual_expr,
                                         const std::string& expected, const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "Texts differ.\n  " << expected_expr << "\n    is \"" << GbkForDisplay(expected)
         << "\" [" << HexBytes(expected) << "]\n  " << actual_expr << "\n    is \""
         << GbkForDisplay(actual) << "\" [" << HexBytes(actual) << "]";
}

std::string HexBytes(const std::string& bytes) {
  std::string hex;
  for (unsigned char c : bytes) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%s%02X", hex.empty() ? "" : " ", c);
    hex += pair;
  }
  return hex;
}

}  // namespace lanfeng
