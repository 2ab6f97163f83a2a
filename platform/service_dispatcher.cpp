#include "platform/service_dispatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/net.h"
#include "platform/service_manager_internal.h"
#include "platform/thread.h"

namespace platform {

namespace {

// Where the status reports go.
class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual ScmResult Report(ServiceState state, uint32_t checkPoint, uint32_t waitHintMs,
                           uint32_t exitCode) = 0;
};

// The built-in manager: the service's status file, written under the directory lock.
class StatusFileReporter final : public Reporter {
 public:
  StatusFileReporter(std::string dir, std::string name)
      : m_dir(std::move(dir)),
        m_name(std::move(name)),
        m_start(scm::ProcessStartTime(static_cast<int>(::getpid()))) {}

  ScmResult Report(ServiceState state, uint32_t checkPoint, uint32_t waitHintMs,
                   uint32_t exitCode) override {
    scm::StatusRecord s;
    s.state = state;
    s.checkPoint = checkPoint;
    s.waitHintMs = waitHintMs;
    s.exitCode = exitCode;
    s.pid = static_cast<int>(::getpid());
    s.pidStart = m_start;
    scm::DirLock lock(m_dir);
    if (!lock.held()) return ScmResult::Fail(scm::ErrorForErrno(lock.errnum()), lock.error());
    std::string err;
    if (!scm::WriteFileAtomic(scm::StatusPath(m_dir, m_name), scm::FormatStatus(s), 0644, &err)) {
      return ScmResult::Fail(scm::ErrorForErrno(errno), err);
    }
    return ScmResult::Ok();
  }

 private:
  std::string m_dir;
  std::string m_name;
  uint64_t m_start;
};

// systemd: datagrams to the notify socket (a path, or '@' for the abstract namespace).
// Without a socket (a unit that is not Type=notify) the reports go nowhere.
class NotifyReporter final : public Reporter {
 public:
  explicit NotifyReporter(std::string socketPath) : m_socket(std::move(socketPath)) {}

  ScmResult Report(ServiceState state, uint32_t checkPoint, uint32_t waitHintMs,
                   uint32_t exitCode) override {
    std::string t;
    switch (state) {
      case ServiceState::kStartPending:
        t = "STATUS=Starting (checkpoint " + std::to_string(checkPoint) + ")\n";
        break;
      case ServiceState::kRunning:
        t = "READY=1\nSTATUS=Running\n";
        break;
      case ServiceState::kStopPending:
        t = "STOPPING=1\nSTATUS=Stopping\n";
        break;
      case ServiceState::kStopped:
        t = exitCode == 0 ? "STATUS=Stopped\n"
                          : "STATUS=Stopped with exit code " + std::to_string(exitCode) + "\n";
        break;
    }
    bool pending = state == ServiceState::kStartPending || state == ServiceState::kStopPending;
    if (pending && waitHintMs > 0) {
      t += "EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{waitHintMs} * 1000) + "\n";
    }
    return Send(t);
  }

 private:
  ScmResult Send(const std::string& text) {
    if (m_socket.empty()) return ScmResult::Ok();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_socket.size() >= sizeof addr.sun_path || (m_socket[0] != '/' && m_socket[0] != '@')) {
      return ScmResult::Fail(ScmError::kInvalidParameter,
                             "unusable NOTIFY_SOCKET \"" + m_socket + "\"");
    }
    m_socket.copy(addr.sun_path, m_socket.size());
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_socket.size() +
                                           (m_socket[0] == '@' ? 0 : 1));
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return ScmResult::Fail(ScmError::kSystem, scm::SysError("notify socket", errno));
    ssize_t n = ::sendto(fd, text.data(), text.size(), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&addr), len);
    int e = errno;
    ::close(fd);
    if (n < 0)
      return ScmResult::Fail(ScmError::kSystem, scm::SysError("cannot notify " + m_socket, e));
    return ScmResult::Ok();
  }

  std::string m_socket;
};

// The one dispatcher of the process. Never destroyed: work items may still report
// after the dispatcher returned and must find a refusing object, not a dead one.
struct DispatcherState {
  std::mutex mu;
  bool active = false;
  bool stopped = false;  // STOPPED was reported: nothing more is
  ServiceState state = ServiceState::kStartPending;
  uint32_t exitCode = 0;
  int wakeFd = -1;
  std::unique_ptr<Reporter> reporter;
};

DispatcherState& State() {
  static auto* state = new DispatcherState;
  return *state;
}

void Wake(int fd) {
  uint64_t one = 1;
  ssize_t ignored = ::write(fd, &one, sizeof one);
  (void)ignored;
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

uint32_t ControlFor(uint32_t signo) {
  return signo == SIGHUP ? kServiceControlShutdown : kServiceControlStop;
}

// Which manager started this process, judged by what it put into the environment. The
// marks are removed, so programs the service starts do not take them for theirs.
ScmResult MakeReporter(const std::string& name, std::unique_ptr<Reporter>* out) {
  const char* service = ::getenv(scm::kServiceEnv);
  if (service && *service) {
    if (name != service) {
      return ScmResult::Fail(ScmError::kNotStartedByManager,
                             "this process was started for service \"" + std::string(service) +
                                 "\", not \"" + name + "\"");
    }
    ScmResult r = ValidateServiceName(name);
    if (!r.ok()) return r;
    const char* dir = ::getenv(kScmDirEnv);
    if (!dir || !*dir) {
      return ScmResult::Fail(ScmError::kNotStartedByManager,
                             std::string(kScmDirEnv) + " is not set; the built-in manager sets it");
    }
    *out = std::make_unique<StatusFileReporter>(dir, name);
    ::unsetenv(scm::kServiceEnv);
    return ScmResult::Ok();
  }
  const char* notify = ::getenv("NOTIFY_SOCKET");
  const char* invocation = ::getenv("INVOCATION_ID");
  if ((notify && *notify) || (invocation && *invocation)) {
    *out = std::make_unique<NotifyReporter>(notify ? notify : "");
    ::unsetenv("NOTIFY_SOCKET");
    return ScmResult::Ok();
  }
  return ScmResult::Fail(ScmError::kNotStartedByManager,
                         "not started by a service manager; start service \"" + name +
                             "\" with tirvan-sc start or systemctl start");
}

}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int ServiceExitStatus(uint32_t exitCode) {
  if (exitCode == 0) return 0;
  return (exitCode & 0xFF) != 0 ? static_cast<int>(exitCode & 0xFF) : 1;
}

ScmResult ReportServiceStatus(ServiceState state, uint32_t checkPoint, uint32_t waitHintMs,
                              uint32_t exitCode) {
  DispatcherState& d = State();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.active) {
    return ScmResult::Fail(ScmError::kNotActive, "no service dispatcher runs in this process");
  }
  if (d.stopped) {
    return ScmResult::Fail(ScmError::kInvalidParameter, "the service already reported STOPPED");
  }
  bool isFinal = state == ServiceState::kStopped;
  d.state = state;
  if (isFinal) {
    d.stopped = true;
    d.exitCode = exitCode;
  }
  ScmResult r = d.reporter->Report(state, checkPoint, waitHintMs, isFinal ? exitCode : 0);
  // RUNNING releases a held control; STOPPED ends the wait for ServiceMain sooner.
  if (state == ServiceState::kRunning || isFinal) Wake(d.wakeFd);
  return r;
}

ScmResult RunServiceDispatcher(const std::string& name, const ServiceMainFunction& serviceMain,
                               const ServiceControlHandler& handler, uint32_t* exitCode) {
  DispatcherState& d = State();
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.active) {
      return ScmResult::Fail(ScmError::kAlreadyRunning, "a service dispatcher already runs");
    }
  }
  std::unique_ptr<Reporter> reporter;
  ScmResult r = MakeReporter(name, &reporter);
  if (!r.ok()) return r;

  // Before the first thread: every thread inherits the mask, so the signals reach only
  // the signalfd below and every worker sees one consistent stop.
  BlockStopSignals();
  IgnoreSigpipe();
  sigset_t set = StopSignals();
  int sigFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (sigFd < 0 || wakeFd < 0) {
    int e = errno;
    if (sigFd >= 0) ::close(sigFd);
    if (wakeFd >= 0) ::close(wakeFd);
    return ScmResult::Fail(ScmError::kSystem, scm::SysError("cannot set up the dispatcher", e));
  }
  {
    std::lock_guard<std::mutex> lock(d.mu);
    d.active = true;
    d.stopped = false;
    d.state = ServiceState::kStartPending;
    d.exitCode = 0;
    d.wakeFd = wakeFd;
    d.reporter = std::move(reporter);
  }

  std::atomic<bool> mainDone{false};
  std::thread worker([&] {
    serviceMain();
    mainDone = true;
    Wake(wakeFd);
  });

  uint32_t held = 0;       // the first control, until the service runs
  bool delivered = false;  // the handler has run: later controls are ignored
  for (;;) {
    pollfd fds[2] = {{sigFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno != EINTR) SleepMs(10);
      continue;
    }
    uint64_t count;
    while (::read(wakeFd, &count, sizeof count) > 0) {
    }
    signalfd_siginfo si;
    while (::read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
      if (!delivered && held == 0) held = ControlFor(si.ssi_signo);
    }
    if (mainDone) break;
    ServiceState state;
    {
      std::lock_guard<std::mutex> lock(d.mu);
      state = d.state;
    }
    if (held != 0 && state == ServiceState::kRunning) {
      uint32_t control = held;
      held = 0;
      delivered = true;
      handler(control);  // on this thread, as the Windows dispatcher does
    }
  }
  worker.join();

  uint32_t code;
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (!d.stopped) {
      d.stopped = true;
      d.exitCode = static_cast<uint32_t>(ScmError::kProcessAborted);
      d.reporter->Report(ServiceState::kStopped, 0, 0, d.exitCode);
    }
    code = d.exitCode;
    d.active = false;
    d.wakeFd = -1;
    d.reporter.reset();
  }
  ::close(sigFd);
  ::close(wakeFd);
  *exitCode = code;
  return ScmResult::Ok();
}

}  // namespace platform
