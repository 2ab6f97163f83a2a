#include "comm/utils.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/charset.h"

static_assert(sizeof(off_t) == 8, "file sizes must be 64-bit");

namespace {

// Reads a number like atoi (leading blanks, a sign, digits; anything else ends it),
// clamped to the int range instead of overflowing.
int ReadInt(const char* s) {
  long v = std::strtol(s, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

enum class EntryKind { kDir, kFile, kSkip };

EntryKind KindOf(int dirFd, const struct dirent* entry) {
  if (entry->d_type == DT_DIR) return EntryKind::kDir;
  if (entry->d_type == DT_REG) return EntryKind::kFile;
  struct stat st;
  if (::fstatat(dirFd, entry->d_name, &st, 0) == 0) {
    if (S_ISDIR(st.st_mode)) return EntryKind::kDir;
    if (S_ISREG(st.st_mode)) return EntryKind::kFile;
    return EntryKind::kSkip;  // devices, pipes, sockets
  }
  // A symlink whose target is gone is listed as a file.
  if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    return EntryKind::kFile;
  }
  return EntryKind::kSkip;
}

int ListEntries(const std::string& folder, EntryKind wanted, std::vector<std::string>& out) {
  out.clear();
  if (folder.empty()) return -1;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return -1;
  int dirFd = ::dirfd(dir);
  int result = 0;
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) result = -1;
      break;
    }
    std::string name = entry->d_name;
    if (name == "." || name == ".." || IsHiddenName(name)) continue;
    if (KindOf(dirFd, entry) == wanted) out.push_back(name);
  }
  ::closedir(dir);
  return result;
}

// The real path of the nearest existing ancestor of path ("" when none resolves).
std::string ExistingRealPath(const std::string& path) {
  std::string probe = path;
  for (;;) {
    char* real = ::realpath(probe.empty() ? "." : probe.c_str(), nullptr);
    if (real != nullptr) {
      std::string result = real;
      std::free(real);
      return result;
    }
    if (probe.empty() || probe == "/") return std::string();
    size_t cut = probe.find_last_of('/');
    if (cut == std::string::npos) {
      probe.clear();
    } else {
      probe.resize(cut == 0 ? 1 : cut);
    }
  }
}

// Undoes the octal escapes (\040 for a blank ...) of a /proc/self/mountinfo field.
std::string UnescapeMountField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char* d = field.c_str() + i + 1;
      if (d[0] >= '0' && d[0] <= '3' && d[1] >= '0' && d[1] <= '7' && d[2] >= '0' && d[2] <= '7') {
        out += static_cast<char>((d[0] - '0') * 64 + (d[1] - '0') * 8 + (d[2] - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

bool IsBelow(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path.compare(0, root.size(), root) == 0 &&
         (path.size() == root.size() || path[root.size()] == '/');
}

// The longest mount point of this process that holds the real path real; "" when the
// mount table cannot be read.
std::string MountPointFromTable(const std::string& real) {
  FILE* f = std::fopen("/proc/self/mountinfo", "re");
  if (f == nullptr) return std::string();
  std::string best;
  char* line = nullptr;
  size_t cap = 0;
  while (::getline(&line, &cap, f) != -1) {
    // id parent major:minor root mount-point ...
    char mount[4096];
    if (std::sscanf(line, "%*s %*s %*s %*s %4095s", mount) != 1) continue;
    std::string point = UnescapeMountField(mount);
    if (IsBelow(real, point) && point.size() > best.size()) best = point;
  }
  std::free(line);
  std::fclose(f);
  return best;
}

// The topmost ancestor of real on the same device: the mount point when the table is
// unavailable.
std::string MountPointFromDevice(const std::string& real) {
  struct stat st;
  if (::stat(real.c_str(), &st) != 0) return std::string();
  std::string cur = real;
  while (cur != "/") {
    size_t cut = cur.find_last_of('/');
    std::string parent = cut == 0 ? "/" : cur.substr(0, cut);
    struct stat pst;
    if (::stat(parent.c_str(), &pst) != 0 || pst.st_dev != st.st_dev) break;
    cur = parent;
  }
  return cur;
}

}  // namespace

std::string TimeToStr(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm local;
  if (::localtime_r(&tt, &local) == nullptr) return std::string();
  char buf[64];
  size_t n = std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &local);
  return std::string(buf, n);
}

int64_t StrToTime(const std::string& text) {
  const char* s = text.c_str();
  const char* hyphen1 = std::strchr(s, '-');
  if (hyphen1 == nullptr) return 0;
  const char* hyphen2 = std::strchr(hyphen1 + 1, '-');
  if (hyphen2 == nullptr) return 0;

  struct tm local;
  std::memset(&local, 0, sizeof(local));
  long year = ReadInt(s);
  local.tm_year = static_cast<int>(year - 1900 < INT_MIN ? INT_MIN : year - 1900);
  local.tm_mon = ReadInt(hyphen1 + 1) - 1;
  local.tm_mday = ReadInt(hyphen2 + 1);
  if (const char* blank = std::strchr(hyphen2 + 1, ' '); blank != nullptr) {
    local.tm_hour = ReadInt(blank + 1);
    if (const char* colon1 = std::strchr(blank + 1, ':'); colon1 != nullptr) {
      local.tm_min = ReadInt(colon1 + 1);
      if (const char* colon2 = std::strchr(colon1 + 1, ':'); colon2 != nullptr) {
        local.tm_sec = ReadInt(colon2 + 1);
      }
    }
  }
  // Stored texts are plain local times: let mktime decide whether DST applies.
  local.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&local));
}

std::string IntToStr(int32_t value) { return std::to_string(value); }

std::string UIntToStr(uint32_t value) { return std::to_string(value); }

void SplitString(const std::string& text, const std::string& sep, std::vector<std::string>& out) {
  out.clear();
  if (text.empty() || sep.empty()) return;
  size_t start = 0;
  for (;;) {
    size_t hit = text.find(sep, start);
    if (hit == std::string::npos) break;
    out.push_back(text.substr(start, hit - start));
    start = hit + sep.size();
  }
  out.push_back(text.substr(start));
}

int FileExists(const std::string& path) {
  struct stat st;
  if (path.empty()) return -1;
  return ::stat(path.c_str(), &st) == 0 ? 0 : -1;
}

int RemoveFile(const std::string& path) {
  if (path.empty()) return 0;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
  int rc = S_ISDIR(st.st_mode) ? ::rmdir(path.c_str()) : ::unlink(path.c_str());
  if (rc == 0 || errno == ENOENT) return 0;
  return -1;
}

bool StripLastPathPart(std::string& path) {
  if (path.size() < 2 || path.size() > kMaxPathLen) return false;
  for (size_t i = path.size() - 2; i >= 1; --i) {
    if (IsSeparator(path[i])) {
      path.resize(i);
      break;
    }
  }
  return true;
}

int DirExists(const std::string& path) {
  if (path.empty() || path.size() > kMaxPathLen) return -1;
  std::string probe = path;
  if (probe.size() > 1 && IsSeparator(probe.back())) probe.pop_back();
  struct stat st;
  if (::stat(probe.c_str(), &st) != 0) return -1;
  return S_ISDIR(st.st_mode) ? 0 : -1;
}

bool IsHiddenName(const std::string& name) {
  if (name.empty()) return false;
  if (name[0] == '.') return true;
  static const std::string kMark = "tirvan.rename";
  size_t at = name.rfind(kMark);
  if (at == std::string::npos) return false;
  std::string rest = name.substr(at + kMark.size());
  // The info file adds "tmp".
  if (EndsWith(rest, "tmp")) rest.resize(rest.size() - 3);
  if (rest.empty()) return true;
  // A data file moved aside to a free name: ".(n).rename", or ".(n)" without an extension.
  if (rest.compare(0, 2, ".(") != 0) return false;
  size_t close = rest.find(')', 2);
  if (close == std::string::npos || close == 2) return false;
  for (size_t i = 2; i < close; ++i) {
    if (rest[i] < '0' || rest[i] > '9') return false;
  }
  std::string ext = rest.substr(close + 1);
  return ext.empty() || ext == ".rename";
}

int ListSubDirs(const std::string& folder, std::vector<std::string>& out) {
  return ListEntries(folder, EntryKind::kDir, out);
}

int ListFiles(const std::string& folder, std::vector<std::string>& out) {
  return ListEntries(folder, EntryKind::kFile, out);
}

std::string GetDriveRoot(const std::string& path) {
  if (path.empty()) return std::string();
  std::string real = ExistingRealPath(path);
  if (real.empty()) return std::string();
  std::string point = MountPointFromTable(real);
  if (point.empty()) point = MountPointFromDevice(real);
  return point;
}

uint32_t FreeBytesToKB(uint64_t bytes) { return static_cast<uint32_t>(bytes >> 10); }

int GetDiskFreeKB(const std::string& path, uint32_t& kb) {
  if (path.empty()) return -1;
  std::string root = GetDriveRoot(path);
  if (root.empty()) return -1;
  struct statvfs vfs;
  if (::statvfs(root.c_str(), &vfs) != 0) return -1;
  // The whole volume's free space, not only what an unprivileged user may take.
  uint32_t value = FreeBytesToKB(static_cast<uint64_t>(vfs.f_bfree) * vfs.f_frsize);
  std::printf("disk %uKB free.\n", value);
  kb = value;
  return 0;
}

int GetHostName(std::string& name) {
  name.clear();
  char buf[260];
  if (::gethostname(buf, sizeof(buf)) != 0) return errno;
  buf[sizeof(buf) - 1] = '\0';
  name = buf;
  return 0;
}

std::string ConvertCharset(const char* from, const char* to, const std::string& text) {
  return platform::ConvertCharset(std::string(text.c_str()), from, to);
}
