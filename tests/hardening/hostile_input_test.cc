// Hostile input at the entry points that take outside texts: a 100 MB hex
// record, a JSON account list nested 100,000 deep, a 1 MB INI value and an
// API list without its markers. Each must come back empty, refused or cut,
// in memory that does not grow out of proportion to the input and on a
// stack as small as a host thread's. Nothing here asserts a time.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dulu_host.h"
#include "host/dulu_binding.h"
#include "host/host_call.h"
#include "host/packet_codec.h"
#include "host/typed_hash_map.h"
#include "host/xlz_binding.h"
#include "runtime/gbk_text.h"
#include "runtime/ini_file.h"
#include "shell/event_intake.h"
#include "support/watch_fixture.h"
#include "watch/config.h"
#include "watch/json_path_reader.h"
#include "watch/poller.h"
#include "xlz_host.h"

namespace lanfeng {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

// ThreadSanitizer keeps several bytes of shadow for every byte a program
// touches, and they count as resident: the bounds below grow with it.
#if defined(__SANITIZE_THREAD__)
constexpr double kMemoryScale = 8;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr double kMemoryScale = 8;
#else
constexpr double kMemoryScale = 1;
#endif
#else
constexpr double kMemoryScale = 1;
#endif

long StatusKib(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, std::string(field).size(), field) == 0) {
      return std::stol(line.substr(std::string(field).size()));
    }
  }
  return 0;
}

// The growth of the process's peak resident size over a scope. The kernel's
// peak is reset at the start where it allows that (/proc/self/clear_refs);
// elsewhere an earlier, higher peak can hide growth, never invent it.
class PeakMemory {
 public:
  PeakMemory() : started_(std::chrono::steady_clock::now()) {
    std::ofstream("/proc/self/clear_refs") << "5";
    start_kib_ = StatusKib("VmHWM:");
  }
  // In MiB, as measured and as held against the bounds (kMemoryScale).
  double MeasuredMib() const { return (StatusKib("VmHWM:") - start_kib_) / 1024.0; }
  double GrowthMib() const { return MeasuredMib() / kMemoryScale; }
  // Observed, for the record only: never asserted.
  void Report(const char* what) const {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::printf("[ hostile ] %s: peak resident growth %.1f MiB, %.2f s\n", what, MeasuredMib(), seconds);
    ::testing::Test::RecordProperty(what, std::to_string(MeasuredMib()) + " MiB");
  }

 private:
  std::chrono::steady_clock::time_point started_;
  long start_kib_ = 0;
};

// Runs body on a thread whose stack is 1 MiB, the size a host's threads have
// on Windows: anything that recursed once per nesting level would overflow it.
void OnSmallStack(const std::function<void()>& body) {
  pthread_attr_t attributes;
  ASSERT_EQ(0, pthread_attr_init(&attributes));
  ASSERT_EQ(0, pthread_attr_setstacksize(&attributes, kMiB));
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(0, pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)));
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

// ---------------------------------------------------------------------------
// A 100 MB hex text

constexpr size_t kHexBytes = 100 * kMiB;

// pattern repeated to `bytes` bytes, cut there.
std::string Repeated(const std::string& pattern, size_t bytes) {
  std::string text = pattern;
  text.reserve(2 * bytes);
  while (text.size() < bytes) text += text;
  text.resize(bytes);
  text.shrink_to_fit();
  return text;
}

// `head` as hex, then "78 " pairs up to about kHexBytes of text.
std::string HexRecord(const std::string& head) {
  std::string hex = HexEncode(head);
  if (!hex.empty()) hex += ' ';
  return hex + Repeated("78 ", (kHexBytes - hex.size()) / 3 * 3);
}

// A record field as the dulu host writes it: big-endian.
std::string BigEndian(uint64_t value, int bytes) {
  std::string field;
  for (int i = bytes - 1; i >= 0; --i) field += static_cast<char>((value >> (8 * i)) & 0xFF);
  return field;
}

class HostileHexTest : public WatchFixture {
 protected:
  HostileHexTest() { UseHost(kDuluHost); }
};

TEST_F(HostileHexTest, HexDecodeOf100MbDecodesInOnePassOrGivesNothing) {
  std::string hex = HexRecord("");
  const size_t pairs = hex.size() / 3;
  {
    PeakMemory peak;
    const std::string bytes = HexDecode(hex);
    EXPECT_EQ(pairs, bytes.size());
    EXPECT_EQ(std::string::npos, bytes.find_first_not_of('\x78'));
    peak.Report("HexDecode 100 MB");
    EXPECT_LT(peak.GrowthMib(), 2.0 * hex.size() / kMiB) << "the record and no more than a copy";
  }
  hex += '7';  // an odd digit left over: no record at all
  {
    PeakMemory peak;
    EXPECT_EQ("", HexDecode(hex));
    peak.Report("HexDecode 100 MB, odd");
    EXPECT_LT(peak.GrowthMib(), 2.0 * hex.size() / kMiB);
  }
  // No hex digit at all: every character counts as the digit 0. (Each such
  // character takes the slow path, which unoptimized sanitizer builds make
  // costly: 12.5 MB show it is read once.)
  hex.assign(kHexBytes / 8, 'Z');
  PeakMemory peak;
  const std::string zeros = HexDecode(hex);
  EXPECT_EQ(hex.size() / 2, zeros.size());
  EXPECT_EQ(std::string::npos, zeros.find_first_not_of('\0'));
  peak.Report("HexDecode 12.5 MB, no digits");
  EXPECT_LT(peak.GrowthMib(), 2.0 * hex.size() / kMiB);
}

const std::string kRobot = BigEndian(10001, 8);

TEST_F(HostileHexTest, AFriendMessageOf100MbIsReadAsOneTextAndIgnored) {
  // From the robot itself, with a text that claims the whole 33 MB tail:
  // not a command, so nothing is answered or written.
  const size_t head_size = 8 + 2 + 12 + 8 + 8 + 8 + 4;
  const size_t tail_size = (kHexBytes - 3 * head_size) / 3;  // the pairs HexRecord adds
  const std::string head = kRobot + BigEndian(0, 2) + std::string(12, '\0') + BigEndian(0, 8) +
                           kRobot + BigEndian(0, 8) + BigEndian(tail_size, 4);
  ASSERT_EQ(head_size, head.size());
  std::string hex = HexRecord(head);
  PeakMemory peak;
  OnDuluFriendMessage(watch_, hex);
  peak.Report("dulu friend message 100 MB");
  EXPECT_LT(peak.GrowthMib(), 3.0 * hex.size() / kMiB);
  hex += "7";  // odd: an empty record, read as zeros
  OnDuluFriendMessage(watch_, hex);
  EXPECT_TRUE(LogLines().empty());
  EXPECT_EQ("", State("10001"));
}

TEST_F(HostileHexTest, EventsOf100MbReadTheirFieldsAndNothingMore) {
  // A friend-added event and a join request with 100 MB of tail: one notice each.
  const std::string friend_added = kRobot + BigEndian(2000, 2) + BigEndian(0, 2) +
                                   std::string(12, '\0') + BigEndian(0, 8) + BigEndian(0, 8) +
                                   BigEndian(20002, 8);
  std::string hex = HexRecord(friend_added);
  {
    PeakMemory peak;
    OnDuluFriendEvent(host_, hex);
    peak.Report("dulu friend event 100 MB");
    EXPECT_LT(peak.GrowthMib(), 3.0 * hex.size() / kMiB);
  }
  EXPECT_EQ(1u, LogLines().size());
  const std::string join_request = kRobot + BigEndian(3002, 2) + BigEndian(0, 2) + BigEndian(30003, 8) +
                                   std::string(12, '\0') + BigEndian(0, 8) + BigEndian(20003, 8);
  hex = HexRecord(join_request);
  OnDuluGroupEvent(host_, hex);
  EXPECT_EQ(1u, LogLines().size());
}

const std::string* supplied = nullptr;
const char* HOST_CALL SupplyHugeTable(int32_t) { return supplied->c_str(); }

TEST_F(HostileHexTest, AnApiTableOf100MbThatIsNoMapIsRefused) {
  const std::string hex = HexRecord(BigEndian(0x2C000000, 4));
  supplied = &hex;
  TypedHashMap table;
  PeakMemory peak;
  EXPECT_FALSE(LoadApiTable(reinterpret_cast<HostAddress>(&SupplyHugeTable), &table));
  peak.Report("dulu API table 100 MB");
  EXPECT_LT(peak.GrowthMib(), 3.0 * hex.size() / kMiB);
  supplied = nullptr;
}

// ---------------------------------------------------------------------------
// A JSON account list nested 100,000 deep

constexpr int kDepth = 100000;

std::string DeepArray(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string DeepObject(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"a\":";
  text += "\"bottom\"";
  return text + std::string(depth, '}');
}

TEST(HostileJsonTest, ListsNested100000DeepParseReadAndWriteOnASmallStack) {
  const std::string arrays = DeepArray(kDepth);
  const std::string objects = DeepObject(kDepth);
  PeakMemory peak;
  OnSmallStack([&] {
    JsonPathReader reader("da");
    ASSERT_TRUE(reader.Initialize());
    ASSERT_TRUE(reader.Parse(arrays));
    EXPECT_EQ(1, reader.Count(""));
    EXPECT_EQ("", reader.GetText("")) << "nested empty arrays join to nothing";
    EXPECT_EQ(arrays, reader.ToJson());
    EXPECT_EQ(kJsonArray, reader.TypeOf("[0][0][0]"));

    ASSERT_TRUE(reader.Parse(objects));
    std::string path = "a";
    for (int i = 1; i < 1000; ++i) path += ".a";
    EXPECT_EQ("[object Object]", reader.GetText(path));
    EXPECT_EQ(objects, reader.ToJson());
    std::vector<std::string> leaves;
    EXPECT_EQ(1, reader.LeafValues(&leaves, "", true));
    JsonPathReader copy = reader.GetObject("a");
    EXPECT_EQ(objects.substr(5, objects.size() - 6), copy.ToJson());

    JsonErrorInfo error;
    EXPECT_FALSE(reader.Parse(arrays.substr(0, arrays.size() - 1), false, &error))
        << "one bracket short";
    EXPECT_EQ(kJsonSyntaxError, error.number);
    EXPECT_FALSE(reader.Parse(std::string(10 * kDepth, '[')));
  });
  peak.Report("JSON 100,000 deep");
  EXPECT_LT(peak.GrowthMib(), 256.0);
}

class HostileAccountListTest : public WatchFixture {};

TEST_F(HostileAccountListTest, ThePollerReadsDeepHostListsOnASmallStackAndMovesNothing) {
  SetState("10001", "2");
  SetState("20001", "2");
  UseHost(kXlzHost);
  hostsim::SetXlzAccountList("{\"QQlist\":{\"10001\":{\"登录信息\":" + DeepArray(kDepth) +
                             "},\"10002\":" + DeepObject(kDepth) + "}}");
  PeakMemory peak;
  OnSmallStack([&] { EXPECT_TRUE(PollPass(watch_)); });
  EXPECT_EQ("2", State("10001"));
  EXPECT_EQ("", State("10002"));

  hostsim::SetXlzAccountList("{\"QQlist\":" + DeepArray(kDepth) + "}");
  OnSmallStack([&] { EXPECT_TRUE(PollPass(watch_)); });
  hostsim::SetXlzAccountList(std::string(kDepth, '['));
  OnSmallStack([&] { EXPECT_TRUE(PollPass(watch_)); });

  UseHost(kDuluHost);
  hostsim::SetDuluAccountList("{\"20001\":{\"附加信息\":" + DeepObject(kDepth) +
                              ",\"状态\":" + DeepArray(kDepth) + "}}");
  OnSmallStack([&] { EXPECT_TRUE(PollPass(watch_)); });
  EXPECT_EQ("2", State("20001"));
  peak.Report("poller, host lists 100,000 deep");
  EXPECT_LT(peak.GrowthMib(), 256.0);
}

// ---------------------------------------------------------------------------
// An INI value of 1 MB

class HostileIniTest : public WatchFixture {};

TEST_F(HostileIniTest, AOneMegabyteValueIsWrittenWholeAndReadCutAtTheLimit) {
  const std::string config = dir_.path() + "\\data\\数据配置.ini";
  const std::string value(kMiB, '7');
  SetState("10001", "2");
  PeakMemory peak;
  ASSERT_TRUE(WriteIniKey(RecordPath("10001"), kForwardSection, kForwardMailboxKey, value));
  ASSERT_TRUE(WriteIniKey(config, kDataSection, kMailAccountKey, value));
  EXPECT_EQ(std::string(kIniValueLimit, '7'), ReadIniKey(config, kDataSection, kMailAccountKey));
  EXPECT_EQ(std::string(kIniValueLimit, '7'),
            ReadIniKey(RecordPath("10001"), kForwardSection, kForwardMailboxKey));
  EXPECT_EQ("2", State("10001")) << "the other keys stay";
  EXPECT_EQ("1", ReadIniKey(config, kDataSection, kWatchSwitchKey));

  // Written again after it: the long line is kept and the new key found.
  ASSERT_TRUE(WriteIniKey(RecordPath("10001"), kStateSection, kStateKey, "4"));
  EXPECT_EQ("4", State("10001"));
  peak.Report("INI value 1 MB");
  EXPECT_LT(peak.GrowthMib(), 64.0);
}

TEST_F(HostileIniTest, AOneMegabyteValueOfLineBreaksStaysOnItsLine) {
  // Every kind of line break, also after a byte that would start a GBK
  // character, with a section and a key between them.
  std::string value;
  while (value.size() < kMiB) value += "\r\n[账号状态]\r\n状态=1\n\x81\n状态=1\r\x81\r\n";
  SetState("10001", "2");
  PeakMemory peak;
  ASSERT_TRUE(WriteIniKey(RecordPath("10001"), kForwardSection, kForwardMailboxKey, value));
  EXPECT_EQ("2", State("10001"));
  std::string contents;
  ASSERT_TRUE(SystemPlatform().ReadFile(RecordPath("10001"), &contents).ok());
  size_t lines = 0;
  for (char c : contents) lines += c == '\n';
  EXPECT_EQ(4u, lines) << "the state's section and key, the forward section and the one value";
  peak.Report("INI value 1 MB of line breaks");
  EXPECT_LT(peak.GrowthMib(), 64.0);
}

// ---------------------------------------------------------------------------
// A XiaoLiZi API list without its markers

constexpr size_t kListBytes = 16 * kMiB;
// A copy of the list would show as this much growth and more.
constexpr double kCopyMib = kListBytes / 4.0 / kMiB;

TEST(HostileApiListTest, AListWithoutMarkersOrEndsFindsNothingAndCopiesNothing) {
  XlzBinding xlz;
  // No quoted names at all.
  std::string list(kListBytes, ',');
  for (size_t i = 0; i < list.size(); i += 7) list[i] = '}';
  xlz.AttachHost("k", list);
  {
    PeakMemory peak;
    EXPECT_EQ(0u, xlz.FindApi("输出日志"));
    EXPECT_EQ(0u, xlz.FindApi(""));
    xlz.OutputLog("skipped: the list names no function");
    peak.Report("API list 16 MB, no markers");
    EXPECT_LT(peak.GrowthMib(), kCopyMib);
  }

  // The name's marker, then 16 MB without a comma or a closing brace.
  list = "{\"输出日志\":1234" + std::string(kListBytes, ' ');
  xlz.AttachHost("k", list);
  {
    PeakMemory peak;
    EXPECT_EQ(0u, xlz.FindApi("输出日志"));
    peak.Report("API list 16 MB, no end after the marker");
    EXPECT_LT(peak.GrowthMib(), kCopyMib);
  }

  // The end comes only after 16 MB: the digits are read where they stand.
  list.back() = '}';
  xlz.AttachHost("k", list);
  {
    PeakMemory peak;
    EXPECT_EQ(1234u, xlz.FindApi("输出日志"));
    peak.Report("API list 16 MB, brace at the end");
    EXPECT_LT(peak.GrowthMib(), kCopyMib) << "the value is not copied to be read";
  }

  // 16 MB of digits: too large for an address.
  list = "{\"输出日志\":" + std::string(kListBytes, '9') + "}";
  xlz.AttachHost("k", list);
  PeakMemory peak;
  EXPECT_EQ(0u, xlz.FindApi("输出日志"));
  peak.Report("API list 16 MB of digits");
  EXPECT_LT(peak.GrowthMib(), kCopyMib);
}

}  // namespace
}  // namespace lanfeng
