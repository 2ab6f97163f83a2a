#include "platform/md5.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

// libcrypto set up and MD5 fetched once. The first call comes from a static initialiser,
// so libcrypto's own per-thread state of its set-up belongs to the main thread, which it
// frees at exit, and no digest pays for an implicit fetch.
const EVP_MD* Md5Algorithm() {
  static EVP_MD* const md = [] {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
    return EVP_MD_fetch(nullptr, "MD5", nullptr);
  }();
  return md != nullptr ? md : EVP_md5();
}

[[maybe_unused]] const EVP_MD* const g_md5AtStart = Md5Algorithm();

}  // namespace

Md5Context::Md5Context(const Md5Context& other) { *this = other; }

Md5Context& Md5Context::operator=(const Md5Context& other) {
  if (this == &other) return *this;
  if (other.evp != nullptr) {
    if (evp == nullptr) evp = EVP_MD_CTX_new();
    if (evp != nullptr && EVP_MD_CTX_copy_ex(evp, other.evp) != 1) {
      EVP_MD_CTX_free(evp);
      evp = nullptr;
    }
  } else {
    EVP_MD_CTX_free(evp);
    evp = nullptr;
  }
  std::memcpy(digest, other.digest, sizeof digest);
  finished = other.finished;
  return *this;
}

Md5Context::Md5Context(Md5Context&& other) noexcept { *this = std::move(other); }

Md5Context& Md5Context::operator=(Md5Context&& other) noexcept {
  if (this == &other) return *this;
  EVP_MD_CTX_free(evp);
  evp = other.evp;
  other.evp = nullptr;
  std::memcpy(digest, other.digest, sizeof digest);
  finished = other.finished;
  return *this;
}

Md5Context::~Md5Context() { EVP_MD_CTX_free(evp); }

void Md5Init(Md5Context& ctx) {
  if (ctx.evp == nullptr) ctx.evp = EVP_MD_CTX_new();
  // Without a context (out of memory) the digest stays all zeros.
  if (ctx.evp != nullptr) EVP_DigestInit_ex(ctx.evp, Md5Algorithm(), nullptr);
  std::memset(ctx.digest, 0, sizeof ctx.digest);
  ctx.finished = false;
}

void Md5Update(Md5Context& ctx, const uint8_t* data, size_t len) {
  if (len == 0 || ctx.finished) return;
  if (ctx.evp == nullptr) Md5Init(ctx);
  if (ctx.evp != nullptr) EVP_DigestUpdate(ctx.evp, data, len);
}

void Md5Final(Md5Context& ctx) {
  if (ctx.finished) return;
  if (ctx.evp == nullptr) Md5Init(ctx);
  unsigned len = 0;
  if (ctx.evp != nullptr) EVP_DigestFinal_ex(ctx.evp, ctx.digest, &len);
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

std::optional<std::string> FileMd5Hex(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Md5Context ctx;
  Md5Init(ctx);
  if (ctx.evp == nullptr) return std::nullopt;
  char buf[65536];
  while (in) {
    in.read(buf, sizeof buf);
    if (in.gcount() > 0) {
      Md5Update(ctx, reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(in.gcount()));
    }
  }
  if (in.bad()) return std::nullopt;
  return Md5HexDigest(ctx);
}
