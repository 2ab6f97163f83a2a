#include "device/thumbnail.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "comm/opcodes.h"
#include "comm/wire.h"

namespace device {

namespace {

constexpr size_t kRequestSize = 360;  // u16 width, u16 height, 256-byte path, 100 unused
constexpr size_t kPathField = 256;
constexpr size_t kDataHead = 16;  // MsgHead, u32 total, u32 offset
constexpr size_t kChunkMax = 1000;
constexpr size_t kStatusBody = 4;  // u16 status, u16 0

bool Fail(ThumbnailError* error, Failure f, std::string text) {
  if (error != nullptr) {
    error->failure = f;
    error->text = std::move(text);
  }
  return false;
}

bool WriteWhole(const std::string& path, const std::vector<uint8_t>& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && done == data.size();
}

}  // namespace

bool FetchThumbnail(DeviceClient& client, uint32_t seq, const std::string& remote, uint16_t width,
                    uint16_t height, ThumbnailResult& out, ThumbnailError* error) {
  out = ThumbnailResult{};
  if (remote.size() >= kPathField || remote.find('\0') != std::string::npos) {
    return Fail(error, Failure::Local, "the path does not fit the request's 255 bytes");
  }
  std::string record(kRequestSize, '\0');
  auto* p = reinterpret_cast<uint8_t*>(record.data());
  wire::PutU16(p, width);
  wire::PutU16(p + 2, height);
  std::memcpy(p + 4, remote.data(), remote.size());
  if (!client.Send(OP_REQ_DOWNLOAD_THUMB_NIAL, seq, record)) {
    return Fail(error, client.LastFailure(), client.LastError());
  }

  uint32_t total = 0;
  for (;;) {
    Message m;
    if (!client.Recv(m)) return Fail(error, client.LastFailure(), client.LastError());
    if (m.head.seq != seq) {
      return Fail(error, Failure::Protocol,
                  "answer for request " + std::to_string(m.head.seq) + " in the middle of " +
                      std::to_string(seq));
    }
    const auto* b = reinterpret_cast<const uint8_t*>(m.body.data());
    if (m.head.opcode == OP_THUMB_STATUS) {
      if (m.body.size() != kStatusBody) return Fail(error, Failure::Protocol, "bad status message");
      uint16_t status = wire::GetU16(b);
      if (status != 0) {
        out = ThumbnailResult{};
        return Fail(error, Failure::Refused, "the service could not make the thumbnail");
      }
      if (out.jpeg.size() != total || out.jpeg.empty()) {
        return Fail(error, Failure::Protocol,
                    "status 0 after " + std::to_string(out.jpeg.size()) + " of " +
                        std::to_string(total) + " bytes");
      }
      return true;
    }
    if (m.head.opcode != OP_REQ_DOWNLOAD_THUMB_NIAL || m.body.size() < kDataHead - MsgHead::kSize) {
      return Fail(error, Failure::Protocol, "unexpected message " + std::to_string(m.head.opcode));
    }
    size_t n = m.body.size() - (kDataHead - MsgHead::kSize);
    uint32_t chunkTotal = wire::GetU32(b);
    uint32_t offset = wire::GetU32(b + 4);
    if (out.chunks == 0) {
      total = chunkTotal;
      if (total == 0 || total > kMaxThumbnailBytes) {
        return Fail(error, Failure::Protocol, "thumbnail of " + std::to_string(total) + " bytes");
      }
      out.jpeg.reserve(total);
    }
    if (chunkTotal != total || offset != out.jpeg.size() || n < 1 || n > kChunkMax ||
        out.jpeg.size() + n > total) {
      return Fail(error, Failure::Protocol,
                  "chunk at offset " + std::to_string(offset) + " of " + std::to_string(n) +
                      " bytes does not follow the " + std::to_string(out.jpeg.size()) +
                      " bytes received");
    }
    out.jpeg.insert(out.jpeg.end(), b + 8, b + 8 + n);
    ++out.chunks;
  }
}

bool FetchThumbnailToFile(DeviceClient& client, uint32_t seq, const std::string& remote,
                          uint16_t width, uint16_t height, const std::string& local,
                          ThumbnailResult& out, ThumbnailError* error) {
  if (!FetchThumbnail(client, seq, remote, width, height, out, error)) return false;
  std::string partial = local + ".part";
  if (!WriteWhole(partial, out.jpeg) || std::rename(partial.c_str(), local.c_str()) != 0) {
    int err = errno;
    ::unlink(partial.c_str());
    return Fail(error, Failure::Local, "cannot write " + local + ": " + std::strerror(err));
  }
  return true;
}

}  // namespace device
