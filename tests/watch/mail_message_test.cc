#include "watch/mail_message.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace lanfeng {
namespace {

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// Quoted-printable decoding as RFC 2045 has it.
std::string DecodeQuotedPrintable(const std::string& encoded) {
  std::string text;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '=') {
      text += encoded[i];
    } else if (encoded.compare(i + 1, 2, "\r\n") == 0) {
      i += 2;
    } else {
      text += static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16));
      i += 2;
    }
  }
  return text;
}

bool IsWholeUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = text[i];
    const size_t length = lead < 0x80    ? 1
                          : lead >= 0xF0 ? 4
                          : lead >= 0xE0 ? 3
                          : lead >= 0xC0 ? 2
                                         : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

// Decodes one encoded word "=?UTF-8?Q?...?=".
std::string DecodeWord(const std::string& word) {
  std::string q = word.substr(10, word.size() - 12);
  for (char& c : q) {
    if (c == '_') c = ' ';
  }
  return DecodeQuotedPrintable(q);
}

// A field's value as a reader sees it: folds undone, encoded words decoded
// (the blanks between adjacent words dropped). Checks each word on the way.
std::string ReadField(const std::string& field) {
  EXPECT_EQ("\r\n", field.substr(field.size() - 2));
  std::string value;
  bool after_word = false;
  const std::regex word_pattern("^=\\?UTF-8\\?Q\\?[A-Za-z0-9!*+/=_-]*\\?=$");
  std::string unfolded =
      std::regex_replace(field.substr(0, field.size() - 2), std::regex("\r\n "), " ");
  std::istringstream tokens(unfolded.substr(unfolded.find(':') + 2));
  for (std::string token; tokens >> token;) {
    const bool is_word = std::regex_match(token, word_pattern);
    if (is_word) {
      EXPECT_LE(token.size(), 75u) << token;
      EXPECT_TRUE(IsWholeUtf8(DecodeWord(token))) << "a word splits a character: " << token;
    }
    if (!value.empty() && !(is_word && after_word)) value += " ";
    value += is_word ? DecodeWord(token) : token;
    after_word = is_word;
  }
  return value;
}

// The checks every header field passes: lines of at most 76 printable
// ASCII characters, every new line a fold (starting with a blank).
void ExpectCleanField(const std::string& field) {
  ASSERT_EQ("\r\n", field.substr(field.size() - 2));
  const std::vector<std::string> lines = SplitCrLf(field);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_LE(lines[i].size(), 76u) << lines[i];
    EXPECT_TRUE(i == 0 || lines[i].front() == ' ') << "a line that is not a fold: " << lines[i];
    for (unsigned char c : lines[i]) {
      EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "byte " << int{c} << " in " << lines[i];
    }
  }
}

TEST(MailMessageTest, QuotedPrintableLinesAreShortSafeAndDecodeBack) {
  const std::string chinese = u8"账号：123456<br>时间：2024年3月5日14时7分 ";
  const std::vector<std::string> texts = {
      std::string(200, 'a'),
      std::string(75, 'b') + "\r\n" + std::string(76, 'c') + "\r\n" + std::string(77, 'd') + "\r\n",
      std::string(74, 'e') + "=" + std::string(74, 'f') + ".g.\r\n.h",
      std::string(73, ' ') + "\t \r\n" + std::string(75, 'i') + " \r\n",
      chinese + chinese + chinese + "\r\n." + chinese,
      "=\r\n=\r\n.\r\n..\r\n",
  };
  for (const std::string& text : texts) {
    const std::string encoded = EncodeQuotedPrintable(text);
    EXPECT_EQ(text, DecodeQuotedPrintable(encoded));
    ASSERT_EQ("\r\n", encoded.substr(encoded.size() - 2));
    for (const std::string& line : SplitCrLf(encoded)) {
      EXPECT_LE(line.size(), 76u) << line;
      EXPECT_NE('.', line.front()) << line;
      EXPECT_TRUE(line.back() != ' ' && line.back() != '\t') << "trailing blank: " << line;
      EXPECT_TRUE(std::regex_match(line, std::regex("([!-<>-~ \t]|=[0-9A-F]{2})*=?"))) << line;
    }
  }
}

TEST(MailMessageTest, QuotedPrintableBreaksWhereTheRulesSay) {
  const std::string a75(75, 'a');
  EXPECT_EQ("a=3Db=\r\n", EncodeQuotedPrintable("a=b"));
  EXPECT_EQ("end=20\r\nx=\r\n", EncodeQuotedPrintable("end \r\nx"));
  EXPECT_EQ("=2Edot\r\n", EncodeQuotedPrintable(".dot\r\n"));
  EXPECT_EQ("a\r\nb\r\n", EncodeQuotedPrintable("a\nb\n")) << "a bare LF is a line break";
  EXPECT_EQ("a=0Db=\r\n", EncodeQuotedPrintable("a\rb")) << "a bare CR is not";
  EXPECT_EQ("=E8=B4=A6=\r\n", EncodeQuotedPrintable(u8"账"));
  EXPECT_EQ(a75 + "a\r\n", EncodeQuotedPrintable(a75 + "a\r\n")) << "76 fit before a hard break";
  EXPECT_EQ(a75 + "=\r\naa\r\n", EncodeQuotedPrintable(a75 + "aa\r\n"));
  EXPECT_EQ(a75 + "=\r\na=\r\n", EncodeQuotedPrintable(a75 + "a"))
      << "the final soft break needs room";
  EXPECT_EQ(a75.substr(1) + "=\r\n=3D=\r\n", EncodeQuotedPrintable(a75.substr(1) + "="))
      << "an escape is never split";
  EXPECT_EQ(a75 + "=\r\n=2Eb=\r\n", EncodeQuotedPrintable(a75 + ".b"))
      << "a dot that a soft break brings to a line start";
}

TEST(MailMessageTest, NonAsciiHeaderTextsTravelAsEncodedWords) {
  const std::string subject = u8"账号掉线了，请抓紧登录，才能使用！";
  const std::string field = UnstructuredField("Subject", subject);
  EXPECT_EQ(0u, field.find("Subject: =?UTF-8?Q?=E8=B4=A6")) << field;
  ExpectCleanField(field);
  EXPECT_EQ(subject, ReadField(field));

  std::string long_subject;
  for (int i = 0; i < 30; ++i) long_subject += u8"岚风 watch ";
  const std::string long_field = UnstructuredField("Subject", long_subject);
  EXPECT_GT(SplitCrLf(long_field).size(), 5u);
  ExpectCleanField(long_field);
  EXPECT_EQ(long_subject, ReadField(long_field));
}

TEST(MailMessageTest, PlainAsciiHeaderTextsGoAsTheyAre) {
  EXPECT_EQ("Subject: Lanfeng test mail\r\n", UnstructuredField("Subject", "Lanfeng test mail"));
  const std::string lookalike = "=?UTF-8?Q?fake?=";
  EXPECT_EQ(std::string::npos, UnstructuredField("Subject", lookalike).find(lookalike))
      << "a text that looks like an encoded word is encoded itself";
  EXPECT_EQ(lookalike, ReadField(UnstructuredField("Subject", lookalike)));
  EXPECT_EQ("From: \"Lan \\\"Feng\\\" \\\\ Watch\" <a@qq.com>\r\n",
            MailboxField("From", {{"a@qq.com", "Lan \"Feng\" \\ Watch"}}));
  EXPECT_EQ("To: a@qq.com,\r\n b@qq.com\r\n",
            MailboxField("To", {{"a@qq.com", ""}, {"b@qq.com", ""}}));
}

TEST(MailMessageTest, ANameThatQuotingLengthensPastALineIsEncoded) {
  // Each quote and backslash gains a backslash: 70 of them would quote to
  // 142 characters on one line.
  for (const std::string& name : {std::string(70, '"'), std::string(40, '\\'), std::string(74, 'n')}) {
    const std::string field = MailboxField("To", {{"a@qq.com", name}, {"b@qq.com", name}});
    ExpectCleanField(field);
    EXPECT_NE(std::string::npos, field.find("<b@qq.com>")) << field;
  }
  EXPECT_EQ("To: \"" + std::string(70, 'n') + "\"\r\n <a@qq.com>\r\n",
            MailboxField("To", {{"a@qq.com", std::string(70, 'n')}}))
      << "a name whose quotes still fit a line goes as it is";
}

TEST(MailMessageTest, ControlCharactersNeverReachAHeaderRaw) {
  const std::vector<std::string> hostile = {
      "Hello\r\nBcc: victim@example.com", "line\nfeed", "carriage\rreturn", "tab\tand\x1b escape",
      u8"上线通知！\r\n\r\n<script>",
  };
  for (const std::string& text : hostile) {
    const std::string subject = UnstructuredField("Subject", text);
    const std::string to = MailboxField("To", {{"a@qq.com", text}, {"b@qq.com", text}});
    for (const std::string& field : {subject, to}) {
      ExpectCleanField(field);
      EXPECT_EQ(std::string::npos, field.find("\r\nBcc:")) << field;
    }
    EXPECT_EQ(text, ReadField(subject)) << "nothing is lost, only encoded";
  }
}

TEST(MailMessageTest, AddressesMustBeSafeAndWellFormed) {
  for (const char* good : {"a@b.com", "123456@qq.com", "first.last+tag@mail-1.example.cn",
                           "o'neil!#$%&*/=?^_`{|}~-@x.org", "a@localhost"}) {
    EXPECT_TRUE(IsValidMailAddress(good)) << good;
  }
  const std::string long_local(65, 'a');
  for (const std::string& bad : {std::string(),
                                 std::string("123456"),
                                 std::string("@b.com"),
                                 std::string("a@"),
                                 std::string("a@@b.com"),
                                 std::string("a@b@c.com"),
                                 std::string(".a@b.com"),
                                 std::string("a.@b.com"),
                                 std::string("a..b@c.com"),
                                 std::string("a@b..com"),
                                 std::string("a@.b.com"),
                                 std::string("a@b.com."),
                                 std::string("a@-b.com"),
                                 std::string("a@b-.com"),
                                 std::string("a@b_c.com"),
                                 std::string("a b@c.com"),
                                 std::string("\"a\"@b.com"),
                                 std::string("<a@b.com>"),
                                 std::string("a@b.com>"),
                                 std::string("a@b.com\r\nRCPT TO:<x@y.com>"),
                                 std::string("a@b.com\n"),
                                 std::string("a\r@b.com"),
                                 std::string("a@b.com\t"),
                                 std::string("测试@qq.com"),
                                 std::string(u8"测试@qq.com"),
                                 long_local + "@b.com",
                                 std::string(63, 'a') + "@" + std::string(190, 'b') + ".com"}) {
    EXPECT_FALSE(IsValidMailAddress(bad)) << bad;
  }
}

TEST(MailMessageTest, DatesAreRfc5322WhateverTheLocale) {
  std::tm local{};
  local.tm_year = 124;
  local.tm_mon = 2;
  local.tm_mday = 5;
  local.tm_wday = 2;
  local.tm_hour = 14;
  local.tm_min = 7;
  local.tm_sec = 9;
  EXPECT_EQ("Tue, 05 Mar 2024 14:07:09 +0800", FormatMailDate(local, 8 * 3600));
  EXPECT_EQ("Tue, 05 Mar 2024 14:07:09 -0330", FormatMailDate(local, -(3 * 3600 + 1800)));
  EXPECT_EQ("Tue, 05 Mar 2024 14:07:09 +0000", FormatMailDate(local, 0));
}

}  // namespace
}  // namespace lanfeng
