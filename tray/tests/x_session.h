// A real X desktop for the whole-program tests: Xvfb on a display it picks itself, trayer
// as the system tray on it, and the X tools (xwininfo, xdotool, import) that find, click,
// type into and photograph windows there. Every wait has a deadline; nothing sleeps a
// fixed time.
#pragma once

#include <sys/types.h>

#include <QPoint>
#include <QRect>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace xtest {

// A program beside the test, its output in a file. passFd, when not -1, stays open in the
// program under the same number. Stopped (SIGTERM, then SIGKILL) and reaped when destroyed.
class Proc {
 public:
  Proc(const std::vector<std::string>& argv, const std::string& outPath, int passFd = -1);
  ~Proc();
  Proc(const Proc&) = delete;
  Proc& operator=(const Proc&) = delete;

  pid_t pid() const { return m_pid; }
  std::string Output() const;
  // The exit status once the program ended within ms (128 + the signal when one ended it);
  // none while it still runs.
  std::optional<int> WaitExit(int ms);
  void Stop();

 private:
  std::string m_out;
  pid_t m_pid = -1;
  std::optional<int> m_status;
};

struct XWindow {
  unsigned long id = 0;
  std::string name;   // WM_NAME, "" when it has none
  std::string klass;  // WM_CLASS's class part, "" when it has none
  QRect rect;         // on the screen
  bool viewable = false;
};

class XSession {
 public:
  XSession() = default;
  ~XSession();
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  // "" when Xvfb, trayer and the X tools are installed, else what is missing.
  static std::string Missing();

  // Starts Xvfb (a 24-bit screen of 1280x1024) and trayer on it, logs in dir; false with
  // the reason when either did not come up within timeoutMs.
  bool Start(const std::string& dir, int timeoutMs, std::string* error);
  // ":N"
  const std::string& display() const { return m_display; }

  // The windows below parent (0: the root) at every depth, or its children only, as
  // xwininfo lists them (viewable is not filled in).
  std::vector<XWindow> Tree(unsigned long parent = 0, bool childrenOnly = false) const;
  std::optional<XWindow> Window(unsigned long id) const;
  // The viewable top-level windows (children of the root) of class klass.
  std::vector<XWindow> Visible(const std::string& klass) const;
  // trayer's panel: the tray area the icons dock in.
  std::optional<XWindow> TrayPanel() const;

  bool Click(QPoint at, int button = 1) const;
  // Gives the window the keyboard (there is no window manager to do it on a click).
  bool Focus(unsigned long id) const;
  // xdotool key names, e.g. "Return", "Up", "ctrl+a".
  bool Key(const std::vector<std::string>& keys) const;
  bool Type(const std::string& text) const;
  // The window as it is on the screen, written as a PNG.
  bool Shot(unsigned long id, const std::string& pngPath) const;

 private:
  std::string m_display;
  std::unique_ptr<Proc> m_xvfb;
  std::unique_ptr<Proc> m_trayer;
};

}  // namespace xtest
