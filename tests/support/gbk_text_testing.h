// Test helpers for GBK texts: failures show the texts as readable UTF-8.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace lanfeng {

::testing::AssertionResult GbkTextsEqual(const char* expected_expr, const char* actual_expr,
                                         const std::string& expected, const std::string& actual);

// The bytes of a text as hexadecimal pairs, for byte-exact checks.
std::string HexBytes(const std::string& bytes);

}  // namespace lanfeng

#define EXPECT_GBK_EQ(expected, actual) EXPECT_PRED_FORMAT2(::lanfeng::GbkTextsEqual, expected, actual)
#define ASSERT_GBK_EQ(expected, actual) ASSERT_PRED_FORMAT2(::lanfeng::GbkTextsEqual, expected, actual)
