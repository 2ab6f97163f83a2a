// The built-in service manager. Its state directory holds, per service:
//   <name>.service  the record: name, display name, type, start type, command line and,
//                   once removed while it runs, deleted=1
//   <name>.status   the status the running service reports (and the manager writes
//                   when it starts the process): state, checkpoint, wait hint, exit code,
//                   pid and the process's start time
//   <name>.log      standard output and standard error of the service's process
// Every change is made under the directory's lock and written through a rename. A
// status whose process is gone reads as STOPPED; one that says STOPPED while its
// process still exits reads as STOP_PENDING, so a new start never meets the old
// process.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>

#include "platform/service_manager.h"
#include "platform/service_manager_internal.h"
#include "platform/thread.h"

extern char** environ;

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

struct Record {
  std::string name;
  std::string command;
  StartType start = StartType::kAuto;
  bool deleted = false;
};

std::string FormatRecord(const Record& r) {
  std::string t;
  t += "name=" + r.name + "\n";
  t += "display=" + r.name + "\n";
  t += "type=own_process\n";
  t += "start=" + std::string(StartTypeName(r.start)) + "\n";
  t += "command=" + r.command + "\n";
  if (r.deleted) t += "deleted=1\n";
  return t;
}

bool ParseRecord(const std::string& text, Record* r, std::string* error) {
  std::vector<std::pair<std::string, std::string>> kv;
  if (!scm::ParseKeyValues(text, &kv)) {
    *error = "a line without '='";
    return false;
  }
  Record out;
  bool haveStart = false;
  for (const auto& [k, v] : kv) {
    if (k == "name") {
      out.name = v;
    } else if (k == "command") {
      out.command = v;
    } else if (k == "start") {
      if (!ParseStartType(v, &out.start)) {
        *error = "bad start type \"" + v + "\"";
        return false;
      }
      haveStart = true;
    } else if (k == "deleted") {
      out.deleted = v == "1";
    }
  }
  if (out.name.empty() || out.command.empty() || !haveStart) {
    *error = "name, start or command missing";
    return false;
  }
  *r = std::move(out);
  return true;
}

// The status as read from the status file, and what it means now.
struct Observed {
  scm::StatusRecord raw;
  bool alive = false;
  ServiceStatus status;
};

void CloseFd(int fd) {
  if (fd >= 0) ::close(fd);
}

// Moves fd above the standard descriptors, so the child's dup2 onto 0 to 2 cannot
// clobber it.
int AboveStdio(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved;
}

// What the two children of a spawn tell the parent over the pipe.
struct SpawnMessage {
  int32_t kind;   // 'P' the grandchild's pid, 'F' fork failed, 'E' exec failed
  int32_t value;  // the pid or errno
};

class BuiltinServiceManager final : public ServiceManager {
 public:
  explicit BuiltinServiceManager(const ServiceManagerOptions& o)
      : m_dir(Absolute(o.stateDir.empty() ? DefaultScmStateDir() : o.stateDir)),
        m_pollMs(std::max(1, o.pollMs)) {}

  ScmBackend Backend() const override { return ScmBackend::kBuiltin; }

  bool IsInstalled(const std::string& name) override {
    scm::DirLock lock(m_dir);
    Record rec;
    Observed obs;
    return Load(name, lock, &rec, &obs).ok();
  }

  ScmResult Install(const std::string& name, const std::string& exePath) override {
    Record rec;
    rec.name = name;
    ScmResult r = BuildServiceCommandLine(exePath, name, &rec.command);
    if (!r.ok()) return r;
    std::error_code ec;
    std::filesystem::create_directories(m_dir, ec);
    if (ec) {
      return ScmResult::Fail(scm::ErrorForErrno(ec.value()),
                             "cannot create the state directory " + m_dir + ": " + ec.message());
    }
    scm::DirLock lock(m_dir);
    if (!lock.held()) return LockFailure(lock);
    Record old;
    Observed obs;
    r = Load(name, lock, &old, &obs);
    if (r.ok()) {
      if (old.deleted) return MarkedForDelete(name);
      return ScmResult::Fail(ScmError::kServiceExists, scm::Quoted(name) + " is already installed");
    }
    if (r.code != ScmError::kDoesNotExist) return r;
    std::string err;
    ::unlink(scm::StatusPath(m_dir, name).c_str());
    if (!scm::WriteFileAtomic(scm::RecordPath(m_dir, name), FormatRecord(rec), 0644, &err)) {
      return ScmResult::Fail(scm::ErrorForErrno(errno), err);
    }
    return ScmResult::Ok();
  }

  ScmResult Remove(const std::string& name) override {
    scm::DirLock lock(m_dir);
    if (!lock.held()) return LockFailureOrAbsent(name, lock);
    Record rec;
    Observed obs;
    ScmResult r = LoadLive(name, lock, &rec, &obs);
    if (!r.ok()) return r;
    if (obs.alive) {
      // Windows semantics: the service goes once it stops; until then it can be stopped.
      rec.deleted = true;
      std::string err;
      if (!scm::WriteFileAtomic(scm::RecordPath(m_dir, name), FormatRecord(rec), 0644, &err)) {
        return ScmResult::Fail(scm::ErrorForErrno(errno), err);
      }
      return ScmResult::Ok();
    }
    return Delete(name);
  }

  ScmResult Start(const std::string& name, int waitMs) override {
    {
      scm::DirLock lock(m_dir);
      if (!lock.held()) return LockFailureOrAbsent(name, lock);
      Record rec;
      Observed obs;
      ScmResult r = LoadLive(name, lock, &rec, &obs);
      if (!r.ok()) return r;
      if (rec.start == StartType::kDisabled) {
        return ScmResult::Fail(ScmError::kServiceDisabled, scm::Quoted(name) + " is disabled");
      }
      if (obs.status.state != ServiceState::kStopped) {
        return ScmResult::Fail(ScmError::kAlreadyRunning,
                               scm::Quoted(name) + " is already running (" +
                                   ServiceStateName(obs.status.state) + ", pid " +
                                   std::to_string(obs.status.pid) + ")");
      }
      std::vector<std::string> argv;
      if (!SplitCommandLine(rec.command, &argv) || argv.empty()) {
        return ScmResult::Fail(
            ScmError::kCorruptRecord,
            "the command line of " + scm::Quoted(name) + " cannot be read: " + rec.command);
      }
      int pid = 0;
      r = Spawn(name, argv, &pid);
      if (!r.ok()) return r;
      // Written under the lock, so the service's own first report (which waits for the
      // lock) comes after this one.
      scm::StatusRecord s;
      s.state = ServiceState::kStartPending;
      s.waitHintMs = kDefaultWaitHintMs;
      s.pid = pid;
      s.pidStart = scm::ProcessStartTime(pid);
      std::string err;
      if (!scm::WriteFileAtomic(scm::StatusPath(m_dir, name), scm::FormatStatus(s), 0644, &err)) {
        ::kill(pid, SIGKILL);
        return ScmResult::Fail(scm::ErrorForErrno(errno), err);
      }
    }
    if (waitMs <= 0) return ScmResult::Ok();

    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      ServiceStatus st;
      ScmResult r = QueryStatus(name, &st);
      if (!r.ok()) return r;
      if (st.state == ServiceState::kRunning) return ScmResult::Ok();
      if (st.state == ServiceState::kStopped) {
        return ScmResult::Fail(st.exitCode == static_cast<uint32_t>(ScmError::kProcessAborted)
                                   ? ScmError::kProcessAborted
                                   : ScmError::kServiceSpecific,
                               scm::Quoted(name) + " stopped during start-up with exit code " +
                                   std::to_string(st.exitCode) + "; its output is in " +
                                   scm::LogPath(m_dir, name));
      }
      if (Clock::now() >= deadline) {
        return ScmResult::Fail(ScmError::kRequestTimeout,
                               scm::Quoted(name) + " did not report RUNNING within " +
                                   std::to_string(waitMs) + " ms (it is " +
                                   ServiceStateName(st.state) + ")");
      }
      SleepMs(static_cast<unsigned>(m_pollMs));
    }
  }

  ScmResult Stop(const std::string& name, int waitMs) override {
    int stopped = 0;  // the process asked to stop
    {
      scm::DirLock lock(m_dir);
      if (!lock.held()) return LockFailureOrAbsent(name, lock);
      Record rec;
      Observed obs;
      ScmResult r = Load(name, lock, &rec, &obs);
      if (!r.ok()) return r;
      ServiceState state = obs.status.state;
      stopped = obs.raw.pid;
      if (state == ServiceState::kStopped) {
        return ScmResult::Fail(ScmError::kNotActive, scm::Quoted(name) + " is not running");
      }
      if (state != ServiceState::kStopPending && ::kill(obs.raw.pid, SIGTERM) != 0 &&
          errno != ESRCH) {
        return ScmResult::Fail(scm::ErrorForErrno(errno),
                               scm::SysError("cannot stop " + scm::Quoted(name) + " (pid " +
                                                 std::to_string(obs.raw.pid) + ")",
                                             errno));
      }
    }
    if (waitMs <= 0) return ScmResult::Ok();

    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      ServiceStatus st;
      ScmResult r = QueryStatus(name, &st);
      if (r.code == ScmError::kDoesNotExist) return ScmResult::Ok();  // removed once stopped
      if (!r.ok()) return r;
      // Done once that process has gone, also when someone (a watchdog) has started the
      // service again before this wait looked.
      if (st.state == ServiceState::kStopped || st.pid != stopped) return ScmResult::Ok();
      if (Clock::now() >= deadline) {
        return ScmResult::Fail(
            ScmError::kRequestTimeout,
            scm::Quoted(name) + " did not stop within " + std::to_string(waitMs) + " ms (it is " +
                ServiceStateName(st.state) + ", pid " + std::to_string(st.pid) + ")");
      }
      SleepMs(static_cast<unsigned>(m_pollMs));
    }
  }

  ScmResult QueryStatus(const std::string& name, ServiceStatus* status) override {
    scm::DirLock lock(m_dir);
    Record rec;
    Observed obs;
    ScmResult r = Load(name, lock, &rec, &obs);
    if (r.ok()) *status = obs.status;
    return r;
  }

  ScmResult SetStartType(const std::string& name, StartType type) override {
    scm::DirLock lock(m_dir);
    if (!lock.held()) return LockFailureOrAbsent(name, lock);
    Record rec;
    Observed obs;
    ScmResult r = LoadLive(name, lock, &rec, &obs);
    if (!r.ok()) return r;
    if (rec.start == type) return ScmResult::Ok();
    rec.start = type;
    std::string err;
    if (!scm::WriteFileAtomic(scm::RecordPath(m_dir, name), FormatRecord(rec), 0644, &err)) {
      return ScmResult::Fail(scm::ErrorForErrno(errno), err);
    }
    return ScmResult::Ok();
  }

  ScmResult GetStartType(const std::string& name, StartType* type) override {
    scm::DirLock lock(m_dir);
    Record rec;
    Observed obs;
    ScmResult r = Load(name, lock, &rec, &obs);
    if (r.ok()) *type = rec.start;
    return r;
  }

 private:
  static std::string Absolute(const std::string& dir) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(dir, ec);
    return ec ? dir : p.lexically_normal().string();
  }

  static ScmResult MarkedForDelete(const std::string& name) {
    return ScmResult::Fail(ScmError::kMarkedForDelete,
                           scm::Quoted(name) + " is marked for removal; it goes once it stops");
  }

  static ScmResult LockFailure(const scm::DirLock& lock) {
    return ScmResult::Fail(scm::ErrorForErrno(lock.errnum()), lock.error());
  }

  ScmResult LockFailureOrAbsent(const std::string& name, const scm::DirLock& lock) const {
    ScmResult r = ValidateServiceName(name);
    if (!r.ok()) return r;
    if (lock.errnum() == ENOENT) return NotInstalled(name);
    return LockFailure(lock);
  }

  ScmResult NotInstalled(const std::string& name) const {
    return ScmResult::Fail(ScmError::kDoesNotExist,
                           scm::Quoted(name) + " is not installed (state directory " + m_dir + ")");
  }

  // Reads the record and the status. A record marked for removal whose process is gone
  // is removed here (when the lock is held) and reads as not installed.
  // Load, failing also for a service marked for deletion.
  ScmResult LoadLive(const std::string& name, const scm::DirLock& lock, Record* rec,
                     Observed* obs) {
    ScmResult r = Load(name, lock, rec, obs);
    if (r.ok() && rec->deleted) return MarkedForDelete(name);
    return r;
  }

  ScmResult Load(const std::string& name, const scm::DirLock& lock, Record* rec, Observed* obs) {
    ScmResult r = ValidateServiceName(name);
    if (!r.ok()) return r;
    std::string path = scm::RecordPath(m_dir, name), text, err;
    if (!scm::ReadFile(path, &text)) {
      if (errno == ENOENT || errno == ENOTDIR) return NotInstalled(name);
      return ScmResult::Fail(scm::ErrorForErrno(errno),
                             scm::SysError("cannot read " + path, errno));
    }
    if (!ParseRecord(text, rec, &err) || rec->name != name) {
      if (err.empty()) err = "it names the service \"" + rec->name + "\"";
      return ScmResult::Fail(ScmError::kCorruptRecord, "the record " + path + " cannot be read (" +
                                                           err + "); fix or delete it");
    }
    r = Observe(name, obs);
    if (!r.ok()) return r;
    if (rec->deleted && !obs->alive) {
      if (lock.held()) Delete(name);
      return NotInstalled(name);
    }
    return ScmResult::Ok();
  }

  ScmResult Observe(const std::string& name, Observed* obs) const {
    std::string path = scm::StatusPath(m_dir, name), text, err;
    obs->raw = {};
    if (!scm::ReadFile(path, &text)) {
      if (errno != ENOENT) {
        return ScmResult::Fail(scm::ErrorForErrno(errno),
                               scm::SysError("cannot read " + path, errno));
      }
    } else if (!scm::ParseStatus(text, &obs->raw, &err)) {
      return ScmResult::Fail(ScmError::kCorruptRecord,
                             "the status file " + path + " cannot be read (" + err + ")");
    }
    const scm::StatusRecord& s = obs->raw;
    obs->alive = s.pid > 0 && scm::ProcessAlive(s.pid, s.pidStart);
    ServiceStatus& st = obs->status;
    st = {};
    if (obs->alive) {
      st.state = s.state == ServiceState::kStopped ? ServiceState::kStopPending : s.state;
      st.checkPoint = s.checkPoint;
      st.waitHintMs = s.waitHintMs;
      st.exitCode = s.exitCode;
      st.pid = s.pid;
    } else if (s.state == ServiceState::kStopped || s.pid == 0) {
      st.exitCode = s.exitCode;
    } else {
      st.exitCode = static_cast<uint32_t>(ScmError::kProcessAborted);  // ended unreported
    }
    return ScmResult::Ok();
  }

  ScmResult Delete(const std::string& name) {
    std::string path = scm::RecordPath(m_dir, name);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return ScmResult::Fail(scm::ErrorForErrno(errno),
                             scm::SysError("cannot delete " + path, errno));
    }
    ::unlink(scm::StatusPath(m_dir, name).c_str());
    return ScmResult::Ok();
  }

  // The environment of the service: the manager's own, without what another manager set
  // for its process, plus the service name and the state directory.
  std::vector<std::string> ServiceEnvironment(const std::string& name) const {
    static const char* const kDrop[] = {scm::kServiceEnv, kScmDirEnv,     "NOTIFY_SOCKET",
                                        "INVOCATION_ID",  "LISTEN_PID",   "LISTEN_FDS",
                                        "LISTEN_FDNAMES", "WATCHDOG_PID", "WATCHDOG_USEC"};
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
      std::string entry(*e);
      std::string key = entry.substr(0, entry.find('='));
      bool drop = false;
      for (const char* d : kDrop) drop = drop || key == d;
      if (!drop) env.push_back(std::move(entry));
    }
    env.push_back(std::string(scm::kServiceEnv) + "=" + name);
    env.push_back(std::string(kScmDirEnv) + "=" + m_dir);
    return env;
  }

  // Starts argv detached: a child starts a new session and forks the service, so the
  // service is no child of the caller (no zombie is left with a long-running caller) and
  // has no controlling terminal. Standard input is /dev/null, its output goes to the log.
  ScmResult Spawn(const std::string& name, const std::vector<std::string>& argv, int* pidOut) {
    std::string logPath = scm::LogPath(m_dir, name);
    int logFd =
        AboveStdio(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
    if (logFd < 0) {
      return ScmResult::Fail(scm::ErrorForErrno(errno),
                             scm::SysError("cannot open " + logPath, errno));
    }
    int nullFd = AboveStdio(::open("/dev/null", O_RDWR | O_CLOEXEC));
    int pipeFds[2] = {-1, -1};
    if (nullFd < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
      int e = errno;
      CloseFd(logFd);
      CloseFd(nullFd);
      return ScmResult::Fail(ScmError::kSystem, scm::SysError("cannot prepare the start", e));
    }
    int readFd = AboveStdio(pipeFds[0]);
    int reportFd = AboveStdio(pipeFds[1]);
    const long maxFd = ::sysconf(_SC_OPEN_MAX);

    std::vector<std::string> env = ServiceEnvironment(name);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t child = ::fork();
    if (child == 0) {
      ::setsid();
      pid_t grandchild = ::fork();
      if (grandchild == 0) {
        scm::ResetSignalsInChild();
        ::dup2(nullFd, 0);
        ::dup2(logFd, 1);
        ::dup2(logFd, 2);
        if (reportFd != 3) ::dup3(reportFd, 3, O_CLOEXEC);
        if (::close_range(4, ~0U, 0) != 0) {
          for (long fd = 4; fd < maxFd; ++fd) ::close(static_cast<int>(fd));
        }
        if (::chdir("/") != 0) {
          // Stays in the caller's folder.
        }
        ::execve(args[0], args.data(), envp.data());
        SpawnMessage m{'E', errno};
        ssize_t ignored = ::write(3, &m, sizeof m);
        (void)ignored;
        ::_exit(127);
      }
      SpawnMessage m{grandchild > 0 ? 'P' : 'F', grandchild > 0 ? grandchild : errno};
      ssize_t ignored = ::write(reportFd, &m, sizeof m);
      (void)ignored;
      ::_exit(0);
    }
    int forkErr = errno;
    CloseFd(logFd);
    CloseFd(nullFd);
    CloseFd(reportFd);
    if (child < 0) {
      CloseFd(readFd);
      return ScmResult::Fail(ScmError::kSystem, scm::SysError("cannot start a process", forkErr));
    }
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    // Read until both children have closed the pipe: the first child when it exits, the
    // service at its exec.
    int pid = 0, execErr = 0, forkFail = 0;
    SpawnMessage m{};
    for (;;) {
      ssize_t n = ::read(readFd, &m, sizeof m);
      if (n < 0 && errno == EINTR) continue;
      if (n != static_cast<ssize_t>(sizeof m)) break;
      if (m.kind == 'P') pid = m.value;
      if (m.kind == 'E') execErr = m.value;
      if (m.kind == 'F') forkFail = m.value;
    }
    CloseFd(readFd);
    if (forkFail != 0 || pid <= 0) {
      return ScmResult::Fail(ScmError::kSystem,
                             scm::SysError("cannot start a process", forkFail ? forkFail : EIO));
    }
    if (execErr != 0) {
      return ScmResult::Fail(
          execErr == EACCES ? ScmError::kAccessDenied : ScmError::kSystem,
          scm::SysError("cannot run " + argv[0] + " for " + scm::Quoted(name), execErr));
    }
    *pidOut = pid;
    return ScmResult::Ok();
  }

  std::string m_dir;
  int m_pollMs;
};

}  // namespace

std::unique_ptr<ServiceManager> OpenBuiltinServiceManager(const ServiceManagerOptions& options) {
  return std::make_unique<BuiltinServiceManager>(options);
}

}  // namespace platform
