// Helpers of the service program's tests: running the built programs, waiting, reading
// files, holding a port.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "support/fake_server.h"

namespace apptest {

// What a program run left behind.
struct RunResult {
  int status = -1;     // the exit status, -1 when it did not end normally
  std::string output;  // standard output and standard error together
};

// Runs argv[0] with the arguments, this process's environment plus extra ("KEY=value",
// replacing a variable of the same name), in folder cwd (empty: the current one).
inline RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& extra,
                     const std::string& outPath, const std::string& cwd = "") {
  RunResult res;
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || (!cwd.empty() && ::chdir(cwd.c_str()) != 0)) ::_exit(127);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    for (const std::string& e : extra) {
      size_t eq = e.find('=');
      ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) res.status = WEXITSTATUS(status);
  std::ifstream in(outPath);
  std::stringstream ss;
  ss << in.rdbuf();
  res.output = ss.str();
  return res;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

template <class Pred>
bool WaitUntil(Pred pred, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    platform::SleepMs(5);
  }
  return true;
}

// True when the texts occur in text in this order.
inline bool InOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t pos = 0;
  for (const std::string& p : parts) {
    pos = text.find(p, pos);
    if (pos == std::string::npos) return false;
    pos += p.size();
  }
  return true;
}

using support::PortHolder;

}  // namespace apptest
