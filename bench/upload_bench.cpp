// tirvan-upload-bench: uploads one file over loopback to a running TirvanClient and, as
// the reference, through a plain TCP-to-file copy (a receiver process of its own that
// writes what a socket brings to a file in 64 KiB pieces), and prints the throughput of
// each and their ratio. upload_bench.sh sets the scene and runs it.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_stats.h"
#include "platform/md5.h"
#include "comm/opcodes.h"
#include "comm/wire.h"
#include "platform/net.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 65515;         // data bytes per upload message
constexpr size_t kFramesPerSend = 64;    // messages built and sent together
constexpr size_t kCopyPiece = 64 << 10;  // the reference receiver's read and write size

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "tirvan-upload-bench: %s\n", why.c_str());
  std::exit(1);
}

bool PreadAll(int fd, char* out, size_t len, off_t pos) {
  while (len > 0) {
    ssize_t n = ::pread(fd, out, len, pos);
    if (n <= 0) return false;
    out += n;
    len -= static_cast<size_t>(n);
    pos += n;
  }
  return true;
}

bool WriteAll(int fd, const char* p, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Reads one whole message; its opcode and body.
uint16_t RecvMessage(int fd, std::string* body) {
  uint8_t head[8];
  if (platform::RecvAll(fd, head, sizeof head) != 0) Die("the service closed the connection");
  MsgHead h = MsgHead::Decode(head);
  body->assign(h.length > 8 ? h.length - 8u : 0u, '\0');
  if (!body->empty() && platform::RecvAll(fd, body->data(), body->size()) != 0) {
    Die("the service closed the connection");
  }
  return h.opcode;
}

// The whole upload of local to remote, from the announcement to the answer that follows
// the end message. Returns the data bytes sent.
uint64_t UploadToService(uint16_t port, int local, uint32_t size, const std::string& remote,
                         uint32_t seq) {
  uint8_t digestBytes[16];
  Md5Context digest;
  if (!GetFdDigest(local, size, digest)) Die("cannot read the local file");
  std::memcpy(digestBytes, digest.digest, sizeof digestBytes);

  int fd = platform::ConnectTcp("127.0.0.1", port, 5000);
  if (fd < 0) Die("cannot connect to the service");
  std::string req(8 + 380, '\0');
  auto* r = reinterpret_cast<uint8_t*>(req.data());
  MsgHead{static_cast<uint16_t>(req.size()), OP_REQ_UP_LOAD_FILE, seq}.Encode(r);
  wire::PutU32(r + 8, size);
  std::memcpy(r + 16, digestBytes, sizeof digestBytes);
  req.replace(8 + 25, remote.size(), remote);
  if (platform::SendAll(fd, req.data(), req.size()) != 0) Die("send failed");
  std::string body;
  if (RecvMessage(fd, &body) != OP_UP_LOAD_ALLOW || body.size() != 4) {
    Die("the service refused the upload");
  }
  uint32_t offset = wire::GetU32(reinterpret_cast<const uint8_t*>(body.data()));
  if (offset != 0) Die("the service holds part of the file already; remove it first");

  std::vector<char> buf(kFramesPerSend * (20 + kChunk));
  uint64_t sent = 0;
  for (uint64_t pos = 0; pos < size;) {
    size_t at = 0;
    for (size_t i = 0; i < kFramesPerSend && pos < size; ++i) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, size - pos));
      std::memset(buf.data() + at, 0, 20);
      MsgHead{static_cast<uint16_t>(20 + n), OP_UP_LOAD_FILE, seq}.Encode(
          reinterpret_cast<uint8_t*>(buf.data() + at));
      if (!PreadAll(local, buf.data() + at + 20, n, static_cast<off_t>(pos))) {
        Die("cannot read the local file");
      }
      at += 20 + n;
      pos += n;
      sent += n;
    }
    if (platform::SendAll(fd, buf.data(), at) != 0) Die("the service closed the upload");
  }
  uint8_t tail[9 + 8];
  MsgHead{9, OP_OVER_UP_LOAD_FILE, seq}.Encode(tail);
  tail[8] = 0;
  // A share-list request: its answer comes once the end has been handled.
  MsgHead{8, OP_GET_SHARE_INFO, seq}.Encode(tail + 9);
  if (platform::SendAll(fd, tail, sizeof tail) != 0) Die("send failed");
  if (RecvMessage(fd, &body) != OP_GET_SHARE_INFO) Die("unexpected answer after the end");
  ::close(fd);
  return sent;
}

// The reference: a receiver process accepts one connection and writes it to outPath;
// it answers one byte once the file is closed. Returns the bytes sent.
uint64_t CopyOverTcp(int local, uint64_t size, const std::string& outPath) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    Die("cannot listen for the reference copy");
  }
  pid_t child = ::fork();
  if (child == 0) {
    int conn = ::accept(listener, nullptr, nullptr);
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (conn < 0 || out < 0) ::_exit(1);
    std::vector<char> piece(kCopyPiece);
    for (;;) {
      ssize_t n = ::recv(conn, piece.data(), piece.size(), 0);
      if (n < 0) ::_exit(1);
      if (n == 0) break;
      if (!WriteAll(out, piece.data(), static_cast<size_t>(n))) ::_exit(1);
    }
    if (::close(out) != 0) ::_exit(1);
    char done = 'k';
    if (::send(conn, &done, 1, MSG_NOSIGNAL) != 1) ::_exit(1);
    ::_exit(0);
  }
  ::close(listener);
  int fd = platform::ConnectTcp("127.0.0.1", ntohs(sin.sin_port), 5000);
  if (fd < 0) Die("cannot connect to the reference receiver");
  std::vector<char> buf(kFramesPerSend * kChunk);
  uint64_t sent = 0;
  while (sent < size) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - sent));
    if (!PreadAll(local, buf.data(), n, static_cast<off_t>(sent))) Die("cannot read the file");
    if (platform::SendAll(fd, buf.data(), n) != 0) Die("the reference receiver closed");
    sent += n;
  }
  ::shutdown(fd, SHUT_WR);
  char done = 0;
  if (platform::RecvAll(fd, &done, 1) != 0 || done != 'k') Die("the reference copy failed");
  ::close(fd);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Die("the reference receiver failed");
  return sent;
}

// True when the two files have the same bytes.
bool SameContent(const std::string& a, const std::string& b) {
  int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC);
  int fb = ::open(b.c_str(), O_RDONLY | O_CLOEXEC);
  bool same = fa >= 0 && fb >= 0;
  std::vector<char> x(4 << 20), y(4 << 20);
  while (same) {
    ssize_t n = ::read(fa, x.data(), x.size());
    ssize_t m = n > 0 ? ::read(fb, y.data(), static_cast<size_t>(n)) : ::read(fb, y.data(), 1);
    if (n < 0 || m != n) {
      same = false;
    } else if (n == 0) {
      break;
    } else {
      same = std::memcmp(x.data(), y.data(), static_cast<size_t>(n)) == 0;
    }
  }
  if (fa >= 0) ::close(fa);
  if (fb >= 0) ::close(fb);
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  uint16_t port = 0;
  std::string local, shareDir, sinkDir;
  int runs = 7;
  bool serviceOnly = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--service-port") port = static_cast<uint16_t>(std::atoi(v.c_str()));
    else if (k == "--local") local = v;
    else if (k == "--share") shareDir = v;
    else if (k == "--sink") sinkDir = v;
    else if (k == "--runs") runs = std::max(1, std::atoi(v.c_str()));
    else if (k == "--service-only") serviceOnly = v == "1";
    else Die("unknown option " + k);
  }
  if (port == 0 || local.empty() || shareDir.empty() || sinkDir.empty()) {
    Die("usage: --service-port P --local FILE --share SHARED_FOLDER --sink FOLDER [--runs N] "
        "[--service-only 1]");
  }
  platform::IgnoreSigpipe();
  int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) Die("cannot open " + local);
  if (st.st_size > static_cast<off_t>(UINT32_MAX)) Die("the file must be below 4 GiB");
  auto size = static_cast<uint32_t>(st.st_size);

  // Rounds alternate which side goes first; the ratio is the median of the rounds'
  // ratios, so that a busy moment of the machine, which slows both sides of its round
  // alike, does not decide it. Each side's file is checked and removed after its run.
  // With --service-only the service alone uploads (for counting its system calls).
  std::vector<double> copySecs, serviceSecs, ratios;
  auto copy = [&] {
    std::string copied = sinkDir + "/copy.bin";
    auto t0 = Clock::now();
    if (CopyOverTcp(fd, size, copied) != size) Die("short reference copy");
    copySecs.push_back(Seconds(Clock::now() - t0));
    if (!SameContent(local, copied)) Die("the reference copy differs from the local file");
    ::unlink(copied.c_str());
  };
  auto upload = [&](int run) {
    std::string remote = shareDir + "/upload-" + std::to_string(run) + ".bin";
    auto t0 = Clock::now();
    if (UploadToService(port, fd, size, remote, static_cast<uint32_t>(100 + run)) != size) {
      Die("short upload");
    }
    serviceSecs.push_back(Seconds(Clock::now() - t0));
    if (!SameContent(local, remote)) Die("the uploaded file differs from the local one");
    ::unlink(remote.c_str());
  };
  for (int run = 0; run < runs; ++run) {
    if (serviceOnly) {
      upload(run);
      continue;
    }
    if (run % 2 == 0) copy();
    upload(run);
    if (run % 2 == 1) copy();
    ratios.push_back(copySecs.back() / serviceSecs.back());
  }

  double mib = static_cast<double>(size) / (1 << 20);
  std::vector<double> serviceRate, copyRate;
  for (double t : serviceSecs) serviceRate.push_back(mib / t);
  for (double t : copySecs) copyRate.push_back(mib / t);
  std::printf("file %.0f MiB in %u messages, %d rounds; every upload and copy compared whole "
              "with the local file\n",
              mib, static_cast<unsigned>((size + kChunk - 1) / kChunk), runs);
  bench::PrintStat("service_mib_s", serviceRate, 1);
  if (serviceOnly) return 0;
  bench::PrintStat("copy_mib_s", copyRate, 1);
  bench::PrintStat("ratio", ratios);
  return 0;
}
