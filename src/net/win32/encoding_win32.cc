// The Windows ConvertEncoding: the same two steps as the iconv backend
// (encoding.cc), with Unicode code points between them. UTF-8, UTF-16 and
// UTF-32 are decoded and encoded here, so that bytes that are not text are
// dropped one by one exactly as iconv drops them (MultiByteToWideChar would
// turn them into U+FFFD); every other character set is a Windows code page,
// converted with MultiByteToWideChar and WideCharToMultiByte, strictly, and
// character by character wherever the whole text does not convert.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/encoding.h"
#include "net/http_text.h"

namespace lanfeng {
namespace {

enum class Form { kUtf8, kUtf16Le, kUtf16Be, kUtf16, kUtf32Le, kUtf32Be, kUtf32, kCodePage };

// A character set: how its bytes are read and written, and the byte-order
// mark that the stream object writes for it (empty when none).
struct Charset {
  Form form = Form::kCodePage;
  UINT code_page = 0;
  std::string byte_order_mark;
};

struct NamedCodePage {
  const char* name;  // lower case
  UINT code_page;
};

// Names iconv knows for the code pages Windows has, as the Linux build
// accepts them. "cpNNN", "windows-NNN" and "ibmNNN" are read by number.
constexpr NamedCodePage kCodePages[] = {
    {"gbk", 936},           {"gb2312", 936},        {"gb18030", 54936},      {"big5", 950},
    {"shift_jis", 932},     {"shift-jis", 932},     {"sjis", 932},           {"ms_kanji", 932},
    {"euc-jp", 20932},      {"euc-kr", 949},        {"ks_c_5601-1987", 949}, {"uhc", 949},
    {"johab", 1361},        {"iso-2022-jp", 50220}, {"iso-2022-kr", 50225},  {"us-ascii", 20127},
    {"ascii", 20127},       {"latin1", 28591},      {"iso-8859-1", 28591},   {"iso-8859-2", 28592},
    {"iso-8859-3", 28593},  {"iso-8859-4", 28594},  {"iso-8859-5", 28595},   {"iso-8859-6", 28596},
    {"iso-8859-7", 28597},  {"iso-8859-8", 28598},  {"iso-8859-9", 28599},   {"iso-8859-13", 28603},
    {"iso-8859-15", 28605}, {"koi8-r", 20866},      {"koi8-u", 21866},       {"tis-620", 874},
    {"macintosh", 10000},
};

// The number after `prefix` in `name` (all digits), or 0.
UINT NumberAfter(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return 0;
  const std::string digits = name.substr(prefix.size());
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return static_cast<UINT>(std::atoi(digits.c_str()));
}

// The character set of a name, or false when Windows has none by it.
bool ResolveCharset(const std::string& name, Charset* charset) {
  const std::string lower = LowerAscii(name);
  const struct {
    const char* name;
    Form form;
    const char* mark;
  } unicode_forms[] = {
      {"utf-8", Form::kUtf8, "\xEF\xBB\xBF"},
      {"utf8", Form::kUtf8, ""},
      {"unicode", Form::kUtf16Le, "\xFF\xFE"},
      {"unicodefffe", Form::kUtf16Be, "\xFE\xFF"},
      {"utf-16le", Form::kUtf16Le, ""},
      {"utf-16be", Form::kUtf16Be, ""},
      {"utf-16", Form::kUtf16, ""},
      {"utf-32le", Form::kUtf32Le, ""},
      {"utf-32be", Form::kUtf32Be, ""},
      {"utf-32", Form::kUtf32, ""},
  };
  for (const auto& form : unicode_forms) {
    if (lower == form.name) {
      *charset = Charset{form.form, 0, form.mark};
      return true;
    }
  }
  UINT code_page = 0;
  for (const NamedCodePage& named : kCodePages) {
    if (lower == named.name) code_page = named.code_page;
  }
  for (const char* prefix : {"cp", "windows-", "ibm"}) {
    if (code_page == 0) code_page = NumberAfter(lower, prefix);
  }
  if (code_page == CP_UTF8) {
    *charset = Charset{Form::kUtf8, 0, ""};
    return true;
  }
  if (code_page == 0 || code_page == CP_UTF7 || !::IsValidCodePage(code_page)) return false;
  *charset = Charset{Form::kCodePage, code_page, ""};
  return true;
}

bool IsScalarValue(uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// UTF-8 to code points. A byte that does not start a well-formed character
// is dropped alone and reading resumes at the next byte, as iconv does; a
// character cut short by the end of the text is dropped whole.
void DecodeUtf8(const std::string& in, std::u32string* out) {
  const size_t size = in.size();
  for (size_t i = 0; i < size;) {
    const unsigned char lead = static_cast<unsigned char>(in[i]);
    size_t length = 0;
    uint32_t c = 0;
    if (lead < 0x80) {
      length = 1;
      c = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07;
    } else {
      ++i;
      continue;
    }
    size_t taken = 1;
    while (taken < length && i + taken < size &&
           (static_cast<unsigned char>(in[i + taken]) & 0xC0) == 0x80) {
      c = (c << 6) | (static_cast<unsigned char>(in[i + taken]) & 0x3F);
      ++taken;
    }
    if (taken < length && i + taken == size) return;  // cut short at the end
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (taken < length || c < smallest[length] || !IsScalarValue(c)) {
      ++i;
      continue;
    }
    out->push_back(c);
    i += length;
  }
}

uint32_t ReadUnit(const std::string& in, size_t at, size_t bytes, bool big_endian) {
  uint32_t value = 0;
  for (size_t k = 0; k < bytes; ++k) {
    const uint32_t byte = static_cast<unsigned char>(in[at + (big_endian ? k : bytes - 1 - k)]);
    value = (value << 8) | byte;
  }
  return value;
}

// UTF-16 to code points: an unpaired surrogate is dropped, an odd last byte
// or a pair cut at the end ignored.
void DecodeUtf16(const std::string& in, size_t from, bool big_endian, std::u32string* out) {
  for (size_t i = from; i + 2 <= in.size();) {
    const uint32_t unit = ReadUnit(in, i, 2, big_endian);
    i += 2;
    if (unit < 0xD800 || unit > 0xDFFF) {
      out->push_back(unit);
    } else if (unit <= 0xDBFF) {
      if (i + 2 > in.size()) return;
      const uint32_t low = ReadUnit(in, i, 2, big_endian);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out->push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
      }
    }
  }
}

void DecodeUtf32(const std::string& in, size_t from, bool big_endian, std::u32string* out) {
  for (size_t i = from; i + 4 <= in.size(); i += 4) {
    const uint32_t c = ReadUnit(in, i, 4, big_endian);
    if (IsScalarValue(c)) out->push_back(c);
  }
}

// UTF-16 units (from the system) to code points.
void AppendWide(const wchar_t* wide, int length, std::u32string* out) {
  for (int i = 0; i < length; ++i) {
    const uint32_t unit = static_cast<uint16_t>(wide[i]);
    const uint32_t next = i + 1 < length ? static_cast<uint16_t>(wide[i + 1]) : 0;
    if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
      out->push_back(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
      ++i;
    } else if (unit < 0xD800 || unit > 0xDFFF) {
      out->push_back(unit);
    }
  }
}

// MultiByteToWideChar, strict where the code page allows it: the UTF-16
// units of `length` bytes at `bytes`, or false when they are not text.
bool CodePageToWide(UINT code_page, const char* bytes, int length, std::wstring* wide) {
  DWORD flags = MB_ERR_INVALID_CHARS;
  int units = ::MultiByteToWideChar(code_page, flags, bytes, length, nullptr, 0);
  if (units <= 0 && ::GetLastError() == ERROR_INVALID_FLAGS) {
    flags = 0;  // code pages that take no flags (ISO-2022 and the like)
    units = ::MultiByteToWideChar(code_page, flags, bytes, length, nullptr, 0);
  }
  if (units <= 0) return false;
  wide->resize(static_cast<size_t>(units));
  return ::MultiByteToWideChar(code_page, flags, bytes, length, &(*wide)[0], units) == units;
}

// A code page's text to code points: the whole text at once when it all
// converts, otherwise character by character, dropping a byte that starts
// no character of the code page.
void DecodeCodePage(UINT code_page, const std::string& in, std::u32string* out) {
  std::wstring wide;
  if (in.size() <= 0x7FFFFFFF &&
      CodePageToWide(code_page, in.data(), static_cast<int>(in.size()), &wide)) {
    AppendWide(wide.data(), static_cast<int>(wide.size()), out);
    return;
  }
  CPINFO info;
  const int longest =
      ::GetCPInfo(code_page, &info) ? std::max<int>(1, static_cast<int>(info.MaxCharSize)) : 4;
  for (size_t i = 0; i < in.size();) {
    int taken = 0;
    for (int length = 1; length <= longest && i + length <= in.size() && taken == 0; ++length) {
      if (CodePageToWide(code_page, in.data() + i, length, &wide)) taken = length;
    }
    if (taken == 0) {
      ++i;
      continue;
    }
    AppendWide(wide.data(), static_cast<int>(wide.size()), out);
    i += static_cast<size_t>(taken);
  }
}

void Decode(const Charset& charset, const std::string& in, std::u32string* out) {
  switch (charset.form) {
    case Form::kUtf8:
      return DecodeUtf8(in, out);
    case Form::kUtf16Le:
    case Form::kUtf16Be:
      return DecodeUtf16(in, 0, charset.form == Form::kUtf16Be, out);
    case Form::kUtf16: {
      // Its own mark says the order; little-endian without one, as glibc's
      // iconv reads it.
      const bool big = in.compare(0, 2, "\xFE\xFF") == 0;
      const bool marked = big || in.compare(0, 2, "\xFF\xFE") == 0;
      return DecodeUtf16(in, marked ? 2 : 0, big, out);
    }
    case Form::kUtf32Le:
    case Form::kUtf32Be:
      return DecodeUtf32(in, 0, charset.form == Form::kUtf32Be, out);
    case Form::kUtf32: {
      const bool big = in.compare(0, 4, std::string("\0\0\xFE\xFF", 4)) == 0;
      const bool marked = big || in.compare(0, 4, std::string("\xFF\xFE\0\0", 4)) == 0;
      return DecodeUtf32(in, marked ? 4 : 0, big, out);
    }
    case Form::kCodePage:
      return DecodeCodePage(charset.code_page, in, out);
  }
}

void AppendUnit(uint32_t unit, size_t bytes, bool big_endian, std::string* out) {
  for (size_t k = 0; k < bytes; ++k) {
    const size_t shift = 8 * (big_endian ? bytes - 1 - k : k);
    out->push_back(static_cast<char>((unit >> shift) & 0xFF));
  }
}

void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void AppendUtf16(uint32_t c, bool big_endian, std::string* out) {
  if (c < 0x10000) {
    AppendUnit(c, 2, big_endian, out);
    return;
  }
  AppendUnit(0xD800 + ((c - 0x10000) >> 10), 2, big_endian, out);
  AppendUnit(0xDC00 + ((c - 0x10000) & 0x3FF), 2, big_endian, out);
}

std::wstring ToWide(const std::u32string& text) {
  std::wstring wide;
  for (const char32_t c : text) {
    if (c < 0x10000) {
      wide.push_back(static_cast<wchar_t>(c));
    } else {
      wide.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
      wide.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  return wide;
}

// WideCharToMultiByte, strict: false when a character has no counterpart in
// the code page (no best-fit look-alike, no default character). Code pages
// that cannot report that (they take no flags) convert as they can.
bool WideToCodePage(UINT code_page, const std::wstring& wide, std::string* out) {
  if (wide.size() > 0x7FFFFFFF) return false;
  const int units = static_cast<int>(wide.size());
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* used_default_out = &used_default;
  int length = ::WideCharToMultiByte(code_page, flags, wide.data(), units, nullptr, 0, nullptr,
                                     &used_default);
  if (length <= 0 &&
      (::GetLastError() == ERROR_INVALID_FLAGS || ::GetLastError() == ERROR_INVALID_PARAMETER)) {
    flags = 0;
    used_default_out = nullptr;
    length =
        ::WideCharToMultiByte(code_page, flags, wide.data(), units, nullptr, 0, nullptr, nullptr);
  }
  if (length <= 0 || used_default) return false;
  std::string bytes(static_cast<size_t>(length), '\0');
  if (::WideCharToMultiByte(code_page, flags, wide.data(), units, &bytes[0], length, nullptr,
                            used_default_out) != length ||
      used_default) {
    return false;
  }
  *out += bytes;
  return true;
}

// Code points to a code page: the whole text at once when every character
// has a counterpart, otherwise character by character, dropping the rest.
void EncodeCodePage(UINT code_page, const std::u32string& text, std::string* out) {
  if (text.empty() || WideToCodePage(code_page, ToWide(text), out)) return;
  for (const char32_t c : text) WideToCodePage(code_page, ToWide(std::u32string(1, c)), out);
}

void Encode(const Charset& charset, const std::u32string& text, std::string* out) {
  switch (charset.form) {
    case Form::kUtf8:
      for (const char32_t c : text) AppendUtf8(c, out);
      return;
    case Form::kUtf16:
      // iconv writes this one's mark itself, in its own (little-endian) order.
      out->append("\xFF\xFE");
      [[fallthrough]];
    case Form::kUtf16Le:
    case Form::kUtf16Be:
      for (const char32_t c : text) AppendUtf16(c, charset.form == Form::kUtf16Be, out);
      return;
    case Form::kUtf32:
      out->append("\xFF\xFE\0\0", 4);
      [[fallthrough]];
    case Form::kUtf32Le:
    case Form::kUtf32Be:
      for (const char32_t c : text) AppendUnit(c, 4, charset.form == Form::kUtf32Be, out);
      return;
    case Form::kCodePage:
      return EncodeCodePage(charset.code_page, text, out);
  }
}

}  // namespace

std::string ConvertEncoding(const std::string& data, const std::string& source,
                            const std::string& target, std::optional<size_t> start_position) {
  if (data.empty()) return "";
  Charset from, to;
  if (!ResolveCharset(source.empty() ? "UTF-8" : source, &from) ||
      !ResolveCharset(target.empty() ? "GBK" : target, &to)) {
    return "";
  }
  const std::string& mark = from.byte_order_mark;
  const bool marked = !mark.empty() && data.compare(0, mark.size(), mark) == 0;
  std::u32string unicode;
  Decode(from, marked ? data.substr(mark.size()) : data, &unicode);
  std::string output = to.byte_order_mark;
  Encode(to, unicode, &output);
  const size_t start = start_position.value_or(0);
  return start < output.size() ? output.substr(start) : "";
}

}  // namespace lanfeng
