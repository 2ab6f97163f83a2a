// Helpers of the service-manager tests.
#pragma once

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/thread.h"

extern char** environ;

namespace scmtest {

// The test service program (platform/tests/scm_test_service.cpp).
inline const char* const kTestService = TIRVAN_SCM_TEST_SERVICE;

// Services the built-in manager starts are detached: they become children of the
// nearest subreaper. Being one lets a test read their exit status and reap them.
inline void BecomeSubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

// Waits up to ms for process pid to end and returns its wait status, or -1.
inline int WaitExit(int pid, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status = 0;
    pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) return status;
    if (w < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    platform::SleepMs(5);
  }
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

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

inline int Count(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const auto& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

// True when expected occur in lines in this order (other lines may come between).
inline bool InOrder(const std::vector<std::string>& lines,
                    const std::vector<std::string>& expected) {
  size_t i = 0;
  for (const auto& l : lines) {
    if (i < expected.size() && l == expected[i]) ++i;
  }
  return i == expected.size();
}

// This process's environment without the marks of any service manager, plus extra.
inline std::vector<std::string> CleanEnvironment(const std::vector<std::string>& extra) {
  static const char* const kDrop[] = {"TIRVAN_SCM", "TIRVAN_SCM_DIR", "TIRVAN_SCM_SERVICE",
                                      "NOTIFY_SOCKET", "INVOCATION_ID"};
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string key = entry.substr(0, entry.find('='));
    bool drop = false;
    for (const char* d : kDrop) drop = drop || key == d;
    if (!drop) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

}  // namespace scmtest
