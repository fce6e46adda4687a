// GBK and UTF-16 for the Windows parts of the plugin (the platform layer,
// the network backends, the windows): the wide-character calls take UTF-16,
// the plugin's texts are GBK (code page 936).
#pragma once

#include <windows.h>

#include <string>

namespace lanfeng {

constexpr UINT kGbkCodePage = 936;

// Multi-byte text of code page `page` to UTF-16. With strict, a byte
// sequence without a counterpart fails; otherwise it becomes the default
// character.
bool ToWide(UINT page, const std::string& text, bool strict, std::wstring* wide);
// UTF-16 to code page `page`. With strict, a character the code page lacks
// fails (UTF-8 lacks none but unpaired surrogates).
bool FromWide(UINT page, const std::wstring& wide, bool strict, std::string* text);

// A GBK path (or host name) as the wide-character calls take it. False when
// it is not GBK or holds a NUL (which would cut it short).
bool WidePath(const std::string& path, std::wstring* wide);

// A text for people or programs: bytes or characters without a counterpart
// become the default character rather than failing the call.
std::wstring WideText(const std::string& gbk);
std::string GbkText(const std::wstring& wide);

// The system's wording of an error code, without the line break; empty when
// the system has none.
std::wstring SystemMessage(DWORD error);

}  // namespace lanfeng
