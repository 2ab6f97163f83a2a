#include "platform/env_setting.h"

#include <cerrno>
#include <cstdlib>

std::optional<long long> EnvInteger(const char* name, long long min, long long max) {
  const char* text = std::getenv(name);
  if (text == nullptr) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return std::nullopt;
  return v;
}
