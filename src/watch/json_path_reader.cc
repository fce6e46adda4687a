#include "watch/json_path_reader.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/platform.h"
#include "runtime/gbk_text.h"

namespace lanfeng {
namespace {

using Value = rapidjson::Value;
using Document = rapidjson::Document;
using Allocator = Document::AllocatorType;
using rapidjson::SizeType;

constexpr unsigned kParseFlags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag;
constexpr uint32_t kBadByte = 0xFFFFFFFF;
constexpr uint32_t kReplacement = 0xFFFD;
constexpr size_t kMaxErrorTextBytes = 1024;
// Objects with at least this many members get an index of their names.
constexpr SizeType kIndexedObjectSize = 32;
// U+2400, which SetValue stores for a backslash, in UTF-8.
constexpr std::string_view kBackslashStandIn = "\xE2\x90\x80";
constexpr std::string_view kObjectText = "[object Object]";
// Joins of MemberNames and LeafValues.
constexpr std::string_view kNameSeparator = "\r\n";
constexpr std::string_view kLeafSeparator = u8"[2020年7月20日20时0分0秒]";

// ---------------------------------------------------------------------------
// UTF-8 and GBK

// The code point of the UTF-8 character at text[pos] (surrogates included)
// and its length; kBadByte and length 1 for a byte that starts none.
uint32_t DecodeUtf8(std::string_view text, size_t pos, size_t* length) {
  unsigned char lead = static_cast<unsigned char>(text[pos]);
  *length = 1;
  if (lead < 0x80) return lead;
  size_t extra = 0;
  uint32_t code = 0;
  uint32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, code = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, code = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, code = lead & 0x07, least = 0x10000;
  } else {
    return kBadByte;
  }
  if (pos + extra >= text.size()) return kBadByte;
  for (size_t i = 1; i <= extra; ++i) {
    unsigned char next = static_cast<unsigned char>(text[pos + i]);
    if ((next & 0xC0) != 0x80) return kBadByte;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < least || code > 0x10FFFF) return kBadByte;
  *length = extra + 1;
  return code;
}

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

bool IsSurrogate(uint32_t code) { return code >= 0xD800 && code <= 0xDFFF; }

// Characters converted one at a time, remembered for the life of the
// process. The platform's conversions are stateless and map ASCII to itself,
// so a text converts as its characters do one by one; a text holding anything
// these tables do not answer goes to the platform's conversion whole.
//
// An entry holds the converted bytes (at most three) above their count in
// the lowest byte: 0 while not yet learnt, kUnconvertible for a character
// the platform refuses. Entries are learnt by whichever thread meets them
// first; every thread learns the same value.
constexpr uint32_t kUnconvertible = 0xFF;

uint32_t PackBytes(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > 3) return kUnconvertible;
  uint32_t entry = static_cast<uint32_t>(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    entry |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * (i + 1));
  }
  return entry;
}

// Writes a packed entry's bytes at out, and up to two bytes more that later
// writes cover; answers the position after its bytes.
char* UnpackBytes(uint32_t entry, char* out) {
  out[0] = static_cast<char>(entry >> 8);
  out[1] = static_cast<char>(entry >> 16);
  out[2] = static_cast<char>(entry >> 24);
  return out + (entry & 0xFF);
}

// The double-byte GBK characters: lead 0x81..0xFE, trail 0x40..0xFE but 0x7F.
constexpr size_t kGbkTrails = 0xFF - 0x40;
std::atomic<uint32_t> gbk_to_utf8_chars[(0xFF - 0x81) * kGbkTrails];
// The characters of the Basic Multilingual Plane from U+0080 on.
std::atomic<uint32_t> utf8_to_gbk_chars[0x10000 - 0x80];

using Converter = bool (*)(const std::string&, std::string*);

uint32_t LearnChar(std::atomic<uint32_t>& slot, std::string_view character, Converter convert) {
  std::string converted;
  uint32_t entry =
      convert(std::string(character), &converted) ? PackBytes(converted) : kUnconvertible;
  slot.store(entry, std::memory_order_relaxed);
  return entry;
}

inline uint32_t LearntChar(std::atomic<uint32_t>& slot, std::string_view character,
                           Converter convert) {
  uint32_t entry = slot.load(std::memory_order_relaxed);
  return entry != 0 ? entry : LearnChar(slot, character, convert);
}

// The number of bytes below 0x80 at the start of an 8-byte word read from
// memory.
inline size_t LeadingAsciiBytes(uint64_t word) {
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  const uint64_t high = word & kHighBits;
  if (high == 0) return 8;
#if (defined(__GNUC__) || defined(__clang__)) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return static_cast<size_t>(__builtin_ctzll(high)) / 8;
#else
  unsigned char bytes[8];
  std::memcpy(bytes, &word, 8);
  size_t count = 0;
  while (bytes[count] < 0x80) ++count;
  return count;
#endif
}

// Copies the run of ASCII bytes at in[pos] to out, writing up to 8 bytes
// past it that later writes cover; answers the position after the run.
size_t CopyAscii(const char* in, size_t pos, size_t size, char** out) {
  char* to = *out;
  while (pos + 8 <= size) {
    uint64_t word;
    std::memcpy(&word, in + pos, 8);
    std::memcpy(to, &word, 8);
    const size_t ascii = LeadingAsciiBytes(word);
    to += ascii;
    pos += ascii;
    if (ascii < 8) {
      *out = to;
      return pos;
    }
  }
  while (pos < size && static_cast<unsigned char>(in[pos]) < 0x80) *to++ = in[pos++];
  *out = to;
  return pos;
}

// Room for the slack that CopyAscii and UnpackBytes write past their bytes.
constexpr size_t kWriteSlack = 8;

// GBK to UTF-8 through the table of characters; false for a text holding a
// byte that starts no double-byte character or a character not converted.
bool TableGbkToUtf8(std::string_view gbk, std::string* utf8) {
  const size_t size = gbk.size();
  utf8->resize(size + size / 2 + kWriteSlack);
  const char* in = gbk.data();
  char* const start = &(*utf8)[0];
  char* out = start;
  size_t pos = 0;
  while ((pos = CopyAscii(in, pos, size, &out)) < size) {
    // A run of double-byte characters.
    do {
      unsigned lead = static_cast<unsigned char>(in[pos]);
      unsigned trail = pos + 1 < size ? static_cast<unsigned char>(in[pos + 1]) : 0;
      if (lead < 0x81 || lead > 0xFE || trail < 0x40 || trail > 0xFE || trail == 0x7F) {
        return false;
      }
      auto& slot = gbk_to_utf8_chars[(lead - 0x81) * kGbkTrails + (trail - 0x40)];
      uint32_t entry = LearntChar(slot, gbk.substr(pos, 2), GbkToUtf8);
      if (entry == kUnconvertible) return false;
      out = UnpackBytes(entry, out);
      pos += 2;
    } while (pos < size && static_cast<unsigned char>(in[pos]) >= 0x80);
  }
  utf8->resize(static_cast<size_t>(out - start));
  return true;
}

// UTF-8 to GBK through the table of characters; false for a text holding
// anything but ASCII and converted characters of the BMP.
bool TableUtf8ToGbk(std::string_view utf8, std::string* gbk) {
  const size_t size = utf8.size();
  gbk->resize(size + kWriteSlack);
  const char* in = utf8.data();
  char* const start = &(*gbk)[0];
  char* out = start;
  size_t pos = 0;
  while ((pos = CopyAscii(in, pos, size, &out)) < size) {
    size_t length = 0;
    uint32_t code = DecodeUtf8(utf8, pos, &length);
    if (code < 0x80 || code > 0xFFFF || IsSurrogate(code)) return false;
    uint32_t entry =
        LearntChar(utf8_to_gbk_chars[code - 0x80], utf8.substr(pos, length), Utf8ToGbk);
    if (entry == kUnconvertible || (entry & 0xFF) > length) return false;
    out = UnpackBytes(entry, out);
    pos += length;
  }
  gbk->resize(static_cast<size_t>(out - start));
  return true;
}

// GBK to UTF-8. A byte that is not part of a GBK character becomes U+FFFD;
// the slow path converts character by character, each distinct one once.
std::string ToUtf8(const std::string& gbk) {
  std::string utf8;
  if (TableGbkToUtf8(gbk, &utf8)) return utf8;
  if (GbkToUtf8(gbk, &utf8)) return utf8;
  utf8.clear();
  std::unordered_map<uint16_t, std::string> known;
  size_t pos = 0;
  while (pos < gbk.size()) {
    unsigned char lead = static_cast<unsigned char>(gbk[pos]);
    unsigned char trail = pos + 1 < gbk.size() ? static_cast<unsigned char>(gbk[pos + 1]) : 0;
    if (lead < 0x80) {
      utf8.push_back(static_cast<char>(lead));
      ++pos;
    } else if (lead <= 0xFE && trail >= 0x40 && trail <= 0xFE && trail != 0x7F && lead != 0x80) {
      auto [it, added] = known.try_emplace(static_cast<uint16_t>(lead << 8 | trail));
      if (added && !GbkToUtf8(gbk.substr(pos, 2), &it->second)) {
        AppendUtf8(kReplacement, &it->second);
      }
      utf8 += it->second;
      pos += 2;
    } else {
      AppendUtf8(kReplacement, &utf8);
      ++pos;
    }
  }
  return utf8;
}

// UTF-8 to GBK. A character GBK lacks becomes "?" per UTF-16 unit, and so
// does a byte that starts no character.
std::string ToGbk(const std::string& utf8) {
  std::string gbk;
  if (TableUtf8ToGbk(utf8, &gbk)) return gbk;
  if (Utf8ToGbk(utf8, &gbk)) return gbk;
  gbk.clear();
  std::unordered_map<uint32_t, std::string> known;
  size_t pos = 0;
  while (pos < utf8.size()) {
    size_t length = 0;
    uint32_t code = DecodeUtf8(utf8, pos, &length);
    if (code < 0x80) {
      gbk.push_back(static_cast<char>(code));
    } else if (code == kBadByte || IsSurrogate(code)) {
      gbk.push_back('?');
    } else if (code > 0xFFFF) {
      gbk += "??";
    } else {
      auto [it, added] = known.try_emplace(code);
      if (added && !Utf8ToGbk(utf8.substr(pos, length), &it->second)) it->second = "?";
      gbk += it->second;
    }
    pos += length;
  }
  return gbk;
}

std::string ReplaceAllOf(std::string text, std::string_view from, std::string_view to) {
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
  return text;
}

// A text read back: U+2400 turned into backslashes, in GBK.
std::string Output(const std::string& utf8) {
  if (utf8.find(kBackslashStandIn) == std::string::npos) return ToGbk(utf8);
  return ToGbk(ReplaceAllOf(utf8, kBackslashStandIn, "\\"));
}

// The length of a string in UTF-16 units, as JavaScript counts it.
size_t Utf16Length(std::string_view text) {
  size_t units = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t length = 0;
    uint32_t code = DecodeUtf8(text, pos, &length);
    units += (code != kBadByte && code > 0xFFFF) ? 2 : 1;
    pos += length;
  }
  return units;
}

// Joins parts with separator and splits the result again, as a script that
// joins and a splitter that drops an empty last piece do together.
std::vector<std::string> JoinAndSplit(const std::vector<std::string>& parts,
                                      std::string_view separator) {
  std::string joined;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) joined += separator;
    joined += parts[i];
  }
  std::vector<std::string> pieces;
  if (joined.empty()) return pieces;
  size_t begin = 0;
  for (size_t end; (end = joined.find(separator, begin)) != std::string::npos;) {
    pieces.push_back(ToGbk(joined.substr(begin, end - begin)));
    begin = end + separator.size();
  }
  if (begin < joined.size()) pieces.push_back(ToGbk(joined.substr(begin)));
  return pieces;
}

// ---------------------------------------------------------------------------
// JavaScript numbers and texts

// A number as JavaScript's Number-to-String writes it: the shortest digits
// that read back as the same double, placed by the exponent's size.
std::string JsNumberText(double number) {
  if (std::isnan(number)) return "NaN";
  if (number == 0) return "0";
  if (std::isinf(number)) return number < 0 ? "-Infinity" : "Infinity";
  std::string sign = number < 0 ? "-" : "";
  char buffer[64];
  auto written = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(number),
                               std::chars_format::scientific);
  std::string_view scientific(buffer, written.ptr - buffer);  // d[.ddd]e±xx
  size_t e = scientific.find('e');
  std::string digits(1, scientific[0]);
  if (e > 1) digits.append(scientific.substr(2, e - 2));
  int exponent = 0;
  std::string_view exponent_text = scientific.substr(e + 1);
  if (exponent_text[0] == '+') exponent_text.remove_prefix(1);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  int k = static_cast<int>(digits.size());
  int n = exponent + 1;
  if (k <= n && n <= 21) return sign + digits + std::string(n - k, '0');
  if (0 < n && n <= 21) return sign + digits.substr(0, n) + "." + digits.substr(n);
  if (-6 < n && n <= 0) return sign + "0." + std::string(-n, '0') + digits;
  std::string mantissa = k == 1 ? digits : digits.substr(0, 1) + "." + digits.substr(1);
  return sign + mantissa + "e" + (n - 1 >= 0 ? "+" : "-") + std::to_string(std::abs(n - 1));
}

// Characters json2's quote() writes as \uXXXX.
bool NeedsUnicodeEscape(uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || (c >= 0x600 && c <= 0x604) ||
         c == 0x70F || c == 0x17B4 || c == 0x17B5 || (c >= 0x200C && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202F) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF ||
         (c >= 0xFFF0 && c <= 0xFFFF);
}

// Appends text as a quoted JSON string, escaped as JSON.stringify (json2)
// escapes it.
void AppendJsonString(std::string_view text, std::string* out) {
  out->push_back('"');
  size_t pos = 0;
  while (pos < text.size()) {
    size_t length = 0;
    uint32_t c = DecodeUtf8(text, pos, &length);
    const char* short_escape = nullptr;
    switch (c) {
      case '"':
        short_escape = "\\\"";
        break;
      case '\\':
        short_escape = "\\\\";
        break;
      case '\b':
        short_escape = "\\b";
        break;
      case '\t':
        short_escape = "\\t";
        break;
      case '\n':
        short_escape = "\\n";
        break;
      case '\f':
        short_escape = "\\f";
        break;
      case '\r':
        short_escape = "\\r";
        break;
      default:
        break;
    }
    if (short_escape != nullptr) {
      *out += short_escape;
    } else if (c != kBadByte && NeedsUnicodeEscape(c)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      *out += escape;
    } else {
      out->append(text.substr(pos, length));
    }
    pos += length;
  }
  out->push_back('"');
}

std::string_view StringOf(const Value& value) {
  return std::string_view(value.GetString(), value.GetStringLength());
}

// String(value) for a string, number or boolean.
void AppendScalarText(const Value& value, std::string* out) {
  if (value.IsString()) {
    out->append(StringOf(value));
  } else if (value.IsInt() || value.IsUint()) {
    // Exact as a double, so written as its decimal digits.
    *out += value.IsInt() ? std::to_string(value.GetInt()) : std::to_string(value.GetUint());
  } else if (value.IsNumber()) {
    *out += JsNumberText(value.GetDouble());
  } else if (value.IsBool()) {
    *out += value.GetBool() ? "true" : "false";
  }
}

SizeType ChildCount(const Value& container) {
  return container.IsObject() ? container.MemberCount() : container.Size();
}

const Value& ChildAt(const Value& container, SizeType i) {
  return container.IsObject() ? container.MemberBegin()[i].value : container[i];
}

// One container being walked, and the index of its next child.
struct WalkFrame {
  const Value* container;
  SizeType next;
};

// Appends the JSON text of value as JSON.stringify writes it without
// indentation (a number that is not finite as null).
void AppendJson(const Value& value, std::string* out) {
  std::vector<WalkFrame> stack;
  const Value* pending = &value;
  for (;;) {
    if (pending != nullptr) {
      if (pending->IsObject() || pending->IsArray()) {
        out->push_back(pending->IsObject() ? '{' : '[');
        stack.push_back({pending, 0});
      } else if (pending->IsString()) {
        AppendJsonString(StringOf(*pending), out);
      } else if (pending->IsNull() ||
                 (pending->IsNumber() && !std::isfinite(pending->GetDouble()))) {
        *out += "null";
      } else {
        AppendScalarText(*pending, out);
      }
      pending = nullptr;
    }
    if (stack.empty()) return;
    WalkFrame& frame = stack.back();
    bool is_object = frame.container->IsObject();
    if (frame.next == ChildCount(*frame.container)) {
      out->push_back(is_object ? '}' : ']');
      stack.pop_back();
      continue;
    }
    if (frame.next > 0) out->push_back(',');
    if (is_object) {
      AppendJsonString(StringOf(frame.container->MemberBegin()[frame.next].name), out);
      out->push_back(':');
    }
    pending = &ChildAt(*frame.container, frame.next++);
  }
}

// Appends String(value) for a value that is not null: an array is joined by
// "," with null elements empty and nested arrays joined in place.
void AppendJsText(const Value& value, std::string* out) {
  if (value.IsObject()) {
    out->append(kObjectText);
    return;
  }
  if (!value.IsArray()) {
    AppendScalarText(value, out);
    return;
  }
  std::vector<WalkFrame> stack{{&value, 0}};
  while (!stack.empty()) {
    WalkFrame& frame = stack.back();
    if (frame.next == frame.container->Size()) {
      stack.pop_back();
      continue;
    }
    if (frame.next > 0) out->push_back(',');
    const Value& element = (*frame.container)[frame.next++];
    if (element.IsArray()) {
      stack.push_back({&element, 0});
    } else if (element.IsObject()) {
      out->append(kObjectText);
    } else {
      AppendScalarText(element, out);
    }
  }
}

// The texts of the strings, numbers and booleans among the members of an
// object or array, in document order; with recursive, those inside member
// objects and arrays too, each where it stands.
std::vector<std::string> CollectLeaves(const Value& root, bool recursive) {
  std::vector<std::string> leaves;
  std::vector<WalkFrame> stack;
  if (root.IsObject() || root.IsArray()) stack.push_back({&root, 0});
  while (!stack.empty()) {
    WalkFrame& frame = stack.back();
    if (frame.next == ChildCount(*frame.container)) {
      stack.pop_back();
      continue;
    }
    const Value& child = ChildAt(*frame.container, frame.next++);
    if (child.IsObject() || child.IsArray()) {
      if (recursive) stack.push_back({&child, 0});
    } else if (!child.IsNull()) {
      leaves.emplace_back();
      AppendScalarText(child, &leaves.back());
    }
  }
  return leaves;
}

// Copies source into *out with strings and containers allocated from
// allocator.
void CopyValue(const Value& source, Allocator& allocator, Value* out) {
  std::vector<std::pair<const Value*, Value*>> jobs{{&source, out}};
  while (!jobs.empty()) {
    auto [from, to] = jobs.back();
    jobs.pop_back();
    if (from->IsObject()) {
      to->SetObject();
      for (auto m = from->MemberBegin(); m != from->MemberEnd(); ++m) {
        Value name(m->name.GetString(), m->name.GetStringLength(), allocator);
        Value placeholder;
        to->AddMember(name, placeholder, allocator);
      }
      for (SizeType i = 0; i < from->MemberCount(); ++i) {
        jobs.push_back({&from->MemberBegin()[i].value, &to->MemberBegin()[i].value});
      }
    } else if (from->IsArray()) {
      to->SetArray();
      to->Reserve(from->Size(), allocator);
      for (SizeType i = 0; i < from->Size(); ++i) {
        Value placeholder;
        to->PushBack(placeholder, allocator);
      }
      for (SizeType i = 0; i < from->Size(); ++i) jobs.push_back({&(*from)[i], &(*to)[i]});
    } else if (from->IsString()) {
      to->SetString(from->GetString(), from->GetStringLength(), allocator);
    } else {
      *to = Value(*from, allocator);
    }
  }
}

// Gives an object's members distinct names as an object literal does: a
// repeated name keeps its first place and takes its last value.
void MergeRepeatedNames(Value* object) {
  SizeType count = object->MemberCount();
  if (count < 2) return;
  auto members = object->MemberBegin();
  std::unordered_map<std::string_view, SizeType> placed;
  SizeType kept = 0;
  for (SizeType i = 0; i < count; ++i) {
    std::string_view name = StringOf(members[i].name);
    auto found = placed.find(name);
    if (found != placed.end()) {
      members[found->second].value.Swap(members[i].value);
      continue;
    }
    if (kept != i) {
      members[kept].name.Swap(members[i].name);
      members[kept].value.Swap(members[i].value);
    }
    // Names before `kept` never move again, so views of them stay valid.
    placed.emplace(StringOf(members[kept].name), kept);
    ++kept;
  }
  if (kept < count) object->EraseMember(object->MemberBegin() + kept, object->MemberEnd());
}

bool SameName(const Value& a, const Value& b) {
  return a.GetStringLength() == b.GetStringLength() &&
         std::memcmp(a.GetString(), b.GetString(), a.GetStringLength()) == 0;
}

// FNV-1a.
uint64_t HashName(const Value& name) {
  uint64_t hash = 0xcbf29ce484222325ull;
  const char* bytes = name.GetString();
  for (SizeType i = 0; i < name.GetStringLength(); ++i) {
    hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 0x100000001b3ull;
  }
  return hash;
}

// Whether no two members of an object share a name: compared pairwise for a
// few members, else through an open-addressed table of member indices
// (*table, reused between calls).
bool NamesAreDistinct(const Value& object, std::vector<SizeType>* table) {
  constexpr SizeType kPairwiseLimit = 8;
  constexpr SizeType kEmpty = ~SizeType{0};
  const SizeType count = object.MemberCount();
  const auto members = object.MemberBegin();
  if (count <= kPairwiseLimit) {
    for (SizeType i = 1; i < count; ++i) {
      for (SizeType j = 0; j < i; ++j) {
        if (SameName(members[i].name, members[j].name)) return false;
      }
    }
    return true;
  }
  size_t slots = 16;
  while (slots < 2 * static_cast<size_t>(count)) slots *= 2;
  table->assign(slots, kEmpty);
  for (SizeType i = 0; i < count; ++i) {
    size_t slot = static_cast<size_t>(HashName(members[i].name)) & (slots - 1);
    for (; (*table)[slot] != kEmpty; slot = (slot + 1) & (slots - 1)) {
      if (SameName(members[i].name, members[(*table)[slot]].name)) return false;
    }
    (*table)[slot] = i;
  }
  return true;
}

void MergeRepeatedNamesEverywhere(Value* root) {
  std::vector<Value*> pending;
  std::vector<SizeType> table;
  const auto add_containers = [&pending](Value& child) {
    if (child.IsObject() || child.IsArray()) pending.push_back(&child);
  };
  add_containers(*root);
  while (!pending.empty()) {
    Value* value = pending.back();
    pending.pop_back();
    if (value->IsObject()) {
      if (!NamesAreDistinct(*value, &table)) MergeRepeatedNames(value);
      for (auto m = value->MemberBegin(); m != value->MemberEnd(); ++m) add_containers(m->value);
    } else {
      for (auto e = value->Begin(); e != value->End(); ++e) add_containers(*e);
    }
  }
}

// ---------------------------------------------------------------------------
// JavaScript source: the tokens of a member-access path

bool IsJsBlank(uint32_t c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000 || c == 0xFEFF;
}

bool IsLineTerminator(uint32_t c) { return c == '\n' || c == '\r' || c == 0x2028 || c == 0x2029; }

bool IsAsciiLetter(uint32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsIdentifierStart(uint32_t c) {
  if (c < 0x80) return IsAsciiLetter(c) || c == '_' || c == '$';
  return c != kBadByte && !IsJsBlank(c);
}

bool IsIdentifierPart(uint32_t c) { return IsIdentifierStart(c) || (c >= '0' && c <= '9'); }

bool IsReservedWord(std::string_view word) {
  static constexpr std::string_view kWords[] = {
      "break",  "case",     "catch",  "class",  "const",  "continue",   "debugger", "default",
      "delete", "do",       "else",   "enum",   "export", "extends",    "false",    "finally",
      "for",    "function", "if",     "import", "in",     "instanceof", "new",      "null",
      "return", "super",    "switch", "this",   "throw",  "true",       "try",      "typeof",
      "var",    "void",     "while",  "with"};
  for (std::string_view reserved : kWords) {
    if (word == reserved) return true;
  }
  return false;
}

// Builds UTF-8 from code points and UTF-16 units: a surrogate pair becomes
// one character, a lone surrogate U+FFFD.
class Utf8Builder {
 public:
  void Add(uint32_t code) {
    if (high_ != 0) {
      uint32_t high = high_;
      high_ = 0;
      if (code >= 0xDC00 && code <= 0xDFFF) {
        AppendUtf8(0x10000 + ((high - 0xD800) << 10) + (code - 0xDC00), &text_);
        return;
      }
      AppendUtf8(kReplacement, &text_);
    }
    if (code >= 0xD800 && code <= 0xDBFF) {
      high_ = code;
    } else {
      AppendUtf8(IsSurrogate(code) || code == kBadByte ? kReplacement : code, &text_);
    }
  }
  std::string Finish() {
    if (high_ != 0) AppendUtf8(kReplacement, &text_);
    high_ = 0;
    return std::move(text_);
  }

 private:
  std::string text_;
  uint32_t high_ = 0;
};

// Reads the tokens of JavaScript source that member-access paths and string
// literals are made of, from UTF-8 text.
class JsSource {
 public:
  explicit JsSource(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }
  bool PeekIs(char c) const { return !AtEnd() && text_[pos_] == c; }
  bool Consume(char c) {
    if (!PeekIs(c)) return false;
    ++pos_;
    return true;
  }
  void SkipBlanks() {
    size_t length = 0;
    while (!AtEnd() && IsJsBlank(Peek(&length))) pos_ += length;
  }

  // An IdentifierName, as its UTF-8 text.
  bool ReadIdentifier(std::string* name) {
    size_t length = 0;
    if (AtEnd() || !IsIdentifierStart(Peek(&length))) return false;
    size_t begin = pos_;
    pos_ += length;
    while (!AtEnd() && IsIdentifierPart(Peek(&length))) pos_ += length;
    name->assign(text_.substr(begin, pos_ - begin));
    return true;
  }

  // A single- or double-quoted string literal, its escapes decoded.
  bool ReadStringLiteral(std::string* value) {
    if (!PeekIs('\'') && !PeekIs('"')) return false;
    char quote = text_[pos_++];
    Utf8Builder out;
    while (!AtEnd()) {
      size_t length = 0;
      uint32_t c = Peek(&length);
      pos_ += length;
      if (c == static_cast<uint32_t>(quote)) {
        *value = out.Finish();
        return true;
      }
      if (IsLineTerminator(c)) return false;
      if (c != '\\') {
        out.Add(c);
      } else if (!ReadEscape(&out)) {
        return false;
      }
    }
    return false;
  }

  // A decimal number, optionally signed, as the member name it stands for.
  bool ReadNumberKey(std::string* key) {
    bool negative = PeekIs('-');
    if (Consume('-') || Consume('+')) SkipBlanks();
    size_t begin = pos_;
    size_t integer_digits = SkipDigits();
    size_t fraction_digits = Consume('.') ? SkipDigits() : 0;
    if (integer_digits + fraction_digits == 0) return false;
    if (integer_digits > 1 && text_[begin] == '0') return false;  // legacy octal
    if (PeekIs('e') || PeekIs('E')) {
      ++pos_;
      if (!Consume('+')) Consume('-');
      if (SkipDigits() == 0) return false;
    }
    double number = 0;
    auto parsed = std::from_chars(text_.data() + begin, text_.data() + pos_, number);
    if (parsed.ec != std::errc() || parsed.ptr != text_.data() + pos_) return false;
    *key = JsNumberText(negative ? -number : number);
    return true;
  }

 private:
  uint32_t Peek(size_t* length) const { return DecodeUtf8(text_, pos_, length); }

  size_t SkipDigits() {
    size_t begin = pos_;
    while (!AtEnd() && IsDigit(text_[pos_])) ++pos_;
    return pos_ - begin;
  }

  bool ReadHexUnit(size_t digits, Utf8Builder* out) {
    uint32_t code = 0;
    for (size_t i = 0; i < digits; ++i) {
      if (AtEnd()) return false;
      char c = text_[pos_++];
      int digit = IsDigit(c)               ? c - '0'
                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                           : -1;
      if (digit < 0) return false;
      code = code * 16 + static_cast<uint32_t>(digit);
    }
    out->Add(code);
    return true;
  }

  // A legacy octal escape whose first digit has been read.
  void ReadOctal(char first, Utf8Builder* out) {
    uint32_t code = static_cast<uint32_t>(first - '0');
    size_t more = first <= '3' ? 2 : 1;
    while (more-- > 0 && !AtEnd() && text_[pos_] >= '0' && text_[pos_] <= '7') {
      code = code * 8 + static_cast<uint32_t>(text_[pos_++] - '0');
    }
    out->Add(code);
  }

  // The escape after a backslash inside a string literal.
  bool ReadEscape(Utf8Builder* out) {
    static constexpr std::string_view kLetters = "bfnrtv";
    static constexpr std::string_view kControls = "\b\f\n\r\t\v";
    if (AtEnd()) return false;
    size_t length = 0;
    uint32_t c = Peek(&length);
    pos_ += length;
    if (c == 'x' || c == 'u') return ReadHexUnit(c == 'x' ? 2 : 4, out);
    if (c == '\r') Consume('\n');
    if (IsLineTerminator(c)) return true;  // a line continuation
    if (c >= '0' && c <= '7') {
      ReadOctal(static_cast<char>(c), out);
      return true;
    }
    size_t named = c < 0x80 ? kLetters.find(static_cast<char>(c)) : std::string_view::npos;
    out->Add(named != std::string_view::npos ? static_cast<uint32_t>(kControls[named]) : c);
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// A member-access chain: a variable and the member names after it.
struct JsPath {
  std::string root;
  std::vector<std::string> keys;
};

// Parses a whole member-access chain (UTF-8).
bool ParseJsPath(std::string_view text, JsPath* path) {
  JsSource source(text);
  source.SkipBlanks();
  if (!source.ReadIdentifier(&path->root) || IsReservedWord(path->root)) return false;
  for (;;) {
    source.SkipBlanks();
    if (source.AtEnd()) return true;
    std::string key;
    if (source.Consume('.')) {
      source.SkipBlanks();
      if (!source.ReadIdentifier(&key)) return false;
    } else if (source.Consume('[')) {
      source.SkipBlanks();
      bool quoted = source.PeekIs('\'') || source.PeekIs('"');
      if (!(quoted ? source.ReadStringLiteral(&key) : source.ReadNumberKey(&key))) return false;
      source.SkipBlanks();
      if (!source.Consume(']')) return false;
    } else {
      return false;
    }
    path->keys.push_back(std::move(key));
  }
}

bool IsVariableName(std::string_view utf8) {
  JsSource source(utf8);
  std::string name;
  return source.ReadIdentifier(&name) && source.AtEnd() && !IsReservedWord(name);
}

// The array index a member name stands for, if it is a canonical one.
bool ArrayIndex(std::string_view key, uint32_t* index) {
  if (key.empty() || key.size() > 10 || (key.size() > 1 && key[0] == '0')) return false;
  uint64_t value = 0;
  for (char c : key) {
    if (!IsDigit(c)) return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value >= 0xFFFFFFFFull) return false;
  *index = static_cast<uint32_t>(value);
  return true;
}

// ---------------------------------------------------------------------------
// Script values given as JSON literals

enum class Literal { kValue, kNothing, kSyntaxError, kScriptText, kTooLarge };

struct LiteralResult {
  Literal kind = Literal::kSyntaxError;
  std::string utf8;  // the source as parsed, for error places
  size_t offset = 0;
  rapidjson::ParseErrorCode code = rapidjson::kParseErrorNone;
};

// The end of the well-formed JSON number (without its sign) at text[start]
// when its value lies below 1e-324, and so reads as 0 however it is written;
// 0 for anything else. RapidJSON 1.1 judges such a number's underflow by its
// count of digits instead of their place (internal/strtod.h) and then reads
// its table of powers of ten far past its end: 0. followed by 330 zeros and
// twenty digits, or 1. with a hundred digits and e-420, is a segmentation
// fault.
size_t UnderflowingNumberEnd(const std::string& text, size_t start) {
  const auto digit = [&text](size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
  size_t at = start;
  if (!digit(at)) return 0;
  long long place = 0;  // the value lies below 10^place, before the exponent
  bool significant = text[at] != '0';
  if (!significant && digit(++at)) return 0;  // 00 is no JSON number
  while (significant && digit(at)) ++at, ++place;
  if (at < text.size() && text[at] == '.') {
    if (!digit(++at)) return 0;
    for (; digit(at); ++at) {
      if (!significant && text[at] == '0') --place;
      significant = significant || text[at] != '0';
    }
  }
  if (!significant) return 0;  // zeros only: left to BlankZeroNumbers' own rule
  long long exponent = 0;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    const bool negative = at + 1 < text.size() && text[at + 1] == '-';
    if (at + 1 < text.size() && (text[at + 1] == '+' || text[at + 1] == '-')) ++at;
    if (!digit(++at)) return 0;
    for (; digit(at); ++at) exponent = std::min(exponent * 10 + (text[at] - '0'), 1000000LL);
    if (negative) exponent = -exponent;
  }
  return place + exponent <= -324 ? at : 0;
}

// Reduces every well-formed number whose digits are all zeros (0E110,
// -0.00e-5, 0.000000000000000000000000) to a plain 0 followed by blanks: such
// a number is 0 whatever its fraction or exponent, and RapidJSON 1.1's exact
// number reading misbehaves on it (it counts the leading zeros of a zero).
// Only the JSON number form -?0(.0+)?([eE][+-]?[0-9]+)? is touched, so a text
// the parser would refuse (00, 0., 0e) stays refused. A "." right after
// such a number is refused wherever it stands, so the number before it is
// blanked too: RapidJSON reads the number before it sees the dot. A number
// too small for a double (UnderflowingNumberEnd) becomes 0 the same way. The
// text keeps its length, so error places stay where they were.
void BlankZeroNumbers(std::string* json) {
  std::string& text = *json;
  const auto digit = [&text](size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') {
      in_string = true;
      continue;
    }
    if (c != '-' && !digit(i)) continue;
    const bool after_word = i > 0 && (digit(i - 1) || text[i - 1] == '.' ||
                                      (text[i - 1] >= 'a' && text[i - 1] <= 'z') ||
                                      (text[i - 1] >= 'A' && text[i - 1] <= 'Z'));
    size_t zero = i + (c == '-' ? 1 : 0);
    size_t end = zero;
    while (digit(end) || (end < text.size() && text[end] == '.')) ++end;
    const size_t skip_to = end;
    bool zero_number = !after_word && zero < text.size() && text[zero] == '0';
    size_t at = zero + 1;
    if (zero_number && at < text.size() && text[at] == '.') {
      ++at;
      if (!digit(at)) zero_number = false;
      while (zero_number && digit(at)) zero_number = text[at++] == '0';
    }
    if (zero_number && at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
      ++at;
      if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
      if (!digit(at)) zero_number = false;
      while (digit(at)) ++at;
    }
    if (zero_number && !digit(at)) {
      for (size_t k = zero + 1; k < at; ++k) text[k] = ' ';
      i = at - 1;
      continue;
    }
    const size_t tiny_end = after_word ? 0 : UnderflowingNumberEnd(text, zero);
    if (tiny_end != 0) {
      text[zero] = '0';
      for (size_t k = zero + 1; k < tiny_end; ++k) text[k] = ' ';
      i = tiny_end - 1;
      continue;
    }
    i = skip_to > i ? skip_to - 1 : i;
  }
}

// Whether BlankZeroNumbers could change text: some "0" followed by "." or
// an exponent, or a negative exponent. Strings count too; that only costs a
// needless look.
bool MayHoldZeroNumbers(std::string_view text) {
  const char* bytes = text.data();
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen places at a time.
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i dot = _mm_set1_epi8('.');
  const __m128i e = _mm_set1_epi8('e');
  const __m128i lower = _mm_set1_epi8(0x20);
  for (; i + 17 <= text.size(); i += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i + 1));
    const __m128i after_zero = _mm_and_si128(
        _mm_cmpeq_epi8(here, zero),
        _mm_or_si128(_mm_cmpeq_epi8(next, dot), _mm_cmpeq_epi8(_mm_or_si128(next, lower), e)));
    if (_mm_movemask_epi8(after_zero) != 0) return true;
  }
#endif
  // Eight places at a time: a byte of Equal(word, c) has its high bit set
  // where the byte of word is c.
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  const auto equal = [](uint64_t word, unsigned char c) {
    const uint64_t diff = word ^ (0x0101010101010101ull * c);
    return ~(((diff & kLow7) + kLow7) | diff | kLow7);
  };
  for (; i + 9 <= text.size(); i += 8) {
    uint64_t here;
    uint64_t next;
    std::memcpy(&here, bytes + i, 8);
    std::memcpy(&next, bytes + i + 1, 8);
    const uint64_t folded = next | 0x2020202020202020ull;
    if ((equal(here, '0') & (equal(next, '.') | equal(folded, 'e'))) != 0) return true;
    if ((equal(here | 0x2020202020202020ull, 'e') & equal(next, '-')) != 0) return true;
  }
  for (; i + 1 < text.size(); ++i) {
    const char next = static_cast<char>(bytes[i + 1] | 0x20);
    if (bytes[i] == '0' && (bytes[i + 1] == '.' || next == 'e')) return true;
    if ((bytes[i] | 0x20) == 'e' && bytes[i + 1] == '-') return true;
  }
  return false;
}

// The UTF-8 text a document was parsed in place in: its strings stay there.
// Held through a pointer, so that the characters never move.
using ParsedText = std::unique_ptr<std::string>;

// Parses the GBK source text of a script value into *doc. via_eval: the
// engine would hand the value to eval, which gives nothing for a blank text
// and would run a string as script. With in_place, the document is parsed in
// place and its text handed over in *in_place: it must live as long as the
// document.
LiteralResult ParseLiteral(const std::string& gbk, bool via_eval, Document* doc,
                           ParsedText* in_place = nullptr) {
  LiteralResult result;
  if (gbk.size() > kMaxJsonTextBytes) {
    result.kind = Literal::kTooLarge;
    return result;
  }
  result.utf8 = ToUtf8(gbk);
  std::string blanked;
  if (MayHoldZeroNumbers(result.utf8)) {
    blanked = result.utf8;
    BlankZeroNumbers(&blanked);
  }
  std::string_view text = blanked.empty() ? result.utf8 : blanked;
  size_t begin = 0;
  size_t length = 0;
  while (begin < text.size() && IsJsBlank(DecodeUtf8(text, begin, &length))) begin += length;
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    if (!IsJsBlank(DecodeUtf8(text, start, &length)) || start + length != end) break;
    end = start;
  }
  if (begin == end && via_eval) {
    result.kind = Literal::kNothing;
    return result;
  }
  ParsedText parsed;
  size_t parsed_from = begin;
  if (in_place == nullptr) {
    doc->Parse<kParseFlags>(text.data() + begin, end - begin);
  } else {
    // The parse of a counted text first passes over the bytes of a UTF-8
    // byte order mark, each only where it stands; so does this one, so that
    // errors have the same places.
    for (unsigned char mark : {0xEF, 0xBB, 0xBF}) {
      if (parsed_from < end && static_cast<unsigned char>(text[parsed_from]) == mark) {
        ++parsed_from;
      }
    }
    // The text is taken over (a failure converts it again for its place).
    parsed = std::make_unique<std::string>(blanked.empty() ? std::move(result.utf8)
                                                           : std::move(blanked));
    if (end < parsed->size()) (*parsed)[end] = '\0';
    doc->ParseInsitu<kParseFlags>(&(*parsed)[parsed_from]);
  }
  const bool failed = doc->HasParseError() || (via_eval && doc->IsString());
  if (failed && parsed != nullptr) result.utf8 = ToUtf8(gbk);
  if (doc->HasParseError()) {
    result.offset = parsed_from + doc->GetErrorOffset();
    result.code = doc->GetParseError();
    return result;
  }
  if (via_eval && doc->IsString()) {
    result.kind = Literal::kScriptText;
    result.offset = begin;
    return result;
  }
  MergeRepeatedNamesEverywhere(doc);
  if (in_place != nullptr) *in_place = std::move(parsed);
  result.kind = Literal::kValue;
  return result;
}

// Fills error with a failure, placed by its offset in the parsed text when
// it has a place.
void FillError(const LiteralResult& failure, JsonErrorInfo* error) {
  *error = JsonErrorInfo();
  error->source = "JsonPathReader";
  switch (failure.kind) {
    case Literal::kSyntaxError:
      error->number = kJsonSyntaxError;
      error->description = rapidjson::GetParseError_En(failure.code);
      break;
    case Literal::kScriptText:
      error->number = kJsonScriptText;
      error->description = "A string here would be run as script";
      break;
    default:
      error->number = kJsonTextTooLarge;
      error->description = "The text is too large";
      return;
  }
  std::string_view text = failure.utf8;
  size_t offset = std::min(failure.offset, text.size());
  size_t line_start = 0;
  error->line = 1;
  for (size_t pos = 0, length = 0; pos < offset; pos += length) {
    uint32_t c = DecodeUtf8(text, pos, &length);
    bool crlf = c == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n';
    if (IsLineTerminator(c) && !crlf) {
      ++error->line;
      line_start = pos + length;
    }
  }
  size_t line_end = line_start;
  for (size_t length = 0; line_end < text.size(); line_end += length) {
    if (IsLineTerminator(DecodeUtf8(text, line_end, &length))) break;
  }
  error->column = static_cast<int32_t>(Utf16Length(text.substr(line_start, offset - line_start)));
  // Enough of the line for kMaxErrorTextBytes of GBK, cut between characters.
  size_t cut = std::min(line_end, line_start + 3 * kMaxErrorTextBytes);
  while (cut > line_start && cut < text.size() &&
         (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  std::string line(text.substr(line_start, cut - line_start));
  error->text = CutAtCharBoundary(ToGbk(line), kMaxErrorTextBytes);
}

// The value of a non-code item: the inside of one single-quoted literal.
bool ParseQuotedItem(const std::string& gbk, Document* doc) {
  if (gbk.size() > kMaxJsonTextBytes) return false;
  std::string quoted = "'" + ToUtf8(gbk) + "'";
  JsSource source(quoted);
  std::string value;
  if (!source.ReadStringLiteral(&value) || !source.AtEnd()) return false;
  doc->SetString(value.data(), static_cast<SizeType>(value.size()), doc->GetAllocator());
  return true;
}

// An item value: a JSON literal used directly, or a quoted text.
std::unique_ptr<Document> ParseItem(const std::string& value, bool is_code) {
  auto doc = std::make_unique<Document>();
  bool ok = is_code ? ParseLiteral(value, false, doc.get()).kind == Literal::kValue
                    : ParseQuotedItem(value, doc.get());
  if (!ok) doc.reset();
  return doc;
}

}  // namespace

// ---------------------------------------------------------------------------
// The engine

// One document per variable name (UTF-8); a variable without a document
// holds nothing. A document parsed in place keeps its text beside it. Large
// objects get an index of their member names, dropped on every change so
// that it never outlives the members it points into.
class JsonEngine {
 public:
  Document* Find(const std::string& name) {
    auto found = variables_.find(name);
    return found == variables_.end() ? nullptr : found->second.doc.get();
  }
  void Install(const std::string& name, std::unique_ptr<Document> doc,
               ParsedText text = nullptr) {
    Variable& variable = variables_[name];
    variable.doc = std::move(doc);  // the old document goes before its text
    variable.text = std::move(text);
    Changed();
  }
  void Undefine(const std::string& name) {
    variables_.erase(name);
    Changed();
  }

  // The value of the member `key` of an object, or null.
  Value* FindMember(Value& object, std::string_view key) {
    SizeType count = object.MemberCount();
    auto members = object.MemberBegin();
    if (count < kIndexedObjectSize) {
      for (SizeType i = 0; i < count; ++i) {
        if (StringOf(members[i].name) == key) return &members[i].value;
      }
      return nullptr;
    }
    auto indexed = member_index_.find(&object);
    if (indexed == member_index_.end()) {
      std::unordered_map<std::string_view, SizeType> index;
      for (SizeType i = 0; i < count; ++i) index.emplace(StringOf(members[i].name), i);
      indexed = member_index_.emplace(&object, std::move(index)).first;
    }
    auto found = indexed->second.find(key);
    return found == indexed->second.end() ? nullptr : &members[found->second].value;
  }

  void Changed() { member_index_.clear(); }

 private:
  struct Variable {
    ParsedText text;
    std::unique_ptr<Document> doc;  // after text: destroyed first
  };
  std::map<std::string, Variable> variables_;
  std::unordered_map<const Value*, std::unordered_map<std::string_view, SizeType>> member_index_;
};

namespace {

// What a chain evaluates to: an error (where an engine would raise),
// nothing (a missing member), a value of a document, or a length.
struct Ref {
  enum Kind { kError, kNothing, kValue, kLength } kind = kError;
  Value* value = nullptr;
  double length = 0;
};

Ref ErrorRef() { return Ref(); }
Ref NothingRef() { return Ref{Ref::kNothing, nullptr, 0}; }
Ref ValueRef(Value* value) { return Ref{Ref::kValue, value, 0}; }
Ref LengthRef(size_t length) { return Ref{Ref::kLength, nullptr, static_cast<double>(length)}; }

bool IsPresent(const Ref& ref) {
  return ref.kind == Ref::kLength || (ref.kind == Ref::kValue && !ref.value->IsNull());
}
bool Holds(const Ref& ref, rapidjson::Type type) {
  return ref.kind == Ref::kValue && ref.value->GetType() == type;
}

// base[key], as JavaScript reads it.
Ref MemberOf(JsonEngine& engine, const Ref& base, const std::string& key) {
  if (base.kind == Ref::kLength) return NothingRef();
  if (base.kind != Ref::kValue || base.value->IsNull()) return ErrorRef();
  Value& value = *base.value;
  uint32_t index = 0;
  if (value.IsObject()) {
    Value* member = engine.FindMember(value, key);
    return member != nullptr ? ValueRef(member) : NothingRef();
  }
  if (value.IsArray()) {
    if (ArrayIndex(key, &index)) {
      return index < value.Size() ? ValueRef(&value[index]) : NothingRef();
    }
    return key == "length" ? LengthRef(value.Size()) : NothingRef();
  }
  if (value.IsString() && key == "length") return LengthRef(Utf16Length(StringOf(value)));
  return NothingRef();
}

// Evaluates the variable and the first key_count keys of chain.
Ref Evaluate(JsonEngine& engine, const JsPath& chain, size_t key_count) {
  Document* doc = engine.Find(chain.root);
  if (doc == nullptr) return ErrorRef();
  Ref ref = ValueRef(doc);
  for (size_t i = 0; i < key_count && ref.kind != Ref::kError; ++i) {
    ref = MemberOf(engine, ref, chain.keys[i]);
  }
  return ref;
}

Ref Evaluate(JsonEngine& engine, const JsPath& chain) {
  return Evaluate(engine, chain, chain.keys.size());
}

// A path resolved against the variable name: the chain to evaluate, whether
// it parsed, and whether it names something other than null or nothing.
struct ResolvedPath {
  bool valid = false;
  bool exists = false;
  JsPath chain;
};

ResolvedPath ResolvePath(JsonEngine& engine, const std::string& variable, const std::string& path) {
  ResolvedPath resolved;
  if (path.compare(0, variable.size(), variable) == 0 &&
      ParseJsPath(ToUtf8(path), &resolved.chain) && IsPresent(Evaluate(engine, resolved.chain))) {
    resolved.valid = resolved.exists = true;
    return resolved;
  }
  std::string full = variable;
  if (!path.empty()) full += (path[0] == '[' ? "" : ".") + path;
  resolved.chain = JsPath();
  resolved.valid = ParseJsPath(ToUtf8(full), &resolved.chain);
  resolved.exists = resolved.valid && IsPresent(Evaluate(engine, resolved.chain));
  return resolved;
}

// JSON.stringify of what a chain gave; nothing for an error or nothing.
std::optional<std::string> JsonOf(const Ref& ref) {
  if (ref.kind == Ref::kError || ref.kind == Ref::kNothing) return std::nullopt;
  if (ref.kind == Ref::kLength) return JsNumberText(ref.length);
  std::string json;
  AppendJson(*ref.value, &json);
  return json;
}

std::string JsonText(const Ref& ref) {
  std::optional<std::string> json = JsonOf(ref);
  return json ? Output(*json) : std::string();
}

// The last text read back and what it read back as, for readers of lists
// whose members repeat a few texts.
struct LastOutput {
  std::string utf8;
  std::string gbk;
};

// String() of what a chain gave, read back into *gbk; empty for an error,
// nothing or null. *utf8 is room to build it in.
void TextOf(const Ref& ref, std::string* utf8, std::string* gbk, LastOutput* last = nullptr) {
  if (ref.kind == Ref::kLength) {
    *gbk = JsNumberText(ref.length);
    return;
  }
  gbk->clear();
  if (!IsPresent(ref)) return;
  if (last != nullptr && ref.value->IsString() && StringOf(*ref.value) == last->utf8) {
    *gbk = last->gbk;
    return;
  }
  utf8->clear();
  AppendJsText(*ref.value, utf8);
  if (last != nullptr && *utf8 == last->utf8) {
    *gbk = last->gbk;
    return;
  }
  if (utf8->find(kBackslashStandIn) != std::string::npos || !TableUtf8ToGbk(*utf8, gbk)) {
    *gbk = Output(*utf8);
  }
  if (last != nullptr) {
    last->utf8 = *utf8;
    last->gbk = *gbk;
  }
}

// Assigns value to chain as "chain = value" does in a sloppy-mode script.
// Assigning a member of a string, number or boolean succeeds and changes
// nothing. False where an engine would raise, and for named members of
// arrays and gaps beyond kMaxArrayGap.
bool Store(JsonEngine& engine, const JsPath& chain, std::unique_ptr<Document> value) {
  if (chain.keys.empty()) {
    engine.Install(chain.root, std::move(value));
    return true;
  }
  Ref base = Evaluate(engine, chain, chain.keys.size() - 1);
  if (base.kind == Ref::kLength) return true;
  if (base.kind != Ref::kValue || base.value->IsNull()) return false;
  Value& target = *base.value;
  const std::string& key = chain.keys.back();
  uint32_t index = 0;
  if (target.IsArray()) {
    if (!ArrayIndex(key, &index)) return false;
    if (index > target.Size() && index - target.Size() > kMaxArrayGap) return false;
  }
  if (!target.IsObject() && !target.IsArray()) return true;
  Allocator& allocator = engine.Find(chain.root)->GetAllocator();
  Value copy;
  CopyValue(*value, allocator, &copy);
  Value* member = target.IsObject() ? engine.FindMember(target, key) : nullptr;
  engine.Changed();
  if (target.IsObject()) {
    if (member != nullptr) {
      *member = copy;
    } else {
      Value name(key.data(), static_cast<SizeType>(key.size()), allocator);
      target.AddMember(name, copy, allocator);
    }
  } else {
    while (target.Size() <= index) {
      Value hole;
      target.PushBack(hole, allocator);
    }
    target[index] = copy;
  }
  return true;
}

// Stores what eval of a literal gave: nothing removes the variable itself and
// cannot be stored in a member.
bool StoreEvaluated(JsonEngine& engine, const JsPath& chain, Literal kind,
                    std::unique_ptr<Document> value) {
  if (kind == Literal::kNothing && chain.keys.empty()) {
    engine.Undefine(chain.root);
    return true;
  }
  return kind == Literal::kValue && Store(engine, chain, std::move(value));
}

// Calls visit(name, value) for each member a for-in loop visits: an object's
// members, an array's elements under their index names.
template <typename Visit>
void ForEachMember(Value& value, Visit visit) {
  if (value.IsObject()) {
    for (auto m = value.MemberBegin(); m != value.MemberEnd(); ++m) {
      visit(StringOf(m->name), m->value);
    }
  } else if (value.IsArray()) {
    for (SizeType i = 0; i < value.Size(); ++i) visit(std::to_string(i), value[i]);
  }
}

// Whether merging source into target would stop on an error: a number
// member of the target that the source also has, or members of null.
bool MergeWouldFail(JsonEngine& engine, Value& target, Value& source) {
  std::vector<std::pair<Value*, Value*>> pending{{&target, &source}};
  bool failed = false;
  while (!pending.empty() && !failed) {
    Value* to = pending.back().first;
    Value* from = pending.back().second;
    pending.pop_back();
    if (to->IsArray()) continue;
    ForEachMember(*from, [&](std::string_view name, Value& member) {
      if (to->IsNull()) {
        failed = true;
        return;
      }
      Value* existing = engine.FindMember(*to, name);
      if (existing == nullptr) return;
      if (existing->IsNumber()) failed = true;
      if (existing->IsNull() || existing->IsObject() || existing->IsArray()) {
        pending.push_back({existing, &member});
      }
    });
  }
  return failed;
}

// Finds members of one object by name, through an index for large objects.
// Members added after it was made are not found.
class MemberFinder {
 public:
  explicit MemberFinder(const Value& object) : object_(object) {
    if (object.MemberCount() < kIndexedObjectSize) return;
    for (SizeType i = 0; i < object.MemberCount(); ++i) {
      index_.emplace(StringOf(object.MemberBegin()[i].name), i);
    }
  }
  std::optional<SizeType> Find(std::string_view name) const {
    if (!index_.empty()) {
      auto found = index_.find(std::string(name));
      return found == index_.end() ? std::nullopt : std::optional<SizeType>(found->second);
    }
    for (SizeType i = 0; i < object_.MemberCount(); ++i) {
      if (StringOf(object_.MemberBegin()[i].name) == name) return i;
    }
    return std::nullopt;
  }

 private:
  const Value& object_;
  std::unordered_map<std::string, SizeType> index_;
};

// Merges source into target (see SetValue), copying into allocator; checked
// beforehand with MergeWouldFail.
void Merge(Value& target, Value& source, Allocator& allocator) {
  std::vector<std::pair<Value*, Value*>> pending{{&target, &source}};
  while (!pending.empty()) {
    Value* to = pending.back().first;
    Value* from = pending.back().second;
    pending.pop_back();
    if (to->IsArray()) {
      ForEachMember(*from, [&](std::string_view, Value& member) {
        Value copy;
        CopyValue(member, allocator, &copy);
        to->PushBack(copy, allocator);
      });
      continue;
    }
    if (!to->IsObject()) continue;
    MemberFinder finder(*to);
    std::vector<std::pair<SizeType, Value*>> nested;
    ForEachMember(*from, [&](std::string_view name, Value& member) {
      std::optional<SizeType> found = finder.Find(name);
      Value copy;
      if (!found) {
        CopyValue(member, allocator, &copy);
        Value key(name.data(), static_cast<SizeType>(name.size()), allocator);
        to->AddMember(key, copy, allocator);
        return;
      }
      Value& existing = to->MemberBegin()[*found].value;
      if (existing.IsString() || existing.IsBool()) {
        CopyValue(member, allocator, &copy);
        existing = copy;
      } else if (existing.IsNull() || existing.IsObject() || existing.IsArray()) {
        nested.push_back({*found, &member});
      }
    });
    for (auto [i, member] : nested) pending.push_back({&to->MemberBegin()[i].value, member});
  }
}

// Runs body, answering fallback if it throws (running out of memory).
template <typename T, typename Body>
T Guarded(T fallback, Body body) {
  try {
    return body();
  } catch (const std::exception&) {
    return fallback;
  }
}

// A reader's engine when its variable name is usable, with the name in UTF-8
// in *root; null otherwise.
JsonEngine* UsableEngine(const std::shared_ptr<JsonEngine>& engine, const std::string& variable,
                         std::string* root) {
  if (!engine) return nullptr;
  *root = ToUtf8(variable);
  return IsVariableName(*root) ? engine.get() : nullptr;
}

// Where a path leads on a reader: its engine and the resolved chain.
struct Located {
  JsonEngine* engine = nullptr;
  ResolvedPath path;

  JsPath& chain() { return path.chain; }
  Ref Read() { return Evaluate(*engine, path.chain); }
};

// Resolves path on a reader; false when the reader is unusable or the path bad.
bool Locate(const std::shared_ptr<JsonEngine>& engine, const std::string& variable,
            const std::string& path, Located* at) {
  std::string root;
  at->engine = UsableEngine(engine, variable, &root);
  if (at->engine == nullptr) return false;
  at->path = ResolvePath(*at->engine, variable, path);
  return at->path.valid;
}

}  // namespace

// ---------------------------------------------------------------------------
// The reader

JsonPathReader::JsonPathReader(std::string root_variable)
    : root_variable_(std::move(root_variable)) {}
JsonPathReader::~JsonPathReader() = default;
JsonPathReader::JsonPathReader(JsonPathReader&&) noexcept = default;
JsonPathReader& JsonPathReader::operator=(JsonPathReader&&) noexcept = default;

bool JsonPathReader::Initialize() {
  engine_ = Guarded(std::shared_ptr<JsonEngine>(), [] { return std::make_shared<JsonEngine>(); });
  return Clear();
}

bool JsonPathReader::Parse(const std::string& text, bool is_code, JsonErrorInfo* error) {
  return Guarded(false, [&] {
    if (error != nullptr) *error = JsonErrorInfo();
    if (!engine_) Initialize();
    std::string root;
    JsonEngine* engine = UsableEngine(engine_, root_variable_, &root);
    if (engine == nullptr) {
      if (error != nullptr) {
        error->number = kJsonBadVariable;
        error->source = "JsonPathReader";
        error->description = "The variable name is not an identifier";
      }
      return false;
    }
    engine->Install(root, std::make_unique<Document>());
    auto doc = std::make_unique<Document>();
    ParsedText parsed;
    LiteralResult result = ParseLiteral(text, !is_code, doc.get(), &parsed);
    if (result.kind == Literal::kNothing) {
      engine->Undefine(root);
      return false;
    }
    if (result.kind != Literal::kValue) {
      if (error != nullptr) FillError(result, error);
      return false;
    }
    bool present = !doc->IsNull();
    engine->Install(root, std::move(doc), std::move(parsed));
    return present;
  });
}

std::string JsonPathReader::GetText(const std::string& path, bool as_json) const {
  return Guarded(std::string(), [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return std::string();
    Ref ref = at.Read();
    if (as_json) return JsonText(ref);
    std::string utf8;
    std::string text;
    TextOf(ref, &utf8, &text);
    return text;
  });
}

namespace {

// A member name as a bracketed key of a path.
std::string QuotedKey(const std::string& name) {
  return "['" + ReplaceAll(ReplaceAll(name, "\\", "\\\\"), "'", "\\'") + "']";
}

// A walk over the members of one object that reads fields of each directly
// instead of by the paths ReadMemberFields stands for. It is taken only where
// the two are known to agree:
// - the object's path does not begin with the variable name, so it and the
//   members' paths are all read after the variable name, and it converts
//   whole characters only, so the members' paths parse as its chain followed
//   by the member's key and the field's chain;
// - every member name is ASCII without CR or LF, so MemberNames gives the
//   names as they are (but an empty last one), and each name's key reads back
//   as the name, which names that member alone (an object's names are
//   distinct).
struct MemberWalk {
  JsonEngine* engine = nullptr;
  Value* object = nullptr;
  SizeType count = 0;  // the members MemberNames names
  // Each field's chain after the member; nothing for a field that makes a
  // bad path.
  std::vector<std::optional<std::vector<std::string>>> fields;
};

// Whether MemberNames and a quoted key give a name back unchanged.
bool NameReadsAsItself(const Value& name) {
  for (char c : StringOf(name)) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\r' || c == '\n') return false;
  }
  return true;
}

// Prepares the walk for the object at path; false where it cannot be taken.
bool PlanMemberWalk(const std::shared_ptr<JsonEngine>& engine, const std::string& variable,
                    const std::string& path, const std::vector<std::string>& fields,
                    MemberWalk* walk) {
  std::string root;
  walk->engine = UsableEngine(engine, variable, &root);
  if (walk->engine == nullptr || path.compare(0, variable.size(), variable) == 0) return false;
  std::string full = variable;
  if (!path.empty()) full += (path[0] == '[' ? "" : ".") + path;
  std::string full_utf8;
  JsPath chain;
  if (!TableGbkToUtf8(full, &full_utf8) || !ParseJsPath(full_utf8, &chain)) return false;
  Ref ref = Evaluate(*walk->engine, chain);
  if (!Holds(ref, rapidjson::kObjectType)) return false;
  walk->object = ref.value;
  const auto members = walk->object->MemberBegin();
  walk->count = walk->object->MemberCount();
  for (SizeType i = 0; i < walk->count; ++i) {
    if (!NameReadsAsItself(members[i].name)) return false;
  }
  if (walk->count > 0 && members[walk->count - 1].name.GetStringLength() == 0) --walk->count;
  for (const std::string& field : fields) {
    JsPath tail;
    if (ParseJsPath(ToUtf8("x." + field), &tail)) {
      walk->fields.emplace_back(std::move(tail.keys));
    } else {
      walk->fields.emplace_back();
    }
  }
  return true;
}

}  // namespace

int JsonPathReader::ReadMemberFields(const std::string& path,
                                     const std::vector<std::string>& fields,
                                     const MemberVisitor& visit) const {
  std::vector<std::string> texts;
  std::vector<LastOutput> last;
  MemberWalk walk;
  bool walking = false;
  if (!Guarded(false, [&] {
        texts.resize(fields.size());
        last.resize(fields.size());
        walking = PlanMemberWalk(engine_, root_variable_, path, fields, &walk);
        return true;
      })) {
    return 0;
  }
  const auto clear_texts = [&texts] {
    for (std::string& text : texts) text.clear();
  };
  if (!walking) {
    std::vector<std::string> names;
    MemberNames(&names, path);
    for (const std::string& name : names) {
      if (!Guarded(false, [&] {
            const std::string member = path + QuotedKey(name) + ".";
            for (size_t i = 0; i < fields.size(); ++i) texts[i] = GetText(member + fields[i]);
            return true;
          })) {
        clear_texts();
      }
      visit(name, texts);
    }
    return static_cast<int>(names.size());
  }
  std::string name;
  std::string utf8;
  for (SizeType m = 0; m < walk.count; ++m) {
    auto& member = walk.object->MemberBegin()[m];
    if (!Guarded(false, [&] {
          name.assign(StringOf(member.name));
          return true;
        })) {
      continue;
    }
    if (!Guarded(false, [&] {
          for (size_t i = 0; i < fields.size(); ++i) {
            texts[i].clear();
            if (!walk.fields[i]) continue;
            Ref ref = ValueRef(&member.value);
            for (const std::string& key : *walk.fields[i]) {
              if (ref.kind == Ref::kError) break;
              ref = MemberOf(*walk.engine, ref, key);
            }
            TextOf(ref, &utf8, &texts[i], &last[i]);
          }
          return true;
        })) {
      clear_texts();
    }
    visit(name, texts);
  }
  return static_cast<int>(walk.count);
}

int JsonPathReader::MemberNames(std::vector<std::string>* names, const std::string& path) const {
  std::vector<std::string> pieces = Guarded(std::vector<std::string>(), [&] {
    std::vector<std::string> found;
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return found;
    Ref ref = at.Read();
    if (!Holds(ref, rapidjson::kObjectType)) return found;
    for (auto m = ref.value->MemberBegin(); m != ref.value->MemberEnd(); ++m) {
      found.emplace_back(StringOf(m->name));
    }
    return JoinAndSplit(found, kNameSeparator);
  });
  int count = static_cast<int>(pieces.size());
  if (names != nullptr) *names = std::move(pieces);
  return count;
}

void JsonPathReader::Destroy() {
  engine_.reset();
  root_variable_.clear();
}

bool JsonPathReader::Clear() {
  return Guarded(false, [&] {
    std::string root;
    JsonEngine* engine = UsableEngine(engine_, root_variable_, &root);
    if (engine == nullptr) return false;
    engine->Install(root, std::make_unique<Document>(rapidjson::kObjectType));
    return true;
  });
}

std::string JsonPathReader::ToJson() const {
  return Guarded(std::string(), [&] {
    JsPath whole;
    JsonEngine* engine = UsableEngine(engine_, root_variable_, &whole.root);
    return engine != nullptr ? JsonText(Evaluate(*engine, whole)) : std::string();
  });
}

bool JsonPathReader::SetValue(const std::string& path, const std::string& value, bool is_code) {
  return Guarded(false, [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return false;
    if (!is_code) {
      std::string text = ReplaceAllOf(ToUtf8(value), "\\", kBackslashStandIn);
      auto doc = std::make_unique<Document>();
      doc->SetString(text.data(), static_cast<SizeType>(text.size()), doc->GetAllocator());
      return Store(*at.engine, at.chain(), std::move(doc));
    }
    Ref target = at.Read();
    bool merge = at.path.exists && Holds(target, rapidjson::kObjectType);
    auto doc = std::make_unique<Document>();
    LiteralResult result = ParseLiteral(value.empty() ? "{}" : value, !merge, doc.get());
    if (!merge) return StoreEvaluated(*at.engine, at.chain(), result.kind, std::move(doc));
    if (result.kind != Literal::kValue || MergeWouldFail(*at.engine, *target.value, *doc)) {
      return false;
    }
    at.engine->Changed();
    Merge(*target.value, *doc, at.engine->Find(at.chain().root)->GetAllocator());
    return true;
  });
}

bool JsonPathReader::SetByEval(const std::string& path, const std::string& literal) {
  return Guarded(false, [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return false;
    auto doc = std::make_unique<Document>();
    LiteralResult result = ParseLiteral(literal, true, doc.get());
    return StoreEvaluated(*at.engine, at.chain(), result.kind, std::move(doc));
  });
}

bool JsonPathReader::PathExists(const std::string& path) const {
  return Guarded(false, [&] {
    Located at;
    return Locate(engine_, root_variable_, path, &at) && at.path.exists;
  });
}

JsonType JsonPathReader::TypeOf(const std::string& path) const {
  return Guarded(kJsonNothing, [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at) || !at.path.exists) return kJsonNothing;
    Ref ref = at.Read();
    if (ref.kind == Ref::kLength) return kJsonNumber;
    const Value& value = *ref.value;
    if (value.IsString()) return kJsonString;
    if (value.IsArray()) return kJsonArray;
    if (value.IsObject()) return kJsonObject;
    if (value.IsNumber()) return kJsonNumber;
    return value.IsBool() ? kJsonBoolean : kJsonOther;
  });
}

int JsonPathReader::Count(const std::string& path) const {
  return Guarded(0, [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return 0;
    Ref ref = at.Read();
    return Holds(ref, rapidjson::kArrayType) ? static_cast<int>(ref.value->Size()) : 0;
  });
}

JsonPathReader JsonPathReader::GetObject(const std::string& path) const {
  JsonPathReader object;
  object.Initialize();
  object.Parse(GetJson(path));
  return object;
}

bool JsonPathReader::AddItem(const std::string& path, const std::string& value, bool is_code,
                             bool at_front) {
  return Guarded(false, [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return false;
    std::unique_ptr<Document> item = ParseItem(value, is_code);
    Ref target = at.Read();
    // A missing variable counts as declared and holding nothing, which
    // becomes an array like any other non-array.
    bool unreadable = target.kind == Ref::kError && !at.chain().keys.empty();
    if (item == nullptr || unreadable) return false;
    if (!Holds(target, rapidjson::kArrayType)) {
      auto empty = std::make_unique<Document>(rapidjson::kArrayType);
      if (!Store(*at.engine, at.chain(), std::move(empty))) return false;
      target = at.Read();
      if (!Holds(target, rapidjson::kArrayType)) return false;
    }
    Allocator& allocator = at.engine->Find(at.chain().root)->GetAllocator();
    Value& array = *target.value;
    Value copy;
    CopyValue(*item, allocator, &copy);
    at.engine->Changed();
    array.PushBack(copy, allocator);
    for (SizeType i = array.Size() - 1; at_front && i > 0; --i) array[i].Swap(array[i - 1]);
    return true;
  });
}

JsonPathReader JsonPathReader::GetItemObject(int index, const std::string& path) const {
  JsonPathReader object;
  object.Initialize();
  object.Parse(GetItemText(index, path, true));
  return object;
}

std::string JsonPathReader::GetItemText(int index, const std::string& path, bool as_json) const {
  return Guarded(std::string(), [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return std::string();
    at.chain().keys.push_back(std::to_string(index));
    Ref ref = at.Read();
    if (as_json) return JsonText(ref);
    return Holds(ref, rapidjson::kStringType) ? Output(std::string(StringOf(*ref.value)))
                                              : std::string();
  });
}

bool JsonPathReader::SetItem(int index, const std::string& path, const std::string& value,
                             bool is_code) {
  return Guarded(false, [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return false;
    std::unique_ptr<Document> item = ParseItem(value, is_code);
    if (item == nullptr) return false;
    at.chain().keys.push_back(std::to_string(index));
    return Store(*at.engine, at.chain(), std::move(item));
  });
}

bool JsonPathReader::RemoveItem(int index, const std::string& path) {
  return Guarded(false, [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return false;
    Ref ref = at.Read();
    if (!Holds(ref, rapidjson::kArrayType)) return false;
    Value& array = *ref.value;
    int64_t size = array.Size();
    int64_t start = index < 0 ? std::max<int64_t>(size + index, 0) : index;
    if (start < size) {
      at.engine->Changed();
      array.Erase(array.Begin() + start);
    }
    return true;
  });
}

bool JsonPathReader::Remove(const std::string& path) {
  return Guarded(false, [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return false;
    const JsPath& chain = at.chain();
    if (chain.keys.empty()) return true;  // a declared variable cannot be deleted
    Ref base = Evaluate(*at.engine, chain, chain.keys.size() - 1);
    if (base.kind == Ref::kLength) return true;
    if (base.kind != Ref::kValue || base.value->IsNull()) return false;
    Value& target = *base.value;
    const std::string& key = chain.keys.back();
    uint32_t index = 0;
    at.engine->Changed();
    if (target.IsObject()) {
      Value name(rapidjson::StringRef(key.data(), key.size()));
      auto member = target.FindMember(name);
      if (member != target.MemberEnd()) target.EraseMember(member);
    } else if (target.IsArray() && ArrayIndex(key, &index) && index < target.Size()) {
      target[index].SetNull();
    }
    return true;
  });
}

bool JsonPathReader::SetNumber(const std::string& path, double number) {
  return Guarded(false, [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return false;
    auto doc = std::make_unique<Document>();
    doc->SetDouble(number);
    return Store(*at.engine, at.chain(), std::move(doc));
  });
}

double JsonPathReader::GetNumber(const std::string& path) const {
  return Guarded(0.0, [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return 0.0;
    Ref ref = at.Read();
    if (ref.kind == Ref::kLength) return ref.length;
    return Holds(ref, rapidjson::kNumberType) ? ref.value->GetDouble() : 0.0;
  });
}

std::string JsonPathReader::GetJson(const std::string& path) const { return GetText(path, true); }

int JsonPathReader::LeafValues(std::vector<std::string>* values, const std::string& path,
                               bool recursive) const {
  std::vector<std::string> pieces = Guarded(std::vector<std::string>(), [&] {
    Located at;
    if (!Locate(engine_, root_variable_, path, &at)) return std::vector<std::string>();
    Ref ref = at.Read();
    if (ref.kind != Ref::kValue) return std::vector<std::string>();
    return JoinAndSplit(CollectLeaves(*ref.value, recursive), kLeafSeparator);
  });
  int count = static_cast<int>(pieces.size());
  if (values != nullptr) *values = std::move(pieces);
  return count;
}

JsonPathReader JsonPathReader::Copy() const {
  JsonPathReader copy(root_variable_);
  copy.engine_ = engine_;
  return copy;
}

}  // namespace lanfeng
