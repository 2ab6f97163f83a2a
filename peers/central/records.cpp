#include "central/records.h"

#include <cstdio>
#include <cstring>

#include "central/relay_protocol.h"
#include "comm/opcodes.h"
#include "comm/wire.h"

namespace central {

namespace {

uint16_t GetU16Le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

std::string Text(const uint8_t* field, size_t n) { return CleanText(wire::GetText(field, n)); }

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  size_t n;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF.
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

}  // namespace

LogOnRecord LogOnRecord::Decode(const uint8_t* p) {
  return LogOnRecord{wire::GetText(p, 32), wire::GetText(p + 32, 32), GetU16Le(p + 64), Text(p + 68, 32),
                     Text(p + 100, 32)};
}

AccountRecord AccountRecord::Decode(const uint8_t* p) {
  return AccountRecord{wire::GetText(p, 32), wire::GetText(p + 32, 32)};
}

ServerInfoRecord ServerInfoRecord::Decode(const uint8_t* p) {
  ServerInfoRecord r{};
  std::memcpy(r.localIp, p + 8, 4);
  r.externalPort = wire::GetU16(p + 12);
  r.localPort = wire::GetU16(p + 16);
  r.systemType = GetU16Le(p + 18);
  r.hostName = Text(p + 84, 64);
  return r;
}

PowerOnRecord PowerOnRecord::Decode(const uint8_t* p) {
  return PowerOnRecord{GetU16Le(p), Text(p + 2, 32), Text(p + 34, 64), Text(p + 98, 64)};
}

DiskRecord DiskRecord::Decode(const uint8_t* p) {
  return DiskRecord{wire::GetU16(p), wire::GetU32(p + 4), Text(p + 8, 32), Text(p + 40, 256)};
}

std::string CleanText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = Utf8SequenceLength(text, i);
    if (n == 0 || (n == 1 && (static_cast<uint8_t>(text[i]) < 0x20 || text[i] == 0x7F))) {
      out += '?';
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string CommandName(uint16_t command) {
  switch (command) {
    case SV_LOG_ON: return "SV_LOG_ON";
    case SV_LOG_OUT: return "SV_LOG_OUT";
    case SV_HEART_BEAT: return "SV_HEART_BEAT";
    case SV_SET_SV_INFO: return "SV_SET_SV_INFO";
    case SV_INTER_LINE_REQ: return "SV_INTER_LINE_REQ";
    case SV_INTER_LINE_DATA: return "SV_INTER_LINE_DATA";
    case SV_INTER_LINE_DOWN_LOAD: return "SV_INTER_LINE_DOWN_LOAD";
    case SV_INTER_LINE_UP_LOAD: return "SV_INTER_LINE_UP_LOAD";
    case SV_SET_POWER_ON_INFO: return "SV_SET_POWER_ON_INFO";
    case SV_SET_DISK_INFO: return "SV_SET_DISK_INFO";
    case SV_DEVICE_LOGON: return "SV_DEVICE_LOGON";
    case SV_DEVICE_DATA: return "SV_DEVICE_DATA";
    default: break;
  }
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", command);
  return buf;
}

}  // namespace central
