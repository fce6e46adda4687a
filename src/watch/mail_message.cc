#include "watch/mail_message.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace lanfeng {
namespace {

constexpr size_t kMaxEncodedLine = 76;
constexpr size_t kMaxEncodedWord = 75;
constexpr char kWordStart[] = "=?UTF-8?Q?";
constexpr char kWordEnd[] = "?=";
constexpr size_t kWordOverhead = sizeof kWordStart - 1 + sizeof kWordEnd - 1;
// The longest Q encoding of one UTF-8 character (four bytes as =XX).
constexpr size_t kLongestEncodedChar = 12;

std::string HexByte(unsigned char c) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string{'=', kDigits[c >> 4], kDigits[c & 0x0F]};
}

bool IsAsciiLetterOrDigit(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Characters of an RFC 5322 atom besides letters and digits.
bool IsAtomText(unsigned char c) {
  return IsAsciiLetterOrDigit(c) || std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr;
}

bool IsPrintableAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

bool IsValidLocalPart(const std::string& local) {
  if (local.empty() || local.size() > 64 || local.front() == '.' || local.back() == '.') {
    return false;
  }
  for (size_t i = 0; i < local.size(); ++i) {
    unsigned char c = local[i];
    if (c == '.' ? local[i + 1] == '.' : !IsAtomText(c)) return false;
  }
  return true;
}

bool IsValidDomainLabel(const std::string& label) {
  if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
    return false;
  }
  for (unsigned char c : label) {
    if (!IsAsciiLetterOrDigit(c) && c != '-') return false;
  }
  return true;
}

bool IsValidDomain(const std::string& domain) {
  size_t start = 0;
  for (;;) {
    size_t dot = domain.find('.', start);
    if (!IsValidDomainLabel(domain.substr(start, dot - start))) return false;
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

// The length of the UTF-8 character at text[pos]; a byte that does not start
// a whole, well-formed character counts alone.
size_t Utf8CharLength(const std::string& text, size_t pos) {
  unsigned char lead = text[pos];
  size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
  if (pos + length > text.size()) return 1;
  for (size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[pos + i]) & 0xC0) != 0x80) return 1;
  }
  return length;
}

// The Q encoding (RFC 2047 section 4.2) of some bytes, using only the
// characters allowed in an encoded word inside a phrase.
std::string QEncode(const std::string& bytes) {
  std::string encoded;
  for (unsigned char c : bytes) {
    if (IsAsciiLetterOrDigit(c) || std::strchr("!*+-/", c) != nullptr) {
      encoded += static_cast<char>(c);
    } else if (c == ' ') {
      encoded += '_';
    } else {
      encoded += HexByte(c);
    }
  }
  return encoded;
}

// One header field under construction, folded before a token that would
// take its line past 76 characters.
class HeaderField {
 public:
  explicit HeaderField(const std::string& name) : text_(name + ":"), column_(text_.size()) {}

  // Characters left on the current line for a token after its blank.
  size_t Room() const { return column_ + 1 < kMaxEncodedLine ? kMaxEncodedLine - column_ - 1 : 0; }
  void Fold() {
    text_ += "\r\n";
    column_ = 0;
  }
  // Appends a blank and the token, on a new line if it does not fit here.
  void Add(const std::string& token) {
    if (token.size() > Room() && column_ > 0) Fold();
    text_ += " " + token;
    column_ += 1 + token.size();
  }
  // Appends UTF-8 text as encoded words, filling each line.
  void AddEncodedWords(const std::string& text) {
    size_t pos = 0;
    while (pos < text.size()) {
      if (Room() < kWordOverhead + kLongestEncodedChar) Fold();
      const size_t budget = std::min(Room(), kMaxEncodedWord) - kWordOverhead;
      std::string encoded;
      while (pos < text.size()) {
        const size_t length = Utf8CharLength(text, pos);
        std::string piece = QEncode(text.substr(pos, length));
        if (encoded.size() + piece.size() > budget) break;
        encoded += piece;
        pos += length;
      }
      Add(kWordStart + encoded + kWordEnd);
    }
  }
  std::string Finish() const { return text_ + "\r\n"; }

 private:
  std::string text_;
  size_t column_;
};

// Whether a header text may go as it is: printable ASCII that cannot be
// mistaken for an encoded word and fits on the field's first line.
bool GoesAsIs(const std::string& text, size_t room) {
  return IsPrintableAscii(text) && text.find("=?") == std::string::npos && text.size() <= room;
}

std::string QuotedString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// The quoted-printable form of one byte; `line_start` and `line_end` tell
// where on its line it stands.
std::string QpToken(unsigned char c, bool line_start, bool line_end) {
  if (c == '.' && line_start) return HexByte(c);
  if ((c == ' ' || c == '\t') && !line_end) return std::string(1, static_cast<char>(c));
  if (c > ' ' && c <= '~' && c != '=') return std::string(1, static_cast<char>(c));
  return HexByte(c);
}

// Appends one line of the text, split by soft breaks, ending in a hard line
// break or, for a last line without one, a soft break.
void AppendQpLine(const std::string& line, bool hard_break, std::string* out) {
  size_t column = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const unsigned char c = line[i];
    const bool line_end = i + 1 == line.size();
    std::string token = QpToken(c, column == 0, line_end);
    // Room for the "=" of a soft break stays free unless a hard break follows.
    const size_t limit = line_end && hard_break ? kMaxEncodedLine : kMaxEncodedLine - 1;
    if (column + token.size() > limit) {
      *out += "=\r\n";
      column = 0;
      token = QpToken(c, true, line_end);
    }
    *out += token;
    column += token.size();
  }
  *out += hard_break ? "\r\n" : "=\r\n";
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
long DaysFromCivil(long year, long month, long day) {
  year -= month <= 2;
  const long era = (year >= 0 ? year : year - 399) / 400;
  const long year_of_era = year - era * 400;
  const long day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

long SecondsOfCalendarTime(const std::tm& time) {
  return DaysFromCivil(time.tm_year + 1900L, time.tm_mon + 1L, time.tm_mday) * 86400 +
         time.tm_hour * 3600L + time.tm_min * 60L + time.tm_sec;
}

}  // namespace

bool IsValidMailAddress(const std::string& address) {
  const size_t at = address.find('@');
  if (address.size() > 254 || at == std::string::npos ||
      address.find('@', at + 1) != std::string::npos) {
    return false;
  }
  return IsValidLocalPart(address.substr(0, at)) && IsValidDomain(address.substr(at + 1));
}

std::string EncodeQuotedPrintable(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      AppendQpLine(text.substr(start), false, &out);
      break;
    }
    size_t content_end = end > start && text[end - 1] == '\r' ? end - 1 : end;
    AppendQpLine(text.substr(start, content_end - start), true, &out);
    start = end + 1;
  }
  return out;
}

std::string UnstructuredField(const std::string& name, const std::string& value) {
  HeaderField field(name);
  if (GoesAsIs(value, field.Room())) {
    field.Add(value);
  } else {
    field.AddEncodedWords(value);
  }
  return field.Finish();
}

std::string MailboxField(const std::string& name, const std::vector<Mailbox>& mailboxes) {
  HeaderField field(name);
  for (size_t i = 0; i < mailboxes.size(); ++i) {
    const Mailbox& mailbox = mailboxes[i];
    const std::string separator = i + 1 < mailboxes.size() ? "," : "";
    if (i > 0) field.Fold();
    if (mailbox.name.empty()) {
      field.Add(mailbox.address + separator);
      continue;
    }
    // Quoting adds a backslash before every quote and backslash: the quoted
    // name must still fit a line of its own.
    const std::string quoted = QuotedString(mailbox.name);
    if (GoesAsIs(mailbox.name, field.Room()) && quoted.size() < kMaxEncodedLine) {
      field.Add(quoted);
    } else {
      field.AddEncodedWords(mailbox.name);
    }
    field.Add("<" + mailbox.address + ">" + separator);
  }
  return field.Finish();
}

std::string ComposeMessage(const MailMessage& message) {
  std::string text = "Date: " + message.date + "\r\n";
  text += MailboxField("From", {message.from});
  text += MailboxField("To", message.to);
  text += UnstructuredField("Subject", message.subject);
  text += "Message-ID: " + message.message_id + "\r\n";
  text += "MIME-Version: 1.0\r\n";
  text += "Content-Type: text/html; charset=utf-8\r\n";
  text += "Content-Transfer-Encoding: quoted-printable\r\n";
  text += "\r\n";
  return text + EncodeQuotedPrintable(message.html_body);
}

std::string FormatMailDate(const std::tm& local, long offset_seconds) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const long offset_minutes = (offset_seconds < 0 ? -offset_seconds : offset_seconds) / 60;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDays[(local.tm_wday % 7 + 7) % 7], local.tm_mday,
                kMonths[(local.tm_mon % 12 + 12) % 12], local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec, offset_seconds < 0 ? '-' : '+', offset_minutes / 60,
                offset_minutes % 60);
  return text;
}

std::string CurrentMailDate() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  std::tm utc{};
#ifdef _WIN32
  localtime_s(&local, &now);
  gmtime_s(&utc, &now);
#else
  localtime_r(&now, &local);
  gmtime_r(&now, &utc);
#endif
  return FormatMailDate(local, SecondsOfCalendarTime(local) - SecondsOfCalendarTime(utc));
}

std::string NewMessageId(const std::string& from_address, uint64_t unique) {
  char text[32];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(unique));
  const size_t at = from_address.find('@');
  const std::string domain = at == std::string::npos ? "localhost" : from_address.substr(at + 1);
  return "<lanfeng." + std::string(text) + "@" + domain + ">";
}

}  // namespace lanfeng
