#include "platform/md5.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "support/temp_dir.h"

namespace {

constexpr const char* kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

std::string Md5Of(const std::string& data) {
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, reinterpret_cast<const uint8_t*>(data.data()), data.size());
  return Md5HexDigest(ctx);
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::string FileDigest(const std::string& path) {
  Md5Context ctx = GetFileDigest(path);
  return Md5HexDigest(ctx);
}

TEST(Md5, Rfc1321Vectors) {
  const std::pair<const char*, const char*> kVectors[] = {
      {"", kEmptyMd5},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [text, md5] : kVectors) EXPECT_EQ(Md5Of(text), md5) << '"' << text << '"';
}

TEST(Md5, PiecesOfAnySizeGiveTheSameDigest) {
  // Lengths around the 56- and 64-byte padding boundaries, fed in uneven pieces.
  for (size_t len : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000u, 4099u}) {
    std::string data = RandomBytes(len, static_cast<unsigned>(len));
    Md5Context ctx;
    Md5Init(ctx);
    for (size_t at = 0, step = 1; at < len; at += step, step = step * 2 + 1) {
      size_t n = std::min(step, len - at);
      Md5Update(ctx, reinterpret_cast<const uint8_t*>(data.data() + at), n);
    }
    EXPECT_EQ(Md5HexDigest(ctx), Md5Of(data)) << len;
  }
}

TEST(Md5, FinishingTwiceDoesNotPadAgain) {
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, reinterpret_cast<const uint8_t*>("abc"), 3);
  EXPECT_EQ(Md5HexDigest(ctx), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5HexDigest(ctx), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, TextFormIsLowercaseAndParsesInEitherCase) {
  uint8_t bytes[16] = {0xAB, 0x01, 0xFF};
  std::string text = HexDigest(bytes);
  EXPECT_EQ(text.substr(0, 6), "ab01ff");
  EXPECT_EQ(text.size(), 32u);
  uint8_t back[16];
  ASSERT_TRUE(ParseHexDigest("AB01FF00000000000000000000000000", back));
  EXPECT_EQ(HexDigest(back), text);
  EXPECT_FALSE(ParseHexDigest("ab01", back));
  EXPECT_FALSE(ParseHexDigest("zz01ff00000000000000000000000000", back));
}

TEST(Md5, StreamIsReadToItsEnd) {
  support::TempDir dir;
  std::string data = RandomBytes(5000, 3);
  dir.Write("f", data);
  FILE* f = std::fopen(dir.Sub("f").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  Md5Context ctx;
  Md5Init(ctx);
  Md5UpdateStream(ctx, f);
  std::fclose(f);
  EXPECT_EQ(Md5HexDigest(ctx), Md5Of(data));
}

class FileDigestTest : public ::testing::Test {
 protected:
  support::TempDir m_dir;
};

TEST_F(FileDigestTest, WholeUpTo51200BytesThenBothEnds) {
  std::string small = RandomBytes(51200, 1);
  m_dir.Write("small", small);
  EXPECT_EQ(FileDigest(m_dir.Sub("small")), Md5Of(small));

  std::string big = RandomBytes(51201, 2);
  m_dir.Write("big", big);
  // Byte 25,600 lies between the two samples.
  EXPECT_EQ(FileDigest(m_dir.Sub("big")), Md5Of(big.substr(0, 25600) + big.substr(25601)));
  big[25600] ^= 0x55;
  m_dir.Write("big2", big);
  EXPECT_EQ(FileDigest(m_dir.Sub("big2")), FileDigest(m_dir.Sub("big")));
  big[25599] ^= 0x55;
  m_dir.Write("big3", big);
  EXPECT_NE(FileDigest(m_dir.Sub("big3")), FileDigest(m_dir.Sub("big")));
}

TEST_F(FileDigestTest, MiddleOfALargeFileIsNotCovered) {
  std::string a = RandomBytes(1 << 20, 4);
  std::string b = a;
  for (size_t i = 100000; i < 900000; ++i) b[i] = static_cast<char>(~b[i]);
  m_dir.Write("a", a);
  m_dir.Write("b", b);
  EXPECT_EQ(FileDigest(m_dir.Sub("a")), FileDigest(m_dir.Sub("b")));
}

TEST_F(FileDigestTest, EmptyMissingAndSpecialFilesGiveTheDigestOfNoData) {
  m_dir.Write("empty", "");
  m_dir.MakeDir("folder");
  ASSERT_EQ(::mkfifo(m_dir.Sub("fifo").c_str(), 0600), 0);
  for (const char* name : {"empty", "missing", "folder", "fifo"}) {
    EXPECT_EQ(FileDigest(m_dir.Sub(name)), kEmptyMd5) << name;  // the FIFO must not block
  }
}

TEST_F(FileDigestTest, ReadOnlyFileGivesTheSameDigest) {
  std::string data = RandomBytes(10000, 5);
  m_dir.Write("rw", data);
  m_dir.Write("ro", data);
  ASSERT_EQ(::chmod(m_dir.Sub("ro").c_str(), 0400), 0);
  EXPECT_EQ(FileDigest(m_dir.Sub("ro")), FileDigest(m_dir.Sub("rw")));
  EXPECT_EQ(FileDigest(m_dir.Sub("ro")), Md5Of(data));
}

TEST_F(FileDigestTest, SparseFileBeyond2GiBIsSampledAt64Bits) {
  const int64_t size = 5LL << 29;  // 2.5 GiB, almost all of it a hole
  std::string head = RandomBytes(25600, 6);
  std::string tail = RandomBytes(25600, 7);
  int fd = ::open(m_dir.Sub("sparse").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), 25600);
  ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), size - 25600), 25600);
  ::close(fd);
  EXPECT_EQ(FileDigest(m_dir.Sub("sparse")), Md5Of(head + tail));

  // The descriptor form reads exactly the size it is given.
  fd = ::open(m_dir.Sub("sparse").c_str(), O_RDONLY);
  Md5Context ctx;
  EXPECT_TRUE(GetFdDigest(fd, size, ctx));
  EXPECT_EQ(HexDigest(ctx.digest), Md5Of(head + tail));
  // A size beyond the file's end: the missing bytes count as zeros and the read is
  // reported as incomplete.
  EXPECT_FALSE(GetFdDigest(fd, size + 10, ctx));
  ::close(fd);
}

}  // namespace
