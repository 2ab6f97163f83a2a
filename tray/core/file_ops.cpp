#include "file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

namespace tray {

namespace fs = std::filesystem;

namespace {

fs::path P(const QString& path) { return fs::path(path.toStdString()); }
std::string S(const QString& path) { return path.toStdString(); }

bool Report(const std::error_code& ec, QString* error) {
  if (!ec) return true;
  if (error) *error = QString::fromStdString(ec.message());
  return false;
}

bool Fail(FileError* error, const QString& path, int err) {
  if (error) {
    error->text = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(err)));
    error->noSpace = err == ENOSPC || err == EDQUOT;
  }
  return false;
}

int64_t MtimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

timespec Ts(int64_t ns) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(ns / 1000000000);
  t.tv_nsec = static_cast<long>(ns % 1000000000);
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    --t.tv_sec;
  }
  return t;
}

FsEntry EntryOf(const struct stat& st, QString rel) {
  FsEntry e;
  e.rel = std::move(rel);
  e.kind = S_ISREG(st.st_mode) ? FsEntry::kFile
           : S_ISDIR(st.st_mode) ? FsEntry::kDir
           : S_ISLNK(st.st_mode) ? FsEntry::kLink
                                 : FsEntry::kOther;
  e.size = e.kind == FsEntry::kFile ? static_cast<int64_t>(st.st_size) : 0;
  e.mtimeNs = MtimeNs(st);
  return e;
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool ListInto(const std::string& dir, const QString& rel, std::vector<FsEntry>* out, FileError* error) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
  // A folder below the root that went since it was read (the folder is in use) is not listed.
  if (!d) return !rel.isEmpty() && errno == ENOENT ? true : Fail(error, QString::fromStdString(dir), errno);
  while (dirent* ent = ::readdir(d.get())) {
    const char* name = ent->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    const std::string path = dir + "/" + name;
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;  // renamed or removed since the folder was read
      return Fail(error, QString::fromStdString(path), errno);
    }
    const QString childRel = rel.isEmpty() ? QString::fromStdString(name) : rel + QLatin1Char('/') + QString::fromStdString(name);
    out->push_back(EntryOf(st, childRel));
    if (S_ISDIR(st.st_mode) && !ListInto(path, childRel, out, error)) return false;
  }
  return true;
}

}  // namespace

bool OnSameFileSystem(const QString& path, const QString& other) {
  struct stat a{}, b{};
  if (::stat(S(path).c_str(), &a) != 0) return true;
  fs::path p = P(other);
  while (::stat(p.c_str(), &b) != 0) {
    if (!p.has_parent_path() || p.parent_path() == p) return true;
    p = p.parent_path();
  }
  return a.st_dev == b.st_dev;
}

bool RealFileOps::Exists(const QString& path) const {
  std::error_code ec;
  return fs::exists(fs::symlink_status(P(path), ec));
}

bool RealFileOps::IsDir(const QString& path) const {
  std::error_code ec;
  return fs::is_directory(P(path), ec);
}

bool RealFileOps::IsEmptyDir(const QString& path) const {
  std::error_code ec;
  const fs::path p = P(path);
  return fs::is_directory(fs::symlink_status(p, ec)) && fs::is_empty(p, ec) && !ec;
}

QString RealFileOps::Canonical(const QString& path) const {
  std::error_code ec;
  fs::path c = fs::weakly_canonical(P(path), ec);
  return ec ? path : QString::fromStdString(c.string());
}

bool RealFileOps::MakePath(const QString& path, QString* error) {
  std::error_code ec;
  fs::create_directories(P(path), ec);
  return Report(ec, error);
}

bool RealFileOps::Rename(const QString& from, const QString& to, QString* error) {
  std::error_code ec;
  fs::rename(P(from), P(to), ec);
  return Report(ec, error);
}

bool RealFileOps::RemoveTree(const QString& path, QString* error) {
  std::error_code ec;
  fs::remove_all(P(path), ec);
  return Report(ec, error);
}

bool RealFileOps::ListTree(const QString& root, std::vector<FsEntry>* out, FileError* error) const {
  out->clear();
  struct stat st{};
  if (::lstat(S(root).c_str(), &st) != 0) return Fail(error, root, errno);
  out->push_back(EntryOf(st, QString()));
  if (!S_ISDIR(st.st_mode)) return true;
  return ListInto(S(root), QString(), out, error);
}

std::optional<FsEntry> RealFileOps::Stat(const QString& path) const {
  struct stat st{};
  if (::lstat(S(path).c_str(), &st) != 0) return std::nullopt;
  return EntryOf(st, QString());
}

bool RealFileOps::CopyFile(const QString& from, const QString& to, const std::function<bool(int64_t)>& wrote,
                           FileError* error) {
  Fd in, out;
  in.fd = ::open(S(from).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in.fd < 0) return Fail(error, from, errno);
  struct stat st{};
  if (::fstat(in.fd, &st) != 0) return Fail(error, from, errno);
  out.fd = ::open(S(to).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, st.st_mode & 07777);
  if (out.fd < 0) return Fail(error, to, errno);
  std::vector<char> buffer(1 << 20);
  for (;;) {
    ssize_t n = ::read(in.fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(error, from, errno);
    if (n == 0) break;
    for (ssize_t off = 0; off < n;) {
      ssize_t w = ::write(out.fd, buffer.data() + off, static_cast<size_t>(n - off));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return Fail(error, to, errno);
      off += w;
    }
    if (wrote && !wrote(n)) {
      if (error) {
        error->text = QStringLiteral("cancelled");
        error->cancelled = true;
      }
      return false;
    }
  }
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(out.fd, times) != 0) return Fail(error, to, errno);
  if (::fsync(out.fd) != 0) return Fail(error, to, errno);
  const int fd = out.fd;
  out.fd = -1;
  if (::close(fd) != 0) return Fail(error, to, errno);
  return true;
}

bool RealFileOps::CopyLink(const QString& from, const QString& to, FileError* error) {
  std::vector<char> target(4096);
  ssize_t n = ::readlink(S(from).c_str(), target.data(), target.size() - 1);
  if (n < 0) return Fail(error, from, errno);
  target[static_cast<size_t>(n)] = '\0';
  if (::symlink(target.data(), S(to).c_str()) != 0) return Fail(error, to, errno);
  struct stat st{};
  if (::lstat(S(from).c_str(), &st) == 0) return SetTime(to, MtimeNs(st), error);
  return true;
}

bool RealFileOps::MakeDir(const QString& path, FileError* error) {
  if (::mkdir(S(path).c_str(), 0755) != 0) return Fail(error, path, errno);
  return true;
}

bool RealFileOps::SetTime(const QString& path, int64_t mtimeNs, FileError* error) {
  const timespec times[2] = {{0, UTIME_OMIT}, Ts(mtimeNs)};
  if (::utimensat(AT_FDCWD, S(path).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) return Fail(error, path, errno);
  return true;
}

bool RealFileOps::SyncDir(const QString& path, FileError* error) {
  Fd d;
  d.fd = ::open(S(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d.fd < 0) return Fail(error, path, errno);
  if (::fsync(d.fd) != 0) return Fail(error, path, errno);
  return true;
}

bool RealFileOps::WriteNote(const QString& path, const QString& text, FileError* error) {
  const QByteArray data = text.toUtf8();
  {
    Fd f;
    f.fd = ::open(S(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (f.fd < 0) return Fail(error, path, errno);
    for (qsizetype off = 0; off < data.size();) {
      ssize_t w = ::write(f.fd, data.constData() + off, static_cast<size_t>(data.size() - off));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return Fail(error, path, errno);
      off += w;
    }
    if (::fsync(f.fd) != 0) return Fail(error, path, errno);
  }
  return SyncDir(QString::fromStdString(P(path).parent_path().string()), error);
}

std::optional<QString> RealFileOps::ReadNote(const QString& path) const {
  Fd f;
  f.fd = ::open(S(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (f.fd < 0) return std::nullopt;
  QByteArray data;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(f.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer, n);
    if (data.size() > 65536) return std::nullopt;  // not a note of ours
  }
  return QString::fromUtf8(data);
}

bool RealFileOps::RemoveFile(const QString& path, FileError* error) {
  if (::unlink(S(path).c_str()) != 0 && errno != ENOENT) return Fail(error, path, errno);
  return true;
}

std::optional<int64_t> RealFileOps::FreeBytes(const QString& path) const {
  struct statvfs st{};
  if (::statvfs(S(path).c_str(), &st) != 0) return std::nullopt;
  return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

}  // namespace tray
