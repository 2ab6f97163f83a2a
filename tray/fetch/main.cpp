// tirvan-fetch: one HTTP(S) transfer for the tray program, in a process of its own so
// that libcurl, the TLS libraries and every parser of what a server sends stay out of
// the tray's memory and cannot take it down. See fetch_wire.h for its arguments and its
// result line.
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "fetch_wire.h"
#include "transfer.h"

namespace {

namespace wire = tray::fetchwire;

constexpr const char* kUsage =
    "usage: tirvan-fetch [--output PATH] [--timeout-ms N] [--connect-timeout-ms N]\n"
    "                    [--low-speed-bytes N --low-speed-seconds N] [--https-only]\n"
    "                    [--ca-file PATH] [--max-bytes N] [--max-file-bytes N]\n"
    "                    [--result-fd N] [--] URL\n"
    "One transfer: the page to standard output, or the file to PATH (created 0600 or\n"
    "truncated; a symbolic link there is refused). The result line goes to descriptor N\n"
    "(standard error without it). Exit 0: done; 1: failed; 2: bad arguments.\n";

int Usage(const std::string& why) {
  std::fprintf(stderr, "tirvan-fetch: %s\n%s", why.c_str(), kUsage);
  return wire::kExitUsage;
}

bool Number(std::string_view text, long long min, long long max, long long* out) {
  long long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < min || v > max) return false;
  *out = v;
  return true;
}

// The Request field an option of a time or a speed (0 to LONG_MAX) sets; null for others.
long fetch::Request::*LongOption(std::string_view arg) {
  static constexpr struct {
    std::string_view flag;
    long fetch::Request::*field;
  } kOptions[] = {
      {wire::kTimeoutMs, &fetch::Request::timeoutMs},
      {wire::kConnectTimeoutMs, &fetch::Request::connectTimeoutMs},
      {wire::kLowSpeedBytes, &fetch::Request::lowSpeedBytes},
      {wire::kLowSpeedSeconds, &fetch::Request::lowSpeedSeconds},
  };
  for (const auto& o : kOptions)
    if (arg == o.flag) return o.field;
  return nullptr;
}

void OnSignal(int) { fetch::RequestAbort(); }

}  // namespace

int main(int argc, char** argv) {
  // Gone with the tray: a transfer nobody waits for ends.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  for (int s : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(s, &sa, nullptr);

  fetch::Request q;
  int resultFd = 2;
  bool haveUrl = false;
  constexpr long long kLongMax = 0x7fffffffL;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return wire::kExitOk;
    }
    if (arg == wire::kHttpsOnly) {
      q.httpsOnly = true;
      continue;
    }
    if (arg == "--" || arg.empty() || arg[0] != '-') {
      const int at = arg == "--" ? i + 1 : i;
      if (at != argc - 1) return Usage(at >= argc ? "no address given" : "one address only, last");
      q.url = argv[at];
      haveUrl = true;
      break;
    }
    if (i + 1 >= argc) return Usage(std::string(arg) + " needs a value");
    const std::string_view value = argv[++i];
    long long n = 0;
    auto number = [&](long long min, long long max) {
      if (Number(value, min, max, &n)) return true;
      Usage(std::string(arg) + ": not a number from " + std::to_string(min) + " to " + std::to_string(max) +
            ": " + std::string(value));
      return false;
    };
    if (arg == wire::kOutput) {
      if (value.empty()) return Usage("--output: an empty path");
      q.outputPath = value;
    } else if (arg == wire::kCaFile) {
      q.caFile = value;
    } else if (long fetch::Request::*field = LongOption(arg)) {
      if (!number(0, kLongMax)) return wire::kExitUsage;
      q.*field = static_cast<long>(n);
    } else if (arg == wire::kMaxBytes) {
      if (!number(0, wire::kMaxPageLimit)) return wire::kExitUsage;
      q.maxBytes = n;
    } else if (arg == wire::kMaxFileBytes) {
      if (!number(0, wire::kMaxFileLimit)) return wire::kExitUsage;
      q.maxFileBytes = n;
    } else if (arg == wire::kResultFd) {
      if (!number(1, 1 << 20)) return wire::kExitUsage;
      if (::fcntl(static_cast<int>(n), F_GETFD) < 0) return Usage("--result-fd: descriptor " + std::to_string(n) + " is not open");
      resultFd = static_cast<int>(n);
    } else if (arg == wire::kRefuseOption) {
      if (!number(0, 1 << 30)) return wire::kExitUsage;
      q.refusedOptions.insert(static_cast<int>(n));
    } else {
      return Usage("unknown option " + std::string(arg));
    }
  }
  if (!haveUrl) return Usage("no address given");
  if (resultFd == 1) return Usage("--result-fd: standard output holds the page");
  // The result descriptor is the helper's own, never passed on.
  ::fcntl(resultFd, F_SETFD, FD_CLOEXEC);

  const wire::Result r = fetch::Transfer(q);
  const std::string line = wire::FormatResult(r);
  for (size_t at = 0; at < line.size();) {
    ssize_t n = ::write(resultFd, line.data() + at, line.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fprintf(stderr, "tirvan-fetch: cannot write the result: %s\n", std::strerror(errno));
      return wire::kExitFailed;
    }
    at += static_cast<size_t>(n);
  }
  return r.ok ? wire::kExitOk : wire::kExitFailed;
}
