#include "platform/charset.h"

#include <cctype>
#include <cerrno>

#include <iconv.h>

namespace platform {
namespace {

enum class Family { kUtf8, kGb, kGb18030, kBytes };

// The code name without any "//..." suffix.
std::string BaseName(const char* name) {
  std::string base = name;
  size_t cut = base.find("//");
  if (cut != std::string::npos) base.resize(cut);
  return base;
}

Family FamilyOf(const std::string& base) {
  std::string key;
  for (char c : base) {
    if (c == '-' || c == '_') continue;
    key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (key == "UTF8") return Family::kUtf8;
  if (key == "GB18030") return Family::kGb18030;
  if (key == "GB2312" || key == "GBK" || key == "EUCCN" || key == "CP936" || key == "CSGB2312") {
    return Family::kGb;
  }
  return Family::kBytes;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the character that starts at p (left bytes remain). A byte that does not
// start a well-formed character counts as one.
size_t CharLen(Family family, const unsigned char* p, size_t left) {
  if (left == 0) return 0;
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  switch (family) {
    case Family::kUtf8: {
      size_t n = 1;
      if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
      } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
      } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
      }
      if (n > left) return 1;
      for (size_t i = 1; i < n; ++i) {
        if (!IsContinuation(p[i])) return 1;
      }
      return n;
    }
    case Family::kGb:
    case Family::kGb18030: {
      if (c < 0x81 || c == 0xFF || left < 2) return 1;
      unsigned char d = p[1];
      if (family == Family::kGb18030 && d >= 0x30 && d <= 0x39) {
        if (left >= 4 && p[2] >= 0x81 && p[2] <= 0xFE && p[3] >= 0x30 && p[3] <= 0x39) return 4;
        return 1;
      }
      if (d >= 0x40 && d <= 0xFE && d != 0x7F) return 2;
      return 1;
    }
    case Family::kBytes:
      break;
  }
  return 1;
}

}  // namespace

std::string ConvertCharset(const std::string& text, const char* from, const char* to, bool* ok) {
  if (ok != nullptr) *ok = false;
  if (from == nullptr || to == nullptr) return std::string();
  std::string fromBase = BaseName(from);
  std::string toBase = BaseName(to);
  iconv_t cd = ::iconv_open(toBase.c_str(), fromBase.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();

  Family fromFamily = FamilyOf(fromBase);
  std::string out(text.size() * 2 + 16, '\0');
  size_t used = 0;
  bool skipped = false;
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();

  while (inLeft > 0) {
    char* outPtr = out.data() + used;
    size_t outLeft = out.size() - used;
    size_t r = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    used = static_cast<size_t>(outPtr - out.data());
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else if (errno == EILSEQ) {
      // Invalid in the source or missing in the target: drop that one character.
      size_t n = CharLen(fromFamily, reinterpret_cast<const unsigned char*>(in), inLeft);
      in += n;
      inLeft -= n;
      skipped = true;
    } else {
      // EINVAL: the text ends inside a character.
      skipped = true;
      break;
    }
  }
  for (;;) {  // end any shift state
    char* outPtr = out.data() + used;
    size_t outLeft = out.size() - used;
    size_t r = ::iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    used = static_cast<size_t>(outPtr - out.data());
    if (r == static_cast<size_t>(-1) && errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    break;
  }
  ::iconv_close(cd);
  out.resize(used);
  if (ok != nullptr) *ok = !skipped;
  return out;
}

size_t CharBoundaryPrefix(const std::string& text, size_t maxBytes, const char* charset) {
  if (text.size() <= maxBytes) return text.size();
  Family family = charset == nullptr ? Family::kBytes : FamilyOf(BaseName(charset));
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t n = CharLen(family, p + pos, text.size() - pos);
    if (pos + n > maxBytes) break;
    pos += n;
  }
  return pos;
}

std::string CutToCharBoundary(const std::string& text, size_t maxBytes, const char* charset) {
  return text.substr(0, CharBoundaryPrefix(text, maxBytes, charset));
}

}  // namespace platform
