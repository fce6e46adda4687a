#include "net/regex_matcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/gbk_text_testing.h"

namespace lanfeng {
namespace {

using Texts = std::vector<std::string>;

// Every match text of a matcher, in order.
Texts AllMatches(const RegexMatcher& matcher) {
  Texts texts;
  for (int i = 1; i <= matcher.MatchCount(); ++i) texts.push_back(matcher.MatchText(i));
  return texts;
}

RegexOptions Options(bool case_sensitive, bool multiline, bool global) {
  RegexOptions options;
  options.case_sensitive = case_sensitive;
  options.multiline = multiline;
  options.global = global;
  return options;
}

TEST(ExtractDigitsTest, KeepsOnlyAsciiDigitsInOrder) {
  EXPECT_EQ("", ExtractDigits(""));
  EXPECT_EQ("", ExtractDigits("设置转移通知账号 abc"));
  EXPECT_EQ("1234", ExtractDigits("12a3-4"));
  EXPECT_EQ("10001", ExtractDigits("账号1号0: 0岚风01"));
  EXPECT_EQ("7", ExtractDigits("１２全角7")) << "full-width digits are dropped";
  EXPECT_EQ("52", ExtractDigits("\x81"
                                "5\x80\xFF"
                                "2\xFE"))
      << "a lead byte swallows no digit";
}

TEST(ExtractDigitsTest, AgreesWithTheMatcherAndTakesAnyLength) {
  const Texts texts = {"QQ:10001，备注2",
                       "\x81\x30\x81\x40"
                       "9",
                       "\xAA\xA1"
                       "8\x81"};
  for (const std::string& text : texts) {
    RegexMatcher matcher;
    ASSERT_TRUE(matcher.Create("[0-9]", text));
    std::string joined;
    for (const std::string& digit : AllMatches(matcher)) joined += digit;
    EXPECT_EQ(joined, ExtractDigits(text)) << HexBytes(text);
  }
  std::string long_text;
  for (int i = 0; i < 50000; ++i) long_text += "号9";
  EXPECT_EQ(std::string(50000, '9'), ExtractDigits(long_text));
}

TEST(RegexMatcherTest, CreateReplacesPatternAndMatches) {
  RegexMatcher matcher;
  EXPECT_EQ("", matcher.GetPattern());
  EXPECT_EQ("", matcher.ReplaceMatches("x"));
  ASSERT_TRUE(matcher.Create("(a)(b)?", "ab a"));
  EXPECT_EQ(2, matcher.SubMatchCount());
  ASSERT_TRUE(matcher.Create("z", "zzz"));
  EXPECT_EQ(3, matcher.MatchCount());
  EXPECT_EQ(0, matcher.SubMatchCount());
  for (const char* pattern : {"(a", "a{2,1}", "a{100000}"}) {
    EXPECT_FALSE(matcher.Create(pattern, "aaa")) << pattern;
    EXPECT_EQ(pattern, matcher.GetPattern());
    EXPECT_EQ(0, matcher.MatchCount());
    EXPECT_EQ("", matcher.ReplaceMatches("x"));
  }
  RegexOptions quotes;
  quotes.replace_quote_marker = true;
  ASSERT_TRUE(matcher.Create("#引号(\\w+)#引号", "say \"hi\"", quotes));
  EXPECT_EQ("\"(\\w+)\"", matcher.GetPattern());
  ASSERT_TRUE(matcher.Create("#引号", "\"#引号\""));
  EXPECT_GBK_EQ("#引号", matcher.MatchText(1));
}

TEST(RegexMatcherTest, OptionsChooseCaseLinesAndGlobal) {
  RegexMatcher matcher;
  ASSERT_TRUE(matcher.Create("ab", "AB ab aB"));
  EXPECT_EQ(3, matcher.MatchCount());
  ASSERT_TRUE(matcher.Create("ab", "AB ab aB", Options(true, true, true)));
  EXPECT_EQ(Texts{"ab"}, AllMatches(matcher));
  ASSERT_TRUE(matcher.Create("ab", "AB ab aB", Options(false, true, false)));
  EXPECT_EQ(Texts{"AB"}, AllMatches(matcher));
  ASSERT_TRUE(matcher.Create("ａ[ｂ-ｄ]ω", "ＡＣΩ"));
  EXPECT_GBK_EQ("ＡＣΩ", matcher.MatchText(1)) << "case folds beyond ASCII";
  ASSERT_TRUE(matcher.Create("^\\w+$", "one\ntwo\r\nthree"));
  EXPECT_EQ((Texts{"one", "two", "three"}), AllMatches(matcher));
  ASSERT_TRUE(matcher.Create("^\\w+$", "one\ntwo", Options(false, false, true)));
  EXPECT_EQ(0, matcher.MatchCount());
}

TEST(RegexMatcherTest, MatchesCharactersAndReturnsTheSubjectsBytes) {
  RegexMatcher matcher;
  ASSERT_TRUE(matcher.Create("岚.守", "岚风守望"));
  EXPECT_GBK_EQ("岚风守", matcher.MatchText(1));
  // Trail bytes that look like "A", "\" and "a".
  ASSERT_TRUE(matcher.Create("[a-z\\\\]", "\x81\x41\x81\x5C\x81\x61"));
  EXPECT_EQ(0, matcher.MatchCount());
  ASSERT_TRUE(matcher.Create("\\w+", "abc中文_9"));
  EXPECT_EQ((Texts{"abc", "_9"}), AllMatches(matcher)) << "\\w is ASCII";
  // 80 alone, a pair GBK lacks (AA A1), lead bytes before a blank and 7F.
  const std::string subject = "a\x80\xAA\xA1\x81 b\x81\x7F";
  ASSERT_TRUE(matcher.Create(".", subject));
  EXPECT_EQ((Texts{"a", "\x80", "\xAA\xA1", "\x81", " ", "b", "\x81", "\x7F"}),
            AllMatches(matcher));
  ASSERT_TRUE(matcher.Create("\\uFFFD+", subject));
  EXPECT_EQ("a[\x80\xAA\xA1\x81] b[\x81]\x7F", matcher.ReplaceMatches("[$&]"));
}

TEST(RegexMatcherTest, GivesByteStartPositionsAndGroups) {
  RegexMatcher matcher;
  ASSERT_TRUE(matcher.Create("(\\d+)(号)?", "甲12号乙3"));
  int start = 99;
  EXPECT_GBK_EQ("12号", matcher.MatchText(1, &start));
  EXPECT_EQ(2, start);
  EXPECT_EQ("3", matcher.MatchText(2, &start));
  EXPECT_EQ(8, start);
  EXPECT_GBK_EQ("号", matcher.SubMatchText(1, 2, &start));
  EXPECT_EQ(4, start);
  EXPECT_EQ("", matcher.SubMatchText(2, 2, &start)) << "a group that took no part";
  EXPECT_EQ(-1, start);
  for (int index : {0, -1, 3}) {
    EXPECT_EQ("", matcher.MatchText(index, &start));
    EXPECT_EQ(-1, start);
    EXPECT_EQ("", matcher.SubMatchText(index, 1));
  }
  for (int sub_index : {0, 3}) EXPECT_EQ("", matcher.SubMatchText(1, sub_index));
}

TEST(RegexMatcherTest, ExpandsReplacementReferences) {
  RegexMatcher matcher;
  ASSERT_TRUE(matcher.Create("(\\w)(\\d)", "a1 b2"));
  EXPECT_EQ("1a 2b", matcher.ReplaceMatches("$2$1"));
  EXPECT_EQ("<> <a1 >", matcher.ReplaceMatches("<$`>"));
  EXPECT_EQ(" b2| |", matcher.ReplaceMatches("$'|"));
  EXPECT_EQ("$3$0$x$1$ $3$0$x$1$", matcher.ReplaceMatches("$3$0$x$$1$")) << "not references";
  EXPECT_GBK_EQ("号a 号b", matcher.ReplaceMatches("号$1"));
  ASSERT_TRUE(matcher.Create("(\\w)(\\d)", "a1 b2", Options(false, true, false)));
  EXPECT_EQ("1a b2", matcher.ReplaceMatches("$2$1"));
  ASSERT_TRUE(matcher.Create("a*", "baaa"));
  EXPECT_EQ((Texts{"", "aaa", ""}), AllMatches(matcher));
  EXPECT_EQ("-b--", matcher.ReplaceMatches("-"));
}

TEST(RegexMatcherTest, RefusesSubjectsAndPatternsOverTheLimit) {
  constexpr size_t kMax = RegexMatcher::kMaxChars;
  RegexMatcher matcher;
  std::string subject;
  for (size_t i = 0; i < kMax; ++i) subject += "号";
  ASSERT_TRUE(matcher.Create("号", subject)) << "the limit counts characters, not bytes";
  EXPECT_FALSE(matcher.Create("号", subject + "x"));
  EXPECT_EQ(0, matcher.MatchCount());
  EXPECT_FALSE(matcher.Create(std::string(kMax + 1, 'a'), "a"));
  // At the limit, a quantified group recursing once per character.
  ASSERT_TRUE(matcher.Create("((a|b)c?)*", std::string(kMax, 'a')));
  EXPECT_EQ(kMax, matcher.MatchText(1).size());
}

}  // namespace
}  // namespace lanfeng
