#include "http_fetch.h"

#include <QtGlobal>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "fetch_wire.h"

extern char** environ;

namespace tray {

namespace {

namespace wire = fetchwire;
using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50;
constexpr int kResultFd = 3;                 // the helper's result descriptor
constexpr long kDefaultMarginMs = 3000;      // past the helper's own time limit

std::mutex g_refusalMutex;
std::function<bool(int)> g_refusal;  // tests only

// TIRVAN_FETCH_PROGRAM, else tirvan-fetch next to the running program.
std::string FetchProgram() {
  const char* env = std::getenv("TIRVAN_FETCH_PROGRAM");
  if (env != nullptr && *env != '\0') return env;
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  const std::string path(self, static_cast<size_t>(n));  // may end in " (deleted)"
  return path.substr(0, path.rfind('/') + 1) + "tirvan-fetch";
}

// How long past its own time limit the helper may run before it is killed:
// TIRVAN_FETCH_MARGIN_MS, default 3 s.
long MarginMs() {
  const char* env = std::getenv("TIRVAN_FETCH_MARGIN_MS");
  if (env == nullptr) return kDefaultMarginMs;
  char* end = nullptr;
  const long v = std::strtol(env, &end, 10);
  return end != env && *end == '\0' && v >= 0 ? v : kDefaultMarginMs;
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  void Close() { Reset(-1); }
  void Reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

// A close-on-exec pipe whose ends lie above the descriptors the helper is given, so that
// laying them out in the child never overwrites one with another.
bool HighPipe(Fd* read, Fd* write) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return false;
  Fd low0(p[0]), low1(p[1]);
  const int r = ::fcntl(p[0], F_DUPFD_CLOEXEC, 10);
  const int w = ::fcntl(p[1], F_DUPFD_CLOEXEC, 10);
  read->Reset(r);
  write->Reset(w);
  return r >= 0 && w >= 0;
}

std::vector<std::string> HelperArgs(const std::string& program, const std::string& url,
                                    const std::string* path, const FetchOptions& o) {
  std::vector<std::string> a = {program, wire::kResultFd, std::to_string(kResultFd)};
  auto add = [&](const char* flag, const std::string& value) {
    a.push_back(flag);
    a.push_back(value);
  };
  if (path != nullptr) add(wire::kOutput, *path);
  add(wire::kTimeoutMs, std::to_string(o.timeoutMs > 0 ? o.timeoutMs : 0));
  add(wire::kConnectTimeoutMs, std::to_string(o.connectTimeoutMs > 0 ? o.connectTimeoutMs : 0));
  if (o.lowSpeedBytes > 0 && o.lowSpeedSeconds > 0) {
    add(wire::kLowSpeedBytes, std::to_string(o.lowSpeedBytes));
    add(wire::kLowSpeedSeconds, std::to_string(o.lowSpeedSeconds));
  }
  if (o.httpsOnly) a.push_back(wire::kHttpsOnly);
  if (!o.caFile.empty()) add(wire::kCaFile, o.caFile);
  add(wire::kMaxBytes, std::to_string(std::min<size_t>(o.maxBytes, wire::kMaxPageLimit)));
  if (o.maxFileBytes > 0) add(wire::kMaxFileBytes, std::to_string(std::min(o.maxFileBytes, wire::kMaxFileLimit)));
  std::function<bool(int)> refuse;
  {
    std::lock_guard<std::mutex> lock(g_refusalMutex);
    refuse = g_refusal;
  }
  if (refuse) {
    for (CURLoption option : wire::kCheckedOptions)
      if (refuse(option)) add(wire::kRefuseOption, std::to_string(static_cast<int>(option)));
  }
  a.push_back("--");
  a.push_back(url);
  return a;
}

// Starts the helper with its standard output on out and its result descriptor on result;
// 0 or the error number.
int Spawn(const std::vector<std::string>& args, int out, int result, pid_t* pid) {
  std::vector<char*> argv;
  for (const std::string& s : args) argv.push_back(const_cast<char*>(s.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (int rc = ::posix_spawn_file_actions_init(&actions); rc != 0) return rc;
  if (int rc = ::posix_spawnattr_init(&attr); rc != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    return rc;
  }
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  int rc = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, out, 1);
  if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, result, kResultFd);
  // Nothing else of the tray's reaches the helper (standard error stays shared).
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, kResultFd + 1);
  // A process group of its own, so that a kill takes whatever it may have started too;
  // every signal back at its default and none blocked, whatever this thread has.
  if (rc == 0) rc = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                          POSIX_SPAWN_SETSIGDEF);
  if (rc == 0) rc = ::posix_spawnattr_setpgroup(&attr, 0);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr, &none);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr, &all);
  if (rc == 0) rc = ::posix_spawn(pid, argv[0], &actions, &attr, argv.data(), environ);
  ::posix_spawnattr_destroy(&attr);
  ::posix_spawn_file_actions_destroy(&actions);
  return rc;
}

// Waits for the helper to end; with kill, kills its group first. The exit status.
int Reap(pid_t pid, bool kill) {
  if (kill) ::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;  // reaped elsewhere (SIGCHLD ignored): no status
  }
  return status;
}

// Runs one transfer in the helper; path: a file's, null for a page.
FetchResult Transfer(const std::string& url, const std::string* path, const FetchOptions& o) {
  FetchResult r;
  if (o.httpsOnly && !wire::IsHttps(url)) {  // before anything starts
    r.error = "refused: not an https address";
    return r;
  }
  if (o.keepGoing != nullptr && !o.keepGoing->load()) {
    r.error = "aborted";
    return r;
  }
  const std::string program = FetchProgram();
  if (program.empty()) {
    r.error = "cannot find tirvan-fetch: /proc/self/exe unreadable";
    return r;
  }
  Fd outRead, outWrite, resultRead, resultWrite;
  if (!HighPipe(&outRead, &outWrite) || !HighPipe(&resultRead, &resultWrite)) {
    r.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return r;
  }
  pid_t pid = -1;
  if (int rc = Spawn(HelperArgs(program, url, path, o), outWrite.get(), resultWrite.get(), &pid); rc != 0) {
    r.error = "cannot start " + program + ": " + std::strerror(rc);
    return r;
  }
  outWrite.Close();
  resultWrite.Close();

  const long limitMs = o.timeoutMs > 0 ? o.timeoutMs + MarginMs() : 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  std::string result;
  bool aborted = false, late = false, tooLarge = false, garbled = false, wroteOutput = false;
  bool exited = false;
  int status = 0;
  auto stop = [&] { return aborted || late || tooLarge || garbled; };
  auto check = [&] {
    if (o.keepGoing != nullptr && !o.keepGoing->load()) aborted = true;
    if (limitMs > 0 && Clock::now() >= deadline) late = true;
  };
  char buf[65536];
  while (!stop() && (outRead.get() >= 0 || resultRead.get() >= 0)) {
    pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {resultRead.get(), POLLIN, 0}};
    const int n = ::poll(fds, 2, kPollMs);
    check();
    if (stop()) break;
    if (n < 0 && errno != EINTR) {
      garbled = true;
      break;
    }
    for (int i = 0; n > 0 && i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        (i == 0 ? outRead : resultRead).Close();
        continue;
      }
      const size_t len = static_cast<size_t>(got);
      if (i == 1) {
        if (result.size() + len > wire::kMaxResultLine) garbled = true;
        else result.append(buf, len);
      } else if (path != nullptr) {
        wroteOutput = garbled = true;  // a download writes its file, never its output
      } else if (r.body.size() + len > o.maxBytes) {
        tooLarge = true;  // the helper should have stopped first
      } else {
        r.body.append(buf, len);
      }
    }
  }
  // Both descriptors closed: the helper is ending; it still gets the same time limits.
  while (!stop() && !exited) {
    const pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid || (w < 0 && errno != EINTR)) {
      exited = true;
      if (w < 0) status = -1;
      break;
    }
    ::poll(nullptr, 0, 10);
    check();
  }
  if (!exited) status = Reap(pid, true);

  if (aborted) {
    r.error = "aborted";
    return r;
  }
  if (late) {
    r.error = "tirvan-fetch took longer than " + std::to_string(limitMs) + " ms";
    return r;
  }
  if (tooLarge) {
    r.tooLarge = true;
    r.error = "the page is too large";
    return r;
  }
  if (wroteOutput) {
    r.error = "tirvan-fetch wrote a download to its output";
    return r;
  }
  if (garbled) {  // killed for it: a result past its length, or a failed poll
    r.error = "tirvan-fetch gave a garbled result";
    return r;
  }
  if (status != -1 && WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    const char* what = ::sigdescr_np(sig);  // unlike strsignal, safe on any thread
    r.error = "tirvan-fetch ended by signal " + std::to_string(sig) + " (" + (what ? what : "unknown") + ")";
    return r;
  }
  if (result.empty()) {
    r.error = "tirvan-fetch ended without a result (exit status " +
              std::to_string(status == -1 ? -1 : WEXITSTATUS(status)) + ")";
    return r;
  }
  wire::Result w;
  // The exit status must agree with the line.
  if (!wire::ParseResult(result, &w) ||
      (status != -1 && (!WIFEXITED(status) || WEXITSTATUS(status) != (w.ok ? wire::kExitOk : wire::kExitFailed)))) {
    r.error = "tirvan-fetch gave a garbled result";
    return r;
  }
  r.ok = w.ok;
  r.status = w.status;
  r.tooLarge = w.tooLarge;
  r.error = w.error;
  if (w.refused) qWarning("transfer of %s not started: %s", url.c_str(), r.error.c_str());
  return r;
}

}  // namespace

bool InitCurl() {
  const std::string program = FetchProgram();
  struct stat st {};
  if (program.empty() || ::stat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      ::access(program.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "cannot run tirvan-fetch%s%s\n", program.empty() ? "" : " at ", program.c_str());
    std::fputs("init libcurl failed.\n", stderr);
    return false;
  }
  return true;
}

FetchResult HttpGet(const std::string& url, const FetchOptions& options) {
  return Transfer(url, nullptr, options);
}

FetchResult HttpDownload(const std::string& url, const std::string& path,
                         const FetchOptions& options) {
  return Transfer(url, &path, options);
}

void SetCurlOptionRefusalForTest(std::function<bool(int option)> refuse) {
  std::lock_guard<std::mutex> lock(g_refusalMutex);
  g_refusal = std::move(refuse);
}

}  // namespace tray
