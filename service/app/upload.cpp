#include "app/upload.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <udt/udt.h>

#include "app/download.h"
#include "platform/md5.h"
#include "app/trans_log.h"
#include "app/transfer_table.h"
#include "comm/errors.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/relay_client.h"
#include "comm/share_paths.h"
#include "comm/utils.h"
#include "platform/charset.h"
#include "platform/env_setting.h"

namespace {

constexpr size_t kNameMax = 255;
// The longest suffix a target's name gets ("tirvan.renametmp").
constexpr size_t kInfoSuffixLen = 16;
// Free names tried at most, for data files and for final names.
constexpr int kMaxVariants = 100000;
constexpr uint32_t kPathFieldOffset = 25;
constexpr size_t kPathFieldSize = kUpLoadRequestSize - kPathFieldOffset;

// Choosing a data file, opening it and entering it in the table, and choosing a final
// name, happen one at a time, so two announcements for one target never pick the same
// file and a completion never takes a name an announcement is looking at.
std::mutex g_announceMutex;

int DefaultFreeKB(const std::string& folder, uint64_t* kb) {
  struct statvfs vfs {};
  if (::statvfs(folder.c_str(), &vfs) != 0) return -1;
  // What this process may use: root may take the reserved blocks too.
  uint64_t blocks = ::geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail;
  uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  *kb = blocks / 1024 * unit + blocks % 1024 * unit / 1024;
  return 0;
}

int DefaultRename(const std::string& from, const std::string& to) { return RenameFile(from, to); }

int DefaultOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

std::atomic<UpLoadFreeKBFn> g_freeKB{DefaultFreeKB};
std::atomic<UpLoadRenameFn> g_rename{DefaultRename};
std::atomic<UpLoadOpenFn> g_open{DefaultOpen};
std::atomic<int64_t> g_checkBytes{kDefaultUpLoadCheckBytes};

struct UpLoadRequest {
  uint32_t size = 0;
  uint8_t digest[16] = {};
  std::string path;  // UTF-8, as sent
};

// The record at the body offset that direct gives. False when the body is shorter
// than the record or the path holds no terminating zero; nothing past bodyLen is read.
bool ReadUpLoadRequest(const uint8_t* body, uint32_t bodyLen, uint8_t direct, UpLoadRequest& out) {
  uint32_t off = RecordOffset(direct);
  if (bodyLen < off + kUpLoadRequestSize) return false;
  const uint8_t* rec = body + off;
  const char* field = reinterpret_cast<const char*>(rec + kPathFieldOffset);
  size_t n = strnlen(field, kPathFieldSize);
  if (n == kPathFieldSize) return false;
  out.size = wire::GetU32(rec);
  std::memcpy(out.digest, rec + 8, sizeof out.digest);
  out.path.assign(field, n);
  return true;
}

int Refuse(const MsgHead* head, int code, uint8_t** reply, int32_t* replyLen) {
  return SetTransErrorReply(head, OP_UP_LOAD_ERROR, code, reply, replyLen);
}

std::string LastComponent(const std::string& path) {
  size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool LStat(const std::string& path, struct stat& st) { return ::lstat(path.c_str(), &st) == 0; }

bool Exists(const std::string& path) {
  struct stat st {};
  return LStat(path, st) || errno != ENOENT;
}

// Whether an upload in the table writes to this data file.
bool DataFileInUse(const std::string& dataPath) {
  return TransAnyOf([&](uint32_t, const TransRecord& r) {
    return r.kind == TransKind::Upload && r.dataPath == dataPath;
  });
}

// The numbers n of the existing variants T + "tirvan.rename.(n).rename" of a target, in
// ascending order.
std::vector<int> VariantNumbers(const std::string& folder, const std::string& target) {
  std::vector<int> numbers;
  const std::string prefix = LastComponent(target) + kUpLoadDataSuffix + ".(";
  const std::string tail = ").rename";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return numbers;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() <= prefix.size() + tail.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0) {
      continue;
    }
    std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - tail.size());
    if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos ||
        (digits.size() > 1 && digits[0] == '0')) {
      continue;
    }
    int n = std::atoi(digits.c_str());
    if (n < kMaxVariants) numbers.push_back(n);
  }
  ::closedir(dir);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

// Where an announced upload writes.
struct DataChoice {
  std::string dataPath;
  bool resume = false;      // an existing data file of this target and digest
  bool replaceStale = false;  // dataPath holds a data file without info that nobody uses
  bool found = false;
};

// Looks through the target's data files: the one whose info names the target and the
// digest is resumed; otherwise the first name that is free, or whose data file has no
// info and no upload writing to it, takes a fresh upload. A data file whose info names
// another digest belongs to another upload and is left alone.
DataChoice ChooseDataFile(const std::string& folder, const std::string& target, bool hasInfo,
                          const std::string& hex) {
  DataChoice choice;
  std::vector<int> numbers = VariantNumbers(folder, target);
  int last = numbers.empty() ? -1 : numbers.back();
  for (int n = -1; n < kMaxVariants; ++n) {
    if (n > last + 1 && choice.found) break;
    std::string candidate = UpLoadDataPath(target, n);
    struct stat st {};
    if (!LStat(candidate, st)) {
      if (errno == ENOENT && !choice.found) {
        choice.dataPath = candidate;
        choice.found = true;
      }
      continue;
    }
    if (!S_ISREG(st.st_mode) || DataFileInUse(candidate)) continue;
    std::string info = UpLoadInfoPath(candidate);
    if (hasInfo && CheckRenameInfo(info, target, hex)) {
      choice.dataPath = candidate;
      choice.resume = true;
      choice.replaceStale = false;
      choice.found = true;
      return choice;
    }
    if (!choice.found && !Exists(info)) {
      choice.dataPath = candidate;
      choice.replaceStale = true;
      choice.found = true;
    }
  }
  return choice;
}

// The data files (and their info) of an upload whose target is already complete.
void RemoveLeftovers(const std::string& folder, const std::string& target, const std::string& hex) {
  std::vector<int> numbers = VariantNumbers(folder, target);
  numbers.insert(numbers.begin(), -1);
  for (int n : numbers) {
    std::string candidate = UpLoadDataPath(target, n);
    struct stat st {};
    if (!LStat(candidate, st) || !S_ISREG(st.st_mode) || DataFileInUse(candidate)) continue;
    std::string info = UpLoadInfoPath(candidate);
    if (!CheckRenameInfo(info, target, hex)) continue;
    ::unlink(candidate.c_str());
    ::unlink(info.c_str());
  }
}

// True when a regular file at target holds exactly size bytes with this digest.
bool TargetIsComplete(const std::string& target, uint32_t size, const uint8_t digest[16]) {
  int fd = ::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool same = false;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(size)) {
    Md5Context ctx;
    same = GetFdDigest(fd, st.st_size, ctx) && std::memcmp(ctx.digest, digest, 16) == 0;
  }
  ::close(fd);
  return same;
}

// Why a target path cannot be used; empty when it can.
const char* TargetProblem(const std::string& target) {
  if (target.size() > kMaxUpLoadPathLen) return "path too long";
  if (target.empty() || target[0] != '/') return "not an absolute path";
  std::string name = LastComponent(target);
  if (name.empty() || name == "." || name == "..") return "no file name";
  if (name.size() + kInfoSuffixLen > kNameMax) return "file name too long";
  if (target.find(kUpLoadDataSuffix) != std::string::npos) return "name of a resume file";
  return nullptr;
}

// The origin a data or end message comes from may feed an entry: the same connection,
// UDT socket or relaying device; a polled message (no origin) feeds relayed uploads.
bool FeedsEntry(const TransOrigin& message, const TransOrigin& entry) {
  if (message == entry) return true;
  return message.type == TransOrigin::Type::None && entry.type == TransOrigin::Type::Relay;
}

TransRecordPtr FindUpload(uint32_t seq, const TransOrigin& origin) {
  TransRecordPtr rec = TransFindAny(seq, TransKind::Upload);
  if (rec && !FeedsEntry(origin, rec->origin)) return nullptr;
  return rec;
}

// Whether a data or end message is taken: relayed copies on the relay connection are
// not (the poller delivers them).
bool RelayedWithoutUdt(const int32_t* udtSock, const uint8_t* direct) {
  return *direct == 0 && *udtSock < 0;
}

// Tells the device an upload came from that the upload has ended without its file: the
// upload error reply for the upload's number, on the transport the upload came on. For
// news that is no answer to the message being handled (another device took the upload
// over, or the message came by polling).
void TellUpLoadEnded(uint32_t seq, const TransOrigin& to) {
  const MsgHead head{static_cast<uint16_t>(kTransErrorSize), OP_UP_LOAD_ERROR, seq};
  uint8_t* msg = nullptr;
  int32_t len = 0;
  if (SetTransErrorReply(&head, OP_UP_LOAD_ERROR, -1, &msg, &len) == ERR_ALLOC) return;
  switch (to.type) {
    case TransOrigin::Type::Lan:
      OS_SendOnConn(to.connId, msg, static_cast<size_t>(len));
      break;
    case TransOrigin::Type::Udt: {
      // A UDT send waits while the peer's queue is full (a download to it, say): never on
      // the caller's thread, which may be the local server's loop.
      try {
        std::vector<char> copy(msg, msg + len);
        std::thread([sock = to.udtSock, copy = std::move(copy)] {
          UDT::sendmsg(sock, copy.data(), static_cast<int>(copy.size()), -1, true);
        }).detach();
      } catch (const std::exception&) {
        TLOG(MOD_INTRANET, LOG_ERROR, "upload %u: its device could not be told.", seq);
      }
      break;
    }
    case TransOrigin::Type::Relay: {
      uint8_t target[kRelayIdSize] = {};
      std::memcpy(target, to.deviceId.data(),
                  std::min<size_t>(to.deviceId.size(), kRelayIdSize - 1));
      OS_SendRelayMessage(nullptr, target, msg, static_cast<size_t>(len));
      break;
    }
    case TransOrigin::Type::None:
      break;
  }
  FreeReply(msg);
}

// Ends an upload with the upload error reply: as the answer to the message being
// handled when that came from the upload's own transport, else told apart.
int EndWithError(const MsgHead* head, const TransOrigin& message, const TransRecord& rec,
                 uint8_t** reply, int32_t* replyLen) {
  if (message == rec.origin) return SetTransErrorReply(head, OP_UP_LOAD_ERROR, -1, reply, replyLen);
  TellUpLoadEnded(head->seq, rec.origin);
  return -1;
}

// Whether the file a data file's descriptor writes to is no longer reachable by the data
// file's name: removed (with its folder, say), or moved away. The device must not take
// such an upload for stored.
bool DataFileGone(int fd, const std::string& dataPath) {
  struct stat open {};
  if (fd < 0 || ::fstat(fd, &open) != 0) return false;
  if (open.st_nlink == 0) return true;
  struct stat named {};
  return ::lstat(dataPath.c_str(), &named) != 0 || named.st_dev != open.st_dev ||
         named.st_ino != open.st_ino;
}

bool WriteAll(int fd, const uint8_t* p, size_t n, size_t* done) {
  *done = 0;
  while (*done < n) {
    ssize_t w = ::write(fd, p + *done, n - *done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    *done += static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

std::string UpLoadDataPath(const std::string& target, int n) {
  std::string base = target + kUpLoadDataSuffix;
  if (n < 0) return base;
  return base + ".(" + std::to_string(n) + ").rename";
}

std::string UpLoadInfoPath(const std::string& dataPath) { return dataPath + "tmp"; }

std::string UpLoadFinalCandidate(const std::string& target, int n) {
  if (n < 0) return target;
  std::string name = LastComponent(target);
  size_t dot = name.find_last_of('.');
  std::string numbered = target + ".(" + std::to_string(n) + ")";
  if (dot == std::string::npos) return numbered;
  return numbered + "." + name.substr(dot + 1);
}

int WriteRenameInfo(const std::string& infoPath, const std::string& target,
                    const std::string& hexDigest) {
  uint8_t rec[kRenameInfoSize] = {};
  std::memcpy(rec, target.data(), std::min(target.size(), kRenameInfoNameSize - 1));
  std::memcpy(rec + kRenameInfoNameSize, hexDigest.data(), std::min<size_t>(hexDigest.size(), 32));
  int fd = ::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  size_t done = 0;
  bool ok = WriteAll(fd, rec, sizeof rec, &done);
  ok = ::close(fd) == 0 && ok;
  return ok ? 0 : -1;
}

bool CheckRenameInfo(const std::string& infoPath, const std::string& target,
                     const std::string& hexDigest) {
  int fd = ::open(infoPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t rec[kRenameInfoSize];
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            ::pread(fd, rec, sizeof rec, 0) == static_cast<ssize_t>(sizeof rec);
  ::close(fd);
  if (!ok) return false;
  std::string name = wire::GetText(rec, kRenameInfoNameSize);
  std::string digest = wire::GetText(rec + kRenameInfoNameSize, 33);
  return name == target && digest == hexDigest;
}

int GetUpLoadFinalName(const std::string& dataPath, const std::string& target,
                       std::string& finalName) {
  UpLoadRenameFn rename = g_rename.load();
  for (int n = -1; n < kMaxVariants; ++n) {
    std::string candidate = UpLoadFinalCandidate(target, n);
    if (Exists(candidate)) continue;
    if (rename(dataPath, candidate) == 0) {
      finalName = candidate;
      return 0;
    }
    // Taken meanwhile: try the next name. Any other failure keeps the data file.
    int err = errno;
    if (err != EEXIST || !Exists(candidate)) {
      errno = err;
      return -1;
    }
  }
  return -1;
}

void SetUpLoadCheckBytes(int64_t bytes) { g_checkBytes = std::max<int64_t>(0, bytes); }

void UpLoadInit() {
  if (auto v = EnvInteger(kUpLoadCheckBytesEnv, 0, INT32_MAX)) SetUpLoadCheckBytes(*v);
}

void SetUpLoadFreeSpaceForTest(UpLoadFreeKBFn fn) { g_freeKB = fn != nullptr ? fn : DefaultFreeKB; }
void SetUpLoadRenameForTest(UpLoadRenameFn fn) { g_rename = fn != nullptr ? fn : DefaultRename; }
void SetUpLoadOpenForTest(UpLoadOpenFn fn) { g_open = fn != nullptr ? fn : DefaultOpen; }

int ReqUpLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                  uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  if (body == nullptr) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Input msg buffer pointer is null.");
    return ERR_NULL_MSG;
  }
  UpLoadRequest req;
  if (!ReadUpLoadRequest(body, bodyLen, *direct, req)) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Short upload request of %u bytes.", bodyLen);
    return Refuse(head, -1, reply, replyLen);
  }
  std::string target = ExpandDefaultDirMacro(
      platform::ConvertCharset(req.path, "UTF-8", platform::kNarrowCharset));
  if (target.empty()) {
    TLOG(MOD_INTRANET, LOG_DEBUG, "%s.", "def share dir is empty.");
    int r = Refuse(head, 0, reply, replyLen);
    return r == ERR_ALLOC ? r : ERR_DEF_SHARE_EMPTY;
  }
  TLOG(MOD_INTRANET, LOG_DEBUG, "upload file :%s", target.c_str());
  std::string folder = target;
  StripLastPathPart(folder);
  // A target that cannot be cut without naming another file, that has no name of its
  // own, whose resume files would not fit a file name, or that would be taken for a
  // resume file, is refused.
  if (const char* problem = TargetProblem(target)) {
    TLOG(MOD_INTRANET, LOG_ERROR, "upload target %s refused: %s.", target.c_str(), problem);
    return Refuse(head, -1, reply, replyLen);
  }
  // Nothing is created outside the shares: the nearest existing ancestor decides.
  if (CheckPathInShare(folder) != ERR_OK) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Filer %s not in share list", target.c_str());
    return Refuse(head, ERR_NOT_IN_SHARE, reply, replyLen);
  }
  // Folders are made only below the own folder of a share the target lies in, the deepest
  // one that exists. A share whose folder is missing (a disk that is not mounted) and
  // that lies in no other takes nothing, or its folder would appear again on the disk
  // beneath.
  const std::vector<std::string> roots = ShareRootsOf(folder);
  const bool rootExists = std::any_of(roots.begin(), roots.end(), [](const std::string& root) {
    struct stat st {};
    return ::stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  });
  if (!rootExists) {
    TLOG(MOD_INTRANET, LOG_ERROR, "upload of %s refused: the share folder %s does not exist.",
         target.c_str(), roots.empty() ? "" : roots.front().c_str());
    return Refuse(head, ERR_PATH_NOT_EXIST, reply, replyLen);
  }

  std::lock_guard<std::mutex> serial(g_announceMutex);
  if (CreateDirTree(folder) != 0) {
    TLOG(MOD_INTRANET, LOG_ERROR, "creat filer %s error.", folder.c_str());
    return Refuse(head, -1, reply, replyLen);
  }
  TLOG(MOD_INTRANET, LOG_DEBUG, "check dir:%s", folder.c_str());
  if (int code = CheckSharedPath(folder); code != ERR_OK) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Filer %s not in share list", target.c_str());
    return Refuse(head, code, reply, replyLen);
  }
  uint64_t freeKB = 0;
  if (g_freeKB.load()(folder, &freeKB) != 0 || freeKB <= req.size / 1024) {
    TLOG(MOD_INTRANET, LOG_ERROR, "not have enough size for save file %s.", target.c_str());
    return Refuse(head, -1, reply, replyLen);
  }

  // One upload per sequence number: a number in use by another origin or another file
  // is refused rather than mixed into that upload.
  TransOrigin origin = TransOriginOf(body, bodyLen, conn, *udtSock, *direct);
  auto sameFile = [&](const TransRecord& r) {
    return r.kind == TransKind::Upload && r.path == target &&
           std::memcmp(r.digest, req.digest, sizeof req.digest) == 0;
  };
  if (TransRecordPtr other = TransFindAny(head->seq, TransKind::Upload);
      other && !(other->origin == origin && sameFile(*other))) {
    TLOG(MOD_INTRANET, LOG_ERROR, "upload %u of %s refused: the number is in use for %s.",
         head->seq, target.c_str(), other->path.c_str());
    return Refuse(head, -1, reply, replyLen);
  }
  // An older upload of the same file ends first, so its bytes are all on disk before the
  // offset is measured and none is written twice. When it came from another device (or
  // connection), that one hears at once that its upload has ended; what it wrote stays,
  // and this announcement resumes it.
  for (auto& [seq, older] : TransTakeIf([&](uint32_t, const TransRecord& r) { return sameFile(r); })) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "close file trans, file %s", older->path.c_str());
    older->CloseFile();
    if (older->origin == origin) continue;
    TLOG(MOD_INTRANET, LOG_ERROR,
         "upload %u of %s taken over by upload %u of the same file from another device; "
         "its data stays for a resume.",
         seq, older->path.c_str(), head->seq);
    TellUpLoadEnded(seq, older->origin);
  }

  const bool hasInfo = req.digest[0] != 0;
  const std::string hex = HexDigest(req.digest);
  if (hasInfo && TargetIsComplete(target, req.size, req.digest)) {
    // Already there: nothing to receive, nothing is opened or logged.
    RemoveLeftovers(folder, target, hex);
    TLOG(MOD_INTRANET, LOG_DEBUG, "===File allow send size:%d===", static_cast<int>(req.size));
    uint8_t* r = AllocReply(kUpLoadAllowSize);
    if (r == nullptr) {
      TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
      return ERR_ALLOC;
    }
    MsgHead{static_cast<uint16_t>(kUpLoadAllowSize), OP_UP_LOAD_ALLOW, head->seq}.Encode(r);
    wire::PutU32(r + 8, req.size);
    *reply = r;
    *replyLen = static_cast<int32_t>(kUpLoadAllowSize);
    return ERR_OK;
  }

  DataChoice choice = ChooseDataFile(folder, target, hasInfo, hex);
  if (!choice.found) {
    TLOG(MOD_INTRANET, LOG_ERROR, "open file %s error.", UpLoadDataPath(target, -1).c_str());
    return Refuse(head, -1, reply, replyLen);
  }
  const std::string info = UpLoadInfoPath(choice.dataPath);
  bool infoWritten = false;
  if (!choice.resume) {
    if (choice.replaceStale) ::unlink(choice.dataPath.c_str());
    if (hasInfo) {
      infoWritten = WriteRenameInfo(info, target, hex) == 0;
      if (!infoWritten) TLOG(MOD_INTRANET, LOG_ERROR, "write info file %s error.", info.c_str());
    } else {
      // An upload without a digest never resumes: no info of an older upload stays.
      ::unlink(info.c_str());
    }
  }
  if (hasInfo) {
    std::printf("===File:%s,crc:%s===\n", choice.dataPath.c_str(), hex.c_str());
    std::fflush(stdout);
  }

  int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
  if (!choice.resume) flags |= O_CREAT | O_EXCL;
  int fd = g_open.load()(choice.dataPath.c_str(), flags, 0644);
  struct stat st {};
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) {
    TLOG(MOD_INTRANET, LOG_ERROR, "open file %s error.", choice.dataPath.c_str());
    if (infoWritten) ::unlink(info.c_str());
    return Refuse(head, -1, reply, replyLen);
  }
  int64_t offset = static_cast<int64_t>(st.st_size);
  if (offset > static_cast<int64_t>(req.size)) {
    // More than the file holds: not a prefix of it, so it starts again.
    if (::ftruncate(fd, 0) != 0) {
      TLOG(MOD_INTRANET, LOG_ERROR, "open file %s error.", choice.dataPath.c_str());
      ::close(fd);
      return Refuse(head, -1, reply, replyLen);
    }
    offset = 0;
  }

  auto rec = std::make_shared<TransRecord>();
  rec->kind = TransKind::Upload;
  rec->origin = origin;
  rec->fd = fd;  // closed with the record from here on
  rec->dataPath = choice.dataPath;
  rec->path = target;
  std::memcpy(rec->digest, req.digest, sizeof rec->digest);
  rec->hasDigest = hasInfo;
  rec->size = req.size;
  rec->written = offset;

  uint8_t* r = AllocReply(kUpLoadAllowSize);
  if (r == nullptr) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
    rec->CloseFile();
    return ERR_ALLOC;
  }
  if (!TransInsert(head->seq, rec)) {
    FreeReply(r);
    rec->CloseFile();
    TLOG(MOD_INTRANET, LOG_ERROR, "upload %u of %s refused: the number is in use.", head->seq,
         target.c_str());
    return Refuse(head, -1, reply, replyLen);
  }
  TLOG(MOD_INTRANET, LOG_DEBUG, "===File allow send size:%d===", static_cast<int>(offset));
  MsgHead{static_cast<uint16_t>(kUpLoadAllowSize), OP_UP_LOAD_ALLOW, head->seq}.Encode(r);
  wire::PutU32(r + 8, static_cast<uint32_t>(offset));
  *reply = r;
  *replyLen = static_cast<int32_t>(kUpLoadAllowSize);
  return ERR_OK;
}

int UpLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
               uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  if (RelayedWithoutUdt(udtSock, direct)) return ERR_OK;
  if (body == nullptr) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Input msg buffer pointer is null.");
    return ERR_NULL_MSG;
  }
  // The data are what both the head and the message hold.
  uint32_t length = std::min<uint32_t>(head->length, static_cast<uint32_t>(MsgHead::kSize) + bodyLen);
  if (length < kUpLoadDataHeadSize) {
    // Nothing is taken from it; the upload goes on.
    TLOG(MOD_INTRANET, LOG_ERROR,
         "upload data message %u of %u bytes refused: shorter than its %u-byte head.", head->seq,
         length, kUpLoadDataHeadSize);
    return ERR_ALLOC;
  }
  const size_t n = length - kUpLoadDataHeadSize;
  const uint8_t* data = body + (kUpLoadDataHeadSize - MsgHead::kSize);

  const TransOrigin origin = TransOriginOf(body, bodyLen, conn, *udtSock, *direct);
  TransRecordPtr rec = FindUpload(head->seq, origin);
  if (!rec) return ERR_OK;
  {
    std::lock_guard<std::mutex> lock(rec->fileMutex);
    if (rec->fd < 0) return ERR_OK;  // ended meanwhile
    if (rec->written + static_cast<int64_t>(n) > rec->size) {
      TLOG(MOD_INTRANET, LOG_ERROR, "upload of %s: %zu bytes past its size %lld refused.",
           rec->path.c_str(), n, static_cast<long long>(rec->size));
    } else {
      size_t done = 0;
      bool written = WriteAll(rec->fd, data, n, &done);
      rec->written += static_cast<int64_t>(done);
      rec->Touch();
      // Looking costs a system call: it is done once per kUpLoadCheckBytesEnv bytes.
      bool look = written && rec->written - rec->checkedAt >= g_checkBytes.load();
      if (look) rec->checkedAt = rec->written;
      struct stat st {};
      if (look && ::fstat(rec->fd, &st) == 0 && st.st_nlink == 0) {
        // Writes into a removed file would go nowhere: nothing is left to resume.
        TLOG(MOD_INTRANET, LOG_ERROR, "upload of %s ended: its data file %s was removed.",
             rec->path.c_str(), rec->dataPath.c_str());
      } else if (written) {
        return ERR_OK;
      } else {
        TLOG(MOD_INTRANET, LOG_ERROR, "write file %s error: %s.", rec->dataPath.c_str(),
             std::strerror(errno));
      }
    }
  }
  // The upload ends here: later data would land at the wrong place, or nowhere. What a
  // data file still there holds, a correct prefix, is resumed by the next announcement.
  // The device is told, or it would take the upload for complete.
  if (!TransRemove(head->seq, rec)) return -1;
  rec->CloseFile();
  return EndWithError(head, origin, *rec, reply, replyLen);
}

bool AbortUpLoad(uint32_t seq, const TransOrigin& origin) {
  TransRecordPtr rec = FindUpload(seq, origin);
  if (!rec || !TransRemove(seq, rec)) return false;
  TLOG(MOD_INTRANET, LOG_ERROR, "upload of %s ended: a data message was lost.", rec->path.c_str());
  rec->CloseFile();
  return true;
}

int OverUpLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                   uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  if (RelayedWithoutUdt(udtSock, direct)) return ERR_OK;
  if (body == nullptr) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Input msg buffer pointer is null.");
    return ERR_NULL_MSG;
  }
  if (bodyLen == 0) {
    TLOG(MOD_INTRANET, LOG_ERROR, "upload end message %u refused: it has no status byte.",
         head->seq);
    return ERR_NULL_MSG;
  }
  const uint8_t status = body[0];
  const TransOrigin origin = TransOriginOf(body, bodyLen, conn, *udtSock, *direct);
  TransRecordPtr rec = FindUpload(head->seq, origin);
  if (!rec) return ERR_OK;
  // Until the data file has its final name, no announcement may take it up again.
  std::unique_lock<std::mutex> serial(g_announceMutex);
  if (!TransRemove(head->seq, rec)) return ERR_OK;
  const std::string& dataPath = rec->dataPath;
  const std::string info = UpLoadInfoPath(dataPath);
  bool gone = false;
  {
    std::lock_guard<std::mutex> lock(rec->fileMutex);  // after an append in progress
    gone = DataFileGone(rec->fd, dataPath);
  }
  rec->CloseFile();
  if (gone) {
    // Removed or moved away meanwhile: nothing is given a name, nothing is deleted.
    TLOG(MOD_INTRANET, LOG_ERROR, "upload of %s ended: its data file %s was removed or moved.",
         rec->path.c_str(), dataPath.c_str());
    return status == 0 ? EndWithError(head, origin, *rec, reply, replyLen) : -1;
  }
  struct stat st {};
  const int64_t length = LStat(dataPath, st) ? static_cast<int64_t>(st.st_size) : -1;
  if (status != 0 || length != rec->size) {
    if (status == 0) {
      TLOG(MOD_INTRANET, LOG_ERROR, "upload of %s ended with %lld of %lld bytes; kept for a resume.",
           rec->path.c_str(), static_cast<long long>(length), static_cast<long long>(rec->size));
    }
    // Given up: the files stay for a resume unless the upload cannot resume.
    if (status != 0 && !Exists(info)) ::unlink(dataPath.c_str());
    return ERR_OK;
  }

  std::string finalName;
  if (GetUpLoadFinalName(dataPath, rec->path, finalName) != 0) {
    TLOG(MOD_INTRANET, LOG_ERROR, "rename file %s to %s error: %s; kept for a resume.",
         dataPath.c_str(), rec->path.c_str(), std::strerror(errno));
    return -1;
  }
  ::unlink(info.c_str());
  serial.unlock();
  // An empty upload next to an existing target leaves no empty copy.
  if (length == 0 && finalName != rec->path) {
    ::unlink(finalName.c_str());
    return ERR_OK;
  }
  WriteTranLog(finalName, TRANS_LOG_UPLOAD, length);
  return ERR_OK;
}
