#include "app/service_host.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>

#include "app/service_init.h"
#include "comm/core.h"
#include "comm/log.h"
#include "comm/share_paths.h"
#include "platform/net.h"
#include "platform/service_dispatcher.h"

namespace {

using platform::ServiceState;

// The nice value of the start thread and of every thread it starts (the pool's).
constexpr int kServiceNice = -10;

// A manual-reset event: once set, every wait returns until it is reset.
class ManualResetEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_set = true;
    }
    m_cond.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_set = false;
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [this] { return m_set; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  bool m_set = false;
};

// The service's status, written by ServiceMain's thread and the handler's thread.
struct Host {
  std::mutex mutex;
  ServiceHostConfig config;
  ServiceState state = ServiceState::kStopped;
  uint32_t checkPoint = 0;
  uint32_t waitHintMs = 0;
  bool stopTaken = false;  // the first stop or shutdown control arrived
  ManualResetEvent stopEvent;
  std::string prepareNote;  // what Service_PrepareProcess could not do
};

// Never destroyed: the handler and late reports may still use it at exit.
Host& TheHost() {
  static Host* host = [] {
    auto* h = new Host;
    h->config = DefaultServiceHostConfig();
    return h;
  }();
  return *host;
}

// Sets the status and reports it. Called with the host's mutex held.
void ReportLocked(Host& h, ServiceState state, uint32_t checkPoint, uint32_t waitHintMs,
                  uint32_t exitCode = 0) {
  h.state = state;
  h.checkPoint = checkPoint;
  h.waitHintMs = waitHintMs;
  if (h.config.report) h.config.report(state, checkPoint, waitHintMs, exitCode);
}

void Report(ServiceState state, uint32_t checkPoint, uint32_t waitHintMs, uint32_t exitCode = 0) {
  Host& h = TheHost();
  std::lock_guard<std::mutex> lock(h.mutex);
  ReportLocked(h, state, checkPoint, waitHintMs, exitCode);
}

[[noreturn]] void OnUnhandledException() {
  static const char kLine[] = "unhandled exception: the service ends.\n";
  ssize_t ignored = ::write(STDERR_FILENO, kLine, sizeof kLine - 1);
  (void)ignored;
  ::_exit(255);
}

std::unique_ptr<platform::ServiceManager> OpenManager() {
  std::unique_ptr<platform::ServiceManager> m;
  if (!platform::OpenServiceManager(&m).ok()) return nullptr;
  return m;
}

[[noreturn]] void EndProcess(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(status);
}

}  // namespace

ServiceHostConfig DefaultServiceHostConfig() {
  ServiceHostConfig c;
  c.start = {Service_PrepareProcess, [] { return Service_InitProgram(); }};
  c.stop = {Service_Exit};
  c.shutdown = {Service_Exit};
  c.report = [](ServiceState state, uint32_t checkPoint, uint32_t waitHintMs, uint32_t exitCode) {
    platform::ReportServiceStatus(state, checkPoint, waitHintMs, exitCode);
  };
  return c;
}

void Service_ConfigureHost(const ServiceHostConfig& config) {
  Host& h = TheHost();
  std::lock_guard<std::mutex> lock(h.mutex);
  h.config = config;
  h.state = ServiceState::kStopped;
  h.checkPoint = 0;
  h.waitHintMs = 0;
  h.stopTaken = false;
  h.stopEvent.Reset();
}

int RunServiceSteps(const ServiceStepTable& steps, int* failedCode) {
  Host& h = TheHost();
  for (const ServiceStep& step : steps) {
    {
      std::lock_guard<std::mutex> lock(h.mutex);
      ReportLocked(h, h.state, h.checkPoint + 1, h.waitHintMs);
    }
    int rc = step();
    if (rc != 0) {
      if (failedCode != nullptr) *failedCode = rc;
      return -1;
    }
  }
  return 0;
}

bool IsServiceInstalled(const std::string& name) {
  auto m = OpenManager();
  return m != nullptr && m->IsInstalled(name);
}

int InstallService(const std::string& name) {
  auto m = OpenManager();
  std::string exe = platform::CurrentExecutablePath();
  if (m == nullptr || exe.empty()) return 0;
  return m->Install(name, exe).ok() ? 1 : 0;
}

int UninstallService(const std::string& name) {
  auto m = OpenManager();
  return m != nullptr && m->Remove(name).ok() ? 1 : 0;
}

void ServiceMain() {
  Host& h = TheHost();
  ServiceStepTable start;
  {
    std::lock_guard<std::mutex> lock(h.mutex);
    start = h.config.start;
    h.stopEvent.Reset();
    ReportLocked(h, ServiceState::kStartPending, 0, kServiceWaitHintMs);
  }

  int failed = 0;
  uint32_t exitCode = 0;
  if (RunServiceSteps(start, &failed) == 0) {
    std::string note;
    {
      std::lock_guard<std::mutex> lock(h.mutex);
      note = h.prepareNote;
    }
    if (!note.empty()) TLOG(MOD_CLIENT, LOG_WARNING, "%s", note.c_str());
    Report(ServiceState::kRunning, 0, 0);
    // Set by the control handler once Service_Exit has run.
    h.stopEvent.Wait();
  } else {
    // The failed step's code is the service's exit code, so the manager sees a failure.
    exitCode = failed > 0 ? static_cast<uint32_t>(failed) : 1;
    TLOG(MOD_CLIENT, LOG_ERROR, "start service error, code %d.", failed);
  }
  Report(ServiceState::kStopped, 0, 0, exitCode);
}

void ServiceCtrlHandler(uint32_t control) {
  if (control != platform::kServiceControlStop && control != platform::kServiceControlShutdown) {
    return;
  }
  Host& h = TheHost();
  ServiceStepTable steps;
  {
    std::lock_guard<std::mutex> lock(h.mutex);
    // Only a running service stops, and only once.
    if (h.state != ServiceState::kRunning || h.stopTaken) return;
    h.stopTaken = true;
    steps = control == platform::kServiceControlStop ? h.config.stop : h.config.shutdown;
    OS_SetStopFlag();
    ReportLocked(h, ServiceState::kStopPending, 0, kServiceWaitHintMs);
  }
  RunServiceSteps(steps);
  h.stopEvent.Set();
}

int Service_PrepareProcess() {
  // The nice value is per thread on Linux and inherited by the threads this one starts:
  // the pool's workers all get it. Lowering it needs privileges; without them the
  // service runs at the normal priority.
  if (::setpriority(PRIO_PROCESS, 0, kServiceNice) != 0) {
    std::string note = std::string("set process priority error: ") + std::strerror(errno) + ".";
    std::printf("%s\n", note.c_str());
    std::fflush(stdout);
    Host& h = TheHost();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.prepareNote = note;
  }
  std::set_terminate(OnUnhandledException);
  return 0;
}

int ServiceProgramMain(int argc, char** argv) {
  g_ServiceName = "TirvanClient";
  g_InstallRoot.clear();
  g_DBPath.clear();
  std::string root;
  if (GetInstallRoot(root) == 0 && root.size() <= 259) {
    g_InstallRoot = root;
    g_DBPath = root + "/etc/Tirvan.db";
  }
  platform::IgnoreSigpipe();

  if (argc < 2) return 1;
  if (argc == 2) return 0;
  const std::string option = argv[1];
  const std::string name = argv[2];
  if (option == "-i") {
    if (IsServiceInstalled(name)) return -1;
    return InstallService(name) == 1 ? 0 : -1;
  }
  if (option == "-u") return UninstallService(name) == 1 ? 0 : -1;
  if (option == "-r") {
    uint32_t exitCode = 0;
    // Blocks the stop signals before ServiceMain (and with it every pool thread) starts.
    platform::ScmResult r =
        platform::RunServiceDispatcher(name, ServiceMain, ServiceCtrlHandler, &exitCode);
    if (!r.ok()) return -1;
    EndProcess(platform::ServiceExitStatus(exitCode));
  }
  return -1;
}
