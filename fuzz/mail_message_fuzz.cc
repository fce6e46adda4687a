// Fuzzes the outgoing mail's inputs: any sender and receiver addresses,
// display names, subject and body go through the mail sender's address
// checks and the message builder.
//
// Input: one byte of flags (bit 0: names, subject and body are GBK and
// converted as the sender converts them), then NUL-separated texts: the
// sender's address and name, the subject, the body, then up to four
// receivers as address and name.
//
// Checked: an address is accepted only when it is safe on a command line
// and in a header (one "@", at most 254 characters, nothing outside the
// dot-atom characters), and the sender's checks agree with it. The built
// message has CR LF line ends only; its header block is exactly the fields
// the builder writes, in order, folded only where a field may fold, in
// printable ASCII, every line within 998 characters and the subject's and
// the mailboxes' within 76 (a line holding only an address excepted); the
// subject reads back; the body is quoted-printable whose lines keep within
// 76 characters, none starting with "." and none ending in a blank, and it
// decodes to the body; dot-stuffing then only adds the end-of-data line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "watch/mail_message.h"
#include "watch/mail_sender.h"
#include "watch/smtp_client.h"

namespace {

// Stops the run, naming the check that failed.
void Check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "check failed at %s:%d\n", __FILE__, line);
  std::abort();
}

constexpr size_t kMaxLine = 998;
constexpr size_t kMaxEncodedLine = 76;
constexpr char kAccount[] = "10000@qq.com";

std::vector<std::string> SplitFields(const std::string& input) {
  std::vector<std::string> fields;
  size_t begin = 0;
  for (;;) {
    const size_t end = input.find('\0', begin);
    fields.push_back(input.substr(begin, end == std::string::npos ? end : end - begin));
    if (end == std::string::npos) return fields;
    begin = end + 1;
  }
}

bool IsAddressByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != 0 && std::strchr("!#$%&'*+-/=?^_`{|}~.@", c) != nullptr);
}

// The sender's checks and IsValidMailAddress agree, and what they accept
// cannot break a command line or a header.
bool CheckedAddress(const std::string& address) {
  const bool valid = lanfeng::IsValidMailAddress(address);
  lanfeng::MailSender sender;
  Check(sender.AddReceiver(address) == valid);
  Check(sender.SetSender(address, "") == (address.empty() || valid));
  if (valid) {
    Check(address.size() <= 254);
    const size_t at = address.find('@');
    Check(at != std::string::npos && at > 0 && at + 1 < address.size());
    Check(address.find('@', at + 1) == std::string::npos);
    for (unsigned char c : address) Check(IsAddressByte(c));
  }
  return valid;
}

std::string Converted(const std::string& text, bool gbk) {
  std::string utf8;
  return gbk && lanfeng::GbkToUtf8(text, &utf8) ? utf8 : text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Quoted-printable or Q decoding; false on an escape that is not =XX.
bool DecodeEscapes(const std::string& encoded, bool q, std::string* text) {
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (q && encoded[i] == '_') {
      *text += ' ';
    } else if (encoded[i] != '=') {
      *text += encoded[i];
    } else if (!q && encoded.compare(i + 1, 2, "\r\n") == 0) {
      i += 2;
    } else {
      if (i + 2 >= encoded.size()) return false;
      const int high = HexValue(encoded[i + 1]), low = HexValue(encoded[i + 2]);
      if (high < 0 || low < 0) return false;
      *text += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  return true;
}

// The subject as a reader decodes it from the field's lines.
std::string ReadSubject(const std::vector<std::string>& lines) {
  std::string unfolded = lines[0].substr(std::strlen("Subject:"));
  for (size_t i = 1; i < lines.size(); ++i) unfolded += lines[i];
  Check(!unfolded.empty() && unfolded[0] == ' ');
  unfolded.erase(0, 1);
  if (unfolded.compare(0, 10, "=?UTF-8?Q?") != 0) {
    Check(lines.size() == 1);
    return unfolded;
  }
  std::string value;
  size_t begin = 0;
  while (begin <= unfolded.size()) {
    size_t end = unfolded.find(' ', begin);
    if (end == std::string::npos) end = unfolded.size();
    const std::string word = unfolded.substr(begin, end - begin);
    Check(word.size() >= 12 && word.size() <= 75 && word.compare(0, 10, "=?UTF-8?Q?") == 0 &&
          word.compare(word.size() - 2, 2, "?=") == 0);
    const std::string inside = word.substr(10, word.size() - 12);
    for (unsigned char c : inside) {
      Check((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            std::strchr("!*+-/=_", c) != nullptr);
    }
    Check(DecodeEscapes(inside, true, &value));
    begin = end + 1;
  }
  return value;
}

// A mailbox line longer than an encoded line may be only one that holds
// nothing but an address (it cannot be folded).
bool IsAddressOnlyLine(std::string line, const std::vector<std::string>& addresses) {
  for (const char* name : {"From:", "To:"}) {
    if (line.compare(0, std::strlen(name), name) == 0) line.erase(0, std::strlen(name));
  }
  if (line.empty() || line[0] != ' ') return false;
  line.erase(0, 1);
  if (!line.empty() && line.back() == ',') line.pop_back();
  for (const std::string& address : addresses) {
    if (line == address || line == "<" + address + ">") return true;
  }
  return false;
}

// Every LF follows a CR and every CR comes before an LF.
bool OnlyCrLfLineEnds(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
  }
  return true;
}

// The body with its line breaks as quoted-printable writes them: LF alone
// becomes CR LF.
std::string WithCrLfBreaks(const std::string& body) {
  std::string text;
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\n' && (i == 0 || body[i - 1] != '\r')) text += '\r';
    text += body[i];
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using lanfeng::Mailbox;
  if (size == 0) return 0;
  const bool gbk = (data[0] & 1) != 0;
  std::vector<std::string> fields =
      SplitFields(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  fields.resize(std::max<size_t>(fields.size(), 4));

  lanfeng::MailMessage message;
  std::vector<std::string> addresses;
  message.from = Mailbox{CheckedAddress(fields[0]) ? fields[0] : kAccount, Converted(fields[1], gbk)};
  addresses.push_back(message.from.address);
  message.subject = Converted(fields[2], gbk);
  message.html_body = Converted(fields[3], gbk);
  for (size_t i = 4; i < fields.size() && message.to.size() < 4; i += 2) {
    if (!CheckedAddress(fields[i])) continue;
    message.to.push_back(Mailbox{fields[i], Converted(i + 1 < fields.size() ? fields[i + 1] : "", gbk)});
    addresses.push_back(fields[i]);
  }
  if (message.to.empty()) message.to.push_back(Mailbox{kAccount, ""});
  std::tm date{};
  date.tm_year = 124;
  date.tm_mon = 2;
  date.tm_mday = 5;
  date.tm_wday = 2;
  message.date = lanfeng::FormatMailDate(date, 8 * 3600);
  message.message_id = lanfeng::NewMessageId(message.from.address, size * 0x9E3779B97F4A7C15ull);

  const std::string mail = lanfeng::ComposeMessage(message);
  Check(OnlyCrLfLineEnds(mail));
  Check(mail.size() >= 2 && mail.compare(mail.size() - 2, 2, "\r\n") == 0);
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < mail.size();) {
    const size_t end = mail.find("\r\n", begin);
    lines.push_back(mail.substr(begin, end - begin));
    begin = end + 2;
  }

  // The header block: these fields, in this order, folded only where marked.
  struct Field {
    const char* name;
    bool folds;
    bool mailboxes;
  };
  static const Field kFields[] = {
      {"Date: ", false, false},         {"From:", true, true},
      {"To:", true, true},              {"Subject:", true, false},
      {"Message-ID: ", false, false},   {"MIME-Version: 1.0", false, false},
      {"Content-Type: text/html; charset=utf-8", false, false},
      {"Content-Transfer-Encoding: quoted-printable", false, false},
  };
  size_t at = 0;
  for (const Field& field : kFields) {
    Check(at < lines.size() && lines[at].compare(0, std::strlen(field.name), field.name) == 0);
    const size_t first = at++;
    while (field.folds && at < lines.size() && !lines[at].empty() && lines[at][0] == ' ') ++at;
    for (size_t i = first; i < at; ++i) {
      const std::string& line = lines[i];
      Check(line.size() <= kMaxLine);
      Check(i == first || line.find_first_not_of(' ') != std::string::npos);
      for (unsigned char c : line) Check(c >= 0x20 && c <= 0x7E);
      if (field.folds) {
        Check(line.size() <= kMaxEncodedLine ||
              (field.mailboxes && IsAddressOnlyLine(line, addresses)));
      }
    }
    if (std::strcmp(field.name, "Subject:") == 0) {
      Check(ReadSubject(std::vector<std::string>(lines.begin() + first, lines.begin() + at)) ==
            message.subject);
    }
  }
  Check(at < lines.size() && lines[at].empty());

  // The body: quoted-printable lines that decode to the body.
  const size_t body_start = mail.find("\r\n\r\n") + 4;
  for (size_t i = at + 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    Check(line.size() <= kMaxEncodedLine);
    Check(line.empty() || (line[0] != '.' && line.back() != ' ' && line.back() != '\t'));
    for (unsigned char c : line) Check((c >= 0x20 && c <= 0x7E) || c == '\t');
  }
  std::string decoded;
  Check(DecodeEscapes(mail.substr(body_start), false, &decoded));
  Check(decoded == WithCrLfBreaks(message.html_body));

  // After DATA: nothing to stuff, only the end-of-data line.
  Check(lanfeng::DotStuff(mail) == mail + ".\r\n");
  return 0;
}
