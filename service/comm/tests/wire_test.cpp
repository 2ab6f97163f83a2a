#include "comm/wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

TEST(Wire, IntegersAreBigEndian) {
  uint8_t buf[8] = {};
  wire::PutU16(buf, 0x1234);
  EXPECT_EQ(Bytes(buf, 2), (std::vector<uint8_t>{0x12, 0x34}));
  EXPECT_EQ(wire::GetU16(buf), 0x1234);

  wire::PutU32(buf, 0x89ABCDEF);
  EXPECT_EQ(Bytes(buf, 4), (std::vector<uint8_t>{0x89, 0xAB, 0xCD, 0xEF}));
  EXPECT_EQ(wire::GetU32(buf), 0x89ABCDEFu);

  wire::PutU64(buf, 0x0102030405060708ull);
  EXPECT_EQ(Bytes(buf, 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(wire::GetU64(buf), 0x0102030405060708ull);

  // High bits survive (no sign extension through int promotion).
  const uint8_t ff[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(wire::GetU16(ff), 0xFFFF);
  EXPECT_EQ(wire::GetU32(ff), 0xFFFFFFFFu);
  EXPECT_EQ(wire::GetU64(ff), ~0ull);
}

TEST(Wire, HeadsEncodeAtTheirOffsets) {
  uint8_t m[MsgHead::kSize];
  MsgHead{0x0108, 0x5006, 0xA1B2C3D4}.Encode(m);
  EXPECT_EQ(Bytes(m, 8), (std::vector<uint8_t>{0x01, 0x08, 0x50, 0x06, 0xA1, 0xB2, 0xC3, 0xD4}));
  MsgHead back = MsgHead::Decode(m);
  EXPECT_EQ(back.length, 0x0108);
  EXPECT_EQ(back.opcode, 0x5006);
  EXPECT_EQ(back.seq, 0xA1B2C3D4u);

  uint8_t s[ServerMsgHead::kSize];
  std::memset(s, 0xEE, sizeof s);
  ServerMsgHead sh;
  sh.length = 70;
  sh.command = 0x1003;
  sh.stationId = "00-11-22-33-44-55";
  sh.Encode(s);
  EXPECT_EQ(Bytes(s, 6), (std::vector<uint8_t>{0x00, 70, 0x00, 0x06, 0x10, 0x03}));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(s + 6), 17), "00-11-22-33-44-55");
  for (size_t i = 6 + 17; i < sizeof s; ++i) ASSERT_EQ(s[i], 0) << "padding at " << i;
  ServerMsgHead sback = ServerMsgHead::Decode(s);
  EXPECT_EQ(sback.version, 6);
  EXPECT_EQ(sback.command, 0x1003);
  EXPECT_EQ(sback.stationId, "00-11-22-33-44-55");

  uint8_t r[ServerReplyHead::kSize];
  ServerReplyHead{8, 6, 0x1001, 0x0102}.Encode(r);
  EXPECT_EQ(Bytes(r, 8), (std::vector<uint8_t>{0, 8, 0, 6, 0x10, 0x01, 0x01, 0x02}));
  EXPECT_EQ(ServerReplyHead::Decode(r).result, 0x0102);

  uint8_t p[P2PMsgHead::kSize];
  P2PMsgHead{6, 6, 3}.Encode(p);
  EXPECT_EQ(Bytes(p, 6), (std::vector<uint8_t>{0, 6, 0, 6, 0, 3}));
  EXPECT_EQ(P2PMsgHead::Decode(p).opcode, 3);
}

TEST(Wire, StationIdKeepsOneZeroByte) {
  uint8_t s[ServerMsgHead::kSize];
  ServerMsgHead sh;
  sh.stationId = std::string(80, 'x');
  sh.Encode(s);
  EXPECT_EQ(s[6 + 63], 0);
  EXPECT_EQ(ServerMsgHead::Decode(s).stationId, std::string(63, 'x'));
}

// "€" is three bytes (E2 82 AC), "𝄞" four (F0 9D 84 9E).
struct CutCase {
  std::string text;
  size_t field;
  std::string keptWithZero;  // PutText: at most field-1 bytes
  std::string keptFull;      // PutTextFull: at most field bytes
};

TEST(Wire, TextFieldsCutOnCharacterBoundaries) {
  const std::vector<CutCase> cases = {
      {"abcdef", 4, "abc", "abcd"},
      {"abc", 4, "abc", "abc"},
      {"ab\xE2\x82\xAC", 4, "ab", "ab"},            // 5 bytes: the euro sign would be split
      {"a\xE2\x82\xAC", 4, "a", "a\xE2\x82\xAC"},   // 4 bytes: fits only without the zero
      {"\xF0\x9D\x84\x9E" "z", 4, "", "\xF0\x9D\x84\x9E"},
      {"\xC3\xA9\xC3\xA9", 3, "\xC3\xA9", "\xC3\xA9"},
      {"", 4, "", ""},
      {"abc", 0, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("text of " + std::to_string(c.text.size()) + " bytes in " +
                 std::to_string(c.field));
    std::vector<uint8_t> field(c.field + 1, 0xEE);  // one guard byte past the field
    wire::PutText(field.data(), c.field, c.text);
    EXPECT_EQ(wire::GetText(field.data(), c.field), c.keptWithZero);
    for (size_t i = c.keptWithZero.size(); i < c.field; ++i) EXPECT_EQ(field[i], 0);
    EXPECT_EQ(field[c.field], 0xEE);

    std::fill(field.begin(), field.end(), 0xEE);
    wire::PutTextFull(field.data(), c.field, c.text);
    EXPECT_EQ(wire::GetText(field.data(), c.field), c.keptFull);
    EXPECT_EQ(field[c.field], 0xEE);
  }
}

TEST(Wire, GetTextStopsAtZeroOrFieldEnd) {
  const uint8_t withZero[6] = {'a', 'b', 0, 'c', 'd', 'e'};
  EXPECT_EQ(wire::GetText(withZero, 6), "ab");
  const uint8_t full[3] = {'x', 'y', 'z'};
  EXPECT_EQ(wire::GetText(full, 3), "xyz");
}

}  // namespace
