#include "app/bmp_to_jpeg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "picture_fixtures.h"
#include "support/temp_dir.h"

namespace {

using fixtures::BmpSpec;
using fixtures::Bytes;
using fixtures::Decoded;

class BmpToJpegTest : public ::testing::Test {
 protected:
  // Converts bytes held in a file through the in-memory form.
  int Convert(const Bytes& content, Bytes* out, const ConvertLimits& limits = ConvertLimits{}) {
    std::string rel = "in" + std::to_string(m_count++);
    m_tmp.Write(rel, fixtures::AsString(content));
    FILE* f = std::fopen(m_tmp.Sub(rel).c_str(), "rb");
    EXPECT_NE(f, nullptr);
    int r = ConvertBmpToJpegStream(f, *out, limits);
    std::fclose(f);
    return r;
  }
  Decoded ConvertAndDecode(const Bytes& content) {
    Bytes out;
    EXPECT_EQ(Convert(content, &out), 1);
    Decoded d = fixtures::DecodeJpeg(out);
    EXPECT_TRUE(d.ok);
    return d;
  }

  support::TempDir m_tmp;
  int m_count = 0;
};

uint8_t Gray(int v) { return static_cast<uint8_t>(v); }

TEST_F(BmpToJpegTest, Bmp24PaddedRowsComeOutTopRowFirst) {
  // 3 × 2: rows of 9 bytes padded to 12. The file's second row is the picture's top row.
  BmpSpec spec;
  spec.width = 3;
  spec.height = 2;
  Decoded d = ConvertAndDecode(
      fixtures::MakeBmp(spec, [](int, int y, int) { return Gray(y == 0 ? 255 : 0); }));
  ASSERT_EQ(d.width, 3);
  ASSERT_EQ(d.height, 2);
  ASSERT_EQ(d.components, 3);
  for (int x = 0; x < 3; ++x) {
    EXPECT_GT(d.At(x, 0, 0), 170) << x;
    EXPECT_LT(d.At(x, 1, 0), 85) << x;
  }

  // The byte order is blue, green, red in the file and red, green, blue in the JPEG.
  spec.width = spec.height = 16;
  d = ConvertAndDecode(
      fixtures::MakeBmp(spec, [](int, int, int c) { return Gray(c == 0 ? 230 : 20); }));
  EXPECT_NEAR(d.At(8, 8, 0), 230, 25);
  EXPECT_NEAR(d.At(8, 8, 1), 20, 25);
  EXPECT_NEAR(d.At(8, 8, 2), 20, 25);
}

TEST_F(BmpToJpegTest, Bmp8PaletteForms) {
  // Palette index i holds a grey of 16 × i; the picture shows index 9 on its left half
  // and 3 on its right half.
  auto grey = [](int i) { return static_cast<uint32_t>((16 * i) * 0x010101); };
  auto pattern = [](int x, int, int) { return Gray(x < 8 ? 9 : 3); };
  struct Case {
    const char* name;
    uint32_t headerSize;
    size_t entries;
    int32_t colorsUsed;
  };
  const Case cases[] = {
      {"40-byte header, colors used 0: 256 entries", 40, 256, 0},
      {"40-byte header, colors used 16: the gap shrinks by 64 bytes", 40, 16, 16},
      {"64-byte header", 64, 16, 16},
      {"12-byte OS/2 header, 3-byte entries", 12, 256, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BmpSpec spec;
    spec.width = spec.height = 16;
    spec.bits = 8;
    spec.headerSize = c.headerSize;
    spec.colorsUsed = c.colorsUsed;
    for (size_t i = 0; i < c.entries; ++i) spec.palette.push_back(grey(static_cast<int>(i)));
    Decoded d = ConvertAndDecode(fixtures::MakeBmp(spec, pattern));
    ASSERT_EQ(d.width, 16);
    EXPECT_NEAR(d.At(2, 8, 1), 144, 12);
    EXPECT_NEAR(d.At(13, 8, 1), 48, 12);
  }
}

TEST_F(BmpToJpegTest, Bmp8IndexBeyondThePaletteIsBlack) {
  BmpSpec spec;
  spec.width = spec.height = 16;
  spec.bits = 8;
  spec.colorsUsed = 2;
  spec.palette = {0xFFFFFF, 0xFFFFFF};
  Decoded d = ConvertAndDecode(
      fixtures::MakeBmp(spec, [](int x, int, int) { return Gray(x < 8 ? 1 : 250); }));
  EXPECT_GT(d.At(2, 8, 0), 220);
  EXPECT_LT(d.At(13, 8, 0), 35);
}

TEST_F(BmpToJpegTest, PixelsPerMetreBecomeDotsPerCentimetre) {
  BmpSpec spec;
  spec.xPerMetre = spec.yPerMetre = 3780;
  Decoded d = ConvertAndDecode(fixtures::MakeBmp(spec, [](int, int, int) { return Gray(100); }));
  EXPECT_EQ(d.densityUnit, 2);
  EXPECT_EQ(d.xDensity, 37);
  EXPECT_EQ(d.yDensity, 37);
}

TEST_F(BmpToJpegTest, NetpbmSamples) {
  struct Case {
    const char* name;
    Bytes file;
    int components;
    int expect;  // the decoded value of every sample
  };
  const Case cases[] = {
      {"PGM at 255 is taken unchanged",
       fixtures::MakePnm('5', 8, 8, 255, std::vector<uint32_t>(64, 77)), 1, 77},
      {"PGM at 15: 15 becomes 255", fixtures::MakePnm('5', 8, 8, 15, std::vector<uint32_t>(64, 15)),
       1, 255},
      {"PGM at 1000: two bytes, high first",
       fixtures::MakePnm('5', 8, 8, 1000, std::vector<uint32_t>(64, 1000)), 1, 255},
      {"a sample above the maximum is the maximum",
       fixtures::MakePnm('5', 8, 8, 15, std::vector<uint32_t>(64, 200)), 1, 255},
      {"PPM with a header comment",
       fixtures::MakePnm('6', 8, 8, 255, std::vector<uint32_t>(192, 40), "# hi\n"), 3, 40},
      {"text PGM with comments", fixtures::AsBytes("P2 # c\n2 # w\n2\n# m\n100\n50 50\n50 50\n"), 1,
       128},
      {"text PPM", fixtures::AsBytes("P3\n1 1\n255\n10 10 10"), 3, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoded d = ConvertAndDecode(c.file);
    ASSERT_EQ(d.components, c.components);
    for (size_t i = 0; i < d.pixels.size(); ++i) {
      ASSERT_NEAR(d.pixels[i], c.expect, 3) << i;
    }
  }
}

TEST_F(BmpToJpegTest, MalformedFilesAreRefusedWithoutBigAllocations) {
  BmpSpec base;
  base.width = base.height = 8;
  const Bytes good = fixtures::MakeBmp(base, [](int, int, int) { return Gray(1); });
  auto patched = [&](size_t at, std::vector<uint8_t> bytes, Bytes from = {}) {
    Bytes b = from.empty() ? good : from;
    for (size_t i = 0; i < bytes.size(); ++i) b[at + i] = bytes[i];
    return b;
  };
  auto le32 = [](uint32_t v) {
    return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  };
  BmpSpec pal;
  pal.width = pal.height = 8;
  pal.bits = 8;
  pal.palette.assign(256, 0x808080);
  const Bytes good8 = fixtures::MakeBmp(pal, [](int, int, int) { return Gray(1); });
  Bytes shortData = good;
  shortData.pop_back();
  Bytes hugeClaim = patched(18, le32(1000));
  hugeClaim = patched(22, le32(1000), hugeClaim);

  struct Case {
    const char* name;
    Bytes file;
  };
  const Case cases[] = {
      {"empty file", {}},
      {"shorter than the file header", Bytes(good.begin(), good.begin() + 13)},
      {"wrong magic", patched(0, {'B', 'X'})},
      {"header size 11", patched(14, le32(11))},
      {"header size 20", patched(14, le32(20))},
      {"header size 65", patched(14, le32(65))},
      {"header size 108", patched(14, le32(108))},
      {"2 planes", patched(26, {2, 0})},
      {"16 bits", patched(28, {16, 0})},
      {"32 bits", patched(28, {32, 0})},
      {"compressed", patched(30, le32(1))},
      {"257 colors", patched(46, le32(257), good8)},
      {"pixel offset inside the header", patched(10, le32(20))},
      {"pixel data one byte short", shortData},
      {"width 0", patched(18, le32(0))},
      {"height 0", patched(22, le32(0))},
      {"height below 0", patched(22, le32(static_cast<uint32_t>(-8)))},
      {"width -1", patched(18, le32(0xFFFFFFFF))},
      {"70000 x 70000", patched(22, le32(70000), patched(18, le32(70000)))},
      {"60000 x 60000", patched(22, le32(60000), patched(18, le32(60000)))},
      {"a size the file does not hold", hugeClaim},
      {"pixel offset at 4 GB", patched(10, le32(0xFFFFFFF0))},
      {"GIF content", fixtures::AsBytes("GIF89a....")},
      {"unknown content", fixtures::AsBytes("hello")},
      {"P1 bitmap", fixtures::AsBytes("P1\n1 1\n1\n")},
      {"P4 bitmap", fixtures::AsBytes("P4\n8 1\n\x01")},
      {"only P", fixtures::AsBytes("P")},
      {"maxval 0", fixtures::AsBytes("P5\n1 1\n0\n\x00")},
      {"maxval 70000", fixtures::AsBytes("P5\n1 1\n70000\n\x00\x00")},
      {"width past the JPEG limit", fixtures::AsBytes("P5\n70000 1\n255\n")},
      {"a number that would wrap", fixtures::AsBytes("P5\n99999999999999999999 1\n255\n")},
      {"header comment running to the end", fixtures::AsBytes("P5\n# 1 1 255")},
      {"PGM whose samples the file does not hold",
       fixtures::AsBytes("P5\n60000 60000\n255\n\x01\x02")},
      {"text PGM whose samples the file does not hold",
       fixtures::AsBytes("P2\n60000 60000\n255\n1 2 3")},
      {"text sample that is no number", fixtures::AsBytes("P2\n2 1\n255\n1 x ")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out = {1, 2, 3};
    EXPECT_EQ(Convert(c.file, &out), 0);
    EXPECT_TRUE(out.empty());
  }
  // The same files convert once the fields are sound.
  Bytes out;
  EXPECT_EQ(Convert(good, &out), 1);
  EXPECT_EQ(Convert(good8, &out), 1);
}

TEST_F(BmpToJpegTest, PixelLimitIsAParameter) {
  BmpSpec spec;
  spec.width = spec.height = 100;
  Bytes bmp = fixtures::MakeBmp(spec, [](int, int, int) { return Gray(9); });
  Bytes pgm = fixtures::MakePnm('5', 100, 100, 255, std::vector<uint32_t>(10000, 9));
  ConvertLimits tight;
  tight.maxPixels = 9999;
  ConvertLimits exact;
  exact.maxPixels = 10000;
  Bytes out;
  EXPECT_EQ(Convert(bmp, &out, tight), 0);
  EXPECT_EQ(Convert(pgm, &out, tight), 0);
  EXPECT_EQ(Convert(bmp, &out, exact), 1);
  EXPECT_EQ(Convert(pgm, &out, exact), 1);
}

TEST_F(BmpToJpegTest, FileFormWritesOnlyWholePictures) {
  BmpSpec spec;
  Bytes good = fixtures::MakeBmp(spec, [](int, int, int) { return Gray(50); });
  Bytes bad = good;
  bad.resize(bad.size() - 5);
  m_tmp.Write("good.bmp", fixtures::AsString(good));
  m_tmp.Write("bad.bmp", fixtures::AsString(bad));

  EXPECT_EQ(ConvertBmpToJpeg(m_tmp.Sub("good.bmp"), m_tmp.Sub("good.jpg")), 1);
  Decoded d = fixtures::DecodeJpeg(fixtures::AsBytes(m_tmp.Read("good.jpg")));
  EXPECT_TRUE(d.ok);
  EXPECT_EQ(d.width, 4);

  // A failed conversion leaves nothing behind, also where a file stood before.
  m_tmp.Write("bad.jpg", "old");
  EXPECT_EQ(ConvertBmpToJpeg(m_tmp.Sub("bad.bmp"), m_tmp.Sub("bad.jpg")), 0);
  EXPECT_FALSE(std::filesystem::exists(m_tmp.Sub("bad.jpg")));
  EXPECT_EQ(ConvertBmpToJpeg(m_tmp.Sub("missing.bmp"), m_tmp.Sub("missing.jpg")), 0);
  EXPECT_FALSE(std::filesystem::exists(m_tmp.Sub("missing.jpg")));
  EXPECT_EQ(ConvertBmpToJpeg(m_tmp.Sub("good.bmp"), m_tmp.Sub("no/such/dir.jpg")), 0);
}

TEST(BmpToJpegSwitchTest, KeywordsAndOptions) {
  EXPECT_TRUE(MatchSwitchKeyword("-outfile", "outfile", 4));
  EXPECT_TRUE(MatchSwitchKeyword("-outf", "outfile", 4));
  EXPECT_TRUE(MatchSwitchKeyword("--OutFile", "outfile", 4));
  EXPECT_FALSE(MatchSwitchKeyword("-out", "outfile", 4));
  EXPECT_FALSE(MatchSwitchKeyword("-outfiles", "outfile", 4));
  EXPECT_FALSE(MatchSwitchKeyword("-outx", "outfile", 4));

  std::string out;
  EXPECT_EQ(ParseConvertSwitches(nullptr, {"-outf", "a.jpg", "in.bmp"}, false, &out), 2);
  EXPECT_EQ(out, "a.jpg");
  EXPECT_EQ(ParseConvertSwitches(nullptr, {"-outfile"}, false, &out), -1);
  EXPECT_EQ(ParseConvertSwitches(nullptr, {"-quality", "9"}, false, &out), -1);
  EXPECT_EQ(ParseConvertSwitches(nullptr, {}, false, &out), 0);
}

}  // namespace
