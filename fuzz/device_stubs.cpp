#include "device_stubs.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/device_requests.h"
#include "app/logon.h"
#include "comm/config_db.h"
#include "comm/opcodes.h"
#include "fuzz_support.h"
#include "platform/power.h"

namespace fuzz {

namespace {

constexpr const char* kFakePowerOff = "/nonexistent/tirvan-fuzz-poweroff";

class FakeRunner : public platform::CommandRunner {
 public:
  bool CanRun(const std::vector<std::string>& argv, std::string* error) override {
    Expect(argv);
    if ((++m_calls & 3) == 0) {
      *error = "refused by the fuzz target";
      return false;
    }
    return true;
  }
  int Run(const std::vector<std::string>& argv, std::string* error) override {
    Expect(argv);
    if ((++m_calls & 1) != 0) return 0;
    *error = "failed in the fuzz target";
    return -1;
  }

 private:
  static void Expect(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0] != kFakePowerOff) Fail("an unexpected command would run");
  }
  unsigned m_calls = 0;
};

// The tray program's login listener: reads a DeviceLoginAsk and answers by the first
// byte of its e-mail: even admitted, odd refused, 'x' five bytes of nothing.
void TrayListener(int listenFd) {
  for (;;) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    uint8_t ask[kDeviceLoginAskSize];
    size_t got = 0;
    while (got < sizeof ask) {
      pollfd p{fd, POLLIN, 0};
      int ready = ::poll(&p, 1, 2000);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      ssize_t n = ::recv(fd, ask + got, sizeof ask - got, MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got == sizeof ask) {
      uint8_t answer[kDeviceLoginAnswerSize] = {};
      MsgHead head = MsgHead::Decode(ask);
      MsgHead{kDeviceLoginAnswerSize, OP_SHOW_DEVICE_LOGIN, head.seq}.Encode(answer);
      uint8_t first = ask[MsgHead::kSize];
      wire::PutU32(answer + 8, first & 1);
      size_t len = first == 'x' ? 5 : sizeof answer;
      (void)!::send(fd, answer, len, MSG_NOSIGNAL);
    }
    ::close(fd);
  }
}

}  // namespace

void InitDeviceStubs() {
  static bool done = false;
  if (done) return;
  done = true;
  static FakeRunner runner;
  platform::SetCommandRunner(&runner);
  platform::SetPowerOffCommand({kFakePowerOff});
  ::setenv(platform::kPowerOffCommandEnv, kFakePowerOff, 1);

  ServerReportOptions report = GetServerReportOptions();
  report.connectTimeoutMs = 500;
  report.ioTimeoutMs = 500;
  SetServerReportOptions(report);

  AccountInfo account{};
  std::strncpy(account.email, "pc@example.com", sizeof account.email - 1);
  std::strncpy(account.psw, "hash-of-the-pc", sizeof account.psw - 1);
  if (WriteLogOnInfo(account) != 0) Fail("cannot store the account");

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
      ::listen(fd, 16) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    Fail("cannot listen for the tray program");
  }
  std::thread(TrayListener, fd).detach();
  TrayAskOptions ask;
  ask.port = ntohs(sin.sin_port);
  ask.connectTimeoutMs = 1000;
  ask.recvTimeoutMs = 3000;
  SetTrayAskOptions(ask);
}

}  // namespace fuzz
