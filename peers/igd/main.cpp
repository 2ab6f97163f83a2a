// tirvan-igd: runs the test gateway until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "igd/igd_emulator.h"

namespace {

constexpr const char* kUsage =
    "Usage: tirvan-igd [--listen HOST:PORT] [--external-ip ADDRESS]\n"
    "Serves a UPnP Internet gateway's root description and port-mapping actions over\n"
    "HTTP (default 127.0.0.1:0; port 0 lets the system pick). Prints \"listening on\n"
    "HOST:PORT\" and the root description's URL, then one line per request.\n";

int Usage(const std::string& error) {
  if (!error.empty()) std::fprintf(stderr, "tirvan-igd: %s\n", error.c_str());
  std::fputs(kUsage, error.empty() ? stdout : stderr);
  return error.empty() ? 0 : 2;
}

bool ParseListen(const std::string& text, std::string* host, uint16_t* port) {
  size_t colon = text.rfind(':');
  std::string h = colon == std::string::npos ? "" : text.substr(0, colon);
  std::string p = colon == std::string::npos ? text : text.substr(colon + 1);
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long v = std::strtoul(p.c_str(), nullptr, 10);
  if (v > 65535) return false;
  if (!h.empty()) *host = h;
  *port = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  igd::EmulatorOptions opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") return Usage("");
    if (i + 1 >= argc) return Usage("unknown argument or missing value: " + a);
    std::string v = argv[++i];
    if (a == "--listen") {
      if (!ParseListen(v, &opt.host, &opt.port)) return Usage("bad --listen " + v);
    } else if (a == "--external-ip") {
      opt.externalIp = v;
    } else {
      return Usage("unknown argument: " + a);
    }
  }
  opt.log = [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  igd::Emulator emulator(opt);
  std::string error;
  if (!emulator.Start(&error)) {
    std::fprintf(stderr, "tirvan-igd: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s:%u\nroot description %s\n", opt.host.c_str(),
              unsigned{emulator.Port()}, emulator.RootUrl().c_str());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stopSignals, &sig);
  emulator.Stop();
  return 0;
}
