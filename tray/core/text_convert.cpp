#include "text_convert.h"

namespace tray {

namespace {

// The code point of the UTF-8 sequence at text[i], advancing i; -1 for an invalid
// sequence, of which one byte is consumed.
long DecodeUtf8(std::string_view text, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b = byte(i);
  if (b < 0x80) {
    ++i;
    return b;
  }
  int len;
  long cp;
  long min;
  if ((b & 0xE0) == 0xC0) {
    len = 2, cp = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, cp = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, cp = b & 0x07, min = 0x10000;
  } else {
    ++i;
    return -1;
  }
  if (i + len > text.size()) {
    ++i;
    return -1;
  }
  for (int k = 1; k < len; ++k) {
    unsigned char c = byte(i + k);
    if ((c & 0xC0) != 0x80) {
      ++i;
      return -1;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return -1;
  }
  i += len;
  return cp;
}

void AppendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string CleanUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    long cp = DecodeUtf8(text, i);
    if (cp >= 0) AppendUtf8(out, static_cast<unsigned long>(cp));
  }
  return out;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    long cp = DecodeUtf8(text, i);
    if (cp < 0) continue;
    if (cp < 0x10000) {
      out += static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned long c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        unsigned long low = text[++i];
        AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
      }
      continue;  // a high surrogate without its low one
    }
    if (c >= 0xDC00 && c <= 0xDFFF) continue;  // a lone low surrogate
    AppendUtf8(out, c);
  }
  return out;
}

std::optional<std::u16string> Utf8ToWide(const char* text) {
  if (text == nullptr) return std::nullopt;
  return Utf8ToUtf16(text);
}

std::optional<std::string> WideToUtf8(const char16_t* text) {
  if (text == nullptr) return std::nullopt;
  return Utf16ToUtf8(text);
}

// The narrow charset is UTF-8 here, so "ANSI" conversions are the UTF-8 ones.
std::optional<std::u16string> AnsiToWide(const char* text) { return Utf8ToWide(text); }

std::optional<std::string> WideToAnsi(const char16_t* text) { return WideToUtf8(text); }

std::optional<std::string> Utf8ToAnsi(const char* text) {
  if (text == nullptr) return std::nullopt;
  return CleanUtf8(text);
}

}  // namespace tray
