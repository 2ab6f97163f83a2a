// The service manager as the service program and the tray program use it: install,
// remove, start, stop, query and change the start type of a service that runs in its
// own process. Two backends stand behind one interface:
//   - systemd, where systemd runs as the init system: a unit file per service,
//     systemctl for every operation, readiness over the notify socket;
//   - a built-in manager everywhere else (containers, CI, tests): a state directory
//     with each installed service's record and the status its process reports; start
//     spawns the command line detached, stop delivers SIGTERM.
// The service side (the dispatcher that runs the service under either backend) is in
// platform/service_dispatcher.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// Service states, with the numbers the Windows service manager gives them.
enum class ServiceState : uint32_t {
  kStopped = 1,
  kStartPending = 2,
  kStopPending = 3,
  kRunning = 4,
};

// Start types, with the Windows numbers.
enum class StartType : uint32_t {
  kAuto = 2,
  kDemand = 3,
  kDisabled = 4,
};

// Controls delivered to a service's control handler.
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlShutdown = 5;

// The wait hint a service reports while it starts or stops, and the default of every
// wait for a state change.
constexpr uint32_t kDefaultWaitHintMs = 60000;

// The longest command line a service may have.
constexpr size_t kMaxServiceCommandLine = 1023;

// Result codes. Where Windows has an error for the same case its number is used.
enum class ScmError : int {
  kOk = 0,
  kSystem = 1,                  // a system call or a command failed; the message says which
  kAccessDenied = 5,            // no permission (state directory, signal, unit file)
  kInvalidParameter = 87,       // bad executable path or command line
  kInvalidName = 123,           // bad service name
  kRequestTimeout = 1053,       // the service did not reach the state in time
  kAlreadyRunning = 1056,       // start of a service that is not stopped
  kServiceDisabled = 1058,      // start of a disabled service
  kDoesNotExist = 1060,         // no such service
  kNotActive = 1062,            // stop of a stopped service
  kNotStartedByManager = 1063,  // the dispatcher runs in a process no manager started
  kServiceSpecific = 1066,      // the service stopped during start-up with its exit code
  kProcessAborted = 1067,       // the process ended without reporting stopped
  kMarkedForDelete = 1072,      // removed while it runs; gone once it stops
  kServiceExists = 1073,        // install of a name that is installed
  kCorruptRecord = 1392,        // a record or status file that cannot be read
};

// The outcome of a service-manager operation.
struct ScmResult {
  ScmError code = ScmError::kOk;
  std::string message;  // empty on success; otherwise what failed and why

  bool ok() const { return code == ScmError::kOk; }
  static ScmResult Ok() { return {}; }
  static ScmResult Fail(ScmError c, std::string msg) { return {c, std::move(msg)}; }
};

// A service's status as the manager sees it.
struct ServiceStatus {
  ServiceState state = ServiceState::kStopped;
  uint32_t checkPoint = 0;
  uint32_t waitHintMs = 0;
  uint32_t exitCode = 0;  // the service's exit code once stopped (0 after a clean stop)
  int pid = 0;            // the service's process while one runs, else 0
};

// "STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING".
const char* ServiceStateName(ServiceState state);
// "auto", "demand", "disabled".
const char* StartTypeName(StartType type);
// Parses "auto", "demand" or "disabled".
bool ParseStartType(const std::string& text, StartType* type);

// A service name is 1 to 128 letters, digits, '.', '_' and '-', starting with a letter
// or a digit (it names files and units).
ScmResult ValidateServiceName(const std::string& name);

// The command line of an installed service: "<exe>" "-r" "<name>", each part in double
// quotes and separated by single blanks. The executable path must be absolute and hold
// no double quote or control character; the line is at most 1023 characters.
ScmResult BuildServiceCommandLine(const std::string& exePath, const std::string& name,
                                  std::string* line);

// Splits a command line into words: a word is either enclosed in double quotes (which
// may hold blanks) or a run of non-blank characters. False for an unclosed quote.
bool SplitCommandLine(const std::string& line, std::vector<std::string>* words);

// The full path of the running program (/proc/self/exe), empty when unknown.
std::string CurrentExecutablePath();

// What RunCommand reports.
struct CommandResult {
  int exitCode = -1;  // the exit status; -1 when it did not run, timed out or was killed
  std::string out;    // standard output
  std::string err;    // standard error
  std::string error;  // why exitCode is -1, else empty
  bool timedOut = false;
};

// Runs argv (argv[0] is looked up in PATH when it has no '/') without a shell, with
// stdin from /dev/null, and collects its output. timeoutMs > 0 kills it after that
// long. env replaces the environment when given ("KEY=value" entries).
CommandResult RunCommand(const std::vector<std::string>& argv, int timeoutMs,
                         const std::vector<std::string>* env = nullptr);

// Runs a systemctl command for the systemd backend; tests replace it.
using CommandRunner =
    std::function<CommandResult(const std::vector<std::string>& argv, int timeoutMs)>;

enum class ScmBackend { kBuiltin, kSystemd };

// The environment variables that choose and direct the backends.
constexpr const char* kScmBackendEnv = "TIRVAN_SCM";  // "builtin" or "systemd"
constexpr const char* kScmDirEnv = "TIRVAN_SCM_DIR";  // the built-in state directory
constexpr const char* kDefaultScmDir = "/var/lib/tirvan/scm";
constexpr const char* kDefaultUnitDir = "/etc/systemd/system";

struct ServiceManagerOptions {
  std::string stateDir;  // built-in; empty: $TIRVAN_SCM_DIR, else kDefaultScmDir
  std::string unitDir;   // systemd; empty: kDefaultUnitDir
  std::string systemctl = "systemctl";
  CommandRunner runner;          // systemd; empty: RunCommand
  int pollMs = 50;               // how often a wait looks at the state again
  int commandTimeoutMs = 30000;  // bound of a systemctl call that does not wait
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  virtual ScmBackend Backend() const = 0;

  // True when the service is installed (also while it is marked for removal and runs).
  virtual bool IsInstalled(const std::string& name) = 0;

  // Installs exePath as the service name: own process, automatic start, display name
  // the name, the command line of BuildServiceCommandLine. An installed name is refused
  // with kServiceExists and left unchanged.
  virtual ScmResult Install(const std::string& name, const std::string& exePath) = 0;

  // Removes the service without stopping it. A running service stays controllable
  // until it stops (kMarkedForDelete for start, install and start-type changes).
  virtual ScmResult Remove(const std::string& name) = 0;

  // Starts the service. waitMs > 0 waits that long for RUNNING (kServiceSpecific when
  // it stops instead, kRequestTimeout when it is not running in time); 0 returns once
  // the process is launched.
  virtual ScmResult Start(const std::string& name, int waitMs) = 0;

  // Sends the stop control. waitMs > 0 waits that long for STOPPED (kRequestTimeout
  // when it is still stopping); 0 returns at once. A service that is already stopping
  // gets no second control.
  virtual ScmResult Stop(const std::string& name, int waitMs) = 0;

  virtual ScmResult QueryStatus(const std::string& name, ServiceStatus* status) = 0;

  virtual ScmResult SetStartType(const std::string& name, StartType type) = 0;
  virtual ScmResult GetStartType(const std::string& name, StartType* type) = 0;
};

// The backend in use: $TIRVAN_SCM when it is "builtin" or "systemd", else systemd when
// it runs as the init system (/run/systemd/system exists), else the built-in manager.
ScmBackend DefaultScmBackend();

// $TIRVAN_SCM_DIR when set and not empty, else kDefaultScmDir.
std::string DefaultScmStateDir();

// Opens the backend DefaultScmBackend chooses. Fails for a $TIRVAN_SCM that names no
// backend.
ScmResult OpenServiceManager(std::unique_ptr<ServiceManager>* manager,
                             const ServiceManagerOptions& options = {});

std::unique_ptr<ServiceManager> OpenBuiltinServiceManager(const ServiceManagerOptions& options);
std::unique_ptr<ServiceManager> OpenSystemdServiceManager(const ServiceManagerOptions& options);

}  // namespace platform
