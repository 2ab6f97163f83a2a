#include "platform/service_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/service_manager_internal.h"

extern char** environ;

namespace platform {

namespace scm {

std::string RecordPath(const std::string& dir, const std::string& name) {
  return dir + "/" + name + ".service";
}
std::string StatusPath(const std::string& dir, const std::string& name) {
  return dir + "/" + name + ".status";
}
std::string LogPath(const std::string& dir, const std::string& name) {
  return dir + "/" + name + ".log";
}
std::string LockPath(const std::string& dir) { return dir + "/.lock"; }

DirLock::DirLock(const std::string& dir) {
  std::string path = LockPath(dir);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  // A reader without write permission still locks through a read-only descriptor.
  if (fd < 0 && (errno == EACCES || errno == EROFS))
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    m_errno = errno;
    m_error = SysError("cannot open the lock file " + path, errno);
    return;
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      m_errno = errno;
      m_error = SysError("cannot lock " + path, errno);
      ::close(fd);
      return;
    }
  }
  m_fd = fd;
}

DirLock::~DirLock() {
  if (m_fd < 0) return;
  // Unlocks explicitly: a child forked meanwhile shares the open file description.
  ::flock(m_fd, LOCK_UN);
  ::close(m_fd);
}

std::string FormatStatus(const StatusRecord& s) {
  std::string t;
  t += "state=" + std::string(ServiceStateName(s.state)) + "\n";
  t += "checkpoint=" + std::to_string(s.checkPoint) + "\n";
  t += "waithint=" + std::to_string(s.waitHintMs) + "\n";
  t += "exit=" + std::to_string(s.exitCode) + "\n";
  t += "pid=" + std::to_string(s.pid) + "\n";
  t += "pidstart=" + std::to_string(s.pidStart) + "\n";
  return t;
}

bool ParseStatus(const std::string& text, StatusRecord* s, std::string* error) {
  std::vector<std::pair<std::string, std::string>> kv;
  if (!ParseKeyValues(text, &kv)) {
    *error = "a line without '='";
    return false;
  }
  StatusRecord r;
  bool haveState = false, havePid = false;
  for (const auto& [k, v] : kv) {
    bool good = true;
    if (k == "state") {
      good = ParseStateName(v, &r.state);
      haveState = good;
    } else if (k == "checkpoint") {
      good = ParseU32(v, &r.checkPoint);
    } else if (k == "waithint") {
      good = ParseU32(v, &r.waitHintMs);
    } else if (k == "exit") {
      good = ParseU32(v, &r.exitCode);
    } else if (k == "pid") {
      uint32_t pid = 0;
      good = ParseU32(v, &pid) && pid <= INT_MAX;
      r.pid = static_cast<int>(pid);
      havePid = good;
    } else if (k == "pidstart") {
      good = ParseU64(v, &r.pidStart);
    }
    if (!good) {
      *error = "bad value of " + k + ": \"" + v + "\"";
      return false;
    }
  }
  if (!haveState || !havePid) {
    *error = "state or pid missing";
    return false;
  }
  *s = r;
  return true;
}

bool ReadFile(const std::string& path, std::string* content) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string data;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(fd);
      errno = saved;
      return false;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
    if (data.size() > (1u << 20)) {  // no record is that long
      ::close(fd);
      errno = EFBIG;
      return false;
    }
  }
  ::close(fd);
  *content = std::move(data);
  return true;
}

bool WriteFileAtomic(const std::string& path, const std::string& content, unsigned mode,
                     std::string* error) {
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = SysError("cannot create " + tmp, errno);
    return false;
  }
  const char* p = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = SysError("cannot write " + tmp, errno);
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    *error = SysError("cannot write " + tmp, errno);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = SysError("cannot rename " + tmp + " to " + path, errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool ParseKeyValues(const std::string& text, std::vector<std::pair<std::string, std::string>>* kv) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    kv->emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return true;
}

bool ParseU64(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *value = v;
  return true;
}

bool ParseU32(const std::string& text, uint32_t* value) {
  uint64_t v = 0;
  if (!ParseU64(text, &v) || v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool ParseStateName(const std::string& text, ServiceState* state) {
  for (ServiceState s : {ServiceState::kStopped, ServiceState::kStartPending,
                         ServiceState::kStopPending, ServiceState::kRunning}) {
    if (text == ServiceStateName(s)) {
      *state = s;
      return true;
    }
  }
  return false;
}

namespace {

// The fields of /proc/<pid>/stat after the command name: [0] is the state (field 3),
// [19] the start time (field 22). False when the file cannot be read (errno set).
bool ReadProcStat(int pid, char* state, uint64_t* start) {
  std::string stat;
  if (!ReadFile("/proc/" + std::to_string(pid) + "/stat", &stat)) return false;
  size_t rp = stat.rfind(')');
  if (rp == std::string::npos) {
    errno = EINVAL;
    return false;
  }
  std::vector<std::string> fields;
  size_t pos = rp + 1;
  while (pos < stat.size() && fields.size() < 20) {
    while (pos < stat.size() && stat[pos] == ' ') ++pos;
    size_t end = stat.find(' ', pos);
    if (end == std::string::npos) end = stat.size();
    if (end > pos) fields.push_back(stat.substr(pos, end - pos));
    pos = end;
  }
  if (fields.size() < 20 || fields[0].empty() || !ParseU64(fields[19], start)) {
    errno = EINVAL;
    return false;
  }
  *state = fields[0][0];
  return true;
}

bool ProcMounted() {
  static const bool mounted = ::access("/proc/self/stat", R_OK) == 0;
  return mounted;
}

}  // namespace

uint64_t ProcessStartTime(int pid) {
  char state = 0;
  uint64_t start = 0;
  if (pid <= 0 || !ReadProcStat(pid, &state, &start)) return 0;
  return start;
}

bool ProcessAlive(int pid, uint64_t start) {
  if (pid <= 0) return false;
  if (ProcMounted()) {
    char state = 0;
    uint64_t actual = 0;
    if (ReadProcStat(pid, &state, &actual)) {
      if (state == 'Z' || state == 'X') return false;  // ended, not yet reaped
      return start == 0 || actual == start;
    }
    if (errno == ENOENT || errno == ESRCH) return false;
  }
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

void ResetSignalsInChild() {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &sa, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

std::string SysError(const std::string& what, int err) { return what + ": " + std::strerror(err); }

ScmError ErrorForErrno(int err) {
  return (err == EACCES || err == EPERM || err == EROFS) ? ScmError::kAccessDenied
                                                         : ScmError::kSystem;
}

std::string Quoted(const std::string& name) { return "service \"" + name + "\""; }

}  // namespace scm

const char* ServiceStateName(ServiceState state) {
  switch (state) {
    case ServiceState::kStopped:
      return "STOPPED";
    case ServiceState::kStartPending:
      return "START_PENDING";
    case ServiceState::kStopPending:
      return "STOP_PENDING";
    case ServiceState::kRunning:
      return "RUNNING";
  }
  return "UNKNOWN";
}

const char* StartTypeName(StartType type) {
  switch (type) {
    case StartType::kAuto:
      return "auto";
    case StartType::kDemand:
      return "demand";
    case StartType::kDisabled:
      return "disabled";
  }
  return "unknown";
}

bool ParseStartType(const std::string& text, StartType* type) {
  for (StartType t : {StartType::kAuto, StartType::kDemand, StartType::kDisabled}) {
    if (text == StartTypeName(t)) {
      *type = t;
      return true;
    }
  }
  return false;
}

ScmResult ValidateServiceName(const std::string& name) {
  auto alnum = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  bool good = !name.empty() && name.size() <= 128 && alnum(name[0]);
  for (char c : name) good = good && (alnum(c) || c == '.' || c == '_' || c == '-');
  if (!good) {
    return ScmResult::Fail(ScmError::kInvalidName,
                           "invalid service name \"" + name +
                               "\": use 1 to 128 letters, digits, '.', '_' and '-', "
                               "starting with a letter or a digit");
  }
  return ScmResult::Ok();
}

ScmResult BuildServiceCommandLine(const std::string& exePath, const std::string& name,
                                  std::string* line) {
  ScmResult r = ValidateServiceName(name);
  if (!r.ok()) return r;
  if (exePath.empty() || exePath[0] != '/') {
    return ScmResult::Fail(ScmError::kInvalidParameter,
                           "the program path \"" + exePath + "\" is not absolute");
  }
  for (char c : exePath) {
    if (c == '"' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      return ScmResult::Fail(
          ScmError::kInvalidParameter,
          "the program path \"" + exePath + "\" holds a double quote or a control character");
    }
  }
  std::string l = "\"" + exePath + "\" \"-r\" \"" + name + "\"";
  if (l.size() > kMaxServiceCommandLine) {
    return ScmResult::Fail(ScmError::kInvalidParameter,
                           "the command line would be " + std::to_string(l.size()) +
                               " characters long; at most " +
                               std::to_string(kMaxServiceCommandLine) + " are allowed");
  }
  *line = std::move(l);
  return ScmResult::Ok();
}

bool SplitCommandLine(const std::string& line, std::vector<std::string>* words) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    std::string w;
    if (line[i] == '"') {
      size_t close = line.find('"', i + 1);
      if (close == std::string::npos) return false;
      w = line.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      size_t end = line.find_first_of(" \t", i);
      if (end == std::string::npos) end = line.size();
      w = line.substr(i, end - i);
      i = end;
    }
    out.push_back(std::move(w));
  }
  *words = std::move(out);
  return true;
}

std::string CurrentExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

namespace {

std::string FindInPath(const std::string& file) {
  const char* path = ::getenv("PATH");
  std::string dirs = (path && *path) ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  size_t pos = 0;
  while (pos <= dirs.size()) {
    size_t end = dirs.find(':', pos);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(pos, end - pos);
    if (dir.empty()) dir = ".";
    std::string full = dir + "/" + file;
    if (::access(full.c_str(), X_OK) == 0) return full;
    pos = end + 1;
  }
  return {};
}

std::vector<char*> CStrings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  out.reserve(v.size() + 1);
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

void ClosePair(int p[2]) {
  if (p[0] >= 0) ::close(p[0]);
  if (p[1] >= 0) ::close(p[1]);
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutMs,
                         const std::vector<std::string>* env) {
  CommandResult r;
  if (argv.empty()) {
    r.error = "empty command";
    return r;
  }
  std::string exe = argv[0];
  if (exe.find('/') == std::string::npos) exe = FindInPath(exe);
  if (exe.empty()) {
    r.error = "command not found: " + argv[0];
    return r;
  }
  std::vector<char*> args = CStrings(argv);
  std::vector<char*> envp;
  if (env) envp = CStrings(*env);
  char** envArray = env ? envp.data() : environ;

  int outp[2] = {-1, -1}, errp[2] = {-1, -1}, failp[2] = {-1, -1};
  int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devnull < 0 || ::pipe2(outp, O_CLOEXEC) != 0 || ::pipe2(errp, O_CLOEXEC) != 0 ||
      ::pipe2(failp, O_CLOEXEC) != 0) {
    r.error = scm::SysError("cannot create pipes", errno);
    ClosePair(outp);
    ClosePair(errp);
    ClosePair(failp);
    if (devnull >= 0) ::close(devnull);
    return r;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    scm::ResetSignalsInChild();
    ::dup2(devnull, 0);
    ::dup2(outp[1], 1);
    ::dup2(errp[1], 2);
    ::execve(exe.c_str(), args.data(), envArray);
    int e = errno;
    ssize_t ignored = ::write(failp[1], &e, sizeof e);
    (void)ignored;
    ::_exit(127);
  }
  int forkErr = errno;
  ::close(devnull);
  ::close(outp[1]);
  ::close(errp[1]);
  ::close(failp[1]);
  if (pid < 0) {
    r.error = scm::SysError("cannot fork", forkErr);
    ::close(outp[0]);
    ::close(errp[0]);
    ::close(failp[0]);
    return r;
  }

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int execErr = 0;
  std::string failBytes;
  pollfd fds[3] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}, {failp[0], POLLIN, 0}};
  std::string* sinks[3] = {&r.out, &r.err, &failBytes};
  int openCount = 3;
  bool timedOut = false;
  while (openCount > 0) {
    int wait = -1;
    if (timeoutMs > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        timedOut = true;
        break;
      }
      wait = static_cast<int>(left.count());
    }
    int n = ::poll(fds, 3, wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 3; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --openCount;
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) ::close(f.fd);
  }
  if (timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  pid_t w;
  do {
    w = ::waitpid(pid, &status, 0);
  } while (w < 0 && errno == EINTR);
  if (failBytes.size() >= sizeof execErr) std::memcpy(&execErr, failBytes.data(), sizeof execErr);

  if (timedOut) {
    r.timedOut = true;
    r.error = argv[0] + " timed out after " + std::to_string(timeoutMs) + " ms";
  } else if (execErr != 0) {
    r.error = scm::SysError("cannot run " + exe, execErr);
  } else if (w < 0) {
    r.error = scm::SysError("cannot wait for " + exe, errno);
  } else if (WIFEXITED(status)) {
    r.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.error = argv[0] + " was killed by signal " + std::to_string(WTERMSIG(status));
  }
  return r;
}

ScmBackend DefaultScmBackend() {
  const char* forced = ::getenv(kScmBackendEnv);
  if (forced && std::strcmp(forced, "builtin") == 0) return ScmBackend::kBuiltin;
  if (forced && std::strcmp(forced, "systemd") == 0) return ScmBackend::kSystemd;
  struct stat st {};
  if (::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode)) return ScmBackend::kSystemd;
  return ScmBackend::kBuiltin;
}

std::string DefaultScmStateDir() {
  const char* dir = ::getenv(kScmDirEnv);
  return (dir && *dir) ? dir : kDefaultScmDir;
}

ScmResult OpenServiceManager(std::unique_ptr<ServiceManager>* manager,
                             const ServiceManagerOptions& options) {
  const char* forced = ::getenv(kScmBackendEnv);
  if (forced && *forced && std::strcmp(forced, "builtin") != 0 &&
      std::strcmp(forced, "systemd") != 0) {
    return ScmResult::Fail(ScmError::kInvalidParameter,
                           std::string(kScmBackendEnv) + " is \"" + forced +
                               "\"; it must be \"builtin\" or \"systemd\"");
  }
  *manager = DefaultScmBackend() == ScmBackend::kSystemd ? OpenSystemdServiceManager(options)
                                                         : OpenBuiltinServiceManager(options);
  return ScmResult::Ok();
}

}  // namespace platform
