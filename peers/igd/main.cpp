// tirvan-igd: runs the test gateway until SIGINT or SIGTERM.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/program.h"
#include "igd/igd_emulator.h"

namespace {

constexpr const char* kUsage =
    "Usage: tirvan-igd [--listen HOST:PORT] [--external-ip ADDRESS]\n"
    "Serves a UPnP Internet gateway's root description and port-mapping actions over\n"
    "HTTP (default 127.0.0.1:0; port 0 lets the system pick). Prints \"listening on\n"
    "HOST:PORT\" and the root description's URL, then one line per request.\n";

int Usage(const std::string& error) { return peers::Usage("tirvan-igd", kUsage, error); }

}  // namespace

int main(int argc, char** argv) {
  igd::EmulatorOptions opt;
  std::vector<peers::ParsedOption> options;
  std::string parseError;
  if (!peers::ParseOptions({argv + 1, argv + argc}, {"listen", "external-ip"}, &options, &parseError)) {
    return Usage(parseError);
  }
  for (const auto& [a, v] : options) {
    if (a == "--help") return Usage("");
    if (a == "--listen") {
      if (!peers::ParseListen(v, &opt.host, &opt.port)) return Usage("bad --listen " + v);
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

  peers::StopSignals stop;  // before any thread starts

  igd::Emulator emulator(opt);
  std::string error;
  if (!emulator.Start(&error)) {
    std::fprintf(stderr, "tirvan-igd: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s:%u\nroot description %s\n", opt.host.c_str(),
              unsigned{emulator.Port()}, emulator.RootUrl().c_str());
  std::fflush(stdout);
  stop.Wait();
  emulator.Stop();
  return 0;
}
