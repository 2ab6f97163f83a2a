#include "device/upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/md5.h"
#include "comm/opcodes.h"

namespace device {

namespace {

constexpr size_t kRequestSize = 380;
constexpr size_t kPathField = 25;
constexpr size_t kDataHead = 12;  // unread bytes in front of the data

bool Fail(UploadError* error, Failure failure, std::string text, int code = 0) {
  if (error != nullptr) *error = UploadError{failure, std::move(text), code};
  return false;
}

// Fails with the client's own account of what went wrong.
bool FailFrom(UploadError* error, const DeviceClient& client) {
  return Fail(error, client.LastFailure(), client.LastError(), client.LastCode());
}

class Fd {
 public:
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

bool PreadAll(int fd, char* out, size_t len, off_t pos) {
  while (len > 0) {
    ssize_t n = ::pread(fd, out, len, pos);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    len -= static_cast<size_t>(n);
    pos += n;
  }
  return true;
}

}  // namespace

std::string Human(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int u = 0;
  while (bytes >= 1024 && u < 3) {
    bytes /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
  return buf;
}

std::string UploadTargetPath(const std::string& folder, const std::string& local) {
  size_t cut = local.find_last_of('/');
  std::string name = cut == std::string::npos ? local : local.substr(cut + 1);
  if (folder.empty() || folder.back() == '/' || folder.back() == '\\') return folder + name;
  return folder + "/" + name;
}

bool UploadFile(DeviceClient& client, uint32_t seq, const std::string& local,
                const std::string& remote, const UploadOptions& options, UploadResult& result,
                UploadError* error) {
  result = UploadResult{};
  result.remote = remote;
  if (options.chunk == 0 || options.chunk > kMaxUploadChunk) {
    return Fail(error, Failure::Local, "a message carries 1 to 65515 data bytes");
  }
  if (remote.size() >= kRequestSize - kPathField) {
    return Fail(error, Failure::Local, "remote path too long: " + remote);
  }
  Fd fd(::open(local.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Fail(error, Failure::Local, "cannot read " + local + ": " + std::strerror(errno));
  }
  if (st.st_size > static_cast<off_t>(UINT32_MAX)) {
    return Fail(error, Failure::Local, local + " is too large: sizes are 32-bit");
  }
  result.size = static_cast<uint32_t>(st.st_size);
  Md5Context digest;
  if (!GetFdDigest(fd.get(), st.st_size, digest)) {
    return Fail(error, Failure::Local, "cannot read " + local + ": " + std::strerror(errno));
  }

  std::string rec(kRequestSize, '\0');
  auto* r = reinterpret_cast<uint8_t*>(rec.data());
  wire::PutU32(r, result.size);
  std::memcpy(r + 8, digest.digest, sizeof digest.digest);
  rec.replace(kPathField, remote.size(), remote);
  if (!client.Send(OP_REQ_UP_LOAD_FILE, seq, rec)) return FailFrom(error, client);
  Message m;
  // The end of an earlier upload of this device's (taken over by this one, say) may come
  // first.
  do {
    if (!client.Recv(m)) return FailFrom(error, client);
  } while (m.head.opcode == OP_UP_LOAD_ERROR && m.head.seq != seq);
  const auto* b = reinterpret_cast<const uint8_t*>(m.body.data());
  if (m.head.opcode == OP_UP_LOAD_ERROR && m.head.seq == seq && m.body.size() >= 2) {
    int code = wire::GetU16(b);
    return Fail(error, Failure::Refused,
                "the service refused the upload to " + remote + " (code " + std::to_string(code) +
                    ")",
                code);
  }
  if (m.head.opcode != OP_UP_LOAD_ALLOW || m.head.seq != seq || m.body.size() != 4) {
    return Fail(error, Failure::Protocol, "unexpected answer to the upload request");
  }
  result.offset = wire::GetU32(b);
  if (result.offset > result.size) {
    return Fail(error, Failure::Protocol, "the service asked for offset " +
                                              std::to_string(result.offset) + " of a " +
                                              std::to_string(result.size) + "-byte file");
  }

  const uint64_t total = result.size - result.offset;
  std::string body(kDataHead + options.chunk, '\0');
  uint64_t nextReport = 0;
  for (off_t pos = result.offset; pos < static_cast<off_t>(result.size);) {
    if (options.stopAfter != 0 && result.sent >= options.stopAfter) {
      client.Close();
      result.stopped = true;
      return true;
    }
    size_t n = std::min<size_t>(options.chunk, static_cast<size_t>(result.size - pos));
    if (options.stopAfter != 0) {
      n = static_cast<size_t>(std::min<uint64_t>(n, options.stopAfter - result.sent));
    }
    body.resize(kDataHead + n);
    if (!PreadAll(fd.get(), body.data() + kDataHead, n, pos)) {
      client.Close();
      return Fail(error, Failure::Local, "cannot read " + local + ": " + std::strerror(errno));
    }
    if (!client.Send(OP_UP_LOAD_FILE, seq, body)) return FailFrom(error, client);
    pos += static_cast<off_t>(n);
    result.sent += n;
    if (options.progress && result.sent >= nextReport) {
      options.progress(result.sent, total);
      nextReport = result.sent + (1u << 20);
    }
  }
  if (options.progress) options.progress(result.sent, total);
  if (!client.Send(OP_OVER_UP_LOAD_FILE, seq, std::string(1, '\0'))) {
    return FailFrom(error, client);
  }
  if (options.confirm) {
    // The service's word on this upload, if it ended it (another device took it over, its
    // file was removed, the disk is full), comes before the share list's answer.
    if (!client.Send(OP_GET_SHARE_INFO, 1, "")) return FailFrom(error, client);
    for (;;) {
      if (!client.Recv(m)) return FailFrom(error, client);
      if (m.head.opcode == OP_GET_SHARE_INFO) break;
      if (m.head.opcode == OP_UP_LOAD_ERROR && m.head.seq == seq && m.body.size() >= 2) {
        int code = wire::GetU16(reinterpret_cast<const uint8_t*>(m.body.data()));
        return Fail(error, Failure::Refused,
                    "the service ended the upload to " + remote + " (code " +
                        std::to_string(code) + "); announce it again to resume",
                    code);
      }
    }
  }
  return true;
}

bool RunPut(DeviceClient& client, uint32_t seq, const std::string& local,
            const std::string& folder, UploadOptions options, bool quiet, bool showProgress,
            UploadError* error) {
  const std::string remote = UploadTargetPath(folder, local);
  auto started = std::chrono::steady_clock::now();
  auto rate = [started](uint64_t bytes) {
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return Human(secs > 0 ? static_cast<double>(bytes) / secs : 0);
  };
  if (showProgress) {
    options.progress = [&rate](uint64_t done, uint64_t total) {
      double pct = total == 0 ? 100.0 : 100.0 * static_cast<double>(done) / static_cast<double>(total);
      std::fprintf(stderr, "\r%s / %s  %3.0f%%  %s/s   ", Human(static_cast<double>(done)).c_str(),
                   Human(static_cast<double>(total)).c_str(), pct, rate(done).c_str());
    };
  }
  UploadResult result;
  bool ok = UploadFile(client, seq, local, remote, options, result, error);
  if (showProgress) std::fputc('\n', stderr);
  if (!ok) return false;
  if (result.stopped) {
    std::printf("stopped after %llu bytes of %s; put it again to resume\n",
                static_cast<unsigned long long>(result.sent), local.c_str());
    return true;
  }
  if (!quiet) {
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s: %llu bytes from offset %u to %s in %.2f s (%s/s)\n", local.c_str(),
                static_cast<unsigned long long>(result.sent), result.offset, remote.c_str(), secs,
                rate(result.sent).c_str());
  }
  return true;
}

}  // namespace device
