// The text of one outgoing mail: a single-part MIME message (RFC 5322, 2045,
// 2047) with an HTML body in UTF-8, quoted-printable encoded.
//
// Everything here works on UTF-8 texts; the sender converts the plugin's
// GBK texts first. No header line ever holds a raw control character: an
// address must pass IsValidMailAddress, and display names and the subject
// that hold anything but printable ASCII travel as encoded words.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace lanfeng {

// An address with an optional display name (UTF-8).
struct Mailbox {
  std::string address;
  std::string name;
};

struct MailMessage {
  Mailbox from;
  std::vector<Mailbox> to;
  std::string subject;     // UTF-8
  std::string html_body;   // UTF-8
  std::string date;        // as FormatMailDate gives it
  std::string message_id;  // "<...@...>"
};

// True for an address of the form local@domain that is safe on an SMTP
// command line and in a header: a dot-atom local part of at most 64
// characters, a domain of letter, digit and hyphen labels, 254 characters in
// all. No blanks, control characters, quotes, angle brackets or non-ASCII.
bool IsValidMailAddress(const std::string& address);

// The whole message: header fields, an empty line and the encoded body, every
// line ending in CR LF. Not yet dot-stuffed: that belongs to the SMTP DATA
// step.
std::string ComposeMessage(const MailMessage& message);

// Quoted-printable (RFC 2045) of a text: LF or CR LF become line breaks,
// every encoded line has at most 76 characters, "=", control characters,
// bytes above 0x7E, blanks before a line break and a "." that would start a
// line are encoded. A text that does not end in a line break ends in a soft
// break, so decoding gives back exactly the text.
std::string EncodeQuotedPrintable(const std::string& text);

// One header field "Name: value" with its CR LF. The value is a UTF-8
// text that goes as is when it is short printable ASCII, otherwise as RFC
// 2047 Q-encoded words ("=?UTF-8?Q?...?="), each at most 75 characters and
// never splitting a UTF-8 character, folded so that no line passes 76.
std::string UnstructuredField(const std::string& name, const std::string& value);

// A From or To field: each mailbox as `name <address>` (the name quoted or
// encoded as above) or the bare address, one per line.
std::string MailboxField(const std::string& name, const std::vector<Mailbox>& mailboxes);

// The RFC 5322 date of a local time whose offset from UTC is offset_seconds:
// "Tue, 05 Mar 2024 14:07:09 +0800". Names are English whatever the locale.
std::string FormatMailDate(const std::tm& local, long offset_seconds);
// FormatMailDate of the current local time.
std::string CurrentMailDate();

// A fresh Message-ID "<unique@domain>" with the domain of the given address.
std::string NewMessageId(const std::string& from_address, uint64_t unique);

}  // namespace lanfeng
