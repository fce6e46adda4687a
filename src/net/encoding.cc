// Conversion through glibc's iconv, in two steps with Unicode between them
// (as the Windows stream object reads text into a Unicode string): source to
// UTF-32, skipping bytes that are not text, then UTF-32 to target, skipping
// characters the target lacks. The Windows build does the same with
// MultiByteToWideChar and WideCharToMultiByte.
#include "net/encoding.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <string>
#include <utility>

#include "net/http_text.h"

namespace lanfeng {
namespace {

constexpr char kUnicode[] = "UTF-32LE";
constexpr size_t kUnicodeCharBytes = 4;

// A character set as iconv names it, with the byte-order mark that the
// stream object writes for it (empty when none).
struct Charset {
  std::string iconv_name;
  std::string byte_order_mark;
};

Charset ResolveCharset(const std::string& name) {
  const std::string lower = LowerAscii(name);
  if (lower == "utf-8") return {"UTF-8", "\xEF\xBB\xBF"};
  if (lower == "unicode") return {"UTF-16LE", "\xFF\xFE"};
  if (lower == "unicodefffe") return {"UTF-16BE", "\xFE\xFF"};
  if (lower == "gb2312") return {"GBK", ""};
  return {name, ""};
}

// Output of iconv: a buffer that grows when iconv finds it full.
class OutputBuffer {
 public:
  explicit OutputBuffer(size_t capacity) : bytes_(capacity, '\0') {}
  char* next() { return bytes_.data() + used_; }
  size_t left() const { return bytes_.size() - used_; }
  // Takes note of what iconv wrote, given the space it left.
  void Written(size_t left_after) { used_ = bytes_.size() - left_after; }
  void Grow() { bytes_.resize(bytes_.size() * 2 + 16); }
  std::string Take() {
    bytes_.resize(used_);
    return std::move(bytes_);
  }

 private:
  std::string bytes_;
  size_t used_ = 0;
};

// Runs one iconv call over the rest of the input (all of it, or only the
// final shift sequence when in_ptr is null); answers errno, or 0.
int IconvStep(iconv_t cd, char** in_ptr, size_t* in_left, OutputBuffer* out) {
  char* out_ptr = out->next();
  size_t out_left = out->left();
  const size_t result = ::iconv(cd, in_ptr, in_left, &out_ptr, &out_left);
  const int error = result == static_cast<size_t>(-1) ? errno : 0;
  out->Written(out_left);
  return error;
}

// Converts `in` with iconv from `from` to `to`. Where a sequence cannot be
// converted (not text in `from`, or not in `to`), `skip` bytes of input are
// dropped and conversion goes on; an incomplete sequence at the end is
// dropped. False when iconv does not know one of the names.
bool Convert(const std::string& from, const std::string& to, const std::string& in, size_t skip,
             std::string* out) {
  iconv_t cd = ::iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  OutputBuffer buffer(in.size() * kUnicodeCharBytes + 16);
  char* in_ptr = const_cast<char*>(in.data());
  size_t in_left = in.size();
  while (in_left > 0) {
    const int error = IconvStep(cd, &in_ptr, &in_left, &buffer);
    if (error == E2BIG) {
      buffer.Grow();
    } else if (error == EILSEQ) {
      const size_t dropped = std::min(skip, in_left);
      in_ptr += dropped;
      in_left -= dropped;
    } else {
      break;  // done, or EINVAL: an incomplete sequence at the end
    }
  }
  while (IconvStep(cd, nullptr, nullptr, &buffer) == E2BIG) buffer.Grow();
  ::iconv_close(cd);
  *out = buffer.Take();
  return true;
}

}  // namespace

std::string ConvertEncoding(const std::string& data, const std::string& source,
                            const std::string& target, std::optional<size_t> start_position) {
  if (data.empty()) return "";
  const Charset from = ResolveCharset(source.empty() ? "UTF-8" : source);
  const Charset to = ResolveCharset(target.empty() ? "GBK" : target);
  std::string input = data;
  const std::string& mark = from.byte_order_mark;
  if (!mark.empty() && input.compare(0, mark.size(), mark) == 0) input.erase(0, mark.size());

  std::string unicode, converted;
  if (!Convert(from.iconv_name, kUnicode, input, 1, &unicode) ||
      !Convert(kUnicode, to.iconv_name, unicode, kUnicodeCharBytes, &converted)) {
    return "";
  }
  std::string output = to.byte_order_mark + converted;
  const size_t start = start_position.value_or(0);
  return start < output.size() ? output.substr(start) : "";
}

}  // namespace lanfeng
