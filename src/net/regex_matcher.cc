#include "net/regex_matcher.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <locale>
#include <regex>

#include "platform/platform.h"
#include "runtime/gbk_text.h"

namespace lanfeng {
namespace {

constexpr wchar_t kReplacementChar = 0xFFFD;

// Regex traits whose character classes (\d, \w, \s, \b) hold ASCII only.
class AsciiClassTraits : public std::regex_traits<wchar_t> {
 public:
  bool isctype(wchar_t c, char_class_type class_type) const {
    return c < 0x80 && std::regex_traits<wchar_t>::isctype(c, class_type);
  }
};

using WideRegex = std::basic_regex<wchar_t, AsciiClassTraits>;
using WideIterator = std::regex_iterator<std::wstring::const_iterator, wchar_t, AsciiClassTraits>;

// A text decoded for matching: one wide character per character of the
// text, and the byte offset of each (one more: the end of the text).
struct WideText {
  std::wstring chars;
  std::vector<size_t> offsets;
};

// True when a GBK double-byte character starts at text[pos]: a lead byte
// 0x81..0xFE and a trail byte 0x40..0xFE other than 0x7F.
bool IsDoubleByte(const std::string& text, size_t pos) {
  if (pos + 1 >= text.size()) return false;
  unsigned char lead = static_cast<unsigned char>(text[pos]);
  unsigned char trail = static_cast<unsigned char>(text[pos + 1]);
  return lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE && trail != 0x7F;
}

size_t CharLength(const std::string& text, size_t pos) { return IsDoubleByte(text, pos) ? 2 : 1; }

size_t CountChars(const std::string& text) {
  size_t count = 0;
  for (size_t pos = 0; pos < text.size(); pos += CharLength(text, pos)) ++count;
  return count;
}

// The code point of a UTF-8 text holding exactly one character that fits a
// wchar_t; U+FFFD otherwise.
wchar_t SingleCodePoint(const std::string& utf8) {
  if (utf8.empty()) return kReplacementChar;
  unsigned char first = static_cast<unsigned char>(utf8[0]);
  size_t length = first < 0x80 ? 1 : first < 0xC0 ? 0 : first < 0xE0 ? 2 : first < 0xF0 ? 3 : 4;
  if (length == 0 || utf8.size() != length) return kReplacementChar;
  uint32_t code = length == 1 ? first : first & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    code = code << 6 | (static_cast<unsigned char>(utf8[i]) & 0x3F);
  }
  if (code > static_cast<uint32_t>(std::numeric_limits<wchar_t>::max())) return kReplacementChar;
  return static_cast<wchar_t>(code);
}

// The Unicode character of the `length` bytes at text[pos].
wchar_t DecodeChar(const std::string& text, size_t pos, size_t length) {
  unsigned char lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return static_cast<wchar_t>(lead);
  std::string utf8;
  if (length == 1 || !GbkToUtf8(text.substr(pos, 2), &utf8)) return kReplacementChar;
  return SingleCodePoint(utf8);
}

WideText Decode(const std::string& text) {
  WideText wide;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t length = CharLength(text, pos);
    wide.chars.push_back(DecodeChar(text, pos, length));
    wide.offsets.push_back(pos);
    pos += length;
  }
  wide.offsets.push_back(pos);
  return wide;
}

// The locale whose case mapping ignoring case follows: C.UTF-8 maps every
// script; without it the classic locale maps ASCII letters only.
const std::locale& FoldingLocale() {
  static const std::locale locale = [] {
    try {
      return std::locale("C.UTF-8");
    } catch (const std::exception&) {
      return std::locale::classic();
    }
  }();
  return locale;
}

std::regex_constants::syntax_option_type SyntaxFlags(const RegexOptions& options) {
  std::regex_constants::syntax_option_type flags = std::regex_constants::ECMAScript;
  if (!options.case_sensitive) flags |= std::regex_constants::icase;
  if (options.multiline) flags |= std::regex_constants::multiline;
  return flags;
}

}  // namespace

bool RegexMatcher::Create(const std::string& pattern, const std::string& subject,
                          const RegexOptions& options) {
  matched_ = false;
  matches_.clear();
  pattern_ = options.replace_quote_marker ? ReplaceAll(pattern, "#引号", "\"") : pattern;
  subject_ = subject;
  if (CountChars(pattern_) > kMaxChars || CountChars(subject_) > kMaxChars) return false;
  try {
    Run(options);
    matched_ = true;
  } catch (const std::exception&) {  // an invalid or too large pattern
    matches_.clear();
  }
  return matched_;
}

// Compiles the pattern and keeps the matches in the subject as byte ranges.
void RegexMatcher::Run(const RegexOptions& options) {
  WideRegex regex;
  regex.imbue(FoldingLocale());
  regex.assign(Decode(pattern_).chars, SyntaxFlags(options));
  const WideText subject = Decode(subject_);
  auto span = [&subject](const std::wssub_match& part) {
    Span result;
    if (!part.matched) return result;
    result.begin = subject.offsets[part.first - subject.chars.cbegin()];
    result.end = subject.offsets[part.second - subject.chars.cbegin()];
    result.matched = true;
    return result;
  };
  auto keep = [&](const std::wsmatch& found) {
    Match match;
    match.whole = span(found[0]);
    for (size_t i = 1; i < found.size(); ++i) match.groups.push_back(span(found[i]));
    matches_.push_back(std::move(match));
  };
  if (!options.global) {
    std::wsmatch found;
    if (std::regex_search(subject.chars, found, regex)) keep(found);
    return;
  }
  for (WideIterator it(subject.chars.cbegin(), subject.chars.cend(), regex), end; it != end; ++it) {
    keep(*it);
  }
}

std::string RegexMatcher::GetPattern() const { return pattern_; }

std::string RegexMatcher::ReplaceMatches(const std::string& replacement) const {
  if (!matched_) return std::string();
  std::string result;
  size_t done = 0;
  for (const Match& match : matches_) {
    result.append(subject_, done, match.whole.begin - done);
    result += Expand(replacement, match);
    done = match.whole.end;
  }
  result.append(subject_, done, std::string::npos);
  return result;
}

// The replacement with its "$" references filled in from one match.
std::string RegexMatcher::Expand(const std::string& replacement, const Match& match) const {
  std::string out;
  size_t pos = 0;
  while (pos < replacement.size()) {
    size_t length = CharLength(replacement, pos);
    std::string value;
    if (length == 1 && replacement[pos] == '$' && pos + 1 < replacement.size() &&
        Reference(replacement[pos + 1], match, &value)) {
      out += value;
      pos += 2;
      continue;
    }
    out.append(replacement, pos, length);
    pos += length;
  }
  return out;
}

// The value of the reference "$name" for one match; false when "$name" is no
// reference. All names are ASCII, so a lead byte after "$" never is one.
bool RegexMatcher::Reference(char name, const Match& match, std::string* value) const {
  const Span& whole = match.whole;
  size_t group = name >= '1' && name <= '9' ? static_cast<size_t>(name - '0') : 0;
  if (name == '$') {
    *value = "$";
  } else if (name == '&') {
    *value = SpanText(&whole, nullptr);
  } else if (name == '`') {
    *value = subject_.substr(0, whole.begin);
  } else if (name == '\'') {
    *value = subject_.substr(whole.end);
  } else if (group >= 1 && group <= match.groups.size()) {
    *value = SpanText(&match.groups[group - 1], nullptr);
  } else {
    return false;
  }
  return true;
}

int RegexMatcher::MatchCount() const { return static_cast<int>(matches_.size()); }

const RegexMatcher::Match* RegexMatcher::FindMatch(int index) const {
  if (index < 1 || static_cast<size_t>(index) > matches_.size()) return nullptr;
  return &matches_[index - 1];
}

// The subject's bytes in span, and their offset (-1 for no span or a group
// that took no part).
std::string RegexMatcher::SpanText(const Span* span, int* start_position) const {
  bool found = span != nullptr && span->matched;
  if (start_position != nullptr) *start_position = found ? static_cast<int>(span->begin) : -1;
  return found ? subject_.substr(span->begin, span->end - span->begin) : std::string();
}

std::string RegexMatcher::MatchText(int index, int* start_position) const {
  const Match* match = FindMatch(index);
  return SpanText(match != nullptr ? &match->whole : nullptr, start_position);
}

std::string RegexMatcher::SubMatchText(int index, int sub_index, int* start_position) const {
  const Match* match = FindMatch(index);
  const Span* group = nullptr;
  bool in_range = match != nullptr && sub_index >= 1 &&
                  static_cast<size_t>(sub_index) <= match->groups.size();
  if (in_range) group = &match->groups[sub_index - 1];
  return SpanText(group, start_position);
}

int RegexMatcher::SubMatchCount() const {
  return matches_.empty() ? 0 : static_cast<int>(matches_.front().groups.size());
}

// Digits are ASCII bytes below every trail byte, so a walk over whole
// characters finds them exactly where "[0-9]" matches.
std::string ExtractDigits(const std::string& text) {
  std::string digits;
  for (size_t pos = 0; pos < text.size(); pos += CharLength(text, pos)) {
    if (text[pos] >= '0' && text[pos] <= '9') digits.push_back(text[pos]);
  }
  return digits;
}

}  // namespace lanfeng
