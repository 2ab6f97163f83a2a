// Text conversions between the narrow charset ("ANSI", which is UTF-8 on this platform),
// UTF-8 and UTF-16. Strict: an invalid sequence (a stray or overlong byte sequence, a
// surrogate coded in UTF-8, a lone UTF-16 surrogate) is dropped, never turned into
// another character. Every result is an owned value; a null argument gives none. Safe on
// any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tray {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

std::optional<std::u16string> AnsiToWide(const char* text);
std::optional<std::string> WideToAnsi(const char16_t* text);
std::optional<std::u16string> Utf8ToWide(const char* text);
std::optional<std::string> WideToUtf8(const char16_t* text);
std::optional<std::string> Utf8ToAnsi(const char* text);

}  // namespace tray
