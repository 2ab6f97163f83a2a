#include "platform/power.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

namespace platform {

namespace {

std::mutex g_commandMutex;
std::vector<std::string> g_command;  // guarded by g_commandMutex; empty: not set

// True for a regular file with an execute bit that this process may execute.
bool IsExecutable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0 &&
         ::access(path.c_str(), X_OK) == 0;
}

// The program a name stands for (looked up in PATH when it has no "/"), or "".
std::string ResolveProgram(const std::string& name) {
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return IsExecutable(name) ? name : "";
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::istringstream in(dirs);
  std::string dir;
  while (std::getline(in, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (IsExecutable(candidate)) return candidate;
  }
  return "";
}

class ExecRunner : public CommandRunner {
 public:
  bool CanRun(const std::vector<std::string>& argv, std::string* error) override {
    if (argv.empty() || argv[0].empty()) {
      *error = "no command";
      return false;
    }
    if (ResolveProgram(argv[0]).empty()) {
      *error = argv[0] + ": not found or not executable";
      return false;
    }
    return true;
  }

  int Run(const std::vector<std::string>& argv, std::string* error) override {
    if (!CanRun(argv, error)) return -1;
    // Everything the child needs is prepared before the fork: after it, only calls that
    // are safe in a copy of a threaded process. execv, not execvp: a file that is no
    // program fails instead of going to a shell.
    const std::string program = ResolveProgram(argv[0]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The child reports a failed exec through this pipe; a successful exec closes it.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      *error = std::string("pipe: ") + std::strerror(errno);
      return -1;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
      *error = std::string("fork: ") + std::strerror(errno);
      ::close(fds[0]);
      ::close(fds[1]);
      return -1;
    }
    if (pid == 0) {
      // The service's sockets and files stay with the service.
      ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
      ::execv(program.c_str(), args.data());
      int e = errno;
      ssize_t ignored = ::write(fds[1], &e, sizeof e);
      (void)ignored;
      ::_exit(127);
    }
    ::close(fds[1]);
    int execErrno = 0;
    ssize_t n;
    do {
      n = ::read(fds[0], &execErrno, sizeof execErrno);
    } while (n < 0 && errno == EINTR);
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) {
        *error = std::string("waitpid: ") + std::strerror(errno);
        return -1;
      }
    }
    if (n == static_cast<ssize_t>(sizeof execErrno)) {
      *error = argv[0] + ": " + std::strerror(execErrno);
      return -1;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      *error = argv[0] + (WIFEXITED(status)
                              ? " exited with status " + std::to_string(WEXITSTATUS(status))
                              : std::string(" ended by a signal"));
      return -1;
    }
    return 0;
  }
};

ExecRunner g_execRunner;
std::atomic<CommandRunner*> g_runner{nullptr};

std::vector<std::string> SplitBlanks(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  std::string word;
  while (in >> word) out.push_back(word);
  return out;
}

}  // namespace

std::vector<std::string> PowerOffCommand() {
  {
    std::lock_guard<std::mutex> lock(g_commandMutex);
    if (!g_command.empty()) return g_command;
  }
  if (const char* env = std::getenv(kPowerOffCommandEnv)) {
    std::vector<std::string> argv = SplitBlanks(env);
    if (!argv.empty()) return argv;
  }
  return {"systemctl", "poweroff"};
}

void SetPowerOffCommand(const std::vector<std::string>& argv) {
  std::lock_guard<std::mutex> lock(g_commandMutex);
  g_command = argv;
}

void SetCommandRunner(CommandRunner* runner) { g_runner = runner; }

CommandRunner& GetCommandRunner() {
  CommandRunner* r = g_runner.load();
  return r != nullptr ? *r : g_execRunner;
}

bool CanPowerOff(std::string* error) { return GetCommandRunner().CanRun(PowerOffCommand(), error); }

int PowerOffSystem(std::string* error) { return GetCommandRunner().Run(PowerOffCommand(), error); }

}  // namespace platform
