#include "net/tls_stream_base.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "support/gbk_text_testing.h"

namespace lanfeng {
namespace {

// A backend without a network: each ReceiveAndDecrypt hands over the next
// scripted piece of plain text; past the script it ends with `end` (and
// `end_detail`). Writes are recorded, or end with `write_outcome`.
class ScriptedBackend : public TlsStreamBase {
 public:
  using TlsStreamBase::AddressLiteral;
  using TlsStreamBase::Io;
  using TlsStreamBase::WaitInSlices;

  explicit ScriptedBackend(std::vector<std::string> pieces,
                           const TlsConnectOptions& options = TlsConnectOptions())
      : TlsStreamBase(options), pieces_(pieces.begin(), pieces.end()) {}

  void Close() override { connected_ = false; }
  std::string LocalAddressLiteral() const override { return AddressLiteral(nullptr, false); }

  bool connected_ = true;
  Io end = Io::kClosed;
  std::string end_detail;
  Io write_outcome = Io::kDone;
  std::string written;
  int receives = 0;
  std::vector<Clock::time_point> deadlines;

 private:
  bool Connected() const override { return connected_; }

  Io EncryptAndSend(const std::string& data, Clock::time_point deadline,
                    std::string* detail) override {
    deadlines.push_back(deadline);
    if (write_outcome != Io::kDone) {
      *detail = end_detail;
      return write_outcome;
    }
    written += data;
    return Io::kDone;
  }

  Io ReceiveAndDecrypt(Clock::time_point deadline, std::string* plain,
                       std::string* detail) override {
    ++receives;
    deadlines.push_back(deadline);
    if (pieces_.empty()) {
      *detail = end_detail;
      return end;
    }
    *plain += pieces_.front();
    pieces_.pop_front();
    return Io::kDone;
  }

  std::deque<std::string> pieces_;
};

std::vector<std::string> ReadAll(ScriptedBackend* stream) {
  std::vector<std::string> lines;
  std::string line;
  while (stream->ReadLine(&line)) lines.push_back(line);
  return lines;
}

TEST(TlsStreamBaseTest, LinesAreCutAtLfWhereverThePiecesEnd) {
  ScriptedBackend stream(
      {"220 smtp", ".qq.com ready\r\n250-one\r\n250 two", "\r", "\n", "\r\n", "bare lf\na\rb\r\n"});
  EXPECT_EQ((std::vector<std::string>{"220 smtp.qq.com ready", "250-one", "250 two", "", "bare lf",
                                      "a\rb"}),
            ReadAll(&stream));
  // Every piece was asked for once: lines already received are not waited for.
  EXPECT_EQ(7, stream.receives);
  EXPECT_GBK_EQ(kStreamClosedText, stream.error());
}

TEST(TlsStreamBaseTest, ALineMayFillTheLimitButNotPassIt) {
  const std::string longest(ScriptedBackend::kMaxLineBytes, 'x');
  ScriptedBackend fits({longest, "\r\n"});
  std::string line;
  ASSERT_TRUE(fits.ReadLine(&line));
  EXPECT_EQ(longest, line);

  ScriptedBackend endless({longest, "x", "\r\n"});
  EXPECT_FALSE(endless.ReadLine(&line));
  EXPECT_GBK_EQ(kStreamLineTooLongText, endless.error());
  EXPECT_EQ(2, endless.receives);
  // The stream is broken: nothing more is read or written.
  EXPECT_FALSE(endless.ReadLine(&line));
  EXPECT_FALSE(endless.Write("QUIT\r\n"));
  EXPECT_GBK_EQ(kStreamClosedText, endless.error());
  EXPECT_EQ(2, endless.receives);
  EXPECT_EQ("", endless.written);
}

TEST(TlsStreamBaseTest, EachWayAStepEndsHasItsTextAndBreaksTheStream) {
  using Io = ScriptedBackend::Io;
  const struct {
    Io outcome;
    std::string text;
  } cases[] = {{Io::kTimedOut, kStreamTimedOutText},
               {Io::kStopped, kStreamStoppedText},
               {Io::kClosed, kStreamClosedText},
               {Io::kFailed, "连接出错：the reason"}};
  for (const auto& each : cases) {
    std::string line;
    ScriptedBackend reading({"half a line"});
    reading.end = each.outcome;
    reading.end_detail = "the reason";
    EXPECT_FALSE(reading.ReadLine(&line));
    EXPECT_GBK_EQ(each.text, reading.error());
    EXPECT_FALSE(reading.Write("x"));
    EXPECT_GBK_EQ(kStreamClosedText, reading.error());

    ScriptedBackend writing({"250 ok\r\n"});
    writing.write_outcome = each.outcome;
    writing.end_detail = "the reason";
    EXPECT_FALSE(writing.Write("MAIL FROM:<a@qq.com>\r\n"));
    EXPECT_GBK_EQ(each.text, writing.error());
    EXPECT_FALSE(writing.ReadLine(&line));
    EXPECT_EQ(0, writing.receives);
  }
}

TEST(TlsStreamBaseTest, AStreamWithoutASessionFailsAtOnce) {
  ScriptedBackend stream({"220 ready\r\n"});
  stream.connected_ = false;
  std::string line;
  EXPECT_FALSE(stream.ReadLine(&line));
  EXPECT_GBK_EQ(kStreamClosedText, stream.error());
  EXPECT_FALSE(stream.Write("EHLO x\r\n"));
  EXPECT_EQ(0, stream.receives);
  EXPECT_TRUE(stream.deadlines.empty());
  EXPECT_EQ("[127.0.0.1]", stream.LocalAddressLiteral());
}

TEST(TlsStreamBaseTest, TheLocalAddressBecomesAnSmtpAddressLiteral) {
  // EHLO names the client by its address; IPv6 needs its tag (RFC 5321).
  EXPECT_EQ("[192.0.2.7]", ScriptedBackend::AddressLiteral("192.0.2.7", false));
  EXPECT_EQ("[IPv6:2001:db8::7]", ScriptedBackend::AddressLiteral("2001:db8::7", true));
  EXPECT_EQ("[127.0.0.1]", ScriptedBackend::AddressLiteral(nullptr, true));
}

TEST(TlsStreamBaseTest, OneLineHasOneDeadlineThatTheWholeLifeBounds) {
  // A trickling server must not earn a new limit with every piece.
  ScriptedBackend trickle({"2", "5", "0", " ok\r\n"});
  std::string line;
  ASSERT_TRUE(trickle.ReadLine(&line));
  ASSERT_EQ(4u, trickle.deadlines.size());
  for (const auto& deadline : trickle.deadlines) EXPECT_EQ(trickle.deadlines[0], deadline);

  TlsConnectOptions spent;
  spent.io_timeout_ms = 30000;
  spent.total_timeout_ms = 0;
  ScriptedBackend late({"250 ok\r\n"}, spent);
  ASSERT_TRUE(late.Write("NOOP\r\n"));
  ASSERT_TRUE(late.ReadLine(&line));
  for (const auto& deadline : late.deadlines) {
    EXPECT_LE(deadline, ScriptedBackend::Clock::now());
  }
}

TEST(TlsStreamBaseTest, WaitsAreSlicedOnlyForACallerThatMayStop) {
  using Io = ScriptedBackend::Io;
  const auto far = ScriptedBackend::Clock::now() + std::chrono::hours(1);
  const auto past = ScriptedBackend::Clock::now() - std::chrono::milliseconds(1);
  std::vector<int> slices;
  // The socket becomes ready in the third slice.
  const auto ready_third = [&slices](int ms) {
    slices.push_back(ms);
    return slices.size() == 3 ? Io::kDone : Io::kTimedOut;
  };

  ScriptedBackend patient(std::vector<std::string>{});
  EXPECT_EQ(Io::kDone, patient.WaitInSlices(far, 5000, ready_third));
  EXPECT_EQ((std::vector<int>{5000, 5000, 5000}), slices);
  slices.clear();
  EXPECT_EQ(Io::kFailed, patient.WaitInSlices(far, 5000, [&slices](int ms) {
    slices.push_back(ms);
    return Io::kFailed;
  }));
  EXPECT_EQ(1u, slices.size());
  slices.clear();
  EXPECT_EQ(Io::kTimedOut, patient.WaitInSlices(past, 5000, ready_third));
  EXPECT_TRUE(slices.empty());

  // A worker that may be asked to stop looks at the request before every
  // slice, and no slice is long enough to keep it waiting.
  int asked = 0;
  TlsConnectOptions stoppable;
  stoppable.stop_requested = [&asked] { return ++asked > 2; };
  ScriptedBackend worker(std::vector<std::string>{}, stoppable);
  EXPECT_EQ(Io::kStopped, worker.WaitInSlices(far, 5000, ready_third));
  EXPECT_EQ((std::vector<int>{ScriptedBackend::kStopCheckMs, ScriptedBackend::kStopCheckMs}),
            slices);
  EXPECT_EQ(3, asked);
  EXPECT_EQ(Io::kStopped, worker.WaitInSlices(past, 5000, ready_third));
}

}  // namespace
}  // namespace lanfeng
