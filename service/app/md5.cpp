#include "app/md5.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint8_t kPadding[64] = {0x80};

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// One step: a = b + ((a + f(b,c,d) + x + t) <<< s).
template <uint32_t (*Fn)(uint32_t, uint32_t, uint32_t)>
inline void Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t t) {
  a = b + Rotl(a + Fn(b, c, d) + x + t, s);
}

// The block as sixteen little-endian 32-bit words.
void Md5Decode(uint32_t out[16], const uint8_t in[64]) {
  for (int i = 0; i < 16; ++i) {
    out[i] = static_cast<uint32_t>(in[4 * i]) | (static_cast<uint32_t>(in[4 * i + 1]) << 8) |
             (static_cast<uint32_t>(in[4 * i + 2]) << 16) |
             (static_cast<uint32_t>(in[4 * i + 3]) << 24);
  }
}

void Md5Encode(uint8_t* out, const uint32_t* in, size_t words) {
  for (size_t i = 0; i < words; ++i) {
    out[4 * i] = static_cast<uint8_t>(in[i]);
    out[4 * i + 1] = static_cast<uint8_t>(in[i] >> 8);
    out[4 * i + 2] = static_cast<uint8_t>(in[i] >> 16);
    out[4 * i + 3] = static_cast<uint8_t>(in[i] >> 24);
  }
}

// pread until len bytes or the end of the file; the bytes read, or -1 on an error.
ssize_t PreadAll(int fd, uint8_t* buf, size_t len, off_t at) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pread(fd, buf + done, len - done, at + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

void Md5Init(Md5Context& ctx) {
  ctx.state[0] = 0x67452301;
  ctx.state[1] = 0xefcdab89;
  ctx.state[2] = 0x98badcfe;
  ctx.state[3] = 0x10325476;
  ctx.count[0] = ctx.count[1] = 0;
  std::memset(ctx.buffer, 0, sizeof ctx.buffer);
  std::memset(ctx.digest, 0, sizeof ctx.digest);
  ctx.finished = false;
}

void Md5Transform(uint32_t state[4], const uint8_t block[64]) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t x[16];
  Md5Decode(x, block);

  Step<F>(a, b, c, d, x[0], 7, 0xd76aa478);
  Step<F>(d, a, b, c, x[1], 12, 0xe8c7b756);
  Step<F>(c, d, a, b, x[2], 17, 0x242070db);
  Step<F>(b, c, d, a, x[3], 22, 0xc1bdceee);
  Step<F>(a, b, c, d, x[4], 7, 0xf57c0faf);
  Step<F>(d, a, b, c, x[5], 12, 0x4787c62a);
  Step<F>(c, d, a, b, x[6], 17, 0xa8304613);
  Step<F>(b, c, d, a, x[7], 22, 0xfd469501);
  Step<F>(a, b, c, d, x[8], 7, 0x698098d8);
  Step<F>(d, a, b, c, x[9], 12, 0x8b44f7af);
  Step<F>(c, d, a, b, x[10], 17, 0xffff5bb1);
  Step<F>(b, c, d, a, x[11], 22, 0x895cd7be);
  Step<F>(a, b, c, d, x[12], 7, 0x6b901122);
  Step<F>(d, a, b, c, x[13], 12, 0xfd987193);
  Step<F>(c, d, a, b, x[14], 17, 0xa679438e);
  Step<F>(b, c, d, a, x[15], 22, 0x49b40821);

  Step<G>(a, b, c, d, x[1], 5, 0xf61e2562);
  Step<G>(d, a, b, c, x[6], 9, 0xc040b340);
  Step<G>(c, d, a, b, x[11], 14, 0x265e5a51);
  Step<G>(b, c, d, a, x[0], 20, 0xe9b6c7aa);
  Step<G>(a, b, c, d, x[5], 5, 0xd62f105d);
  Step<G>(d, a, b, c, x[10], 9, 0x02441453);
  Step<G>(c, d, a, b, x[15], 14, 0xd8a1e681);
  Step<G>(b, c, d, a, x[4], 20, 0xe7d3fbc8);
  Step<G>(a, b, c, d, x[9], 5, 0x21e1cde6);
  Step<G>(d, a, b, c, x[14], 9, 0xc33707d6);
  Step<G>(c, d, a, b, x[3], 14, 0xf4d50d87);
  Step<G>(b, c, d, a, x[8], 20, 0x455a14ed);
  Step<G>(a, b, c, d, x[13], 5, 0xa9e3e905);
  Step<G>(d, a, b, c, x[2], 9, 0xfcefa3f8);
  Step<G>(c, d, a, b, x[7], 14, 0x676f02d9);
  Step<G>(b, c, d, a, x[12], 20, 0x8d2a4c8a);

  Step<H>(a, b, c, d, x[5], 4, 0xfffa3942);
  Step<H>(d, a, b, c, x[8], 11, 0x8771f681);
  Step<H>(c, d, a, b, x[11], 16, 0x6d9d6122);
  Step<H>(b, c, d, a, x[14], 23, 0xfde5380c);
  Step<H>(a, b, c, d, x[1], 4, 0xa4beea44);
  Step<H>(d, a, b, c, x[4], 11, 0x4bdecfa9);
  Step<H>(c, d, a, b, x[7], 16, 0xf6bb4b60);
  Step<H>(b, c, d, a, x[10], 23, 0xbebfbc70);
  Step<H>(a, b, c, d, x[13], 4, 0x289b7ec6);
  Step<H>(d, a, b, c, x[0], 11, 0xeaa127fa);
  Step<H>(c, d, a, b, x[3], 16, 0xd4ef3085);
  Step<H>(b, c, d, a, x[6], 23, 0x04881d05);
  Step<H>(a, b, c, d, x[9], 4, 0xd9d4d039);
  Step<H>(d, a, b, c, x[12], 11, 0xe6db99e5);
  Step<H>(c, d, a, b, x[15], 16, 0x1fa27cf8);
  Step<H>(b, c, d, a, x[2], 23, 0xc4ac5665);

  Step<I>(a, b, c, d, x[0], 6, 0xf4292244);
  Step<I>(d, a, b, c, x[7], 10, 0x432aff97);
  Step<I>(c, d, a, b, x[14], 15, 0xab9423a7);
  Step<I>(b, c, d, a, x[5], 21, 0xfc93a039);
  Step<I>(a, b, c, d, x[12], 6, 0x655b59c3);
  Step<I>(d, a, b, c, x[3], 10, 0x8f0ccc92);
  Step<I>(c, d, a, b, x[10], 15, 0xffeff47d);
  Step<I>(b, c, d, a, x[1], 21, 0x85845dd1);
  Step<I>(a, b, c, d, x[8], 6, 0x6fa87e4f);
  Step<I>(d, a, b, c, x[15], 10, 0xfe2ce6e0);
  Step<I>(c, d, a, b, x[6], 15, 0xa3014314);
  Step<I>(b, c, d, a, x[13], 21, 0x4e0811a1);
  Step<I>(a, b, c, d, x[4], 6, 0xf7537e82);
  Step<I>(d, a, b, c, x[11], 10, 0xbd3af235);
  Step<I>(c, d, a, b, x[2], 15, 0x2ad7d2bb);
  Step<I>(b, c, d, a, x[9], 21, 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void Md5Update(Md5Context& ctx, const uint8_t* data, size_t len) {
  if (len == 0) return;
  size_t index = (ctx.count[0] >> 3) & 0x3F;
  uint64_t bits = (static_cast<uint64_t>(ctx.count[1]) << 32 | ctx.count[0]) +
                  (static_cast<uint64_t>(len) << 3);
  ctx.count[0] = static_cast<uint32_t>(bits);
  ctx.count[1] = static_cast<uint32_t>(bits >> 32);

  size_t room = 64 - index;
  size_t i = 0;
  if (len >= room) {
    std::memcpy(ctx.buffer + index, data, room);
    Md5Transform(ctx.state, ctx.buffer);
    for (i = room; i + 63 < len; i += 64) Md5Transform(ctx.state, data + i);
    index = 0;
  }
  std::memcpy(ctx.buffer + index, data + i, len - i);
}

void Md5Final(Md5Context& ctx) {
  if (ctx.finished) return;
  uint8_t bits[8];
  Md5Encode(bits, ctx.count, 2);
  size_t index = (ctx.count[0] >> 3) & 0x3F;
  size_t padLen = index < 56 ? 56 - index : 120 - index;
  Md5Update(ctx, kPadding, padLen);
  Md5Update(ctx, bits, 8);
  Md5Encode(ctx.digest, ctx.state, 4);
  ctx.finished = true;
}

void Md5UpdateStream(Md5Context& ctx, FILE* stream) {
  uint8_t piece[1024];
  for (;;) {
    size_t n = std::fread(piece, 1, sizeof piece, stream);
    if (n > 0) Md5Update(ctx, piece, n);
    if (n < sizeof piece) break;
  }
}

std::string HexDigest(const uint8_t digest[16]) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(32, '0');
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  return text;
}

std::string Md5HexDigest(Md5Context& ctx) {
  Md5Final(ctx);
  return HexDigest(ctx.digest);
}

bool ParseHexDigest(const std::string& text, uint8_t out[16]) {
  if (text.size() != 32) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) {
    int hi = nibble(text[2 * i]);
    int lo = nibble(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  std::memcpy(out, bytes, sizeof bytes);
  return true;
}

bool GetFdDigest(int fd, int64_t size, Md5Context& out) {
  Md5Init(out);
  bool complete = true;
  if (size > kDigestWholeLimit) {
    uint8_t sample[2 * kDigestSampleLen] = {};
    ssize_t head = PreadAll(fd, sample, kDigestSampleLen, 0);
    ssize_t tail = PreadAll(fd, sample + kDigestSampleLen, kDigestSampleLen,
                            static_cast<off_t>(size - kDigestSampleLen));
    complete = head == kDigestSampleLen && tail == kDigestSampleLen;
    // The buffer was zeroed, so a short read digests zeros in place of what is missing.
    Md5Update(out, sample, sizeof sample);
  } else {
    uint8_t piece[1024];
    int64_t at = 0;
    while (at < size) {
      size_t want = static_cast<size_t>(std::min<int64_t>(sizeof piece, size - at));
      ssize_t n = PreadAll(fd, piece, want, static_cast<off_t>(at));
      if (n > 0) Md5Update(out, piece, static_cast<size_t>(n));
      if (n != static_cast<ssize_t>(want)) {
        complete = false;
        break;
      }
      at += n;
    }
  }
  Md5Final(out);
  return complete;
}

Md5Context GetFileDigest(const std::string& path) {
  Md5Context ctx;
  Md5Init(ctx);
  // Non-blocking, so that a FIFO cannot hold the caller; only regular files are read.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Md5Final(ctx);
    return ctx;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    GetFdDigest(fd, static_cast<int64_t>(st.st_size), ctx);
  } else {
    Md5Final(ctx);
  }
  ::close(fd);
  return ctx;
}
