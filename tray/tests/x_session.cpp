#include "x_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/service_manager.h"

extern char** environ;

namespace xtest {
namespace {

constexpr int kToolTimeoutMs = 30000;

bool WaitFor(const std::function<bool()>& done, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace

// ---- Proc

Proc::Proc(const std::vector<std::string>& argv, const std::string& outPath, int passFd) : m_out(outPath) {
  m_pid = ::fork();
  if (m_pid == 0) {
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (passFd >= 0) ::fcntl(passFd, F_SETFD, 0);  // kept open across exec
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
}

Proc::~Proc() { Stop(); }

std::string Proc::Output() const {
  std::ifstream in(m_out, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::optional<int> Proc::WaitExit(int ms) {
  if (m_status || m_pid <= 0) return m_status;
  WaitFor([&] {
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) != m_pid) return false;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }, ms);
  return m_status;
}

void Proc::Stop() {
  if (m_pid <= 0 || m_status) return;
  ::kill(m_pid, SIGTERM);
  if (!WaitExit(10000)) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_status = 128 + SIGKILL;
  }
}

// ---- XSession

XSession::~XSession() {
  m_trayer.reset();
  m_xvfb.reset();
}

std::string XSession::Missing() {
  std::string missing;
  for (const char* program : {"Xvfb", "trayer", "xwininfo", "xdotool", "import"}) {
    if (!OnPath(program)) missing += std::string(missing.empty() ? "" : ", ") + program;
  }
  return missing;
}

bool XSession::Start(const std::string& dir, int timeoutMs, std::string* error) {
  // Xvfb picks a free display itself and writes its number to the pipe once it takes
  // connections, so two tests never share one.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    *error = "pipe failed";
    return false;
  }
  m_xvfb = std::make_unique<Proc>(
      std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24",
                               "-nolisten", "tcp", "-noreset"},
      dir + "/xvfb.log", fds[1]);
  ::close(fds[1]);
  std::string number;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (number.find('\n') == std::string::npos) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
    pollfd p{fds[0], POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, left) <= 0) break;
    char buf[32];
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    *error = "Xvfb did not come up: " + m_xvfb->Output();
    return false;
  }
  m_display = ":" + number.substr(0, number.find('\n'));
  ::setenv("DISPLAY", m_display.c_str(), 1);

  m_trayer = std::make_unique<Proc>(
      std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                               "--height", "32", "--SetDockType", "false", "--SetPartialStrut", "false",
                               "--transparent", "false", "--tint", "0xffffff"},
      dir + "/trayer.log");
  if (!WaitFor([&] {
        std::optional<XWindow> panel = TrayPanel();
        return panel && panel->viewable;
      }, timeoutMs)) {
    *error = "trayer did not come up: " + m_trayer->Output();
    return false;
  }
  return true;
}

std::vector<XWindow> XSession::Tree(unsigned long parent, bool childrenOnly) const {
  std::vector<std::string> argv = {"xwininfo", childrenOnly ? "-children" : "-tree"};
  if (parent) {
    argv.insert(argv.end(), {"-id", std::to_string(parent)});
  } else {
    argv.push_back("-root");
  }
  platform::CommandResult r = platform::RunCommand(argv, kToolTimeoutMs);
  std::vector<XWindow> windows;
  if (r.exitCode != 0) return windows;
  // "     0x200003 "panel": ("panel" "trayer")  2x32+1278+0  +1278+0"
  static const std::regex line(
      R"re(^\s+(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \((?:"[^"]*" "([^"]*)")?\)\s+(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+))re");
  std::istringstream in(r.out);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (!std::regex_search(text, m, line)) continue;
    XWindow w;
    w.id = std::stoul(m[1].str(), nullptr, 16);
    w.name = m[2].str();
    w.klass = m[3].str();
    w.rect = QRect(std::stoi(m[6].str()), std::stoi(m[7].str()), std::stoi(m[4].str()), std::stoi(m[5].str()));
    windows.push_back(w);
  }
  return windows;
}

std::optional<XWindow> XSession::Window(unsigned long id) const {
  platform::CommandResult r = platform::RunCommand({"xwininfo", "-id", std::to_string(id)}, kToolTimeoutMs);
  if (r.exitCode != 0) return std::nullopt;
  auto number = [&](const std::string& label) {
    size_t at = r.out.find(label);
    return at == std::string::npos ? 0 : std::atoi(r.out.c_str() + at + label.size());
  };
  XWindow w;
  w.id = id;
  w.rect = QRect(number("Absolute upper-left X:"), number("Absolute upper-left Y:"), number("Width:"),
                 number("Height:"));
  w.viewable = r.out.find("Map State: IsViewable") != std::string::npos;
  return w;
}

std::vector<XWindow> XSession::Visible(const std::string& klass) const {
  std::vector<XWindow> shown;
  for (const XWindow& top : Tree(0, true)) {
    if (top.klass != klass) continue;
    std::optional<XWindow> now = Window(top.id);
    if (!now || !now->viewable) continue;
    now->name = top.name;
    now->klass = top.klass;
    shown.push_back(*now);
  }
  return shown;
}

std::optional<XWindow> XSession::TrayPanel() const {
  for (const XWindow& w : Tree()) {
    if (w.name == "panel" && w.klass == "trayer") {
      std::optional<XWindow> now = Window(w.id);
      if (now) now->name = w.name, now->klass = w.klass;
      return now;
    }
  }
  return std::nullopt;
}

bool XSession::Click(QPoint at, int button) const {
  return platform::RunCommand({"xdotool", "mousemove", "--sync", std::to_string(at.x()), std::to_string(at.y()),
                               "click", std::to_string(button)},
                              kToolTimeoutMs)
             .exitCode == 0;
}

bool XSession::Focus(unsigned long id) const {
  return platform::RunCommand({"xdotool", "windowfocus", "--sync", std::to_string(id)}, kToolTimeoutMs).exitCode == 0;
}

bool XSession::Key(const std::vector<std::string>& keys) const {
  std::vector<std::string> argv = {"xdotool", "key", "--delay", "50"};
  argv.insert(argv.end(), keys.begin(), keys.end());
  return platform::RunCommand(argv, kToolTimeoutMs).exitCode == 0;
}

bool XSession::Type(const std::string& text) const {
  return platform::RunCommand({"xdotool", "type", "--delay", "20", text}, kToolTimeoutMs).exitCode == 0;
}

bool XSession::Shot(unsigned long id, const std::string& pngPath) const {
  return platform::RunCommand({"import", "-window", std::to_string(id), "png:" + pngPath}, kToolTimeoutMs)
             .exitCode == 0;
}

}  // namespace xtest
