// tirvan-web: runs the web server the tray program fetches its pages from.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/program.h"
#include "web/web_server.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  tirvan-web [--listen HOST:PORT] [--root DIR] [--manifest FILE]\n"
    "             [--cert FILE --key FILE] [--log FILE]\n"
    "\n"
    "Serves the files below --root DIR, and the routes of --manifest FILE first (see\n"
    "README.md for its lines); route files are read below --root, which defaults to the\n"
    "manifest's folder. With --cert and --key (PEM) it speaks HTTPS only. Listens on\n"
    "HOST:PORT (default 127.0.0.1:0; port 0 lets the system pick) and prints\n"
    "\"listening on HOST:PORT\" once it takes requests; then one log line per request to\n"
    "standard output, or to --log FILE. SIGINT or SIGTERM stops it.\n";

int Usage(const std::string& error) { return peers::Usage("tirvan-web", kUsage, error); }

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  web::WebOptions opt;
  std::string logPath;
  std::string manifest;
  bool rootGiven = false;
  std::vector<peers::ParsedOption> options;
  std::string parseError;
  if (!peers::ParseOptions(args, {"listen", "root", "manifest", "cert", "key", "log"}, &options, &parseError)) {
    return Usage(parseError);
  }
  for (const auto& [a, v] : options) {
    if (a == "--help") return Usage("");
    if (a == "--listen") {
      if (!peers::ParseListen(v, &opt.listenHost, &opt.listenPort)) return Usage("bad --listen " + v);
    } else if (a == "--root") {
      opt.root = v;
      rootGiven = true;
    } else if (a == "--manifest") {
      manifest = v;
    } else if (a == "--cert") {
      opt.certFile = v;
    } else if (a == "--key") {
      opt.keyFile = v;
    } else if (a == "--log") {
      logPath = v;
    } else {
      return Usage("unknown argument: " + a);
    }
  }
  if (!manifest.empty()) {
    std::ifstream in(manifest, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "tirvan-web: cannot read %s\n", manifest.c_str());
      return 1;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string error;
    if (!web::ParseManifest(text, &opt.routes, &error)) {
      std::fprintf(stderr, "tirvan-web: %s: %s\n", manifest.c_str(), error.c_str());
      return 1;
    }
    if (!rootGiven) opt.root = std::filesystem::path(manifest).parent_path().string();
    if (opt.root.empty()) opt.root = ".";
  }

  peers::LogSink log;
  if (!log.Open("tirvan-web", logPath)) return 1;
  opt.log = log.Writer();
  peers::StopSignals stop;  // before the server starts its thread

  web::WebServer server(opt);
  std::function<std::string()> fileLine;
  if (!logPath.empty()) {
    fileLine = [&server] {
      return "listening on " + server.ListenAddress() + " (" + server.BaseUrl() + ")";
    };
  }
  return peers::ServeUntilStopped("tirvan-web", server, stop, opt.log, fileLine);
}
