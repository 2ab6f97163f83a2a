#include "device/device_client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/md5.h"
#include "comm/opcodes.h"

namespace device {

namespace {

constexpr size_t kRequestRecordSize = 356;  // one unused byte, the path, its zero
constexpr size_t kListingHead = 20;
constexpr size_t kListingErrorSize = 368;
constexpr uint32_t kPackageData = 1000;
// A listing longer than its 16-bit length field says arrives in further 64 KiB steps;
// this many at most.
constexpr int kMaxListingWraps = 1024;

std::string RequestRecord(const std::string& path) {
  std::string rec(kRequestRecordSize, '\0');
  rec.replace(1, path.size(), path);
  return rec;
}

// CR LF pairs in text.
size_t CountLineEnds(const std::string& text) {
  size_t n = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) {
    ++n;
  }
  return n;
}

// A listing text is whole when it holds count lines and the final CR LF.
bool ListingComplete(const std::string& text, uint32_t count) {
  if (text.empty()) return count == 0;  // the service could not convert its text
  return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0 &&
         CountLineEnds(text) == static_cast<size_t>(count) + 1;
}

// Writes file data in large pieces.
class LocalWriter {
 public:
  explicit LocalWriter(int fd) : m_fd(fd) { m_buf.reserve(kFlushAt); }
  bool Add(const uint8_t* p, size_t n) {
    m_buf.append(reinterpret_cast<const char*>(p), n);
    return m_buf.size() < kFlushAt || Flush();
  }
  bool Flush() {
    size_t done = 0;
    while (done < m_buf.size()) {
      ssize_t n = ::write(m_fd, m_buf.data() + done, m_buf.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    m_buf.clear();
    return true;
  }

 private:
  static constexpr size_t kFlushAt = 1 << 20;
  int m_fd;
  std::string m_buf;
};

}  // namespace

DeviceClient::DeviceClient(std::unique_ptr<Transport> transport)
    : m_transport(std::move(transport)) {}

bool DeviceClient::Fail(Failure f, std::string text, int code) {
  m_failure = f;
  m_error = std::move(text);
  m_code = code;
  return false;
}

bool DeviceClient::RecvExact(void* out, size_t len) {
  switch (m_transport->RecvAll(out, len, m_timeoutMs)) {
    case IoResult::Ok:
      return true;
    case IoResult::TimedOut:
      return Fail(Failure::Transport, "no answer from the service within " +
                                          std::to_string(m_timeoutMs) + " ms");
    case IoResult::Closed:
      return Fail(Failure::Transport, "the service closed the connection");
    case IoResult::Error:
      break;
  }
  return Fail(Failure::Transport, std::string("receive failed: ") + std::strerror(errno));
}

bool DeviceClient::Send(uint16_t opcode, uint32_t seq, const std::string& body) {
  if (body.size() > 0xFFFF - MsgHead::kSize) return Fail(Failure::Local, "message too long");
  std::string frame(MsgHead::kSize, '\0');
  MsgHead{static_cast<uint16_t>(MsgHead::kSize + body.size()), opcode, seq}.Encode(
      reinterpret_cast<uint8_t*>(frame.data()));
  frame += body;
  if (!m_transport->SendAll(frame.data(), frame.size())) {
    return Fail(Failure::Transport, "the connection to the service is gone");
  }
  return true;
}

bool DeviceClient::Recv(Message& out) {
  uint8_t raw[MsgHead::kSize];
  if (!RecvExact(raw, sizeof raw)) return false;
  out.head = MsgHead::Decode(raw);
  out.body.assign(out.head.length > MsgHead::kSize ? out.head.length - MsgHead::kSize : 0, '\0');
  return out.body.empty() || RecvExact(out.body.data(), out.body.size());
}

bool DeviceClient::GetShares(std::vector<std::string>& out) {
  out.clear();
  if (!Send(OP_GET_SHARE_INFO, 1, "")) return false;
  Message m;
  if (!Recv(m)) return false;
  if (m.head.opcode != OP_GET_SHARE_INFO || m.body.size() < kListingHead - MsgHead::kSize) {
    return Fail(Failure::Protocol, "unexpected answer to the share list request");
  }
  std::string text = m.body.substr(kListingHead - MsgHead::kSize);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  uint16_t count = wire::GetU16(reinterpret_cast<const uint8_t*>(m.body.data()));
  if (count != out.size() && !text.empty()) {
    return Fail(Failure::Protocol, "share list count " + std::to_string(count) + " but " +
                                       std::to_string(out.size()) + " folders");
  }
  return true;
}

bool DeviceClient::ListFolder(const std::string& path, std::vector<FolderEntry>& out) {
  out.clear();
  if (path.size() >= kRequestRecordSize - 1) return Fail(Failure::Local, "path too long");
  if (!Send(OP_GET_ALL_SUB_FILE, 2, RequestRecord(path))) return false;
  uint8_t raw[MsgHead::kSize];
  if (!RecvExact(raw, sizeof raw)) return false;
  MsgHead head = MsgHead::Decode(raw);
  if (head.opcode != OP_GET_ALL_SUB_FILE) {
    return Fail(Failure::Protocol, "unexpected answer to the listing request");
  }
  // The length field holds the reply's length modulo 65,536.
  size_t total = head.length < kListingHead ? head.length + 0x10000u : head.length;
  std::string body(total - MsgHead::kSize, '\0');
  if (!RecvExact(body.data(), body.size())) return false;
  if (total == kListingErrorSize && body.find_first_not_of('\0') == std::string::npos) {
    return Fail(Failure::Refused, "the service refused to list " + path);
  }
  uint32_t count = wire::GetU32(reinterpret_cast<const uint8_t*>(body.data()));
  std::string text = body.substr(kListingHead - MsgHead::kSize);
  for (int wraps = 0; !ListingComplete(text, count); ++wraps) {
    if (wraps == kMaxListingWraps) return Fail(Failure::Protocol, "listing text never ends");
    std::string more(0x10000, '\0');
    if (!RecvExact(more.data(), more.size())) return false;
    text += more;
  }
  size_t at = 0;
  for (uint32_t i = 0; i < count; ++i) {
    size_t end = text.find("\r\n", at);
    std::string line = text.substr(at, end - at);
    at = end + 2;
    size_t t1 = line.find('\t');
    size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
    size_t t3 = t2 == std::string::npos ? t2 : line.find('\t', t2 + 1);
    if (t3 == std::string::npos) return Fail(Failure::Protocol, "bad listing line: " + line);
    FolderEntry e;
    e.time = line.substr(0, t1);
    e.kind = std::atoi(line.c_str() + t1 + 1);
    e.size = std::strtoull(line.c_str() + t2 + 1, nullptr, 10);
    e.name = line.substr(t3 + 1);
    out.push_back(std::move(e));
  }
  return true;
}

bool DeviceClient::RequestDownload(uint32_t seq, const std::string& path, DownloadInfo& info) {
  if (path.size() >= kRequestRecordSize - 1) return Fail(Failure::Local, "path too long");
  if (!Send(OP_REQ_DOWN_LOAD_FILE, seq, RequestRecord(path))) return false;
  Message m;
  if (!Recv(m)) return false;
  const auto* b = reinterpret_cast<const uint8_t*>(m.body.data());
  if (m.head.opcode == OP_DOWN_LOAD_ERROR && m.body.size() >= 2) {
    int code = wire::GetU16(b);
    return Fail(Failure::Refused, "the service refused the download of " + path + " (code " +
                                      std::to_string(code) + ")",
                code);
  }
  if (m.head.opcode != OP_DOWN_LOAD_INFO || m.head.seq != seq || m.body.size() != 56) {
    return Fail(Failure::Protocol, "unexpected answer to the download request");
  }
  info.size = wire::GetU32(b);
  info.packages = wire::GetU32(b + 4);
  std::memcpy(info.digest, b + 8, sizeof info.digest);
  return true;
}

DownloadEnd DeviceClient::ReceiveDownload(uint32_t seq, uint32_t offset,
                                          const std::function<bool(const uint8_t*, size_t)>& sink) {
  std::string start(4, '\0');
  wire::PutU32(reinterpret_cast<uint8_t*>(start.data()), offset);
  if (!Send(OP_ALLOW_DOWN_LOAD_FILE, seq, start)) return DownloadEnd::Broken;
  uint32_t expected = offset / kPackageData + 1;
  Message m;
  for (;;) {
    if (!Recv(m)) return DownloadEnd::Broken;
    const auto* b = reinterpret_cast<const uint8_t*>(m.body.data());
    if (m.head.opcode == OP_DOWN_LOAD_OVER && m.head.seq == seq && !m.body.empty()) {
      if (m.body[0] == '0') return DownloadEnd::Complete;
      Fail(Failure::Refused, "the service ended the download with a failure");
      return DownloadEnd::Failed;
    }
    if (m.head.opcode != OP_DOWN_LOAD_DATA || m.head.seq != seq || m.body.size() < 12 ||
        m.body.size() > 12 + kPackageData) {
      Fail(Failure::Protocol, "unexpected message " + std::to_string(m.head.opcode) +
                                  " during the download");
      return DownloadEnd::Broken;
    }
    uint32_t number = wire::GetU32(b);
    if (number != expected) {
      Fail(Failure::Protocol, "package " + std::to_string(number) + " where " +
                                  std::to_string(expected) + " was due");
      return DownloadEnd::Broken;
    }
    ++expected;
    if (!sink(b + 12, m.body.size() - 12)) return DownloadEnd::Stopped;
  }
}

bool DeviceClient::RefuseDownload(uint32_t seq) { return Send(OP_REFUSE_DOWN_LOAD_FILE, seq, ""); }

bool DeviceClient::StopDownload(uint32_t seq, char* status) {
  if (!Send(OP_STOP_DOWN_LOAD, seq, "")) return false;
  Message m;
  // Packages of the download that were under way before the stop come first.
  do {
    if (!Recv(m)) return false;
  } while ((m.head.opcode == OP_DOWN_LOAD_DATA || m.head.opcode == OP_DOWN_LOAD_OVER) &&
           m.head.seq == seq);
  if (m.head.opcode != OP_STOP_DOWN_LOAD || m.head.length != 9 || m.body.empty()) {
    return Fail(Failure::Protocol, "unexpected answer to the stop request");
  }
  if (status != nullptr) *status = m.body[0];
  return true;
}

bool DeviceClient::Download(uint32_t seq, const std::string& remote, const std::string& local,
                            const DownloadOptions& options, DownloadResult& result) {
  result = DownloadResult{};
  if (!RequestDownload(seq, remote, result.info)) return false;
  const uint32_t size = result.info.size;

  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  if (options.mode != DownloadOptions::Mode::Resume) flags |= O_TRUNC;
  int fd = ::open(local.c_str(), flags, 0644);
  if (fd < 0) {
    RefuseDownload(seq);
    return Fail(Failure::Local, "cannot open " + local + ": " + std::strerror(errno));
  }
  uint32_t offset = 0;
  if (options.mode == DownloadOptions::Mode::Offset) offset = options.offset;
  if (options.mode == DownloadOptions::Mode::Resume) {
    struct stat st {};
    ::fstat(fd, &st);
    if (st.st_size > static_cast<off_t>(size)) {
      ::close(fd);
      RefuseDownload(seq);
      return Fail(Failure::Local, local + " holds " + std::to_string(st.st_size) +
                                      " bytes, more than the " + std::to_string(size) +
                                      " of " + remote);
    }
    offset = static_cast<uint32_t>(st.st_size);
    ::lseek(fd, 0, SEEK_END);
  }
  result.offset = offset;
  const uint64_t expected = offset < size ? size - offset : 0;

  LocalWriter writer(fd);
  bool writeFailed = false;
  uint64_t nextReport = 0;
  result.end = ReceiveDownload(seq, offset, [&](const uint8_t* p, size_t n) {
    if (!writer.Add(p, n)) {
      writeFailed = true;
      return false;
    }
    result.received += n;
    if (options.progress && result.received >= nextReport) {
      options.progress(result.received, expected);
      nextReport = result.received + (1u << 20);
    }
    return options.stopAfter == 0 || result.received < options.stopAfter;
  });
  bool flushed = writer.Flush();
  ::close(fd);
  if (options.progress) options.progress(result.received, expected);

  if (writeFailed || !flushed) {
    Close();
    return Fail(Failure::Local, "cannot write " + local + ": " + std::strerror(errno));
  }
  switch (result.end) {
    case DownloadEnd::Complete:
      break;
    case DownloadEnd::Stopped:
      // Through the relay the PC sends on by itself until it hears the stop request; the
      // connection stays usable. On the LAN a download stops when its connection ends.
      if (m_transport->Relayed()) return StopDownload(seq, nullptr);
      Close();
      return true;
    case DownloadEnd::Failed:
    case DownloadEnd::Broken:
      return false;
  }
  if (result.received != expected) {
    return Fail(Failure::Protocol, "received " + std::to_string(result.received) +
                                       " bytes where " + std::to_string(expected) +
                                       " were due");
  }
  if (options.mode != DownloadOptions::Mode::Offset || offset == 0) {
    uint8_t digest[16];
    if (!LocalFileDigest(local, digest)) return Fail(Failure::Local, "cannot read " + local);
    result.digestChecked = true;
    if (std::memcmp(digest, result.info.digest, sizeof digest) != 0) {
      return Fail(Failure::Protocol, "the digest of " + local + " differs from the service's");
    }
  }
  return true;
}

bool LocalFileDigest(const std::string& path, uint8_t out[16]) {
  if (::access(path.c_str(), R_OK) != 0) return false;
  Md5Context ctx = GetFileDigest(path);
  std::memcpy(out, ctx.digest, 16);
  return true;
}

}  // namespace device
