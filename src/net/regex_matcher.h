// RegexMatcher: a small regular-expression object over GBK texts, and
// ExtractDigits, the one use the system makes of it (the digits of the
// forwarding-mailbox command's argument).
//
// Engine. Patterns are ECMAScript regular expressions (std::wregex), the
// dialect of the Windows script engine's RegExp object: groups, (?:...),
// lookahead, lazy quantifiers, \d \w \s \b, \xhh and \uhhhh. Matching runs
// over characters, not bytes: pattern and subject are decoded from GBK to
// Unicode, so "." matches one Chinese character and no ASCII character is
// ever found inside a double-byte one (a trail byte can look like "\" or "A").
// Character classes (\d, \w, \s and the word boundary \b) cover ASCII only,
// as the script engine's did; ignoring case folds every script (Ａ and ａ,
// Ω and ω) where the C.UTF-8 locale is present, and ASCII letters otherwise.
// "." stops at CR as well as at LF, and with multi-line on, "^" and "$" match
// at both.
//
// Texts. A byte that is not part of a GBK character (0x80, 0xFF, a lead byte
// without a valid trail byte, a pair GBK does not define) takes part in
// matching as U+FFFD, one per such byte or pair; a lead byte never swallows
// the ASCII byte after it. Match texts are cut from the subject's own bytes,
// so they come back byte for byte, whatever the subject holds.
//
// Limits. The engine backtracks recursively: every character that one match
// attempt consumes under a quantifier costs it stack (around 1 KB with a
// quantified group of alternatives). Subjects and patterns are therefore
// limited to kMaxChars characters each, which keeps the deepest match well
// inside a 1 MB thread stack; Create refuses longer ones. Time is not
// bounded for patterns with nested quantifiers ("(a*)*b"): patterns are
// written in the system's code, never taken from chat. ExtractDigits uses no
// regular expression at all and takes texts of any length.
//
// Nothing here throws; indexes are 1-based, and one out of range gives an
// empty text, 0 or a start position of -1.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace lanfeng {

// How Create compiles and matches. The defaults ignore case, let "^" and "$"
// match at line breaks and find every match.
struct RegexOptions {
  bool case_sensitive = false;
  bool multiline = true;
  bool global = true;
  // Replaces every "#引号" in the pattern by a double quote first, for
  // patterns written where a quote cannot stand.
  bool replace_quote_marker = false;
};

class RegexMatcher {
 public:
  // The most characters a subject or a pattern may have.
  static constexpr size_t kMaxChars = 256;

  // Compiles pattern, matches it against subject and keeps the matches,
  // replacing those of an earlier Create. False, with no matches kept, for an
  // invalid pattern or a subject or pattern over kMaxChars characters.
  bool Create(const std::string& pattern, const std::string& subject,
              const RegexOptions& options = RegexOptions());

  // The pattern of the last Create (after the quote-marker replacement);
  // empty before the first Create.
  std::string GetPattern() const;

  // The subject with each kept match replaced by `replacement`, in which $&
  // is the match, $1..$9 a group (empty when it took no part), $` and $' the
  // text before and after the match, and $$ a "$". A "$" followed by
  // anything else, including a digit beyond the pattern's groups, stays as
  // it is; two-digit group numbers are not read ("$12" is group 1, then
  // "2"). Empty when the last Create failed or none was made.
  std::string ReplaceMatches(const std::string& replacement) const;

  // The number of kept matches.
  int MatchCount() const;

  // The text of match `index`. With start_position, also stores its 0-based
  // byte offset in the subject (-1 when there is no such match).
  std::string MatchText(int index, int* start_position = nullptr) const;

  // The text of group `sub_index` of match `index`, and optionally its byte
  // offset; a group that took no part gives an empty text and -1.
  std::string SubMatchText(int index, int sub_index, int* start_position = nullptr) const;

  // The number of groups in the first match; 0 when nothing matched.
  int SubMatchCount() const;

 private:
  // A byte range of the subject.
  struct Span {
    size_t begin = 0;
    size_t end = 0;
    bool matched = false;
  };
  struct Match {
    Span whole;
    std::vector<Span> groups;
  };

  void Run(const RegexOptions& options);
  const Match* FindMatch(int index) const;
  std::string SpanText(const Span* span, int* start_position) const;
  std::string Expand(const std::string& replacement, const Match& match) const;
  bool Reference(char name, const Match& match, std::string* value) const;

  bool matched_ = false;  // the last Create succeeded
  std::string pattern_;
  std::string subject_;
  std::vector<Match> matches_;
};

// Every ASCII digit of text, in order; everything else, full-width digits
// included, is dropped. The same result as the global matches of "[0-9]".
std::string ExtractDigits(const std::string& text);

}  // namespace lanfeng
