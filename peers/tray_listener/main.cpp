// tirvan-tray-listener: answers the service's device-login questions as scripted, until
// SIGINT or SIGTERM.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "common/program.h"
#include "tray_listener/tray_listener.h"

namespace {

constexpr const char* kUsage =
    "Usage: tirvan-tray-listener [--listen HOST:PORT] [--answers LIST] [--delay MS]\n"
    "Stands in for the tray program's listener of device-login questions (default\n"
    "127.0.0.1:15003; port 0 lets the system pick). LIST is a comma-separated list of\n"
    "answers for the questions in turn, the last one repeated: admit, refuse, a verdict\n"
    "number, none (close without answer), silent (never answer), malformed (a 16-byte\n"
    "answer), wrong-opcode, short (default admit). --delay waits before each answer.\n"
    "Prints \"listening on HOST:PORT\", then one line per question.\n";

int Usage(const std::string& error) { return peers::Usage("tirvan-tray-listener", kUsage, error); }

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  uint16_t port = traylistener::kTrayListenPort;
  std::vector<traylistener::Answer> answers{traylistener::Answer::Admit()};
  long delayMs = 0;
  std::vector<peers::ParsedOption> options;
  std::string parseError;
  if (!peers::ParseOptions({argv + 1, argv + argc}, {"listen", "answers", "delay"}, &options, &parseError)) {
    return Usage(parseError);
  }
  for (const auto& [a, v] : options) {
    if (a == "--help") return Usage("");
    if (a == "--listen") {
      if (!peers::ParseListen(v, &host, &port)) return Usage("bad --listen " + v);
    } else if (a == "--answers") {
      answers.clear();
      std::istringstream in(v);
      std::string word;
      while (std::getline(in, word, ',')) {
        traylistener::Answer ans;
        if (!traylistener::ParseAnswer(word, &ans)) return Usage("bad answer " + word);
        answers.push_back(ans);
      }
      if (answers.empty()) return Usage("empty --answers");
    } else if (a == "--delay") {
      char* end = nullptr;
      delayMs = std::strtol(v.c_str(), &end, 10);
      if (end == v.c_str() || *end != '\0' || delayMs < 0 || delayMs > 600000)
        return Usage("bad --delay " + v);
    } else {
      return Usage("unknown argument: " + a);
    }
  }
  for (traylistener::Answer& ans : answers) ans.delayMs = static_cast<int>(delayMs);
  traylistener::Answer fallback = answers.back();
  answers.pop_back();

  peers::StopSignals stop;  // before any thread starts

  traylistener::TrayListener listener;
  listener.SetScript(answers, fallback);
  listener.SetObserver([](const traylistener::Question& q, const traylistener::Answer& ans) {
    std::printf(
        "question number=%u opcode=0x%04X length=%u email=%s name=%s network=%s answer=%s\n",
        q.number, unsigned{q.opcode}, unsigned{q.length}, q.email.c_str(), q.name.c_str(),
        q.network.c_str(), traylistener::AnswerName(ans).c_str());
    std::fflush(stdout);
  });
  std::string error;
  if (!listener.Start(host, port, &error)) {
    std::fprintf(stderr, "tirvan-tray-listener: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s:%u\n", host.c_str(), unsigned{listener.Port()});
  std::fflush(stdout);
  stop.Wait();
  listener.Stop();
  return 0;
}
