// tirvan-setup: lays out a fresh install root for the service. It creates the folders
// bin, etc and log, the database etc/Tirvan.db with its tables, the one qz_conf row, the
// qz_defshare row (with the default folder and its four sub-folders on disk) and the
// qz_share rows. The schema is built into the program, so it runs from any folder.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/schema_sql.h"
#include "comm/sqlite_db.h"
#include "contract/ports.h"
#include "contract/tray_records.h"

namespace {

constexpr size_t kMaxPath = kFolderFieldSize - 1;  // the longest folder text the records hold

struct Options {
  std::string root;
  int port = SERVICE_REQUEST_PORT;  // where the tray program sends its requests
  std::string svHost;
  int svPort = 0;
  std::string p2pHost;
  int p2pPort = 0;
  std::string defaultFolder;
  std::vector<std::string> shares;
  int console = 0;
  int logPriority = 600;
  bool force = false;
};

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: tirvan-setup --root DIR [--port N] [--server HOST:PORT] [--p2p HOST:PORT]\n"
               "                    [--default-folder DIR] [--share DIR]... [--console 0|1]\n"
               "                    [--log-priority N] [--force]\n"
               "  --root DIR            install root: DIR/bin, DIR/etc/Tirvan.db, DIR/log\n"
               "  --port N              local TCP port, 0 lets the system choose (15002)\n"
               "  --server HOST:PORT    central server (none)\n"
               "  --p2p HOST:PORT       P2P rendezvous server (none)\n"
               "  --default-folder DIR  default folder, created with its sub-folders\n"
               "                        (DIR/Tirvan under the root)\n"
               "  --share DIR           an existing folder to share, may repeat\n"
               "                        (the default folder when none is given)\n"
               "  --console 0|1         echo log lines to the console (0)\n"
               "  --log-priority N      log threshold: 300 errors ... 700 debug (600)\n"
               "  --force               replace an existing database\n");
}

bool Fail(const std::string& message) {
  std::fprintf(stderr, "tirvan-setup: %s\n", message.c_str());
  return false;
}

bool ParseInt(const std::string& text, long min, long max, int& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < min || value > max) return false;
  out = static_cast<int>(value);
  return true;
}

bool ParseHostPort(const std::string& text, std::string& host, int& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = text.substr(0, colon);
  return ParseInt(text.substr(colon + 1), 1, 65535, port);
}

bool ParseArgs(int argc, char** argv, Options& opt) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      std::exit(0);
    }
    if (arg == "--force") {
      opt.force = true;
      continue;
    }
    if (i + 1 >= argc) return Fail(arg + " needs a value");
    std::string value = argv[++i];
    if (arg == "--root") {
      opt.root = value;
    } else if (arg == "--port") {
      if (!ParseInt(value, 0, 65535, opt.port)) {
        return Fail("bad port \"" + value + "\" (0 to 65535)");
      }
    } else if (arg == "--server") {
      if (!ParseHostPort(value, opt.svHost, opt.svPort)) {
        return Fail("bad server address \"" + value + "\" (HOST:PORT)");
      }
    } else if (arg == "--p2p") {
      if (!ParseHostPort(value, opt.p2pHost, opt.p2pPort)) {
        return Fail("bad rendezvous address \"" + value + "\" (HOST:PORT)");
      }
    } else if (arg == "--default-folder") {
      opt.defaultFolder = value;
    } else if (arg == "--share") {
      opt.shares.push_back(value);
    } else if (arg == "--console") {
      if (!ParseInt(value, 0, 1, opt.console)) {
        return Fail("bad console flag \"" + value + "\" (0 or 1)");
      }
    } else if (arg == "--log-priority") {
      if (!ParseInt(value, INT_MIN, INT_MAX, opt.logPriority)) {
        return Fail("bad log priority \"" + value + "\"");
      }
    } else {
      return Fail("unknown option " + arg);
    }
  }
  if (opt.root.empty()) return Fail("--root DIR is required");
  return true;
}

// mkdir -p. False with errno set when a level cannot be made or is not a folder.
bool MakeDirs(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string level = path.substr(0, pos);
    if (mkdir(level.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

bool MakeFolder(const std::string& path) {
  if (MakeDirs(path)) return true;
  return Fail("cannot create folder " + path + ": " + std::strerror(errno));
}

// The absolute, resolved path of an existing folder.
bool RealFolder(const std::string& path, std::string& out) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return Fail("no such folder " + path + ": " + std::strerror(errno));
  out = real;
  std::free(real);
  struct stat st;
  if (stat(out.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Fail(out + " is not a folder");
  return true;
}

bool CheckLength(const std::string& path) {
  if (path.size() <= kMaxPath) return true;
  return Fail("path too long (at most 259 bytes): " + path);
}

void WriteDatabase(const std::string& dbPath, const Options& opt, const std::string (&dirs)[5],
                   const std::vector<std::string>& shares) {
  CppSQLite3DB db;
  db.OpenFile(dbPath.c_str());
  CppSQLite3Transaction transaction(db);
  db.RunCommand(kSchemaSql);
  CppSQLite3Text sql;
  db.RunCommand(sql.Format(
      "insert into qz_conf(localport,log_console,log_priority,svhost,svport,p2phost,p2pport)"
      "values(%d,%d,%d,%Q,%d,%Q,%d)",
      opt.port, opt.console, opt.logPriority, opt.svHost.c_str(), opt.svPort,
      opt.p2pHost.c_str(), opt.p2pPort));
  db.RunCommand(sql.Format(
      "insert into qz_defshare(def,def_pic,def_music,def_video,def_doc)values(%Q,%Q,%Q,%Q,%Q)",
      dirs[0].c_str(), dirs[1].c_str(), dirs[2].c_str(), dirs[3].c_str(), dirs[4].c_str()));
  for (const std::string& share : shares) {
    db.RunCommand(sql.Format("insert into qz_share(path) values (%Q)", share.c_str()));
  }
  transaction.Commit();
  db.CloseFile();
}

int Run(const Options& opt) {
  std::string root;
  if (!MakeFolder(opt.root) || !RealFolder(opt.root, root)) return 1;
  for (const char* sub : {"/bin", "/etc", "/log"}) {
    if (!MakeFolder(root + sub)) return 1;
  }

  const std::string dbPath = root + "/etc/Tirvan.db";
  struct stat st;
  if (lstat(dbPath.c_str(), &st) == 0 && !opt.force) {
    Fail(dbPath + " already exists; use --force to replace it");
    return 1;
  }

  // The default folder (def) and its picture, music, video and document folders.
  std::string def;
  std::string wanted = opt.defaultFolder.empty() ? root + "/Tirvan" : opt.defaultFolder;
  if (!MakeFolder(wanted) || !RealFolder(wanted, def)) return 1;
  const std::string dirs[5] = {def, def + "/Pictures", def + "/Music", def + "/Videos",
                               def + "/Documents"};
  for (const std::string& dir : dirs) {
    if (!CheckLength(dir) || !MakeFolder(dir)) return 1;
  }

  std::vector<std::string> shares;
  for (const std::string& share : opt.shares) {
    std::string real;
    if (!RealFolder(share, real) || !CheckLength(real)) return 1;
    shares.push_back(real);
  }
  if (shares.empty()) shares.push_back(def);

  // Written beside the target and renamed over it, so a failure leaves any earlier
  // database as it was.
  const std::string newPath = dbPath + ".new";
  unlink(newPath.c_str());
  unlink((newPath + "-journal").c_str());
  try {
    WriteDatabase(newPath, opt, dirs, shares);
  } catch (const CppSQLite3Exception& e) {
    unlink(newPath.c_str());
    Fail(std::string("cannot write the database: ") + e.Message());
    return 1;
  }
  if (rename(newPath.c_str(), dbPath.c_str()) != 0) {
    Fail("cannot create " + dbPath + ": " + std::strerror(errno));
    unlink(newPath.c_str());
    return 1;
  }

  std::printf("install root %s\n", root.c_str());
  std::printf("  database       %s (local port %d, log priority %d)\n", dbPath.c_str(), opt.port,
              opt.logPriority);
  std::printf("  default folder %s\n", def.c_str());
  for (const std::string& share : shares) std::printf("  share          %s\n", share.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, opt)) {
    PrintUsage(stderr);
    return 2;
  }
  return Run(opt);
}
