// INI files as the Windows profile functions keep them.
//
// Section and key names compare without regard to ASCII letter case, blanks
// around names and values are ignored, a value wholly enclosed in double
// quotes reads without them, lines starting with ";" are comments, and the
// first of duplicate sections or keys wins. Lines end in CR LF when written;
// LF alone is accepted when read.
//
// Writes replace the file in one step (a sibling file is written, then
// renamed over it), so a crash never leaves half a file, and writers inside
// this process take turns, so concurrent writes of different keys of one
// file never lose each other.
#pragma once

#include <optional>
#include <string>

namespace lanfeng {

// Values longer than this are cut when read (a 10,240-byte buffer and its NUL).
constexpr size_t kIniValueLimit = 10239;

// Finds key in section of an INI text; nullopt when either is missing.
std::optional<std::string> FindIniValue(const std::string& contents, const std::string& section,
                                        const std::string& key);

// The INI text with key in section set to value; the section is appended
// when missing, the key appended to the end of the section when missing, and
// every other line is kept byte for byte.
std::string SetIniValue(const std::string& contents, const std::string& section,
                        const std::string& key, const std::string& value);

// A value as it is written: every line break (CR LF, CR or LF) becomes the
// marker "【换行】", the same marker the templates use, so that no value can
// split its line.
std::string IniSafeValue(const std::string& value);

// Reads a value. Blanks and control bytes in front of the file, section and
// key names are dropped; if a name is then empty, the result is empty and the
// file is not touched. A missing file, section or key reads as empty text.
std::string ReadIniKey(const std::string& file, const std::string& section, const std::string& key);

// Reads a whole INI file for IniValue. A missing file reads as empty text;
// false when the file exists but could not be read (contents then empty), so
// that a caller can tell "no value" from "could not look".
bool ReadIniFile(const std::string& file, std::string* contents);

// A value of an INI text as ReadIniKey gives it from the file.
std::string IniValue(const std::string& contents, const std::string& section, const std::string& key);

// Writes one key, creating the file and the section when missing. False when
// the names cannot be written as given (empty, or holding a line break, or a
// key holding "=", or a section holding "]"), or would not read back as
// themselves (a key starting with "[" or ";", a name ending in a lone lead
// byte), or when the file could not be read or replaced; the file is then
// unchanged.
bool WriteIniKey(const std::string& file, const std::string& section, const std::string& key,
                 const std::string& value);

}  // namespace lanfeng
