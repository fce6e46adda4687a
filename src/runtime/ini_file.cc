#include "runtime/ini_file.h"

#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "runtime/gbk_text.h"

namespace lanfeng {
namespace {

// One line of an INI text, as positions into the text.
struct Line {
  size_t begin;  // first byte
  size_t end;    // one past the last byte before the line break
  size_t next;   // first byte of the following line
};

std::vector<Line> SplitLines(const std::string& text) {
  std::vector<Line> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t newline = text.find('\n', begin);
    size_t next = newline == std::string::npos ? text.size() : newline + 1;
    size_t end = newline == std::string::npos ? text.size() : newline;
    if (end > begin && text[end - 1] == '\r') --end;
    lines.push_back({begin, end, next});
    begin = next;
  }
  return lines;
}

// The section name of a "[name]" line, if the line is one.
std::optional<std::string> SectionName(const std::string& line) {
  std::string trimmed = TrimBlanks(line);
  if (trimmed.empty() || trimmed[0] != '[') return std::nullopt;
  size_t close = FindGbkChar(trimmed, ']', 1);
  return TrimBlanks(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

// Splits a "name=value" line; false for lines without "=" and comments.
bool KeyLine(const std::string& line, std::string* name, std::string* value) {
  std::string trimmed = TrimLeadingBlanks(line);
  if (trimmed.empty() || trimmed[0] == ';') return false;
  size_t equals = FindGbkChar(trimmed, '=');
  if (equals == std::string::npos) return false;
  *name = TrimBlanks(trimmed.substr(0, equals));
  *value = TrimBlanks(trimmed.substr(equals + 1));
  return true;
}

std::string Unquote(const std::string& value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Where a section sits in the text: its header line and the lines after it
// up to the next header.
struct SectionSpan {
  size_t header = 0;      // index of the header line
  size_t end_line = 0;    // index of the first line after the section
};

std::optional<SectionSpan> FindSection(const std::string& text, const std::vector<Line>& lines,
                                       const std::string& section) {
  std::string wanted = TrimBlanks(section);
  for (size_t i = 0; i < lines.size(); ++i) {
    auto name = SectionName(text.substr(lines[i].begin, lines[i].end - lines[i].begin));
    if (!name || !EqualsIgnoreCase(*name, wanted)) continue;
    SectionSpan span{i, i + 1};
    while (span.end_line < lines.size() &&
           !SectionName(text.substr(lines[span.end_line].begin,
                                    lines[span.end_line].end - lines[span.end_line].begin))) {
      ++span.end_line;
    }
    return span;
  }
  return std::nullopt;
}

// A name reads back as itself unless it is blank, holds a line break (even
// one that trimming would drop: the name is written untrimmed), or ends in a
// lone lead byte, which would take the "]" or "=" after it as its trail.
bool NameIsWritable(const std::string& name) {
  if (TrimBlanks(name).empty() || name.find_first_of("\r\n") != std::string::npos) return false;
  size_t last = 0;
  for (size_t pos = 0; pos < name.size(); pos += GbkCharLength(name, pos)) last = pos;
  const std::string followed = name.substr(last) + "=";
  return GbkCharLength(followed, 0) == followed.size() - 1;
}

// Writers of INI files inside this process take turns: a write reads the
// whole file, changes one line and replaces the file. Constant-initialized,
// so it exists before and after every other object of the library.
std::mutex ini_write_mutex;

}  // namespace

std::optional<std::string> FindIniValue(const std::string& contents, const std::string& section,
                                        const std::string& key) {
  std::vector<Line> lines = SplitLines(contents);
  auto span = FindSection(contents, lines, section);
  if (!span) return std::nullopt;
  std::string wanted = TrimBlanks(key);
  for (size_t i = span->header + 1; i < span->end_line; ++i) {
    std::string name, value;
    if (KeyLine(contents.substr(lines[i].begin, lines[i].end - lines[i].begin), &name, &value) &&
        EqualsIgnoreCase(name, wanted)) {
      return Unquote(value);
    }
  }
  return std::nullopt;
}

std::string IniSafeValue(const std::string& value) {
  if (value.find_first_of("\r\n") == std::string::npos) return value;
  // Byte by byte: CR and LF are never part of a GBK character, and a walk by
  // characters would let a stray lead byte carry the line break after it
  // into the file.
  std::string safe;
  safe.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\r' && value[i] != '\n') {
      safe += value[i];
      continue;
    }
    if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
    safe += "【换行】";
  }
  return safe;
}

std::string SetIniValue(const std::string& contents, const std::string& section,
                        const std::string& key, const std::string& value) {
  const std::string entry = key + "=" + IniSafeValue(value) + "\r\n";
  std::vector<Line> lines = SplitLines(contents);
  auto span = FindSection(contents, lines, section);
  if (!span) {
    std::string text = contents;
    if (!text.empty() && text.back() != '\n') text += "\r\n";
    return text + "[" + section + "]\r\n" + entry;
  }
  std::string wanted = TrimBlanks(key);
  size_t last_filled = span->header;  // the section's last line that is not blank
  for (size_t i = span->header + 1; i < span->end_line; ++i) {
    std::string line = contents.substr(lines[i].begin, lines[i].end - lines[i].begin);
    std::string name, old_value;
    if (KeyLine(line, &name, &old_value) && EqualsIgnoreCase(name, wanted)) {
      return contents.substr(0, lines[i].begin) + entry + contents.substr(lines[i].next);
    }
    if (!TrimBlanks(line).empty()) last_filled = i;
  }
  const Line& after = lines[last_filled];
  std::string head = contents.substr(0, after.next);
  // The file's last line had no line break (a CR alone is none).
  if (head.empty() || head.back() != '\n') head += "\r\n";
  return head + entry + contents.substr(after.next);
}

std::string ReadIniKey(const std::string& file, const std::string& section, const std::string& key) {
  std::string path = TrimLeadingBlanks(file);
  if (path.empty() || TrimLeadingBlanks(section).empty() || TrimLeadingBlanks(key).empty()) return "";
  std::string contents;
  if (!ReadIniFile(path, &contents)) return "";
  return IniValue(contents, section, key);
}

bool ReadIniFile(const std::string& file, std::string* contents) {
  contents->clear();
  Status read = CurrentPlatform().ReadFile(TrimLeadingBlanks(file), contents);
  if (read.ok()) return true;
  contents->clear();
  return read.IsNotFound();
}

std::string IniValue(const std::string& contents, const std::string& section, const std::string& key) {
  std::string section_name = TrimLeadingBlanks(section);
  std::string key_name = TrimLeadingBlanks(key);
  if (section_name.empty() || key_name.empty()) return "";
  auto value = FindIniValue(contents, section_name, key_name);
  return value ? CutAtCharBoundary(*value, kIniValueLimit) : "";
}

bool WriteIniKey(const std::string& file, const std::string& section, const std::string& key,
                 const std::string& value) {
  // A key line that starts with "[" would read as a section, one with ";" as
  // a comment.
  const char key_start = TrimLeadingBlanks(key).c_str()[0];
  if (file.empty() || !NameIsWritable(section) || !NameIsWritable(key) ||
      key.find('=') != std::string::npos || FindGbkChar(section, ']') != std::string::npos ||
      key_start == '[' || key_start == ';') {
    return false;
  }
  Platform& platform = CurrentPlatform();
  std::lock_guard<std::mutex> lock(ini_write_mutex);
  std::string contents;
  Status read = platform.ReadFile(file, &contents);
  if (!read.ok() && !read.IsNotFound()) return false;  // never drop keys we could not read
  const std::string sibling = file + ".tmp";
  if (!platform.WriteFile(sibling, SetIniValue(contents, section, key, value)).ok()) {
    platform.RemoveFile(sibling);
    return false;
  }
  if (!platform.RenameFile(sibling, file).ok()) {
    platform.RemoveFile(sibling);
    return false;
  }
  return true;
}

}  // namespace lanfeng
