// tirvan-rendezvous: runs the P2P rendezvous server.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "rendezvous/rendezvous_server.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  tirvan-rendezvous [--listen HOST:PORT] [--station-ttl MS] [--max-stations N]\n"
    "                    [--log FILE]\n"
    "\n"
    "Listens on UDP HOST:PORT (default 127.0.0.1:0; port 0 lets the system pick) and\n"
    "prints \"listening on HOST:PORT\" once it takes messages. PCs announce themselves\n"
    "with their heartbeat; devices ask for a PC by its station id. A PC not heard from\n"
    "for --station-ttl ms (default 35000) is forgotten. Log lines go to standard output,\n"
    "or to --log FILE. SIGINT or SIGTERM stops it.\n";

int Usage(const std::string& error) {
  if (!error.empty()) std::fprintf(stderr, "tirvan-rendezvous: %s\n", error.c_str());
  std::fputs(kUsage, error.empty() ? stdout : stderr);
  return error.empty() ? 0 : 2;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
  if (errno != 0 || v > max) return false;
  *out = v;
  return true;
}

bool ParseListen(const std::string& text, std::string* host, uint16_t* port) {
  size_t colon = text.rfind(':');
  std::string h = colon == std::string::npos ? "" : text.substr(0, colon);
  std::string p = colon == std::string::npos ? text : text.substr(colon + 1);
  unsigned long v = 0;
  if (!ParseNumber(p, 65535, &v)) return false;
  if (!h.empty()) *host = h;
  *port = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  rendezvous::RendezvousOptions opt;
  std::string logPath;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") return Usage("");
    if (i + 1 >= args.size()) return Usage("unknown argument or missing value: " + a);
    const std::string& v = args[++i];
    unsigned long n = 0;
    if (a == "--listen") {
      if (!ParseListen(v, &opt.listenHost, &opt.listenPort)) return Usage("bad --listen " + v);
    } else if (a == "--station-ttl") {
      if (!ParseNumber(v, 86400000, &n) || n == 0) return Usage("bad --station-ttl " + v);
      opt.stationTtlMs = static_cast<unsigned>(n);
    } else if (a == "--max-stations") {
      if (!ParseNumber(v, 10000000, &n) || n == 0) return Usage("bad --max-stations " + v);
      opt.maxStations = n;
    } else if (a == "--log") {
      logPath = v;
    } else {
      return Usage("unknown argument: " + a);
    }
  }

  FILE* logFile = stdout;
  if (!logPath.empty()) {
    logFile = std::fopen(logPath.c_str(), "a");
    if (logFile == nullptr) {
      std::fprintf(stderr, "tirvan-rendezvous: cannot open %s: %s\n", logPath.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  opt.log = [logFile](const std::string& line) {
    std::fprintf(logFile, "%s\n", line.c_str());
    std::fflush(logFile);
  };

  // SIGINT and SIGTERM are taken by one thread that stops the server.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  rendezvous::RendezvousServer server(opt);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "tirvan-rendezvous: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s\n", server.ListenAddress().c_str());
  std::fflush(stdout);
  opt.log("listening on " + server.ListenAddress());

  int sig = 0;
  sigwait(&stopSignals, &sig);
  opt.log("signal " + std::to_string(sig) + ": stopping");
  server.Stop();
  server.Wait();
  opt.log("stopped");
  if (logFile != stdout) std::fclose(logFile);
  return 0;
}
