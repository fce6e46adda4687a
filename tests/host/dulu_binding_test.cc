#include "host/dulu_binding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "host/host_call.h"
#include "host/typed_hash_map.h"
#include "support/gbk_text_testing.h"

namespace lanfeng {
namespace {

using dulu_host::Text;

// A fake dulu host. Each function records one line, "name|signature|arg|...";
// a packed function's argument is the record's hex text as it arrived. A
// function with an answer answers `answer`.
std::vector<std::string> calls;
Text answer = nullptr;

std::string Field(Text text) { return text ? text : "(null)"; }
std::string Field(int64_t value) { return std::to_string(value); }
std::string Field(int32_t value) { return std::to_string(value); }
std::string Field(HostAddress address) { return "@" + std::to_string(address); }

template <typename R>
R Answer() {
  return R();
}
template <>
Text Answer<Text>() {
  return answer;
}

const char* const kHostNames[] = {
    "输出日志",      "发送消息_群聊",     "发送消息_好友",     "发送消息_临时",   "群聊_上传图片",
    "好友_上传图片", "群聊_上传语音",     "好友_上传语音",     "群聊_上传视频",   "好友_上传视频",
    "更新头像",      "自身_修改昵称",     "自身_发布个性签名", "群聊_置名称",     "群聊_置成员名片",
    "好友_点赞名片", "群聊_处理验证请求", "好友_处理验证请求", "群聊_置全体禁言", "群聊_置禁言成员",
    "群聊_撤回消息", "账号_删除",         "取框架QQ"};

template <int kId, typename R, typename... Args>
R HOST_CALL Fake(Text signature, Args... args) {
  std::string line = std::string(kHostNames[kId]) + "|" + Field(signature);
  ((line += "|" + Field(args)), ...);
  calls.push_back(line);
  return Answer<R>();
}

// The address of a fake, which must have the host function's type Fn.
template <typename Fn>
int64_t Address(Fn fn) {
  return static_cast<int64_t>(reinterpret_cast<HostAddress>(fn));
}

using I64 = int64_t;
using I32 = int32_t;
template <int kId>
int64_t PackedFake() {
  return Address<dulu_host::Packed>(&Fake<kId, Text, Text>);
}

const int64_t kFakes[] = {
    Address<dulu_host::Log>(&Fake<0, void, Text, I32>),
    Address<dulu_host::SendMessage>(&Fake<1, Text, I64, I64, Text>),
    Address<dulu_host::SendMessage>(&Fake<2, Text, I64, I64, Text>),
    PackedFake<3>(),
    Address<dulu_host::UploadPicture>(&Fake<4, Text, I64, I64, I32, HostAddress, I32, I32>),
    Address<dulu_host::UploadPicture>(&Fake<5, Text, I64, I64, I32, HostAddress, I32, I32>),
    PackedFake<6>(),
    PackedFake<7>(),
    PackedFake<8>(),
    PackedFake<9>(),
    Address<dulu_host::UpdateAvatar>(&Fake<10, void, I64, HostAddress, I32>),
    PackedFake<11>(),
    PackedFake<12>(),
    PackedFake<13>(),
    PackedFake<14>(),
    PackedFake<15>(),
    PackedFake<16>(),
    PackedFake<17>(),
    PackedFake<18>(),
    PackedFake<19>(),
    PackedFake<20>(),
    PackedFake<21>(),
    Address<dulu_host::AccountList>(&Fake<22, Text>),
};
constexpr size_t kFakeCount = sizeof kFakes / sizeof kFakes[0];
static_assert(kFakeCount == sizeof kHostNames / sizeof kHostNames[0], "one fake per name");

// The supplier of the API table: answers supplier_answer.
Text supplier_answer = nullptr;
std::vector<int32_t> supplier_arguments;

Text HOST_CALL FakeSupplier(int32_t zero) {
  supplier_arguments.push_back(zero);
  return supplier_answer;
}

// The hex text the host hands over for a table of names and integer values.
std::string TableText(const std::vector<std::pair<std::string, int64_t>>& entries,
                      MapType value_type = kMapInt64) {
  TypedHashMap table;
  table.Configure(kMapText, value_type);
  for (const auto& [name, value] : entries) table.Put(name, value);
  return HexBytes(table.Serialize());
}

// The table of every fake.
std::string FullTableText() {
  std::vector<std::pair<std::string, int64_t>> entries;
  for (size_t i = 0; i < kFakeCount; ++i) entries.emplace_back(kHostNames[i], kFakes[i]);
  return TableText(entries);
}

// Loads into *table what the supplier answers as text (null: a null answer).
bool Supply(const char* text, TypedHashMap* table) {
  supplier_answer = text;
  return LoadApiTable(static_cast<HostAddress>(Address<dulu_host::Supplier>(&FakeSupplier)), table);
}

// Big-endian fields, as a record carries them.
std::string BigEndian(uint64_t value, int width) {
  std::string bytes;
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
    bytes += static_cast<char>((value >> shift) & 0xFF);
  }
  return bytes;
}
std::string I64Field(int64_t value) { return BigEndian(static_cast<uint64_t>(value), 8); }
std::string I32Field(int32_t value) { return BigEndian(static_cast<uint32_t>(value), 4); }
std::string ByteField(int value) { return std::string(1, static_cast<char>(value)); }

// A buffer's address field in a record: the low 32 bits of its address.
std::string AddressField(const std::string& data) {
  return BigEndian(static_cast<uint32_t>(reinterpret_cast<HostAddress>(data.data())), 4);
}

constexpr char kSignature[] = "81bc57d9dc3c36532f03cbb347704337";

// A binding that reads a table the test keeps and may reload in place.
DuluBinding BoundTo(const TypedHashMap& table, const std::string& signature) {
  DuluBinding binding;
  binding.Attach(std::shared_ptr<const TypedHashMap>(std::shared_ptr<void>(), &table), signature);
  return binding;
}

class DuluBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    answer = nullptr;
    supplier_arguments.clear();
    table_text_ = FullTableText();
    ASSERT_TRUE(Supply(table_text_.c_str(), &table_));
  }

  // The line a packed call leaves: the name, the signature and the record.
  static std::string PackedLine(const char* name, const std::string& record) {
    return std::string(name) + "|" + kSignature + "|" + HexBytes(record);
  }

  std::string table_text_;
  TypedHashMap table_;
  const std::string signature_ = kSignature;
  DuluBinding binding_ = BoundTo(table_, signature_);
};

TEST(DuluBindingReattachTest, ASecondRegistrationReplacesTableAndSignatureWhole) {
  calls.clear();
  DuluBinding binding;
  auto first = std::make_shared<TypedHashMap>();
  ASSERT_TRUE(Supply(TableText({{"输出日志", kFakes[0]}}).c_str(), first.get()));
  binding.Attach(first, "one");
  std::shared_ptr<const TypedHashMap> kept = binding.api_table();
  binding.Attach(std::make_shared<TypedHashMap>(), "two");
  EXPECT_EQ(1u, kept->count()) << "a caller holding the old table keeps it whole";
  binding.OutputLog("x");
  EXPECT_TRUE(calls.empty()) << "the new, empty table has no log function";
  binding.Attach(first, "three");
  binding.OutputLog("x");
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(0u, calls[0].find("输出日志|three|x"));
}

TEST_F(DuluBindingTest, LoadsTheTableTheSupplierHandsOver) {
  EXPECT_EQ(std::vector<int32_t>{0}, supplier_arguments);
  EXPECT_EQ(kFakeCount, table_.count());
  for (size_t i = 0; i < kFakeCount; ++i) {
    EXPECT_EQ(static_cast<HostAddress>(kFakes[i]), binding_.FindApi(kHostNames[i])) << i;
  }
}

TEST_F(DuluBindingTest, AnswerThatIsNoTableLeavesTheTableAsItWas) {
  const std::string cut = table_text_.substr(0, table_text_.size() - 3);
  for (const char* text :
       {"", "zz zz", "0", "41 42 43", cut.c_str(), static_cast<const char*>(nullptr)}) {
    EXPECT_FALSE(Supply(text, &table_)) << (text ? text : "null");
    EXPECT_EQ(kFakeCount, table_.count());
  }
  TypedHashMap fresh;
  EXPECT_FALSE(Supply("", &fresh));
  EXPECT_FALSE(fresh.usable());

  supplier_arguments.clear();
  EXPECT_FALSE(LoadApiTable(0, &table_));
  EXPECT_FALSE(LoadApiTable(reinterpret_cast<HostAddress>(&FakeSupplier), nullptr));
  EXPECT_TRUE(supplier_arguments.empty());
  binding_.OutputLog("x");
  EXPECT_EQ(1u, calls.size());
}

TEST(DuluBindingUnloadedTest, EveryCallIsSkippedBeforeTheTableIsLoaded) {
  calls.clear();
  DuluBinding binding;
  binding.OutputLog("x");
  EXPECT_FALSE(binding.DeleteAccount(10001));
  EXPECT_EQ("", binding.UploadGroupPicture(1, 2, "data"));
  EXPECT_EQ("", binding.UploadGroupVoice(1, 2, "data"));
  EXPECT_EQ("", binding.GetFrameworkAccounts());
  int32_t first = 7;
  EXPECT_FALSE(binding.SendTempMessage(1, 2, 3, "x", &first));
  EXPECT_EQ(7, first);
  EXPECT_TRUE(calls.empty());
}

TEST_F(DuluBindingTest, MissingZeroAndNonAddressEntriesAreSkipped) {
  const std::string text =
      TableText({{"输出日志", 0}, {"账号_删除", -5}, {"取框架QQ", kFakes[22]}});
  ASSERT_TRUE(Supply(text.c_str(), &table_));
  binding_.OutputLog("x");
  EXPECT_FALSE(binding_.DeleteAccount(10001));
  EXPECT_EQ("", binding_.UploadGroupPicture(1, 2, "data"));
  binding_.GetFrameworkAccounts();
  ASSERT_EQ(1u, calls.size());
  EXPECT_GBK_EQ(std::string("取框架QQ|") + kSignature, calls[0]);

  TypedHashMap texts;
  texts.Configure(kMapText, kMapText);
  texts.Put("输出日志", std::to_string(kFakes[0]));
  EXPECT_EQ(0u, BoundTo(texts, signature_).FindApi("输出日志"));

  // The 32-bit host's addresses above 2 GiB arrive as negative values.
  const std::string narrow = TableText({{"输出日志", -16}}, kMapInt32);
  ASSERT_TRUE(Supply(narrow.c_str(), &table_));
  EXPECT_EQ(0xFFFFFFF0u, binding_.FindApi("输出日志"));
}

TEST_F(DuluBindingTest, DirectCallsPassTheSignatureFirst) {
  const std::string data("PNG\0data", 8);
  const std::string at = "|@" + std::to_string(reinterpret_cast<HostAddress>(data.data()));
  const std::string sig = std::string("|") + kSignature + "|";
  binding_.OutputLog("插件：岚风守望——上线");
  binding_.SendGroupMessage(10001, 20002, "群消息");
  binding_.SendFriendMessage(10001, 2147483648, "好友消息");
  binding_.UploadGroupPicture(10001, 20002, data);
  binding_.UploadFriendPicture(10001, 30003, data);
  binding_.UpdateAvatar(10001, data);
  binding_.GetFrameworkAccounts();
  const std::vector<std::string> expected = {
      "输出日志" + sig + "插件：岚风守望——上线|255",
      "发送消息_群聊" + sig + "10001|20002|群消息",
      "发送消息_好友" + sig + "10001|2147483648|好友消息",
      "群聊_上传图片" + sig + "10001|20002|0" + at + "|8|0",
      "好友_上传图片" + sig + "10001|30003|0" + at + "|8|0",
      "更新头像" + sig + "10001" + at + "|8",
      "取框架QQ" + std::string("|") + kSignature,
  };
  ASSERT_EQ(expected.size(), calls.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_GBK_EQ(expected[i], calls[i]);
}

TEST_F(DuluBindingTest, TextAnswersAreCopiedAtOnce) {
  char host_text[] = "[pic=图片]";
  answer = host_text;
  const std::string code = binding_.UploadGroupPicture(1, 2, "data");
  const std::string accounts = binding_.GetFrameworkAccounts();
  host_text[1] = 'X';
  EXPECT_GBK_EQ("[pic=图片]", code);
  EXPECT_GBK_EQ("[pic=图片]", accounts);
  answer = nullptr;
  EXPECT_EQ("", binding_.UploadFriendPicture(1, 2, "data"));
  EXPECT_EQ("", binding_.GetFrameworkAccounts());
}

TEST_F(DuluBindingTest, DeleteAccountSendsTheAccountAsEightBigEndianBytes) {
  answer = "01";
  EXPECT_TRUE(binding_.DeleteAccount(10001));
  ASSERT_EQ(1u, calls.size());
  EXPECT_GBK_EQ(std::string("账号_删除|") + kSignature + "|00 00 00 00 00 00 27 11", calls[0]);
}

TEST_F(DuluBindingTest, PackedCallsSendTheirRecords) {
  const std::string voice = "silk voice";
  const std::string video("mp4\0video", 9);
  const std::string robot = I64Field(2147483648);
  struct Case {
    const char* name;
    std::function<void()> call;
    std::string record;
  };
  const Case cases[] = {
      {"发送消息_临时", [&] { binding_.SendTempMessage(2147483648, 20002, 30003, "临时消息"); },
       robot + I64Field(20002) + I64Field(30003) + "临时消息"},
      {"群聊_上传语音", [&] { binding_.UploadGroupVoice(2147483648, 20002, voice); },
       robot + I64Field(20002) + AddressField(voice) + I32Field(10) + I32Field(0) + "\x01\x01" +
           ByteField(0)},
      {"好友_上传语音", [&] { binding_.UploadFriendVoice(2147483648, 30003, voice); },
       robot + I64Field(30003) + AddressField(voice) + I32Field(10) + "\x01\x01" + ByteField(0)},
      {"群聊_上传视频", [&] { binding_.UploadGroupVideo(2147483648, 20002, video); },
       robot + I64Field(20002) + AddressField(video) + I32Field(9)},
      {"好友_上传视频", [&] { binding_.UploadFriendVideo(2147483648, 30003, video); },
       robot + I64Field(30003) + AddressField(video) + I32Field(9)},
      {"自身_修改昵称", [&] { binding_.SetNickname(2147483648, std::string("岚风\0x", 6)); },
       robot + "岚风"},
      {"自身_发布个性签名", [&] { binding_.PublishSignature(2147483648, "守望"); },
       robot + I32Field(4) + "守望" + I32Field(1)},
      {"群聊_置名称", [&] { binding_.SetGroupName(2147483648, 20002, "新群名"); },
       robot + I64Field(20002) + "新群名"},
      {"群聊_置成员名片", [&] { binding_.SetGroupCard(2147483648, 20002, 30003, "名片"); },
       robot + I64Field(20002) + I64Field(30003) + "名片"},
      {"好友_点赞名片", [&] { binding_.LikeProfile(2147483648, 30003, 1); },
       robot + I64Field(30003) + I32Field(1)},
      {"群聊_处理验证请求",
       [&] { binding_.HandleGroupRequest(2147483648, 3, -2, 20002, 30003, 1700000000123, 11); },
       robot + I32Field(3) + I32Field(-2) + I64Field(20002) + I64Field(30003) +
           I64Field(1700000000123) + I32Field(11) + I32Field(0) + I32Field(0) + ByteField(0)},
      {"群聊_处理验证请求",
       [&] { binding_.HandleGroupRequest(2147483648, 1, 0, 20002, 30003, 5, 12, "不认识", true); },
       robot + I32Field(1) + I32Field(0) + I64Field(20002) + I64Field(30003) + I64Field(5) +
           I32Field(12) + I32Field(0) + I32Field(6) + "不认识" + ByteField(1)},
      {"好友_处理验证请求", [&] { binding_.HandleFriendRequest(2147483648, 30003, -1); },
       robot + I64Field(30003) + I64Field(-1)},
      {"群聊_置全体禁言", [&] { binding_.MuteAll(2147483648, 20002, true); },
       robot + I64Field(20002) + ByteField(1)},
      {"群聊_置全体禁言", [&] { binding_.MuteAll(2147483648, 20002, false); },
       robot + I64Field(20002) + ByteField(0)},
      {"群聊_置禁言成员", [&] { binding_.MuteMember(2147483648, 20002, 30003, 300); },
       robot + I64Field(20002) + I64Field(30003) + I32Field(300)},
      {"群聊_撤回消息", [&] { binding_.RecallGroupMessage(2147483648, 20002, 4096, -7); },
       robot + I64Field(20002) + I32Field(4096) + I32Field(-7)},
  };
  for (const Case& c : cases) {
    calls.clear();
    c.call();
    ASSERT_EQ(1u, calls.size()) << HexBytes(c.name);
    EXPECT_GBK_EQ(PackedLine(c.name, c.record), calls[0]);
  }
}

TEST_F(DuluBindingTest, StatusIsTrueExactlyWhenTheFirstByteIsOne) {
  const std::pair<const char*, bool> cases[] = {
      {"01", true}, {"01 FF", true}, {"02", false},   {"00", false},
      {"", false},  {"1", false},    {"01 0", false}, {nullptr, false},
  };
  for (const auto& [text, status] : cases) {
    answer = text;
    EXPECT_EQ(status, binding_.DeleteAccount(10001)) << (text ? text : "null");
  }
  answer = "01";
  EXPECT_TRUE(binding_.MuteMember(1, 2, 3, 0));
}

TEST_F(DuluBindingTest, CodeFollowsANonZeroStatusUpToTheFirstNul) {
  const std::string gbk_code = "01 " + HexBytes("语音码");
  const std::pair<const char*, std::string> cases[] = {
      {"01 41 42 00 43", "AB"},
      {"02 41", "A"},
      {"00 41 42", ""},
      {"01", ""},
      {"01 4", ""},
      {"", ""},
      {nullptr, ""},
      {gbk_code.c_str(), "语音码"},
  };
  for (const auto& [text, code] : cases) {
    answer = text;
    EXPECT_GBK_EQ(code, binding_.UploadGroupVoice(1, 2, "v")) << (text ? text : "null");
  }
  answer = "01 56 49 44";
  EXPECT_EQ("VID", binding_.UploadFriendVideo(1, 2, "v"));
}

TEST_F(DuluBindingTest, TempMessageGivesItsTwoValuesOnStatusOne) {
  int32_t first = 99;
  int32_t second = 99;
  answer = "02 00 00 00 07 FF FF FF FE";
  EXPECT_FALSE(binding_.SendTempMessage(1, 2, 3, "x", &first, &second));
  EXPECT_EQ(99, first);
  EXPECT_EQ(99, second);

  answer = "01 00 00 00 07 FF FF FF FE";
  EXPECT_TRUE(binding_.SendTempMessage(1, 2, 3, "x", &first, &second));
  EXPECT_EQ(7, first);
  EXPECT_EQ(-2, second);
  EXPECT_TRUE(binding_.SendTempMessage(1, 2, 3, "x"));

  answer = "01 00 00 00 05";
  EXPECT_TRUE(binding_.SendTempMessage(1, 2, 3, "x", &first, &second));
  EXPECT_EQ(5, first);
  EXPECT_EQ(0, second);
}

}  // namespace
}  // namespace lanfeng
