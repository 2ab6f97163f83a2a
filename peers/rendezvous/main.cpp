// tirvan-rendezvous: runs the P2P rendezvous server.
#include <cstdio>
#include <string>
#include <vector>

#include "common/program.h"
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

int Usage(const std::string& error) { return peers::Usage("tirvan-rendezvous", kUsage, error); }

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  rendezvous::RendezvousOptions opt;
  std::string logPath;
  std::vector<peers::ParsedOption> options;
  std::string parseError;
  if (!peers::ParseOptions(args, {"listen", "station-ttl", "max-stations", "log"}, &options, &parseError)) {
    return Usage(parseError);
  }
  for (const auto& [a, v] : options) {
    if (a == "--help") return Usage("");
    unsigned long n = 0;
    if (a == "--listen") {
      if (!peers::ParseListen(v, &opt.listenHost, &opt.listenPort))
        return Usage("bad --listen " + v);
    } else if (a == "--station-ttl") {
      if (!peers::ParseNumber(v, 86400000, &n) || n == 0) return Usage("bad --station-ttl " + v);
      opt.stationTtlMs = static_cast<unsigned>(n);
    } else if (a == "--max-stations") {
      if (!peers::ParseNumber(v, 10000000, &n) || n == 0) return Usage("bad --max-stations " + v);
      opt.maxStations = n;
    } else if (a == "--log") {
      logPath = v;
    } else {
      return Usage("unknown argument: " + a);
    }
  }

  peers::LogSink log;
  if (!log.Open("tirvan-rendezvous", logPath)) return 1;
  opt.log = log.Writer();
  peers::StopSignals stop;  // before the server starts its threads

  rendezvous::RendezvousServer server(opt);
  std::function<std::string()> fileLine;
  if (!logPath.empty()) fileLine = [&server] { return "listening on " + server.ListenAddress(); };
  return peers::ServeUntilStopped("tirvan-rendezvous", server, stop, opt.log, fileLine);
}
