// tirvan-central: runs the central server, or manages its accounts.
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "central/account_store.h"
#include "central/central_server.h"
#include "common/program.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  tirvan-central [serve] --db FILE [--listen HOST:PORT] [--state FILE] [--log FILE]\n"
    "                 [--max-frame BYTES] [--idle-timeout MS] [--frame-timeout MS]\n"
    "                 [--max-connections N] [--max-connections-per-address N]\n"
    "                 [--max-stations N] [--answer-delay MS] [--download-backlog BYTES]\n"
    "                 [--upload-queue BYTES]\n"
    "  tirvan-central account add --db FILE EMAIL [--password PASSWORD | --hash HASH]\n"
    "  tirvan-central account remove --db FILE EMAIL\n"
    "  tirvan-central account list --db FILE\n"
    "\n"
    "serve: listens on HOST:PORT (default 127.0.0.1:0; port 0 lets the system pick) and\n"
    "prints \"listening on HOST:PORT\" once it accepts connections. Accounts come from the\n"
    "SQLite file given with --db (created when missing). --state writes every PC's state\n"
    "as JSON to FILE after changes. Log lines go to standard output, or to --log FILE.\n"
    "--answer-delay holds every answer to a relayed download frame or upload poll back\n"
    "by MS (a longer round trip, for measurements).\n"
    "account add: without --password or --hash, reads the password from standard input.\n"
    "The password is hashed the way the tray program hashes it (at most 16 bytes);\n"
    "--hash stores a ready hash.\n";

int Usage(const std::string& error) { return peers::Usage("tirvan-central", kUsage, error); }

int Serve(const std::vector<std::string>& args) {
  central::CentralOptions opt;
  std::string logPath;
  std::vector<peers::ParsedOption> options;
  std::string parseError;
  if (!peers::ParseOptions(args, {"db", "listen", "state", "log", "max-frame", "idle-timeout", "frame-timeout", "max-connections", "max-connections-per-address", "max-stations", "answer-delay", "download-backlog", "upload-queue"}, &options, &parseError)) {
    return Usage(parseError);
  }
  for (const auto& [a, v] : options) {
    if (a == "--help") return Usage("");
    unsigned long n = 0;
    if (a == "--db") {
      opt.accountDb = v;
    } else if (a == "--listen") {
      if (!peers::ParseListen(v, &opt.listenHost, &opt.listenPort))
        return Usage("bad --listen " + v);
    } else if (a == "--state") {
      opt.stateFile = v;
    } else if (a == "--log") {
      logPath = v;
    } else if (a == "--max-frame") {
      if (!peers::ParseNumber(v, 65535, &n) || n < 70)
        return Usage("--max-frame takes 70 to 65535");
      opt.maxFrame = n;
    } else if (a == "--idle-timeout") {
      if (!peers::ParseNumber(v, 86400000, &n)) return Usage("bad --idle-timeout " + v);
      opt.idleTimeoutMs = static_cast<int>(n);
    } else if (a == "--frame-timeout") {
      if (!peers::ParseNumber(v, 86400000, &n)) return Usage("bad --frame-timeout " + v);
      opt.frameTimeoutMs = static_cast<int>(n);
    } else if (a == "--max-connections") {
      if (!peers::ParseNumber(v, 1000000, &n) || n == 0) return Usage("bad --max-connections " + v);
      opt.maxConnections = n;
    } else if (a == "--max-connections-per-address") {
      if (!peers::ParseNumber(v, 1000000, &n) || n == 0)
        return Usage("bad --max-connections-per-address " + v);
      opt.maxConnectionsPerAddress = n;
    } else if (a == "--max-stations") {
      if (!peers::ParseNumber(v, 10000000, &n) || n == 0) return Usage("bad --max-stations " + v);
      opt.maxStations = n;
    } else if (a == "--answer-delay") {
      if (!peers::ParseNumber(v, 60000, &n)) return Usage("--answer-delay takes 0 to 60000 ms");
      opt.transfer.answerDelayMs = static_cast<int>(n);
    } else if (a == "--download-backlog") {
      if (!peers::ParseNumber(v, 1u << 30, &n) || n < 1024) {
        return Usage("--download-backlog takes 1024 to 1073741824 bytes");
      }
      opt.transfer.maxDownloadBacklog = n;
    } else if (a == "--upload-queue") {
      if (!peers::ParseNumber(v, 1u << 30, &n) || n < 65536) {
        return Usage("--upload-queue takes 65536 to 1073741824 bytes");
      }
      opt.transfer.maxUploadQueue = n;
    } else {
      return Usage("unknown argument: " + a);
    }
  }
  if (opt.accountDb.empty()) return Usage("--db FILE is required");

  peers::LogSink log;
  if (!log.Open("tirvan-central", logPath)) return 1;
  opt.log = log.Writer();
  peers::StopSignals stop;  // before the server starts its threads

  central::CentralServer server(opt);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "tirvan-central: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s\n", server.ListenAddress().c_str());
  std::fflush(stdout);
  server.Log("listening on %s, accounts in %s", server.ListenAddress().c_str(),
             opt.accountDb.c_str());

  std::thread signals([&server, &stop] {
    int sig = stop.Wait();
    server.Log("signal %d: stopping", sig);
    server.Stop();
  });
  server.Run();
  signals.join();
  server.Log("stopped");
  return 0;
}

int Account(const std::vector<std::string>& args) {
  if (args.empty()) return Usage("account needs add, remove or list");
  const std::string& verb = args[0];
  std::string db, email, password, hash;
  bool havePassword = false, haveHash = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "--db" || a == "--password" || a == "--hash") && i + 1 < args.size()) {
      const std::string& v = args[++i];
      if (a == "--db") {
        db = v;
      } else if (a == "--password") {
        password = v;
        havePassword = true;
      } else {
        hash = v;
        haveHash = true;
      }
    } else if (!a.empty() && a[0] != '-' && email.empty()) {
      email = a;
    } else {
      return Usage("unknown argument or missing value: " + a);
    }
  }
  if (db.empty()) return Usage("--db FILE is required");

  central::AccountStore store;
  std::string error;
  if (!store.Open(db, &error)) {
    std::fprintf(stderr, "tirvan-central: %s\n", error.c_str());
    return 1;
  }
  if (verb == "list") {
    std::vector<std::string> emails;
    if (!store.List(&emails, &error)) {
      std::fprintf(stderr, "tirvan-central: %s\n", error.c_str());
      return 1;
    }
    for (const auto& e : emails) std::printf("%s\n", e.c_str());
    return 0;
  }
  if (email.empty()) return Usage("account " + verb + " needs an EMAIL");
  if (verb == "remove") {
    int rc = store.Remove(email, &error);
    if (rc < 0) {
      std::fprintf(stderr, "tirvan-central: %s\n", error.c_str());
      return 1;
    }
    if (rc == 0) {
      std::fprintf(stderr, "tirvan-central: no account %s\n", email.c_str());
      return 1;
    }
    std::printf("removed %s\n", email.c_str());
    return 0;
  }
  if (verb != "add") return Usage("unknown account command: " + verb);
  if (havePassword && haveHash) return Usage("give --password or --hash, not both");
  if (!haveHash) {
    if (!havePassword && !std::getline(std::cin, password))
      return Usage("no password on standard input");
    if (password.empty()) return Usage("the password is empty");
    if (password.size() > central::kMaxTypedPassword)
      return Usage("the tray program hashes passwords of at most 16 bytes");
    hash = central::HashPassword(password);
    if (hash.empty()) {
      std::fprintf(stderr, "tirvan-central: hashing the password failed\n");
      return 1;
    }
  }
  if (!store.Add(email, hash, &error)) {
    std::fprintf(stderr, "tirvan-central: %s\n", error.c_str());
    return 1;
  }
  std::printf("added %s\n", email.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "account") return Account({args.begin() + 1, args.end()});
  if (!args.empty() && args[0] == "serve") args.erase(args.begin());
  return Serve(args);
}
