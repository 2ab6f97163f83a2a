// A tiny service for the service-manager tests, run as "<program> -r NAME". It starts
// in a number of checkpoints, runs until it gets a control, then cleans up and stops.
// Its behaviour comes from a key=value file ($TIRVAN_TEST_SERVICE_CONF, else
// $TIRVAN_SCM_DIR/NAME.test): steps, stepms, failcode, cleanupms, quiethandler (the
// handler does not report STOP_PENDING), cleanuphold (the clean-up then also lasts until
// the file EVENTS.release exists, at most a minute). It appends what happens, one line
// per event, to $TIRVAN_TEST_SERVICE_EVENTS, else $TIRVAN_SCM_DIR/NAME.events (EVENTS).
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/service_dispatcher.h"
#include "platform/thread.h"

namespace {

std::string g_eventsPath;
std::map<std::string, int> g_conf = {
    {"steps", 2}, {"stepms", 20}, {"failcode", 0}, {"cleanupms", 20}, {"quiethandler", 0},
    {"cleanuphold", 0}};

std::mutex g_mutex;
std::condition_variable g_cv;
bool g_stopEvent = false;

void Event(const std::string& line) {
  int fd = ::open(g_eventsPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string l = line + "\n";
  ssize_t ignored = ::write(fd, l.data(), l.size());
  (void)ignored;
  ::close(fd);
}

bool StopSignalsBlocked() {
  sigset_t cur;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &cur);
  return sigismember(&cur, SIGTERM) == 1 && sigismember(&cur, SIGINT) == 1 &&
         sigismember(&cur, SIGHUP) == 1;
}

void SetStopEvent() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_stopEvent = true;
  g_cv.notify_all();
}

void WaitStopEvent() {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_cv.wait(lock, [] { return g_stopEvent; });
}

void ServiceMain() {
  using platform::ReportServiceStatus;
  using platform::ServiceState;
  Event(StopSignalsBlocked() ? "main-mask-blocked" : "main-mask-open");
  std::thread worker([] {  // stands for a pool thread
    Event(StopSignalsBlocked() ? "worker-mask-blocked" : "worker-mask-open");
    WaitStopEvent();
  });
  ReportServiceStatus(ServiceState::kStartPending, 0, platform::kDefaultWaitHintMs);
  for (int i = 1; i <= g_conf["steps"]; ++i) {
    ReportServiceStatus(ServiceState::kStartPending, static_cast<uint32_t>(i),
                        platform::kDefaultWaitHintMs);
    Event("checkpoint " + std::to_string(i));
    platform::SleepMs(static_cast<unsigned>(g_conf["stepms"]));
  }
  if (g_conf["failcode"] != 0) {
    Event("start-failed");
    SetStopEvent();
    worker.join();
    ReportServiceStatus(ServiceState::kStopped, 0, 0, static_cast<uint32_t>(g_conf["failcode"]));
    return;
  }
  Event("running");  // before the report: no control can come ahead of it
  ReportServiceStatus(ServiceState::kRunning, 0, 0);
  WaitStopEvent();
  worker.join();
  ReportServiceStatus(ServiceState::kStopped, 0, 0, 0);
  Event("stopped");
}

void ControlHandler(uint32_t control) {
  Event("control " + std::to_string(control));
  if (g_conf["quiethandler"] == 0) {
    platform::ReportServiceStatus(platform::ServiceState::kStopPending, 0,
                                  platform::kDefaultWaitHintMs);
  }
  platform::SleepMs(static_cast<unsigned>(g_conf["cleanupms"]));
  if (g_conf["cleanuphold"] != 0) {
    const std::string release = g_eventsPath + ".release";
    for (int i = 0; i < 12000 && ::access(release.c_str(), F_OK) != 0; ++i) platform::SleepMs(5);
  }
  Event("cleanup-done");
  SetStopEvent();
}

std::string EnvOr(const char* key, const std::string& fallback) {
  const char* v = ::getenv(key);
  return (v && *v) ? v : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::string(argv[1]) != "-r") return 2;
  std::string name = argv[2];
  std::string dir = EnvOr(platform::kScmDirEnv, ".");
  g_eventsPath = EnvOr("TIRVAN_TEST_SERVICE_EVENTS", dir + "/" + name + ".events");
  std::ifstream conf(EnvOr("TIRVAN_TEST_SERVICE_CONF", dir + "/" + name + ".test"));
  std::string line;
  while (std::getline(conf, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) g_conf[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
  }

  uint32_t exitCode = 0;
  platform::ScmResult r =
      platform::RunServiceDispatcher(name, ServiceMain, ControlHandler, &exitCode);
  if (!r.ok()) {
    Event("dispatcher-failed " + std::to_string(static_cast<int>(r.code)));
    ::_exit(255);
  }
  Event("dispatcher-returned " + std::to_string(exitCode));
  ::_exit(platform::ServiceExitStatus(exitCode));
}
