// MD5 digests from libcrypto, and the sampled file digest that uploads and downloads use
// to recognise a file: the MD5 of the whole file when it is at most 51,200 bytes long,
// otherwise of its first 25,600 bytes followed by its last 25,600 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

// An incremental MD5. Copies carry the digest so far; a context used without Md5Init
// starts empty.
struct Md5Context {
  Md5Context() = default;
  Md5Context(const Md5Context& other);
  Md5Context& operator=(const Md5Context& other);
  Md5Context(Md5Context&& other) noexcept;
  Md5Context& operator=(Md5Context&& other) noexcept;
  ~Md5Context();

  EVP_MD_CTX* evp = nullptr;
  uint8_t digest[16] = {};
  bool finished = false;
};

inline constexpr int64_t kDigestWholeLimit = 51200;  // larger files are sampled
inline constexpr int64_t kDigestSampleLen = 25600;   // from each end

void Md5Init(Md5Context& ctx);
// Adds len bytes. Nothing is added once the context is finished.
void Md5Update(Md5Context& ctx, const uint8_t* data, size_t len);
// Stores the result in ctx.digest. Only the first call finishes; later calls leave the
// result alone.
void Md5Final(Md5Context& ctx);
// Adds everything that can still be read from the stream, in pieces of 1,024 bytes.
void Md5UpdateStream(Md5Context& ctx, FILE* stream);
// 16 bytes as 32 lowercase hexadecimal characters.
std::string HexDigest(const uint8_t digest[16]);
// Finishes the context (once) and gives its text form.
std::string Md5HexDigest(Md5Context& ctx);
// The 16 bytes of a 32-character text form (either case). False for any other text.
bool ParseHexDigest(const std::string& text, uint8_t out[16]);

// The sampled digest of a file, finished. A path that cannot be opened, or is not a
// regular file, gives the MD5 of no data.
Md5Context GetFileDigest(const std::string& path);
// The sampled digest of the first size bytes of an open file, read with pread (the
// file position is not used). A read that fails or ends early leaves out what is
// missing; false then.
bool GetFdDigest(int fd, int64_t size, Md5Context& out);

// The MD5 of a whole file as 32 lowercase hexadecimal characters; none when it cannot
// be read.
std::optional<std::string> FileMd5Hex(const std::string& path);
