#include "program_env.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace traytest {

uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

void InstallProgramService(const support::TempDir& tmp, const systest::Central& central,
                           std::unique_ptr<systest::Service>* service, uint16_t* servicePort,
                           std::string* trayLoginPort) {
  *trayLoginPort = std::to_string(FreePort());
  systest::ServiceOptions options;
  options.central = &central;
  options.shares = {tmp.Sub("share")};
  options.env = {{"TIRVAN_TRAY_LOGIN_PORT", *trayLoginPort}};
  *service = std::make_unique<systest::Service>(tmp, options);
  *servicePort = FreePort();
  platform::CommandResult set = platform::RunCommand(
      {"sqlite3", (*service)->DbPath(), "update qz_conf set localport=" + std::to_string(*servicePort)}, 10000);
  ASSERT_EQ(set.exitCode, 0) << set.err;
}

void SetProgramEnvironment(const support::TempDir& tmp, uint16_t servicePort, const std::string& trayLoginPort,
                           const std::vector<std::pair<const char*, std::string>>& more) {
  std::vector<std::pair<const char*, std::string>> vars{
      {"HOME", tmp.Sub("home")},
      {"XDG_RUNTIME_DIR", tmp.Sub("home")},
      {"XDG_CONFIG_HOME", tmp.Sub("home/.config")},
      {"XDG_DATA_HOME", tmp.Sub("home/.local/share")},
      {"TIRVAN_TRAY_LOG", tmp.Sub("tray.log")},
      {"TIRVAN_SERVICE_PORT", std::to_string(servicePort)},
      {"TIRVAN_TRAY_LOGIN_PORT", trayLoginPort}};
  vars.insert(vars.end(), more.begin(), more.end());
  for (const auto& [k, v] : vars) ::setenv(k, v.c_str(), 1);
  ::chmod(tmp.Sub("home").c_str(), 0700);
}

platform::ServiceState ProgramServiceState(const support::TempDir& tmp) {
  platform::ServiceManagerOptions o;
  o.stateDir = tmp.Sub("scm");
  platform::ServiceStatus status;
  auto m = platform::OpenBuiltinServiceManager(o);
  return m->QueryStatus("Tirvan", &status).ok() ? status.state : platform::ServiceState::kStopped;
}

}  // namespace traytest
