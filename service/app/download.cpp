#include "app/download.h"

#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <udt/udt.h>
#include <unistd.h>

#include "app/listing.h"
#include "app/read_ahead.h"
#include "platform/md5.h"
#include "app/relay_transfer.h"
#include "app/trans_log.h"
#include "app/transfer_table.h"
#include "comm/core.h"
#include "comm/errors.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/share_paths.h"
#include "comm/utils.h"
#include "platform/charset.h"
#include "platform/env_setting.h"

int32_t g_DownLoadCount = 0;

namespace {

// A UDT download reads this many packages at a time.
constexpr size_t kUdtPackagesPerRead = 64;

int UdtSendMsg(int32_t sock, const char* buf, int len) {
  return UDT::sendmsg(sock, buf, len, -1, true);
}

std::atomic<UdtSendFn> g_udtSend{UdtSendMsg};

bool SetOverReply(uint32_t seq, bool ok, uint8_t** reply, int32_t* replyLen) {
  uint8_t* r = AllocReply(kDownLoadOverSize);
  if (r == nullptr) return false;
  EncodeDownLoadOver(r, seq, ok);
  *reply = r;
  *replyLen = static_cast<int32_t>(kDownLoadOverSize);
  return true;
}

// The path of the file an open descriptor refers to ("" when it cannot be read).
std::string RealPathOfFd(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char* real = ::realpath(link, nullptr);
  if (real == nullptr) return std::string();
  std::string result = real;
  std::free(real);
  return result;
}

// Reads at pos into the pieces of iov (which it may change). False on an error or when
// the file ends first.
bool PreadvAll(int fd, iovec* iov, size_t count, int64_t pos) {
  while (count > 0) {
    ssize_t n = ::preadv(fd, iov, static_cast<int>(std::min<size_t>(count, IOV_MAX)),
                         static_cast<off_t>(pos));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pos += n;
    auto left = static_cast<size_t>(n);
    while (count > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --count;
    }
    if (left > 0) {
      iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return true;
}

// Ends a started download: the count goes down and the file is closed; a download sent
// to its end is recorded in the transfer log.
void EndDownload(const TransRecordPtr& rec, bool complete) {
  AddDownLoadCount(-1);
  rec->CloseFile();
  if (complete) WriteTranLog(rec->path, TRANS_LOG_DOWNLOAD, rec->size);
  // The last download gone, what the allocator keeps of the transfers' memory goes back.
  if (GetDownLoadCount() == 0) ::malloc_trim(0);
}

// Streams one download on a local connection, from the server's write callback, and
// queues its end message last. A download of more than kLanReadAheadAbove bytes is read
// ahead on a thread of its own; a smaller one (or one whose thread cannot start) is read
// here.
class LanDownloadWriter : public ConnWriter {
 public:
  LanDownloadWriter(TransRecordPtr rec, int64_t offset, uint32_t seq)
      : m_rec(std::move(rec)), m_stream(m_rec->fd, m_rec->size, offset, seq), m_offset(offset),
        m_seq(seq) {}

  ~LanDownloadWriter() override {
    if (m_ahead) m_ahead->Stop();
  }

  Status Refill(bufferevent* conn, size_t room) override {
    if (!m_started) {
      m_started = true;
      StartReader(conn);
    }
    if (!m_ahead) return FillHere(conn, room);
    switch (m_ahead->Hand(m_ahead, bufferevent_get_output(conn), room)) {
      case ReadAhead::HandResult::Handed:
        return Status::More;
      case ReadAhead::HandResult::Waiting:
        return Status::Wait;
      case ReadAhead::HandResult::Drained:
        return Finish(conn, true);
      case ReadAhead::HandResult::Failed:
        break;
    }
    if (m_ahead->NoMemory()) {
      TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
    } else {
      TLOG(MOD_INTRANET, LOG_ERROR, "Read file %s error.", m_rec->path.c_str());
    }
    return Finish(conn, false);
  }

  void Cancel() override {
    TLOG(MOD_INTRANET, LOG_DEBUG, "download of %s ended by its connection.", m_rec->path.c_str());
    if (m_ahead) m_ahead->Stop();
    EndDownload(m_rec, false);
  }

 private:
  // Starts the reader for a download larger than its slots hold. Without one the
  // packages are read on this thread.
  void StartReader(bufferevent* conn) {
    uint64_t connId = 0;
    if (m_rec->size - m_offset <= kLanReadAheadAbove || !OS_GetConnInfo(conn, &connId, nullptr)) {
      return;
    }
    auto ahead = std::make_shared<ReadAhead>(m_rec->fd, m_rec->size, m_offset, m_seq, connId);
    try {
      std::thread([ahead] {
        // Named so that a look at the process (or a test) can tell the readers apart.
        ::pthread_setname_np(::pthread_self(), kLanReaderThreadName);
        ahead->Run();
      }).detach();
    } catch (const std::exception&) {
      TLOG(MOD_INTRANET, LOG_INFO, "No reader thread for %s; reading on the server's thread.",
           m_rec->path.c_str());
      ahead->ReaderNotStarted();
      return;
    }
    m_ahead = std::move(ahead);
  }

  Status FillHere(bufferevent* conn, size_t room) {
    evbuffer* out = bufferevent_get_output(conn);
    size_t packages = std::clamp<size_t>(room / kPackageSize, 1, kMaxPackagesPerFill);
    evbuffer_iovec vec;
    if (evbuffer_reserve_space(out, static_cast<ev_ssize_t>(packages * kPackageSize), &vec, 1) <
        1) {
      TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
      return Finish(conn, false);
    }
    ptrdiff_t n = m_stream.Fill(static_cast<uint8_t*>(vec.iov_base), packages);
    if (n < 0) {
      TLOG(MOD_INTRANET, LOG_ERROR, "Read file %s error.", m_rec->path.c_str());
      return Finish(conn, false);
    }
    vec.iov_len = static_cast<size_t>(n);
    evbuffer_commit_space(out, &vec, 1);
    return m_stream.Done() ? Finish(conn, true) : Status::More;
  }

  Status Finish(bufferevent* conn, bool complete) {
    if (m_ahead) m_ahead->Stop();
    EndDownload(m_rec, complete);
    uint8_t over[kDownLoadOverSize];
    EncodeDownLoadOver(over, m_seq, complete);
    if (bufferevent_write(conn, over, sizeof over) != 0) {
      TLOG(MOD_COMMLIB, LOG_ERROR, "Write return message error.");
    }
    return Status::Done;
  }

  TransRecordPtr m_rec;
  PackageStream m_stream;  // read here when there is no reader
  int64_t m_offset;
  uint32_t m_seq;
  bool m_started = false;
  std::shared_ptr<ReadAhead> m_ahead;
};

// Sends the whole download over UDT, one message per package, on the calling thread.
// The packages are read kUdtPackagesPerRead at a time.
int SendOverUdt(const TransRecordPtr& rec, int64_t offset, uint32_t seq, int32_t sock,
                uint8_t** reply, int32_t* replyLen) {
  PackageStream stream(rec->fd, rec->size, offset, seq);
  std::unique_ptr<uint8_t[]> packages(new (std::nothrow) uint8_t[kUdtPackagesPerRead * kPackageSize]);
  if (!packages) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
    EndDownload(rec, false);
    SetOverReply(seq, false, reply, replyLen);
    return ERR_ALLOC;
  }
  UdtSendFn send = g_udtSend.load();
  while (!stream.Done()) {
    ptrdiff_t n = stream.Fill(packages.get(), kUdtPackagesPerRead);
    if (n < 0) {
      TLOG(MOD_INTRANET, LOG_ERROR, "Read file %s error.", rec->path.c_str());
      EndDownload(rec, false);
      SetOverReply(seq, false, reply, replyLen);
      return -1;
    }
    for (ptrdiff_t at = 0; at < n;) {
      const uint8_t* package = packages.get() + at;
      const int len = wire::GetU16(package);
      if (send(sock, reinterpret_cast<const char*>(package), len) != len) {
        TLOG(MOD_COMMLIB, LOG_ERROR, "Write return message error.");
        EndDownload(rec, false);
        return -1;
      }
      at += len;
    }
  }
  EndDownload(rec, true);
  if (!SetOverReply(seq, true, reply, replyLen)) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
    return ERR_ALLOC;
  }
  return ERR_OK;
}

// A relayed start: its own job sends the download through the central server. The
// pending entry is taken here, so a job that cannot reach the server leaves none behind;
// a start without one (or too short to hold its offset) still gets its "1" from the job.
int StartRelayedDownload(const uint8_t* body, uint32_t bodyLen, const MsgHead* head,
                         uint8_t** reply, int32_t* replyLen) {
  if (bodyLen < kRelayIdSize) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Short start message of %u bytes.", bodyLen);
    return -1;  // no device to answer
  }
  std::unique_ptr<InterDownLoadJob> job(new (std::nothrow) InterDownLoadJob);
  if (!job) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
    return ERR_ALLOC;
  }
  job->seq = head->seq;
  std::memcpy(job->target, body, kRelayIdSize);
  uint32_t off = RecordOffset(0);
  if (bodyLen < off + 4) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Short start message of %u bytes.", bodyLen);
  } else {
    job->offset = wire::GetU32(body + off);
    job->record = TransTake(head->seq, TransKind::PendingDownload, InterDownLoadOrigin(*job));
  }
  int rc = QueueInterDownLoad(std::move(job));
  // Without a job the device would wait for an end that never comes: it gets "1" here.
  if (rc != 0) SetOverReply(head->seq, false, reply, replyLen);
  return rc;
}

// The refusal of a download request past the pending downloads' limits.
int RefuseForRoom(const MsgHead* head, const std::string& path, PendingRoom room, size_t held,
                  uint8_t** reply, int32_t* replyLen) {
  const PendingDownloadLimits limits = GetPendingDownloadLimits();
  if (room == PendingRoom::OriginFull) {
    TLOG(MOD_INTRANET, LOG_WARNING,
         "Download of %s refused: %zu downloads announced by this device wait to start (at "
         "most %zu).",
         path.c_str(), held, limits.perOrigin);
  } else {
    TLOG(MOD_INTRANET, LOG_WARNING,
         "Download of %s refused: %zu announced downloads wait to start (at most %zu).",
         path.c_str(), held, limits.total);
  }
  return SetTransErrorReply(head, OP_DOWN_LOAD_ERROR, ERR_SERVER_CASH_FULL, reply, replyLen);
}

}  // namespace

int32_t GetDownLoadCount() {
  std::lock_guard<std::mutex> lock(g_MutexDownLoadCount);
  return g_DownLoadCount;
}

void AddDownLoadCount(int32_t delta) {
  std::lock_guard<std::mutex> lock(g_MutexDownLoadCount);
  g_DownLoadCount += delta;
}

void SetUdtSendForTest(UdtSendFn fn) { g_udtSend = fn != nullptr ? fn : UdtSendMsg; }

void DownloadInit() {
  if (auto v = EnvInteger(kReadAheadBudgetEnv, 0, INT64_MAX)) SetReadAheadBudget(*v);
}


int SetTransErrorReply(const MsgHead* head, uint16_t opcode, int code, uint8_t** reply,
                       int32_t* replyLen) {
  uint8_t* r = AllocReply(kTransErrorSize);
  if (r == nullptr) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
    return ERR_ALLOC;
  }
  MsgHead{static_cast<uint16_t>(kTransErrorSize), opcode, head->seq}.Encode(r);
  wire::PutU16(r + 8, static_cast<uint16_t>(code));
  r[10] = '0';
  *reply = r;
  *replyLen = static_cast<int32_t>(kTransErrorSize);
  return code;
}

void EncodeDownLoadOver(uint8_t out[kDownLoadOverSize], uint32_t seq, bool ok) {
  std::memset(out, 0, kDownLoadOverSize);
  MsgHead{static_cast<uint16_t>(kDownLoadOverSize), OP_DOWN_LOAD_OVER, seq}.Encode(out);
  out[8] = ok ? '0' : '1';
}

PackageStream::PackageStream(int fd, int64_t size, int64_t offset, uint32_t seq)
    : m_fd(fd), m_seq(seq), m_pos(offset), m_end(size) {
  m_next = static_cast<uint32_t>(offset / kPackageDataSize) + 1;
  int64_t remaining = std::max<int64_t>(0, size - offset);
  m_left = static_cast<uint64_t>(remaining / kPackageDataSize) + 1;
}

ptrdiff_t PackageStream::Fill(uint8_t* out, size_t maxPackages) {
  size_t n = static_cast<size_t>(std::min<uint64_t>({m_left, maxPackages, kMaxPackagesPerFill}));
  if (n == 0) return 0;
  // Every package but the last of the stream is full, so the data is one run of the file,
  // read with one preadv straight into each package's place behind its head.
  iovec iov[kMaxPackagesPerFill];
  size_t nvec = 0;
  size_t at = 0;
  int64_t pos = m_pos;
  for (size_t i = 0; i < n; ++i) {
    auto len = static_cast<uint32_t>(
        std::clamp<int64_t>(m_end - pos, 0, static_cast<int64_t>(kPackageDataSize)));
    uint8_t* head = out + at;
    MsgHead{static_cast<uint16_t>(kDataHeadSize + len), OP_DOWN_LOAD_DATA, m_seq}.Encode(head);
    wire::PutU32(head + 8, m_next + static_cast<uint32_t>(i));
    wire::PutU32(head + 12, 0);
    wire::PutU32(head + 16, 0);
    if (len > 0) iov[nvec++] = iovec{head + kDataHeadSize, len};
    at += kDataHeadSize + len;
    pos += len;
  }
  if (!PreadvAll(m_fd, iov, nvec, m_pos)) return -1;
  m_pos = pos;
  m_next += static_cast<uint32_t>(n);
  m_left -= n;
  return static_cast<ptrdiff_t>(at);
}

int ReqDownLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                    uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  if (body == nullptr) {
    TLOG(MOD_USER, LOG_ERROR, "Input msg buffer pointer is null.");
    return ERR_NULL_MSG;
  }
  std::string requested;
  if (!ReadRequestPath(body, bodyLen, *direct, requested)) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Short request of %u bytes.", bodyLen);
    return SetTransErrorReply(head, OP_DOWN_LOAD_ERROR, ERR_FILE_NOT_EXIST, reply, replyLen);
  }
  std::string path = ExpandDefaultDirMacro(
      platform::ConvertCharset(requested, "UTF-8", platform::kNarrowCharset));
  if (path.empty()) {
    TLOG(MOD_INTRANET, LOG_DEBUG, "%s.", "def share dir is empty.");
    int r = SetTransErrorReply(head, OP_DOWN_LOAD_ERROR, ERR_NOT_IN_SHARE, reply, replyLen);
    return r == ERR_ALLOC ? r : ERR_DEF_SHARE_EMPTY;
  }
  TLOG(MOD_INTRANET, LOG_DEBUG, "DownLoad file :%s", path.c_str());
  // A longer path is refused: cutting it would name a different file.
  if (path.size() > kMaxRequestPathLen) {
    TLOG(MOD_INTRANET, LOG_ERROR, "File %s not exits.", path.c_str());
    return SetTransErrorReply(head, OP_DOWN_LOAD_ERROR, ERR_FILE_NOT_EXIST, reply, replyLen);
  }
  std::string folder = path;
  StripLastPathPart(folder);
  if (int code = CheckSharedPath(folder); code != ERR_OK) {
    TLOG(MOD_INTRANET, LOG_ERROR, "File %s not in share list.", path.c_str());
    return SetTransErrorReply(head, OP_DOWN_LOAD_ERROR, code, reply, replyLen);
  }

  // Every pending download holds its file open: one origin cannot hold more than its
  // share of them, nor all origins together more than the table's.
  const TransOrigin origin = TransOriginOf(body, bodyLen, conn, *udtSock, *direct);
  size_t held = 0;
  if (PendingRoom room = TransPendingRoom(head->seq, origin, &held); room != PendingRoom::Ok) {
    return RefuseForRoom(head, path, room, held, reply, replyLen);
  }

  // Size, digest and data all come from this one descriptor. Non-blocking, so that
  // opening a FIFO cannot hold the transport's thread.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      TLOG(MOD_INTRANET, LOG_ERROR, "File %s not exits.", path.c_str());
    } else {
      TLOG(MOD_INTRANET, LOG_ERROR, "File %s cannot be opened: %s.", path.c_str(),
           std::strerror(err));
    }
    return SetTransErrorReply(head, OP_DOWN_LOAD_ERROR, ERR_FILE_NOT_EXIST, reply, replyLen);
  }
  auto rec = std::make_shared<TransRecord>();
  rec->fd = fd;  // closed with the record from here on
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > INT32_MAX) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Get file %s size error.", path.c_str());
    rec->CloseFile();
    return SetTransErrorReply(head, OP_DOWN_LOAD_ERROR, ERR_FILE_SIZE, reply, replyLen);
  }
  // The folder is shared, but the file itself may be a link to somewhere else.
  std::string real = RealPathOfFd(fd);
  if (real.empty()) real = CanonicalPath(path);
  if (CheckPathInShare(real) != ERR_OK) {
    TLOG(MOD_INTRANET, LOG_ERROR, "File %s not in share list.", path.c_str());
    rec->CloseFile();
    return SetTransErrorReply(head, OP_DOWN_LOAD_ERROR, ERR_NOT_IN_SHARE, reply, replyLen);
  }

  rec->kind = TransKind::PendingDownload;
  rec->origin = origin;
  rec->path = path;
  rec->size = static_cast<int64_t>(st.st_size);
  Md5Context digest;
  GetFdDigest(fd, rec->size, digest);

  uint8_t* r = AllocReply(kDownLoadInfoSize);
  if (r == nullptr) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
    rec->CloseFile();
    return ERR_ALLOC;
  }
  auto size = static_cast<uint32_t>(rec->size);
  MsgHead{static_cast<uint16_t>(kDownLoadInfoSize), OP_DOWN_LOAD_INFO, head->seq}.Encode(r);
  wire::PutU32(r + 8, size);
  wire::PutU32(r + 12, size / kPackageDataSize + (size % kPackageDataSize != 0 ? 1 : 0));
  std::memcpy(r + 16, digest.digest, sizeof digest.digest);

  // A repeated request replaces the pending download of the same origin and number.
  // Another thread of the same origin (a UDT peer's) may have taken the last room since.
  if (PendingRoom room = TransInsertPending(head->seq, rec, &held); room != PendingRoom::Ok) {
    rec->CloseFile();
    FreeReply(r);
    return RefuseForRoom(head, path, room, held, reply, replyLen);
  }
  *reply = r;
  *replyLen = static_cast<int32_t>(kDownLoadInfoSize);
  return ERR_OK;
}

int AllowDownLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head,
                      bufferevent* conn, uint8_t** reply, int32_t* replyLen, int32_t* udtSock,
                      uint8_t* direct) {
  if (body == nullptr) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Input msg buffer pointer is null.");
    return ERR_NULL_MSG;
  }
  TLOG(MOD_INTRANET, LOG_DEBUG, "AllowDownLoadFile.");
  int32_t sock = *udtSock;
  if (*direct == 0 && sock < 0) {
    TLOG(MOD_INTRANET, LOG_DEBUG, "DownLoad File interline.");
    return StartRelayedDownload(body, bodyLen, head, reply, replyLen);
  }
  TLOG(MOD_INTRANET, LOG_DEBUG, "%s",
       sock < 0 ? "DownLoad File using tcp." : "DownLoad File using udt.");
  // Without a connection or a UDT socket there is nowhere to send anything.
  if (sock < 0 && !OS_GetConnInfo(conn, nullptr, nullptr)) return -1;

  uint32_t off = RecordOffset(*direct);
  if (bodyLen < off + 4) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Short start message of %u bytes.", bodyLen);
    SetOverReply(head->seq, false, reply, replyLen);
    return -1;
  }
  uint32_t offset = wire::GetU32(body + off);
  TransOrigin origin = TransOriginOf(body, bodyLen, conn, sock, *direct);
  TransRecordPtr rec = TransTake(head->seq, TransKind::PendingDownload, origin);
  if (!rec || rec->fd < 0) {
    TLOG(MOD_INTRANET, LOG_WARNING, "Start of download %u refused: %s.", head->seq,
         rec ? "its file is closed" : "no download of that number was announced here");
    SetOverReply(head->seq, false, reply, replyLen);
    return -1;
  }

  TLOG(MOD_INTRANET, LOG_DEBUG, "begain download file %s, package count %d.", rec->path.c_str(),
       static_cast<int>(offset / kPackageDataSize));
  AddDownLoadCount(1);
  if (sock >= 0) return SendOverUdt(rec, offset, head->seq, sock, reply, replyLen);

  auto writer = std::make_unique<LanDownloadWriter>(rec, offset, head->seq);
  if (!OS_AttachConnWriter(conn, std::move(writer))) {
    EndDownload(rec, false);
    SetOverReply(head->seq, false, reply, replyLen);
    return -1;
  }
  return ERR_OK;
}

int RefuseDownLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head,
                       bufferevent* conn, uint8_t**, int32_t*, int32_t* udtSock,
                       uint8_t* direct) {
  TransErase(head->seq, TransKind::PendingDownload,
             TransOriginOf(body, bodyLen, conn, *udtSock, *direct));
  return ERR_OK;
}
