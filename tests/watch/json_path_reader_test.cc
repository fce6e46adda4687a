#include "watch/json_path_reader.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "runtime/gbk_text.h"
#include "support/gbk_text_testing.h"

namespace lanfeng {
namespace {

using Texts = std::vector<std::string>;

// A reader on variable "da" that has parsed json.
JsonPathReader ReaderOf(const std::string& json) {
  JsonPathReader reader("da");
  reader.Initialize();
  EXPECT_TRUE(reader.Parse(json)) << GbkForDisplay(json);
  return reader;
}

Texts NamesAt(const JsonPathReader& reader, const std::string& path) {
  Texts names{"stale"};
  int count = reader.MemberNames(&names, path);
  EXPECT_EQ(count, static_cast<int>(names.size()));
  return names;
}

Texts LeavesAt(const JsonPathReader& reader, const std::string& path, bool recursive) {
  Texts leaves{"stale"};
  reader.LeafValues(&leaves, path, recursive);
  return leaves;
}

std::string Repeat(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

TEST(JsonPathReaderTest, ReadsTheXiaoLiZiAccountList) {
  JsonPathReader reader =
      ReaderOf(R"({"QQlist":{"10001":{"登录信息":"登录成功"},"10002":{"登录信息":"下线成功"}}})");
  EXPECT_EQ((Texts{"10001", "10002"}), NamesAt(reader, "QQlist"));
  EXPECT_GBK_EQ("登录成功", reader.GetText("QQlist['10001'].登录信息"));
  EXPECT_GBK_EQ("下线成功", reader.GetText("QQlist['10002'].登录信息"));
  EXPECT_EQ("", reader.GetText("QQlist['10003'].登录信息"));
  EXPECT_EQ("", reader.GetText("QQlist['10001'].状态"));

  // Another variable name: "QQ" begins the path but names no variable.
  JsonPathReader named("QQ");
  named.Initialize();
  ASSERT_TRUE(named.Parse(R"({"QQlist":{"10001":{"登录信息":"登录成功"}}})"));
  EXPECT_GBK_EQ("登录成功", named.GetText("QQlist['10001'].登录信息"));
}

TEST(JsonPathReaderTest, ReadsTheDuluAccountList) {
  JsonPathReader reader =
      ReaderOf(R"({"10001":{"附加信息":"登录成功","状态":0},)"
               R"("10002":{"附加信息":"你的帐号当前登录已失效，请重新登录。","状态":1}})");
  EXPECT_EQ((Texts{"10001", "10002"}), NamesAt(reader, ""));
  EXPECT_EQ("0", reader.GetText("['10001'].状态"));
  EXPECT_GBK_EQ("登录成功", reader.GetText("['10001'].附加信息"));
  EXPECT_GBK_EQ("你的帐号当前登录已失效，请重新登录。", reader.GetText("['10002'].附加信息"));
  EXPECT_EQ("", reader.GetText("['10003'].状态"));
}

TEST(JsonPathReaderTest, ParseTakesJsonLiteralsAndReportsWhereTheyBreak) {
  JsonPathReader reader;
  EXPECT_TRUE(reader.Parse("{}"));  // initializes a reader without an engine
  EXPECT_TRUE(reader.Parse(" 5 "));
  EXPECT_EQ("5", reader.GetText(""));
  EXPECT_FALSE(reader.Parse("null"));

  JsonErrorInfo error;
  EXPECT_FALSE(reader.Parse("{broken", false, &error));
  EXPECT_EQ(kJsonSyntaxError, error.number);
  EXPECT_EQ(1, error.line);
  EXPECT_EQ(1, error.column);
  EXPECT_EQ("null", reader.GetJson(""));  // a failed parse leaves null
  EXPECT_FALSE(reader.Parse("{\r\n\"登录\": 1,\r\n  x}", false, &error));
  EXPECT_EQ(3, error.line);
  EXPECT_EQ(2, error.column);
  EXPECT_EQ("  x}", error.text);

  EXPECT_FALSE(reader.Parse("  ", false, &error));  // eval of nothing: no error, no variable
  EXPECT_EQ(kJsonNoError, error.number);
  EXPECT_EQ("", reader.GetJson(""));
  EXPECT_FALSE(reader.Parse("  ", true, &error));
  EXPECT_EQ(kJsonSyntaxError, error.number);

  EXPECT_FALSE(reader.Parse(R"("QQlist")", false, &error));  // eval would run it
  EXPECT_EQ(kJsonScriptText, error.number);
  EXPECT_TRUE(reader.Parse(R"("QQlist")", true));
  EXPECT_EQ("QQlist", reader.GetText(""));

  EXPECT_TRUE(reader.Parse(R"({"a":1,"b":2,"a":{"c":3,"c":4}})"));
  EXPECT_EQ(R"({"a":{"c":4},"b":2})", reader.ToJson());
  EXPECT_FALSE(reader.Parse("{\"a\":1e400}"));

  EXPECT_FALSE(reader.Parse(std::string(kMaxJsonTextBytes + 1, ' '), false, &error));
  EXPECT_EQ(kJsonTextTooLarge, error.number);
}

TEST(JsonPathReaderTest, ResolvesPathsAgainstTheVariable) {
  JsonPathReader reader =
      ReaderOf(R"({"QQlist":{"x":1},"data":{"x":"in data"},"da":{"x":"inner"},)"
               R"("list":[10,20,30],"map":{"1":"one","-1":"minus","1.5":"half"},)"
               R"("a'b\"c\\d\n":"odd","\u767b\u5f55":"ok"})");
  EXPECT_EQ("1", reader.GetText("da.QQlist.x"));
  EXPECT_EQ("in data", reader.GetText("data.x"));
  EXPECT_EQ("inner", reader.GetText("da.x"));  // missing as it stands: da.da.x
  EXPECT_EQ("[object Object]", reader.GetText("da"));
  EXPECT_EQ("[object Object]", reader.GetText(""));
  EXPECT_EQ("1", reader.GetText(R"(['QQlist']["x"])"));
  EXPECT_EQ("1", reader.GetText("QQlist [ 'x' ] "));
  EXPECT_EQ("ok", reader.GetText("登录"));
  EXPECT_EQ("odd", reader.GetText(R"(['a\'b"c\\d\n'])"));
  EXPECT_EQ("odd", reader.GetText(R"(["a'b\"c\x5cd\u000a"])"));

  EXPECT_EQ("20", reader.GetText("list[1]"));
  EXPECT_EQ("30", reader.GetText("list['2']"));
  EXPECT_EQ("", reader.GetText("list[3]"));
  EXPECT_EQ("3", reader.GetText("list.length"));
  EXPECT_EQ("one", reader.GetText("map[1]"));
  EXPECT_EQ("minus", reader.GetText("map[-1]"));
  EXPECT_EQ("half", reader.GetText("map[1.50]"));

  for (const char* bad : {"QQlist.", "QQlist[", "QQlist['x'", "QQlist.x + 1", "QQlist.x()",
                          "QQlist..x", "[x]", "list[01]", " [0]", "QQlist['x\n']"}) {
    EXPECT_EQ("", reader.GetText(bad)) << bad;
    EXPECT_FALSE(reader.PathExists(bad)) << bad;
  }
  EXPECT_TRUE(reader.PathExists("QQlist.x"));
  EXPECT_FALSE(reader.PathExists("QQlist.y"));
  EXPECT_FALSE(reader.PathExists("QQlist.y.z"));
}

TEST(JsonPathReaderTest, WritesNumbersAsJavaScriptDoes) {
  const std::pair<const char*, const char*> kNumbers[] = {
      {"0", "0"},
      {"-0", "0"},
      {"100", "100"},
      {"-2.5", "-2.5"},
      {"0.1", "0.1"},
      {"0.000001", "0.000001"},
      {"1e-7", "1e-7"},
      {"123e-20", "1.23e-18"},
      {"1e20", "100000000000000000000"},
      {"1e21", "1e+21"},
      {"1.5e300", "1.5e+300"},
      {"123456789012345678", "123456789012345680"},
      {"9007199254740993", "9007199254740992"},
      {"-9007199254740991", "-9007199254740991"},
  };
  JsonPathReader reader;
  for (auto [literal, text] : kNumbers) {
    ASSERT_TRUE(reader.Parse(std::string("{\"n\":") + literal + "}")) << literal;
    EXPECT_EQ(text, reader.GetText("n")) << literal;
    EXPECT_EQ(text, reader.GetJson("n")) << literal;
  }
  ASSERT_TRUE(reader.SetNumber("n", std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ("NaN", reader.GetText("n"));
  EXPECT_EQ("null", reader.GetJson("n"));
  ASSERT_TRUE(reader.SetNumber("n", -std::numeric_limits<double>::infinity()));
  EXPECT_EQ("-Infinity", reader.GetText("n"));
}

TEST(JsonPathReaderTest, ShowsValuesAsJavaScriptDoes) {
  JsonPathReader reader =
      ReaderOf(R"({"n":1e21,"t":true,"f":false,"z":null,"s":"文本","o":{"a":1},)"
               R"("a":[1,[2,[3]],null,"x",{},true],"e":[]})");
  EXPECT_EQ("true", reader.GetText("t"));
  EXPECT_EQ("false", reader.GetText("f"));
  EXPECT_EQ("", reader.GetText("z"));
  EXPECT_GBK_EQ("文本", reader.GetText("s"));
  EXPECT_EQ("2", reader.GetText("s.length"));
  EXPECT_EQ("[object Object]", reader.GetText("o"));
  EXPECT_EQ("1,2,3,,x,[object Object],true", reader.GetText("a"));
  EXPECT_EQ("", reader.GetText("e"));

  EXPECT_EQ("null", reader.GetJson("z"));
  EXPECT_EQ(R"([1,[2,[3]],null,"x",{},true])", reader.GetText("a", true));
  EXPECT_EQ("", reader.GetJson("missing"));
  EXPECT_EQ(1e21, reader.GetNumber("n"));
  EXPECT_EQ(6, reader.GetNumber("a.length"));
  EXPECT_EQ(0, reader.GetNumber("s"));

  EXPECT_EQ(kJsonString, reader.TypeOf("s"));
  EXPECT_EQ(kJsonArray, reader.TypeOf("a"));
  EXPECT_EQ(kJsonObject, reader.TypeOf("o"));
  EXPECT_EQ(kJsonNumber, reader.TypeOf("a.length"));
  EXPECT_EQ(kJsonBoolean, reader.TypeOf("f"));
  EXPECT_EQ(kJsonNothing, reader.TypeOf("z"));
  EXPECT_EQ(kJsonNothing, reader.TypeOf("z.y"));
  EXPECT_EQ(6, reader.Count("a"));
  EXPECT_EQ(0, reader.Count("o"));
}

TEST(JsonPathReaderTest, EscapesJsonAndConvertsTextsToGbk) {
  JsonPathReader reader = ReaderOf(R"({"s":"q\"b\\\/\b\f\n\r\t\u0001\u007f\u00ad\u2028\u4e2d",)"
                                   R"("emoji":"\ud83d\ude00","lone":"\udc00x"})");
  EXPECT_GBK_EQ(R"("q\"b\\/\b\f\n\r\t\u0001\u007f\u00ad\u2028中")", reader.GetJson("s"));
  EXPECT_EQ("??", reader.GetText("emoji"));
  EXPECT_EQ("?x", reader.GetText("lone"));

  // Bytes that are no GBK character read as U+FFFD and come out as "?"; a
  // lead byte before an ASCII byte leaves that byte alone.
  ASSERT_TRUE(
      reader.Parse("{\"k\":\"a\x80"
                   "b\xFF\",\"j\":\"c\x81\"}"));
  EXPECT_EQ("a?b?", reader.GetText("k"));
  EXPECT_EQ("c?", reader.GetText("j"));

  // 乗 is 81 5C in GBK: its trail byte is a backslash, in keys and in names.
  ASSERT_TRUE(reader.Parse(R"({"\u4e57":{"\u4e57":"v"}})"));
  EXPECT_EQ("v", reader.GetText("['\x81\x5C'].\x81\x5C"));
  EXPECT_EQ((Texts{"\x81\x5C"}), NamesAt(reader, ""));
}

TEST(JsonPathReaderTest, ListsMemberNamesAndLeafValues) {
  JsonPathReader reader =
      ReaderOf(R"({"arr":[1],"s":"str","n":3,"o":{"a\r\nb":1,"":2},"p":{"":1,"x":2},)"
               R"("leaves":{"a":"x","b":[1,{"c":true}],"d":null,"e":2.5}})");
  for (const char* path : {"arr", "s", "n", "missing", "missing.x", "o["}) {
    EXPECT_EQ(Texts(), NamesAt(reader, path)) << path;
  }
  EXPECT_EQ((Texts{"a", "b"}), NamesAt(reader, "o"));  // joined by CR LF, split again
  EXPECT_EQ((Texts{"", "x"}), NamesAt(reader, "p"));
  EXPECT_EQ((Texts{"x", "2.5"}), LeavesAt(reader, "leaves", false));
  EXPECT_EQ((Texts{"x", "1", "true", "2.5"}), LeavesAt(reader, "leaves", true));
  EXPECT_EQ((Texts{"1"}), LeavesAt(reader, "arr", true));
  EXPECT_EQ(Texts(), LeavesAt(reader, "s", true));
}

TEST(JsonPathReaderTest, StoresTextsWithTheirBackslashes) {
  JsonPathReader reader = ReaderOf("{}");
  ASSERT_TRUE(reader.SetValue("path", "C:\\dir\\'x\"\r\n"));
  EXPECT_EQ("C:\\dir\\'x\"\r\n", reader.GetText("path"));
  EXPECT_EQ("\"C:\\dir\\'x\\\"\\r\\n\"", reader.GetJson("path"));  // raw backslashes
  ASSERT_TRUE(reader.SetValue("gbk", "\x81\x5C"));                 // 乗: its trail byte is "\"
  EXPECT_EQ("\x81\x5C", reader.GetText("gbk"));
  EXPECT_EQ("\"\x81\x5C\"", reader.GetJson("gbk"));
  EXPECT_FALSE(reader.SetValue("missing.member", "x"));
  EXPECT_TRUE(reader.SetValue("path.member", "x"));  // a member of a string: ignored
  EXPECT_EQ("C:\\dir\\'x\"\r\n", reader.GetText("path"));

  ASSERT_TRUE(reader.SetValue("", "whole"));
  EXPECT_EQ(kJsonString, reader.TypeOf(""));
  EXPECT_EQ("whole", reader.GetText(""));
  EXPECT_TRUE(reader.Clear());
  EXPECT_EQ("{}", reader.ToJson());
  EXPECT_TRUE(reader.SetByEval("", " "));  // eval of nothing: the variable goes
  EXPECT_EQ("", reader.ToJson());
  EXPECT_FALSE(reader.PathExists(""));
}

TEST(JsonPathReaderTest, MergesCodeValuesIntoObjects) {
  JsonPathReader reader =
      ReaderOf(R"({"o":{"s":"old","b":true,"n":1,"arr":[1],"sub":{"x":1},"nul":null}})");
  ASSERT_TRUE(reader.SetValue(
      "o", R"({"s":"new","b":false,"arr":[2,{"y":3}],"sub":{"y":2},"add":{"z":1}})", true));
  const std::string merged =
      R"({"s":"new","b":false,"n":1,"arr":[1,2,{"y":3}],"sub":{"x":1,"y":2},"nul":null,)"
      R"("add":{"z":1}})";
  EXPECT_EQ(merged, reader.GetJson("o"));
  EXPECT_FALSE(reader.SetValue("o", R"({"s":"later","n":5})", true));  // a number member
  EXPECT_FALSE(reader.SetValue("o", R"({"nul":{"k":1}})", true));      // members of null
  EXPECT_EQ(merged, reader.GetJson("o"));
  EXPECT_TRUE(reader.SetValue("o", R"({"nul":{}})", true));
  EXPECT_TRUE(reader.SetValue("o", R"("text")", true));  // a string has no members
  EXPECT_EQ(merged, reader.GetJson("o"));

  EXPECT_TRUE(reader.SetValue("o.s", "[1]", true));
  EXPECT_EQ("[1]", reader.GetJson("o.s"));
  EXPECT_FALSE(reader.SetValue("o.t", R"("text")", true));  // eval would run it
  EXPECT_TRUE(reader.SetValue("o.e", "", true));
  EXPECT_EQ("{}", reader.GetJson("o.e"));
  EXPECT_TRUE(reader.SetByEval("o.n", R"([1,{"a":2}])"));
  EXPECT_EQ(R"([1,{"a":2}])", reader.GetJson("o.n"));
  EXPECT_FALSE(reader.SetByEval("o.n", "undefinedName"));
  EXPECT_FALSE(reader.SetByEval("o.n", ""));
  EXPECT_EQ(R"([1,{"a":2}])", reader.GetJson("o.n"));
}

TEST(JsonPathReaderTest, EditsArrays) {
  JsonPathReader reader = ReaderOf(R"({"o":{"s":"str"}})");
  EXPECT_TRUE(reader.AddItem("list", "a"));
  EXPECT_TRUE(reader.AddItem("list", "b\\tc"));  // inside quotes: \t is a tab
  EXPECT_TRUE(reader.AddItem("list", R"({"k":1})", true));
  EXPECT_TRUE(reader.AddItem("list", "first", false, true));
  EXPECT_FALSE(reader.AddItem("list", "it's"));
  EXPECT_FALSE(reader.AddItem("list", "ends\\"));
  EXPECT_FALSE(reader.AddItem("o.s.x", "v"));
  EXPECT_FALSE(reader.AddItem("missing.deep", "v"));
  EXPECT_EQ(R"(["first","a","b\tc",{"k":1}])", reader.GetJson("list"));

  EXPECT_TRUE(reader.SetItem(1, "list", "B"));
  EXPECT_TRUE(reader.SetItem(6, "list", "7", true));
  EXPECT_FALSE(reader.SetItem(0, "list", "x'"));
  EXPECT_FALSE(reader.SetItem(1 << 20, "list", "1", true));
  EXPECT_FALSE(reader.SetNumber("list.length", 0));
  EXPECT_EQ(R"(["first","B","b\tc",{"k":1},null,null,7])", reader.GetJson("list"));
  EXPECT_TRUE(reader.SetItem(5, "o", "five"));
  EXPECT_EQ("five", reader.GetText("o['5']"));

  EXPECT_EQ("B", reader.GetItemText(1, "list"));
  EXPECT_EQ("", reader.GetItemText(6, "list"));  // only strings read as text
  EXPECT_EQ(R"({"k":1})", reader.GetItemText(3, "list", true));
  EXPECT_EQ("", reader.GetItemText(9, "list", true));

  EXPECT_TRUE(reader.RemoveItem(-1, "list"));
  EXPECT_TRUE(reader.RemoveItem(0, "list"));
  EXPECT_TRUE(reader.RemoveItem(99, "list"));
  EXPECT_FALSE(reader.RemoveItem(0, "o"));
  EXPECT_TRUE(reader.Remove("list[0]"));  // leaves a hole
  EXPECT_EQ(R"([null,"b\tc",{"k":1},null,null])", reader.GetJson("list"));

  EXPECT_TRUE(reader.SetNumber("o.n", 0.1));
  EXPECT_EQ("0.1", reader.GetText("o.n"));
  EXPECT_EQ(0.1, reader.GetNumber("o.n"));
  EXPECT_TRUE(reader.Remove("o.s"));
  EXPECT_TRUE(reader.Remove(""));  // the variable itself stays
  EXPECT_FALSE(reader.Remove("missing.x"));
  EXPECT_EQ(R"({"5":"five","n":0.1})", reader.GetJson("o"));
}

TEST(JsonPathReaderTest, CopiesShareTheEngineAndObjectsDoNot) {
  JsonPathReader reader = ReaderOf(R"({"o":{"x":1},"list":["a",{"b":2}],"p":"C:\\d"})");
  JsonPathReader copy = reader.Copy();
  EXPECT_EQ(reader.GetEngine(), copy.GetEngine());
  ASSERT_TRUE(copy.SetValue("o.y", "2"));
  EXPECT_EQ("2", reader.GetText("o.y"));

  JsonPathReader object = reader.GetObject("o");
  EXPECT_NE(reader.GetEngine(), object.GetEngine());
  EXPECT_EQ(R"({"x":1,"y":"2"})", object.ToJson());
  ASSERT_TRUE(object.SetValue("x", "changed"));
  EXPECT_EQ("1", reader.GetText("o.x"));
  EXPECT_EQ(R"({"b":2})", reader.GetItemObject(1, "list").ToJson());
  EXPECT_EQ("", reader.GetItemObject(5, "list").ToJson());

  reader.Destroy();
  EXPECT_EQ("", reader.GetText("o.x"));
  JsonErrorInfo error;
  EXPECT_FALSE(reader.Parse("{}", false, &error));  // the variable name went too
  EXPECT_EQ(kJsonBadVariable, error.number);
  EXPECT_EQ("1", copy.GetText("o.x"));
}

TEST(JsonPathReaderTest, UnusableReadersAnswerEmpty) {
  JsonPathReader fresh;
  EXPECT_EQ("", fresh.GetText(""));
  EXPECT_FALSE(fresh.PathExists(""));
  EXPECT_EQ(0, fresh.MemberNames(nullptr, ""));
  EXPECT_FALSE(fresh.SetValue("x", "1"));
  for (const char* name : {"", "1a", "da.x", "null", "a b"}) {
    JsonPathReader reader(name);
    EXPECT_FALSE(reader.Initialize()) << name;
    EXPECT_FALSE(reader.Parse("{\"x\":1}")) << name;
    EXPECT_EQ("", reader.GetText("x")) << name;
  }
  JsonPathReader chinese("数据");
  EXPECT_TRUE(chinese.Initialize());
  ASSERT_TRUE(chinese.Parse(R"({"x":1})"));
  EXPECT_EQ("1", chinese.GetText("数据.x"));
}

TEST(JsonPathReaderTest, DeepAndWideDocumentsStayBounded) {
  const int kDepth = 100000;
  std::string arrays = Repeat("[", kDepth) + Repeat("]", kDepth);
  JsonPathReader reader = ReaderOf(arrays);
  EXPECT_EQ(arrays, reader.ToJson());
  EXPECT_EQ("", reader.GetText(""));
  EXPECT_EQ(kJsonArray, reader.TypeOf(Repeat("[0]", 1000)));
  EXPECT_EQ(0, reader.LeafValues(nullptr, "", true));
  EXPECT_FALSE(reader.Parse(Repeat("[", kDepth)));

  std::string objects = Repeat(R"({"a":)", kDepth) + "1" + Repeat("}", kDepth);
  ASSERT_TRUE(reader.Parse(objects));
  EXPECT_EQ(objects, reader.GetObject("").ToJson());
  EXPECT_EQ((Texts{"1"}), LeavesAt(reader, "", true));
  EXPECT_FALSE(reader.SetValue("", objects, true));  // the number at the bottom stops it
  EXPECT_TRUE(reader.SetByEval("copy", objects));
  EXPECT_EQ(objects, reader.GetJson("copy"));
  std::string addition = Repeat(R"({"a":)", kDepth - 1) + R"({"b":2})" + Repeat("}", kDepth - 1);
  EXPECT_TRUE(reader.SetValue("copy", addition, true));
  EXPECT_EQ(Repeat(R"({"a":)", kDepth) + R"(1,"b":2)" + Repeat("}", kDepth),
            reader.GetJson("copy"));

  std::string wide = "{";
  for (int i = 0; i < 100000; ++i)
    wide += (i ? ",\"" : "\"") + std::to_string(i) + "\":" + std::to_string(i);
  wide += "}";
  ASSERT_TRUE(reader.Parse(wide));
  EXPECT_EQ(100000, reader.MemberNames(nullptr, ""));
  EXPECT_EQ("99999", reader.GetText("['99999']"));
  EXPECT_TRUE(reader.SetValue("['5']", "five"));  // the name index follows changes
  EXPECT_EQ("five", reader.GetText("[5]"));
  EXPECT_TRUE(reader.Remove("['6']"));
  EXPECT_EQ("", reader.GetText("[6]"));
  EXPECT_EQ("7", reader.GetText("[7]"));
}

TEST(JsonPathReaderTest, SurvivesArbitraryPathsAndTexts) {
  const char* pieces[] = {"[", "]", "'",   "\"",   "\\",   ".",      "da",  "QQlist",
                          "0", "-", "1e5", "登录", "\x81", "\xFF",   " ",   "u",
                          "x", "{", "}",   ":",    ",",    "length", "\r\n"};
  std::mt19937 random(20240720);
  JsonPathReader reader = ReaderOf(R"({"QQlist":{"0":[1,"x",{"登录":null}]},"da":[[]]})");
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int n = random() % 12; n > 0; --n)
      text += pieces[random() % (sizeof pieces / sizeof *pieces)];
    JsonPathReader copy = reader.Copy();
    copy.GetText(text);
    copy.GetText(text, true);
    copy.MemberNames(nullptr, text);
    copy.LeafValues(nullptr, text, true);
    copy.TypeOf(text);
    copy.GetObject(text);
    if (round % 3 == 0) {
      copy.SetValue(text, text, round % 2 == 0);
      copy.AddItem(text, text, round % 5 == 0, round % 7 == 0);
      copy.SetItem(round % 4, text, text, true);
      copy.Remove(text);
      copy.RemoveItem(-(round % 3), text);
    }
    JsonPathReader other;
    JsonErrorInfo error;
    other.Parse(text, round % 2 == 0, &error);
    if (round % 100 == 0) reader.Parse(R"({"QQlist":{"0":[1,"x",{"登录":null}]},"da":[[]]})");
  }
}

}  // namespace
}  // namespace lanfeng

namespace lanfeng {
namespace {

TEST(JsonPathReaderNumbersTest, ZeroWithAnyExponentIsZero) {
  JsonPathReader reader("da");
  reader.Initialize();
  ASSERT_TRUE(reader.Parse("{\"a\":0E110,\"b\":-0.00e-5,\"c\":10e2,\"d\":\"0e5\",\"e\":[0e0]}"));
  EXPECT_EQ("0", reader.GetText("a"));
  EXPECT_EQ("0", reader.GetText("b"));
  EXPECT_EQ("1000", reader.GetText("c")) << "only all-zero numbers are touched";
  EXPECT_EQ("0e5", reader.GetText("d")) << "strings are left alone";
  EXPECT_EQ("0", reader.GetText("e[0]"));
  EXPECT_FALSE(reader.Parse("{\"a\":0E}")) << "a broken exponent is still a syntax error";
  ASSERT_TRUE(reader.Parse("[0.000000000000000000000000, -0.0000000000000000000000e-7, 1e-0, 0.5]"));
  EXPECT_EQ("0", reader.GetText("[0]")) << "a long fraction of zeros";
  EXPECT_EQ("0", reader.GetText("[1]"));
  EXPECT_EQ("1", reader.GetText("[2]"));
  EXPECT_EQ("0.5", reader.GetText("[3]"));
  for (const char* refused : {"[00]", "[0.]", "[-0.e1]", "[0.0.0]", "[-]"}) {
    EXPECT_FALSE(reader.Parse(refused)) << refused << " stays a syntax error";
  }
}

TEST(JsonPathReaderNumbersTest, NumbersTooSmallForADoubleAreZero) {
  // RapidJSON 1.1 reads these past the end of its table of powers of ten, a
  // segmentation fault outside the sanitizers (found by json_path_fuzz).
  const std::string digits = "14544493135557296129";
  const std::string hundred(100, '7');
  JsonPathReader reader("da");
  reader.Initialize();
  ASSERT_TRUE(reader.Parse("[0." + std::string(330, '0') + digits + ", 1." + hundred + "e-420, -" +
                           digits + "e-400, 1e-300, 0." + std::string(300, '0') + digits +
                           ", 5e-324, 1." + hundred + "e-320, \"1e-400\"]"));
  EXPECT_EQ("0", reader.GetText("[0]"));
  EXPECT_EQ("0", reader.GetText("[1]"));
  EXPECT_EQ("0", reader.GetText("[2]"));
  EXPECT_EQ("1e-300", reader.GetText("[3]")) << "small numbers a double holds are kept";
  EXPECT_EQ("1.4544493135557296e-301", reader.GetText("[4]"));
  EXPECT_EQ("5e-324", reader.GetText("[5]"));
  EXPECT_EQ("1.7776e-320", reader.GetText("[6]")) << "a subnormal, as JavaScript prints it";
  EXPECT_EQ("1e-400", reader.GetText("[7]")) << "strings are left alone";
  JsonErrorInfo error;
  EXPECT_FALSE(reader.Parse("[1e-400.5]", false, &error)) << "a stray dot stays an error";
  EXPECT_EQ(7, error.column);
}

TEST(JsonPathReaderNumbersTest, ZerosBeforeAStrayDotAreRefusedWhereTheDotStands) {
  // A long fraction of zeros followed by "." once reached RapidJSON's exact
  // reading, which counts the leading zeros of zero (found by json_path_fuzz).
  JsonPathReader reader("da");
  reader.Initialize();
  const std::string zeros = "0." + std::string(34, '0');
  for (const std::string& text : {zeros + ".E0", "[" + zeros + ".5]", "{\"a\":-" + zeros + "e5.}"}) {
    JsonErrorInfo error;
    EXPECT_FALSE(reader.Parse(text, false, &error)) << text;
    EXPECT_EQ(kJsonSyntaxError, error.number) << text;
    EXPECT_EQ(static_cast<int32_t>(text.find('.', text.find(zeros) + 2)), error.column) << text;
  }
}

}  // namespace
}  // namespace lanfeng

namespace lanfeng {
namespace {

using Visits = std::vector<std::pair<std::string, std::vector<std::string>>>;

Visits ReadFields(const JsonPathReader& reader, const std::string& path,
                  const std::vector<std::string>& fields, int* count = nullptr) {
  Visits visits;
  int answered = reader.ReadMemberFields(
      path, fields, [&visits](const std::string& name, const std::vector<std::string>& texts) {
        visits.emplace_back(name, texts);
      });
  EXPECT_EQ(static_cast<int>(visits.size()), answered);
  if (count != nullptr) *count = answered;
  return visits;
}

// What ReadMemberFields stands for: the names, then one path per name and field.
Visits ReadFieldsByPaths(const JsonPathReader& reader, const std::string& path,
                         const std::vector<std::string>& fields) {
  Visits visits;
  std::vector<std::string> names;
  reader.MemberNames(&names, path);
  for (const std::string& name : names) {
    const std::string key = "['" + ReplaceAll(ReplaceAll(name, "\\", "\\\\"), "'", "\\'") + "']";
    std::vector<std::string> texts;
    for (const std::string& field : fields) {
      texts.push_back(reader.GetText(path + key + "." + field));
    }
    visits.emplace_back(name, texts);
  }
  return visits;
}

TEST(JsonPathReaderMemberFieldsTest, ReadsTheHostListsInOnePass) {
  JsonPathReader xlz = ReaderOf(
      R"({"QQlist":{"10001":{"登录信息":"登录成功"},"10002":{"登录信息":"下线成功"},"10003":{}}})");
  EXPECT_EQ((Visits{{"10001", {"登录成功"}}, {"10002", {"下线成功"}}, {"10003", {""}}}),
            ReadFields(xlz, "QQlist", {"登录信息"}));

  JsonPathReader dulu = ReaderOf(
      R"({"10001":{"附加信息":"你的帐号当前登录已失效，请重新登录。","状态":0},)"
      R"("10002":{"附加信息":"你的帐号当前登录已失效，请重新登录。","状态":1},"10003":5})");
  EXPECT_EQ((Visits{{"10001", {"你的帐号当前登录已失效，请重新登录。", "0"}},
                    {"10002", {"你的帐号当前登录已失效，请重新登录。", "1"}},
                    {"10003", {"", ""}}}),
            ReadFields(dulu, "", {"附加信息", "状态"}));

  int count = -1;
  for (const char* not_an_object : {"QQlist.10001.登录信息", "missing", "QQlist[", "QQlist.x.y"}) {
    EXPECT_EQ(Visits(), ReadFields(xlz, not_an_object, {"登录信息"}, &count)) << not_an_object;
    EXPECT_EQ(0, count);
  }
  JsonPathReader fresh;
  EXPECT_EQ(Visits(), ReadFields(fresh, "", {"x"}, &count));
  EXPECT_EQ(0, count);
}

// The one pass reads names the way MemberNames gives them and each field the
// way GetText reads its path, whatever the names, the object's path, the
// fields and the variable name.
TEST(JsonPathReaderMemberFieldsTest, AgreesWithNamesAndPaths) {
  const std::string members =
      R"({"1":{"a":"x","b":{"c":[1,2]},"登录信息":"\u2400\\"},"a'b\\c":{"a":"quoted"},)"
      R"("length":{"a":true},"7":"text","8":null,"9":[{"a":1}],"10":{"a":{}},"":{"a":"last"}})";
  const std::string odd_names =
      R"({"x\r\ny":{"a":1},"x":{"a":"x"},"\u4e57":{"a":"trail 5C"},"登录":{"a":"中文"},)"
      R"("\ud83d\ude00":{"a":"?"},"l\nf":{"a":2},"":{"a":"middle"},"y":{"a":"y"}})";
  const std::vector<std::string> documents = {
      members,
      odd_names,
      R"({"QQlist":)" + members + R"(,"da":)" + odd_names + R"(,"data":{"z":{"a":"in data"}}})",
      R"({"da":{"QQlist":{"k":{"a":"inner"}}},"QQlist":{"k":{"a":"outer"}}})",
      R"({"a":{"a":{"a":"deep"}}})",
      R"([{"a":1},{"a":2}])",
  };
  const std::vector<std::string> paths = {"",          "QQlist",  "da",     "da.QQlist", "data",
                                          "['QQlist']", "QQlist ", "da.da",  "a",         "a.a",
                                          "数据",        "\x81",    "missing"};
  const std::vector<std::vector<std::string>> field_lists = {
      {"a"}, {"登录信息", "a"}, {"b.c", "b.c[1]", "length", "a.length"}, {"", "a b", "[0]", "a."}};
  for (const char* variable : {"da", "d", "数据"}) {
    for (const std::string& document : documents) {
      JsonPathReader reader(variable);
      reader.Initialize();
      ASSERT_TRUE(reader.Parse(document)) << document;
      for (const std::string& path : paths) {
        for (const std::vector<std::string>& fields : field_lists) {
          EXPECT_EQ(ReadFieldsByPaths(reader, path, fields), ReadFields(reader, path, fields))
              << variable << " | " << GbkForDisplay(document) << " | " << GbkForDisplay(path)
              << " | " << GbkForDisplay(fields[0]);
        }
      }
    }
  }
}

TEST(JsonPathReaderMemberFieldsTest, FollowsEditsOfTheList) {
  JsonPathReader reader = ReaderOf(R"({"QQlist":{"1":{"s":"a"},"2":{"s":"b"}}})");
  ASSERT_TRUE(reader.SetValue("QQlist['3']", "{}", true));
  ASSERT_TRUE(reader.SetValue("QQlist['3'].s", "c\\d"));
  ASSERT_TRUE(reader.Remove("QQlist['1']"));
  ASSERT_TRUE(reader.SetValue("QQlist", R"({"2":{"s":"B"},"4":{"s":4}})", true));
  EXPECT_EQ((Visits{{"2", {"B"}}, {"3", {"c\\d"}}, {"4", {"4"}}}), ReadFields(reader, "QQlist", {"s"}));
  EXPECT_EQ(ReadFieldsByPaths(reader, "QQlist", {"s"}), ReadFields(reader, "QQlist", {"s"}));
}

// Parse keeps the parsed text as the document's strings: they live as long
// as the document, across copies of the reader and a later Parse.
TEST(JsonPathReaderMemberFieldsTest, ParsedStringsLiveAsLongAsTheirDocument) {
  JsonPathReader reader = ReaderOf(R"({"s":"a\u0041\n\"\\b","k\u00e9":{"t":"登录"}})");
  JsonPathReader copy = reader.Copy();
  JsonPathReader object = reader.GetObject("");
  EXPECT_EQ("aA\n\"\\b", copy.GetText("s"));
  ASSERT_TRUE(copy.SetValue("moved", R"({"u":"new"})", true));
  ASSERT_TRUE(reader.Parse(R"({"s":"other"})"));
  EXPECT_EQ("other", copy.GetText("s"));
  EXPECT_EQ("aA\n\"\\b", object.GetText("s"));
  EXPECT_GBK_EQ("登录", object.GetText("['k\xA8\xA6'].t"));

  // Errors keep their places: a text opening with ￥ (EF BF A5 in UTF-8)
  // has its first two bytes passed over as if they began a byte order mark.
  JsonErrorInfo error;
  EXPECT_FALSE(reader.Parse("￥{}", false, &error));
  EXPECT_EQ(kJsonSyntaxError, error.number);
  EXPECT_EQ(2, error.column);
  EXPECT_FALSE(reader.Parse(" ￥ 1", false, &error));
  EXPECT_EQ(3, error.column);
}

}  // namespace
}  // namespace lanfeng
