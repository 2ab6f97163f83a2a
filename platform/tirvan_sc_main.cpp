// tirvan-sc: starts, stops, queries and configures services through the service
// manager, for users and scripts. Exit status 0 on success, 1 when the operation
// failed (the reason on standard error), 2 for a wrong command line.
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/service_manager.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void PrintUsage(FILE* to) {
  std::fprintf(to,
               "usage: tirvan-sc COMMAND NAME [OPTIONS]\n"
               "  start NAME [wait= MS]   start the service; wait up to MS ms (default %u,\n"
               "                          0: do not wait) until it runs; prints its state\n"
               "  stop NAME [wait= MS]    stop the service; wait up to MS ms until it has\n"
               "                          stopped; prints its state\n"
               "  query NAME              print its state: STOPPED, START_PENDING, RUNNING or\n"
               "                          STOP_PENDING\n"
               "  qc NAME                 print its start type: auto, demand or disabled\n"
               "  config NAME start= auto|demand|disabled\n"
               "                          change its start type\n"
               "  install NAME EXE        install the program EXE as service NAME (automatic\n"
               "                          start, command line \"EXE\" \"-r\" \"NAME\")\n"
               "  remove NAME             remove the service; a running service is removed\n"
               "                          once it stops\n"
               "The built-in manager keeps its state in $%s (default %s);\n"
               "%s=builtin uses it where systemd runs.\n",
               platform::kDefaultWaitHintMs, platform::kScmDirEnv, platform::kDefaultScmDir,
               platform::kScmBackendEnv);
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "tirvan-sc: %s\n", problem.c_str());
  PrintUsage(stderr);
  return kExitUsage;
}

int Failed(const platform::ScmResult& r) {
  std::fprintf(stderr, "tirvan-sc: %s (error %d)\n", r.message.c_str(), static_cast<int>(r.code));
  return kExitFailed;
}

// Options in the form "key= value" (two words) or "key=value".
bool ParseOptions(const std::vector<std::string>& words, std::map<std::string, std::string>* opts,
                  std::string* problem) {
  for (size_t i = 0; i < words.size(); ++i) {
    size_t eq = words[i].find('=');
    if (eq == std::string::npos || eq == 0) {
      *problem = "unexpected argument \"" + words[i] + "\"";
      return false;
    }
    std::string key = words[i].substr(0, eq), value = words[i].substr(eq + 1);
    if (value.empty()) {
      if (i + 1 >= words.size()) {
        *problem = "no value after \"" + words[i] + "\"";
        return false;
      }
      value = words[++i];
    }
    (*opts)[key] = value;
  }
  return true;
}

bool ParseMs(const std::string& text, int* ms) {
  if (text.empty() || text.size() > 9) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *ms = v;
  return true;
}

int PrintState(platform::ServiceManager& m, const std::string& name) {
  platform::ServiceStatus st;
  platform::ScmResult r = m.QueryStatus(name, &st);
  if (!r.ok()) return Failed(r);
  std::printf("%s\n", platform::ServiceStateName(st.state));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help" || args[0] == "help")) {
    PrintUsage(stdout);
    return 0;
  }
  if (args.empty()) return Usage("no command");
  const std::string& cmd = args[0];
  static const char* const kCommands[] = {"start",  "stop",    "query", "qc",
                                          "config", "install", "remove"};
  bool known = false;
  for (const char* c : kCommands) known = known || cmd == c;
  if (!known) return Usage("unknown command \"" + cmd + "\"");
  if (args.size() < 2) return Usage(cmd + ": no service name");
  const std::string& name = args[1];

  size_t positional = cmd == "install" ? 3 : 2;
  if (args.size() < positional) return Usage("install: no program path");
  std::map<std::string, std::string> opts;
  std::string problem;
  if (!ParseOptions({args.begin() + static_cast<long>(positional), args.end()}, &opts, &problem)) {
    return Usage(cmd + ": " + problem);
  }
  for (const auto& [key, value] : opts) {
    bool allowed =
        (key == "wait" && (cmd == "start" || cmd == "stop")) || (key == "start" && cmd == "config");
    if (!allowed) return Usage(cmd + ": unknown option \"" + key + "=\"");
  }
  int waitMs = static_cast<int>(platform::kDefaultWaitHintMs);
  if (opts.count("wait") && !ParseMs(opts["wait"], &waitMs)) {
    return Usage("wait= needs a number of milliseconds, not \"" + opts["wait"] + "\"");
  }
  platform::StartType type = platform::StartType::kAuto;
  if (cmd == "config") {
    if (!opts.count("start")) return Usage("config: start= auto|demand|disabled is missing");
    if (!platform::ParseStartType(opts["start"], &type)) {
      return Usage("config: start= must be auto, demand or disabled, not \"" + opts["start"] +
                   "\"");
    }
  }

  std::unique_ptr<platform::ServiceManager> manager;
  platform::ScmResult r = platform::OpenServiceManager(&manager);
  if (!r.ok()) return Failed(r);
  platform::ServiceManager& m = *manager;

  if (cmd == "query") return PrintState(m, name);
  if (cmd == "qc") {
    r = m.GetStartType(name, &type);
    if (!r.ok()) return Failed(r);
    std::printf("%s\n", platform::StartTypeName(type));
    return 0;
  }
  if (cmd == "start" || cmd == "stop") {
    r = cmd == "start" ? m.Start(name, waitMs) : m.Stop(name, waitMs);
    if (!r.ok()) return Failed(r);
    return PrintState(m, name);
  }
  if (cmd == "config") {
    r = m.SetStartType(name, type);
    if (!r.ok()) return Failed(r);
    std::printf("%s: start type %s\n", name.c_str(), platform::StartTypeName(type));
    return 0;
  }
  if (cmd == "install") {
    std::error_code ec;
    std::string exe = std::filesystem::absolute(args[2], ec).lexically_normal().string();
    if (ec) exe = args[2];
    r = m.Install(name, exe);
    if (!r.ok()) return Failed(r);
    std::printf("%s: installed\n", name.c_str());
    return 0;
  }
  // remove
  r = m.Remove(name);
  if (!r.ok()) return Failed(r);
  if (m.IsInstalled(name)) {
    std::printf("%s: marked for removal; it is removed once it stops\n", name.c_str());
  } else {
    std::printf("%s: removed\n", name.c_str());
  }
  return 0;
}
