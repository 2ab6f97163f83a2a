#include "comm/wire.h"

namespace wire {

size_t Utf8CutLength(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  size_t n = maxBytes;
  // Step back over continuation bytes so the cut falls on a character boundary.
  while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

void PutText(uint8_t* field, size_t n, std::string_view text) {
  std::memset(field, 0, n);
  if (n == 0) return;
  size_t len = Utf8CutLength(text, n - 1);
  std::memcpy(field, text.data(), len);
}

void PutTextFull(uint8_t* field, size_t n, std::string_view text) {
  std::memset(field, 0, n);
  size_t len = Utf8CutLength(text, n);
  std::memcpy(field, text.data(), len);
}

std::string GetText(const uint8_t* field, size_t n) {
  size_t len = 0;
  while (len < n && field[len] != 0) ++len;
  return std::string(reinterpret_cast<const char*>(field), len);
}

}  // namespace wire
