// The systemd backend: a unit file per service in the unit directory and systemctl
// for everything else. The start type maps onto the unit's enablement: auto is
// enabled, demand is disabled, and disabled is disabled with a drop-in that refuses
// manual starts (a mask cannot be used: it would have to replace our own unit file).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/service_manager.h"
#include "platform/service_manager_internal.h"

namespace platform {

namespace {

// An ExecStart word: double quotes with '\' and '"' escaped, '%' (specifiers) and '$'
// (variables) doubled, so the path reaches the program as it was given.
std::string UnitWord(const std::string& word) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '%') {
      out += "%%";
    } else if (c == '$') {
      out += "$$";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string UnitText(const std::string& name, const std::string& exePath) {
  std::string t;
  t += "[Unit]\n";
  t += "Description=" + name + "\n";
  t += "After=network.target\n";
  t += "\n";
  t += "[Service]\n";
  t += "Type=notify\n";
  t += "NotifyAccess=main\n";
  t += "ExecStart=" + UnitWord(exePath) + " " + UnitWord("-r") + " " + UnitWord(name) + "\n";
  t += "TimeoutStopSec=" + std::to_string(kDefaultWaitHintMs / 1000) + "\n";
  t += "Restart=no\n";
  t += "\n";
  t += "[Install]\n";
  t += "WantedBy=multi-user.target\n";
  return t;
}

constexpr const char* kDropInText =
    "# Start type \"disabled\": the service may not be started.\n"
    "[Unit]\n"
    "RefuseManualStart=yes\n";

std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

class SystemdServiceManager final : public ServiceManager {
 public:
  explicit SystemdServiceManager(const ServiceManagerOptions& o)
      : m_unitDir(o.unitDir.empty() ? kDefaultUnitDir : o.unitDir),
        m_systemctl(o.systemctl.empty() ? "systemctl" : o.systemctl),
        m_runner(o.runner),
        m_timeoutMs(o.commandTimeoutMs) {
    if (!m_runner) {
      m_runner = [](const std::vector<std::string>& argv, int timeoutMs) {
        return RunCommand(argv, timeoutMs);
      };
    }
  }

  ScmBackend Backend() const override { return ScmBackend::kSystemd; }

  bool IsInstalled(const std::string& name) override {
    return ValidateServiceName(name).ok() && Exists(UnitPath(name));
  }

  ScmResult Install(const std::string& name, const std::string& exePath) override {
    std::string line;
    ScmResult r = BuildServiceCommandLine(exePath, name, &line);
    if (!r.ok()) return r;
    std::string unit = UnitPath(name);
    if (Exists(unit)) return AlreadyInstalled(name);
    std::string tmp = unit + ".tmp." + std::to_string(::getpid()), err;
    if (!scm::WriteFileAtomic(tmp, UnitText(name, exePath), 0644, &err)) {
      return ScmResult::Fail(scm::ErrorForErrno(errno), err);
    }
    // link() refuses an existing name, so a concurrent install cannot be overwritten.
    int linked = ::link(tmp.c_str(), unit.c_str());
    int linkErr = errno;
    ::unlink(tmp.c_str());
    if (linked != 0) {
      if (linkErr == EEXIST) return AlreadyInstalled(name);
      return ScmResult::Fail(scm::ErrorForErrno(linkErr),
                             scm::SysError("cannot create " + unit, linkErr));
    }
    r = Systemctl({"daemon-reload"});
    if (r.ok()) {
      r = Systemctl({"enable", UnitName(name)});
      if (r.ok()) return r;
    }
    ::unlink(unit.c_str());
    Systemctl({"daemon-reload"});
    return r;
  }

  ScmResult Remove(const std::string& name) override {
    ScmResult r = Known(name);
    if (!r.ok()) return r;
    r = Systemctl({"disable", UnitName(name)});
    if (!r.ok()) return r;
    std::string unit = UnitPath(name);
    std::error_code ec;
    std::filesystem::remove(DropInPath(name), ec);
    std::filesystem::remove(DropInDir(name), ec);  // only when empty
    if (::unlink(unit.c_str()) != 0 && errno != ENOENT) {
      return ScmResult::Fail(scm::ErrorForErrno(errno),
                             scm::SysError("cannot delete " + unit, errno));
    }
    return Systemctl({"daemon-reload"});
  }

  ScmResult Start(const std::string& name, int waitMs) override {
    StartType type;
    ScmResult r = GetStartType(name, &type);
    if (!r.ok()) return r;
    if (type == StartType::kDisabled) {
      return ScmResult::Fail(ScmError::kServiceDisabled, scm::Quoted(name) + " is disabled");
    }
    ServiceStatus st;
    r = QueryStatus(name, &st);
    if (!r.ok()) return r;
    if (st.state != ServiceState::kStopped) {
      return ScmResult::Fail(
          ScmError::kAlreadyRunning,
          scm::Quoted(name) + " is already running (" + ServiceStateName(st.state) + ")");
    }
    if (waitMs <= 0) return Systemctl({"start", "--no-block", UnitName(name)});
    // Without --no-block systemctl returns once the service reported READY=1 or failed.
    CommandResult c = Run({"start", UnitName(name)}, waitMs);
    if (c.timedOut) {
      return ScmResult::Fail(
          ScmError::kRequestTimeout,
          scm::Quoted(name) + " did not report RUNNING within " + std::to_string(waitMs) + " ms");
    }
    if (c.exitCode == 0) return ScmResult::Ok();
    if (QueryStatus(name, &st).ok() && st.state == ServiceState::kStopped) {
      return ScmResult::Fail(ScmError::kServiceSpecific,
                             scm::Quoted(name) + " stopped during start-up with exit code " +
                                 std::to_string(st.exitCode) + "; see journalctl -u " +
                                 UnitName(name));
    }
    return Failure({"start", UnitName(name)}, c);
  }

  ScmResult Stop(const std::string& name, int waitMs) override {
    ServiceStatus st;
    ScmResult r = QueryStatus(name, &st);
    if (!r.ok()) return r;
    if (st.state == ServiceState::kStopped) {
      return ScmResult::Fail(ScmError::kNotActive, scm::Quoted(name) + " is not running");
    }
    if (waitMs <= 0) {
      if (st.state == ServiceState::kStopPending) return ScmResult::Ok();
      return Systemctl({"stop", "--no-block", UnitName(name)});
    }
    // Returns once the unit is inactive; systemd itself ends it after TimeoutStopSec.
    CommandResult c = Run({"stop", UnitName(name)}, waitMs);
    if (c.timedOut) {
      return ScmResult::Fail(
          ScmError::kRequestTimeout,
          scm::Quoted(name) + " did not stop within " + std::to_string(waitMs) + " ms");
    }
    if (c.exitCode != 0) return Failure({"stop", UnitName(name)}, c);
    return ScmResult::Ok();
  }

  ScmResult QueryStatus(const std::string& name, ServiceStatus* status) override {
    ScmResult r = Known(name);
    if (!r.ok()) return r;
    std::vector<std::string> args = {"show", "--property=ActiveState,MainPID,ExecMainStatus",
                                     UnitName(name)};
    CommandResult c = Run(args, m_timeoutMs);
    if (c.exitCode != 0) return Failure(args, c);
    std::vector<std::pair<std::string, std::string>> kv;
    scm::ParseKeyValues(c.out, &kv);
    std::string active;
    uint32_t pid = 0, exitStatus = 0;
    for (const auto& [k, v] : kv) {
      if (k == "ActiveState") active = v;
      if (k == "MainPID") scm::ParseU32(v, &pid);
      if (k == "ExecMainStatus") scm::ParseU32(v, &exitStatus);
    }
    ServiceStatus st;
    if (active == "active" || active == "reloading" || active == "refreshing") {
      st.state = ServiceState::kRunning;
    } else if (active == "activating") {
      st.state = ServiceState::kStartPending;
      st.waitHintMs = kDefaultWaitHintMs;
    } else if (active == "deactivating") {
      st.state = ServiceState::kStopPending;
      st.waitHintMs = kDefaultWaitHintMs;
    } else if (active == "inactive" || active == "failed") {
      st.state = ServiceState::kStopped;
      st.exitCode = exitStatus;
    } else {
      return ScmResult::Fail(ScmError::kSystem, "systemctl reports the state \"" + active +
                                                    "\" for " + UnitName(name));
    }
    if (st.state != ServiceState::kStopped) st.pid = static_cast<int>(pid);
    *status = st;
    return ScmResult::Ok();
  }

  ScmResult SetStartType(const std::string& name, StartType type) override {
    ScmResult r = Known(name);
    if (!r.ok()) return r;
    std::string dropIn = DropInPath(name);
    bool hasDropIn = Exists(dropIn);
    if (type == StartType::kDisabled && !hasDropIn) {
      std::error_code ec;
      std::filesystem::create_directories(DropInDir(name), ec);
      std::string err;
      if (ec || !scm::WriteFileAtomic(dropIn, kDropInText, 0644, &err)) {
        int e = ec ? ec.value() : errno;
        return ScmResult::Fail(
            scm::ErrorForErrno(e),
            err.empty() ? scm::SysError("cannot create " + DropInDir(name), e) : err);
      }
      r = Systemctl({"daemon-reload"});
      if (!r.ok()) return r;
    } else if (type != StartType::kDisabled && hasDropIn) {
      if (::unlink(dropIn.c_str()) != 0) {
        return ScmResult::Fail(scm::ErrorForErrno(errno),
                               scm::SysError("cannot delete " + dropIn, errno));
      }
      std::error_code ec;
      std::filesystem::remove(DropInDir(name), ec);
      r = Systemctl({"daemon-reload"});
      if (!r.ok()) return r;
    }
    return Systemctl({type == StartType::kAuto ? "enable" : "disable", UnitName(name)});
  }

  ScmResult GetStartType(const std::string& name, StartType* type) override {
    ScmResult r = Known(name);
    if (!r.ok()) return r;
    if (Exists(DropInPath(name))) {
      *type = StartType::kDisabled;
      return ScmResult::Ok();
    }
    std::vector<std::string> args = {"is-enabled", UnitName(name)};
    CommandResult c = Run(args, m_timeoutMs);  // exits 1 for "disabled": read what it prints
    std::string word = FirstLine(c.out);
    if (word == "enabled" || word == "enabled-runtime" || word == "alias") {
      *type = StartType::kAuto;
    } else if (word == "masked" || word == "masked-runtime") {
      *type = StartType::kDisabled;
    } else if (word == "disabled" || word == "static" || word == "indirect" ||
               word == "generated" || word == "transient" || word == "linked" ||
               word == "linked-runtime") {
      *type = StartType::kDemand;
    } else {
      return Failure(args, c);
    }
    return ScmResult::Ok();
  }

 private:
  static std::string UnitName(const std::string& name) { return name + ".service"; }
  std::string UnitPath(const std::string& name) const { return m_unitDir + "/" + UnitName(name); }
  std::string DropInDir(const std::string& name) const { return UnitPath(name) + ".d"; }
  std::string DropInPath(const std::string& name) const {
    return DropInDir(name) + "/tirvan-start-type.conf";
  }

  static bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
  }

  static ScmResult AlreadyInstalled(const std::string& name) {
    return ScmResult::Fail(ScmError::kServiceExists, scm::Quoted(name) + " is already installed");
  }

  ScmResult Known(const std::string& name) const {
    ScmResult r = ValidateServiceName(name);
    if (!r.ok()) return r;
    if (!Exists(UnitPath(name))) {
      return ScmResult::Fail(ScmError::kDoesNotExist,
                             scm::Quoted(name) + " is not installed (no " + UnitPath(name) + ")");
    }
    return ScmResult::Ok();
  }

  CommandResult Run(const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(m_systemctl);
    argv.insert(argv.end(), args.begin(), args.end());
    return m_runner(argv, timeoutMs);
  }

  ScmResult Failure(const std::vector<std::string>& args, const CommandResult& c) const {
    std::string cmd = m_systemctl;
    for (const auto& a : args) cmd += " " + a;
    std::string why = !c.error.empty() ? c.error : FirstLine(c.err);
    if (why.empty()) why = "exit status " + std::to_string(c.exitCode);
    bool denied = c.err.find("Access denied") != std::string::npos ||
                  c.err.find("ermission denied") != std::string::npos;
    return ScmResult::Fail(denied ? ScmError::kAccessDenied : ScmError::kSystem,
                           cmd + " failed: " + why);
  }

  ScmResult Systemctl(const std::vector<std::string>& args) {
    CommandResult c = Run(args, m_timeoutMs);
    if (c.exitCode == 0) return ScmResult::Ok();
    return Failure(args, c);
  }

  std::string m_unitDir;
  std::string m_systemctl;
  CommandRunner m_runner;
  int m_timeoutMs;
};

}  // namespace

std::unique_ptr<ServiceManager> OpenSystemdServiceManager(const ServiceManagerOptions& options) {
  return std::make_unique<SystemdServiceManager>(options);
}

}  // namespace platform
