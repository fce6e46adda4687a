// Fuzzes the INI files: any file contents, any section, key and value.
//
// Input: one byte of flags, then the section, a NUL, the key, a NUL, the
// value, a NUL, and the file's contents (the rest; no file when the flags
// say so). Flags: bits 0-1 fail nothing, the read, the write or the rename
// of the one write; bit 2 leaves the file missing; bit 3 repeats the value
// past the read limit.
//
// Checked: reading any contents answers at most the read limit and never
// crashes. A write either is refused, leaving the file as it was and no
// sibling behind, or reads back as the INI rules say: the value with its
// line breaks turned into the marker, blanks around it dropped and one pair
// of enclosing quotes removed, cut at the read limit. Writing the same again
// changes nothing, and every other key of the file reads as before. Names of
// plain letters and digits are always accepted.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "runtime/gbk_text.h"
#include "runtime/ini_file.h"

namespace {

using lanfeng::Status;

// Stops the run, naming the check that failed.
void Check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "check failed at %s:%d\n", __FILE__, line);
  std::abort();
}

// Files in memory; one operation of one kind can be made to fail.
class MemoryFilesPlatform : public lanfeng::PlatformWrapper {
 public:
  enum Fault { kNone, kRead, kWrite, kRename };

  MemoryFilesPlatform() : PlatformWrapper(&lanfeng::SystemPlatform()) {}

  void Reset(Fault fault) {
    files_.clear();
    fault_ = fault;
  }
  std::map<std::string, std::string>& files() { return files_; }

  Status ReadFile(const std::string& path, std::string* contents) override {
    if (Fails(kRead)) return Status::Error("read fault");
    auto found = files_.find(path);
    if (found == files_.end()) return Status::NotFound("missing");
    *contents = found->second;
    return Status::Ok();
  }
  Status WriteFile(const std::string& path, const std::string& contents) override {
    if (Fails(kWrite)) {
      files_[path] = contents.substr(0, contents.size() / 2);  // as a crash leaves it
      return Status::Error("write fault");
    }
    files_[path] = contents;
    return Status::Ok();
  }
  Status RenameFile(const std::string& from, const std::string& to) override {
    if (Fails(kRename)) return Status::Error("rename fault");
    auto found = files_.find(from);
    if (found == files_.end()) return Status::NotFound("missing");
    std::string contents = std::move(found->second);
    files_.erase(found);
    files_[to] = std::move(contents);
    return Status::Ok();
  }
  Status RemoveFile(const std::string& path) override {
    return files_.erase(path) ? Status::Ok() : Status::NotFound("missing");
  }
  bool FileExists(const std::string& path) override { return files_.count(path) > 0; }

 private:
  bool Fails(Fault kind) {
    if (fault_ != kind) return false;
    fault_ = kNone;
    return true;
  }

  std::map<std::string, std::string> files_;
  Fault fault_ = kNone;
};

const char kFile[] = "\\fuzz\\t.ini";

// The texts between NULs: section, key, value, and the rest.
std::vector<std::string> SplitFields(const std::string& input, size_t count) {
  std::vector<std::string> fields;
  size_t begin = 0;
  while (fields.size() + 1 < count) {
    const size_t end = input.find('\0', begin);
    if (end == std::string::npos) break;
    fields.push_back(input.substr(begin, end - begin));
    begin = end + 1;
  }
  fields.push_back(begin <= input.size() ? input.substr(begin) : std::string());
  fields.resize(count);
  return fields;
}

bool IsPlainName(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    const bool letter_or_digit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letter_or_digit) return false;
  }
  return true;
}

// Candidate names found in a text: after "[" up to "]" for sections, before
// "=" for keys (byte-wise: these only choose what to probe).
void CollectNames(const std::string& contents, std::vector<std::string>* sections,
                  std::vector<std::string>* keys) {
  constexpr size_t kMostNames = 6;
  size_t begin = 0;
  while (begin < contents.size()) {
    size_t end = contents.find('\n', begin);
    if (end == std::string::npos) end = contents.size();
    const std::string line = lanfeng::TrimBlanks(contents.substr(begin, end - begin));
    if (!line.empty() && line[0] == '[' && sections->size() < kMostNames) {
      sections->push_back(line.substr(1, line.find(']') == std::string::npos ? std::string::npos
                                                                                 : line.find(']') - 1));
    } else if (line.find('=') != std::string::npos && keys->size() < kMostNames) {
      keys->push_back(line.substr(0, line.find('=')));
    }
    begin = end + 1;
  }
}

// The value a write of `value` reads back as, before the read limit.
std::string ExpectedReadBack(const std::string& value) {
  std::string stored = lanfeng::TrimBlanks(lanfeng::IniSafeValue(value));
  if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"') {
    stored = stored.substr(1, stored.size() - 2);
  }
  return stored;
}

bool SameName(const std::string& a, const std::string& b) {
  return lanfeng::EqualsIgnoreCase(lanfeng::TrimBlanks(a), lanfeng::TrimBlanks(b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lanfeng;
  static MemoryFilesPlatform platform;
  static std::once_flag installed;
  std::call_once(installed, [] { SetPlatformForTesting(&platform); });
  if (size == 0) return 0;

  const unsigned flags = data[0];
  const std::vector<std::string> fields =
      SplitFields(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), 4);
  const std::string& section = fields[0];
  const std::string& key = fields[1];
  std::string value = fields[2];
  const std::string& contents = fields[3];
  const bool file_exists = (flags & 4) == 0;
  if ((flags & 8) != 0 && !value.empty()) {
    while (value.size() <= kIniValueLimit + 16) value += value;
  }

  // Reading: whatever the contents, a bounded answer.
  const std::optional<std::string> found = FindIniValue(contents, section, key);
  platform.Reset(MemoryFilesPlatform::kNone);
  if (file_exists) platform.files()[kFile] = contents;
  const std::string read = ReadIniKey(kFile, section, key);
  Check(read.size() <= kIniValueLimit);
  const bool names_given = !TrimLeadingBlanks(section).empty() && !TrimLeadingBlanks(key).empty();
  Check(read == (file_exists && names_given && found ? CutAtCharBoundary(*found, kIniValueLimit) : ""));

  // What the other keys read before the write.
  std::vector<std::string> sections, keys;
  CollectNames(contents, &sections, &keys);
  sections.push_back(section);
  keys.push_back(key);
  std::vector<std::pair<std::pair<std::string, std::string>, std::optional<std::string>>> probes;
  const std::string before = file_exists ? contents : std::string();
  for (const std::string& s : sections) {
    for (const std::string& k : keys) {
      if (SameName(s, section) && SameName(k, key)) continue;
      probes.push_back({{s, k}, FindIniValue(before, s, k)});
    }
  }

  // Writing.
  const auto fault = static_cast<MemoryFilesPlatform::Fault>(flags & 3);
  platform.Reset(fault);
  if (file_exists) platform.files()[kFile] = contents;
  const bool written = WriteIniKey(kFile, section, key, value);
  std::map<std::string, std::string>& files = platform.files();
  Check(files.count(std::string(kFile) + ".tmp") == 0);
  if (!written) {
    // Refused or failed: the file is as it was.
    Check(file_exists ? files.count(kFile) == 1 && files[kFile] == contents : files.empty());
    Check(!(fault == MemoryFilesPlatform::kNone && IsPlainName(section) && IsPlainName(key)));
    return 0;
  }
  Check(fault == MemoryFilesPlatform::kNone && files.size() == 1);
  const std::string after = files[kFile];
  Check(IniSafeValue(value).find_first_of("\r\n") == std::string::npos);

  const std::string expected = ExpectedReadBack(value);
  const std::optional<std::string> back = FindIniValue(after, section, key);
  Check(back && *back == expected);
  Check(ReadIniKey(kFile, section, key) == CutAtCharBoundary(expected, kIniValueLimit));
  Check(SetIniValue(after, section, key, value) == after);
  for (const auto& probe : probes) {
    Check(FindIniValue(after, probe.first.first, probe.first.second) == probe.second);
  }
  return 0;
}
