#include "comm/share_paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "comm/config_db.h"
#include "comm/errors.h"
#include "comm/log.h"
#include "comm/utils.h"

static_assert(sizeof(off_t) == 8, "file sizes must be 64-bit");

namespace {

std::mutex& ModulePathLock() {
  static std::mutex m;
  return m;
}

std::string& ModulePathOverride() {
  static std::string path;
  return path;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The real path of text ("" with errno set when it does not resolve).
std::string RealPath(const std::string& text) {
  char* real = ::realpath(text.c_str(), nullptr);
  if (real == nullptr) return std::string();
  std::string result = real;
  std::free(real);
  return result;
}

bool IsDir(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// True when the canonical path equals the canonical root or lies below it.
bool WithinCanonical(const std::string& path, const std::string& root) {
  if (root.empty() || path.size() < root.size()) return false;
  if (path.compare(0, root.size(), root) != 0) return false;
  if (path.size() == root.size() || root == "/") return true;
  return path[root.size()] == '/';
}

// The canonical form of a share root; "" for a text that cannot be one.
std::string CanonicalRoot(const std::string& root) {
  std::string disk = ToDiskPath(root);
  if (disk.empty() || disk[0] != '/') return std::string();
  return CanonicalPath(disk);
}

// The canonical folders of every shared and default folder.
std::vector<std::string> CanonicalRoots() {
  std::vector<std::string> roots;
  ParseShareInfo(roots);
  std::vector<std::string> defaults;
  GetDefaultDirList(defaults);
  roots.insert(roots.end(), defaults.begin(), defaults.end());
  std::vector<std::string> canonical;
  for (const std::string& root : roots) {
    if (root.empty()) continue;
    std::string c = CanonicalRoot(root);
    if (!c.empty()) canonical.push_back(std::move(c));
  }
  return canonical;
}

bool WithinAny(const std::string& canonical, const std::vector<std::string>& roots) {
  if (canonical.empty()) return false;
  for (const std::string& root : roots) {
    if (WithinCanonical(canonical, root)) return true;
  }
  return false;
}

// A symlink is listed only when where it leads lies within a share: an entry that would
// show a file or folder outside, or could not be opened, is left out. A dangling link
// counts by where its target would be.
bool ListedEntry(const std::string& full, const std::vector<std::string>& roots) {
  struct stat st {};
  if (::lstat(full.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
  std::string real = RealPath(full);
  if (real.empty()) {
    if (errno != ENOENT) return false;
    char target[PATH_MAX];
    ssize_t n = ::readlink(full.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    std::string to(target, static_cast<size_t>(n));
    if (to[0] != '/') to = full.substr(0, full.find_last_of('/') + 1) + to;
    real = CanonicalPath(to);
  }
  return WithinAny(real, roots);
}

void ListKind(const std::string& folder, int32_t kind, const std::vector<std::string>& roots,
              std::vector<DirEntry>& out) {
  std::vector<std::string> names;
  if (kind == 0) {
    ListSubDirs(folder, names);
  } else {
    ListFiles(folder, names);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string full = JoinPath(folder, name);
    if (!ListedEntry(full, roots)) continue;
    DirEntry entry;
    entry.kind = kind;
    entry.name = name;
    entry.time = TimeToStr(static_cast<int64_t>(std::time(nullptr)));
    struct stat st {};
    if (::stat(full.c_str(), &st) == 0) {
      entry.time = TimeToStr(static_cast<int64_t>(st.st_mtime));
      if (kind == 1) entry.size = static_cast<int64_t>(st.st_size);
    }
    out.push_back(std::move(entry));
  }
}

}  // namespace

uint32_t DirEntryWireSize(const DirEntry& entry) {
  if (entry.size <= 0) return 0;
  if (entry.size >= static_cast<int64_t>(UINT32_MAX)) return UINT32_MAX;
  return static_cast<uint32_t>(entry.size);
}

std::string ToDiskPath(const std::string& path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '\\') c = '/';
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  return out;
}

std::string CanonicalPath(const std::string& path) {
  std::string disk = ToDiskPath(path);
  if (disk.empty()) return std::string();
  bool absolute = disk[0] == '/';
  std::vector<std::string> parts;
  SplitString(disk, "/", parts);
  parts.erase(std::remove(parts.begin(), parts.end(), std::string()), parts.end());

  // Find the longest prefix that resolves; what follows it does not exist, so it holds
  // no symlinks and its "." and ".." can be applied by text.
  std::string base;
  size_t existing = parts.size();
  for (;;) {
    std::string prefix = absolute ? "/" : "";
    for (size_t i = 0; i < existing; ++i) prefix += (i == 0 ? "" : "/") + parts[i];
    if (prefix.empty()) prefix = ".";
    base = RealPath(prefix);
    if (!base.empty()) break;
    if ((errno != ENOENT && errno != ENOTDIR) || existing == 0) return std::string();
    --existing;
  }
  for (size_t i = existing; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part == ".") continue;
    if (part == "..") {
      size_t cut = base.find_last_of('/');
      base.resize(cut == 0 || cut == std::string::npos ? 1 : cut);
      continue;
    }
    if (base.back() != '/') base += '/';
    base += part;
  }
  return base;
}

bool IsPathWithin(const std::string& path, const std::string& root) {
  std::string canonicalRoot = CanonicalRoot(root);
  if (canonicalRoot.empty()) return false;
  std::string canonical = CanonicalPath(path);
  return !canonical.empty() && WithinCanonical(canonical, canonicalRoot);
}

int CheckPathInShare(const std::string& path) {
  return WithinAny(CanonicalPath(path), CanonicalRoots()) ? ERR_OK : ERR_NOT_IN_SHARE;
}

std::vector<std::string> ShareRootsOf(const std::string& path) {
  std::string canonical = CanonicalPath(path);
  std::vector<std::string> within;
  if (canonical.empty()) return within;
  for (std::string& root : CanonicalRoots()) {
    if (WithinCanonical(canonical, root)) within.push_back(std::move(root));
  }
  // Deepest first; a root below another is longer than it.
  std::stable_sort(within.begin(), within.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  within.erase(std::unique(within.begin(), within.end()), within.end());
  return within;
}

int CheckSharedPath(const std::string& folder) {
  std::string disk = ToDiskPath(folder);
  if (DirExists(disk) != 0) return ERR_PATH_NOT_EXIST;
  return CheckPathInShare(disk);
}

void ListDirEntries(const std::string& folder, std::vector<DirEntry>& out) {
  std::string disk = ToDiskPath(folder);
  if (disk.empty()) return;
  const std::vector<std::string> roots = CanonicalRoots();
  ListKind(disk, 0, roots, out);
  ListKind(disk, 1, roots, out);
}

int CreateDirTree(const std::string& path) {
  std::string disk = ToDiskPath(path);
  if (IsDir(disk)) return 0;
  std::vector<std::string> pieces;
  SplitString(disk, "/", pieces);
  if (pieces.size() < 2) return -1;
  // Uploads name their folder from a device's path: never climb out of it.
  if (std::find(pieces.begin(), pieces.end(), "..") != pieces.end()) return -1;
  // The first piece is the root ("" for an absolute path) and is never created.
  std::string prefix = pieces[0] + "/";
  for (size_t i = 1; i < pieces.size(); ++i) {
    if (pieces[i].empty()) continue;
    prefix += pieces[i] + "/";
    if (IsDir(prefix)) continue;
    // EEXIST: another thread may have made it meanwhile.
    if (::mkdir(prefix.c_str(), 0755) != 0 && !(errno == EEXIST && IsDir(prefix))) return -1;
  }
  return IsDir(disk) ? 0 : -1;
}

std::string ExpandDefaultDirMacro(const std::string& request) {
  if (request.compare(0, 8, "$DEFAULT") != 0) return ToDiskPath(request);
  DefaultDirInfo dirs;
  ParseDefaultDir(dirs);
  const struct {
    const char* macro;
    const std::string& folder;
  } kMacros[] = {
      {"$DEFAULT$", dirs.def},
      {"$DEFAULT_PIC$", dirs.def_pic},
      {"$DEFAULT_MUSIC$", dirs.def_music},
      {"$DEFAULT_VIDEO$", dirs.def_video},
      {"$DEFAULT_DOC$", dirs.def_doc},
  };
  for (const auto& m : kMacros) {
    size_t len = std::strlen(m.macro);
    if (request.compare(0, len, m.macro) != 0) continue;
    if (m.folder.empty()) return std::string();
    return ToDiskPath(ReplaceAll(request, m.macro, m.folder));
  }
  return ToDiskPath(request);
}

void CleanRenameTempFiles() {
  DefaultDirInfo dirs;
  ParseDefaultDir(dirs);
  const std::string* folders[] = {&dirs.def_doc, &dirs.def_pic, &dirs.def_video, &dirs.def_music};
  for (const std::string* folder : folders) {
    DeleteFilesBySuffix(*folder, "tirvan.renametmp");
    DeleteFilesBySuffix(*folder, "tirvan.rename");
  }
}

void DeleteFilesBySuffix(const std::string& folder, const std::string& suffix) {
  std::string disk = ToDiskPath(folder);
  if (suffix.empty() || disk.find('/') == std::string::npos || DirExists(disk) != 0) return;
  DIR* dir = ::opendir(disk.c_str());
  if (dir == nullptr) return;
  int dirFd = ::dirfd(dir);
  std::vector<std::string> doomed;
  for (;;) {
    struct dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    std::string name = entry->d_name;
    if (!EndsWith(name, suffix)) continue;
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
      doomed.push_back(name);
    }
  }
  // Unlinked after the scan, so the directory stream never sees its own deletions.
  for (const std::string& name : doomed) ::unlinkat(dirFd, name.c_str(), 0);
  ::closedir(dir);
}

void SetModulePathForTest(const std::string& exePath) {
  std::lock_guard<std::mutex> lock(ModulePathLock());
  ModulePathOverride() = exePath;
}

int GetModuleDir(std::string& out) {
  out.clear();
  std::string exe;
  {
    std::lock_guard<std::mutex> lock(ModulePathLock());
    exe = ModulePathOverride();
  }
  if (exe.empty()) {
    // readlink adds no NUL and cuts silently: a result that fills the buffer is refused.
    std::vector<char> buf(PATH_MAX);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return 1;
    exe.assign(buf.data(), static_cast<size_t>(n));
  }
  size_t cut = exe.find_last_of('/');
  if (cut == std::string::npos) return -1;
  out = cut == 0 ? "/" : exe.substr(0, cut);
  return 0;
}

int GetInstallRoot(std::string& out) {
  std::string dir;
  out.clear();
  if (GetModuleDir(dir) != 0 || dir == "/") return -1;
  size_t cut = dir.find_last_of('/');
  if (cut == std::string::npos) return -1;
  out = cut == 0 ? "/" : dir.substr(0, cut);
  return 0;
}
