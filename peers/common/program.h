// What the peers' programs share around their servers: command-line values, the usage
// text, a log sink, and the wait for SIGINT or SIGTERM.
#pragma once

#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace peers {

// A decimal number of at most max; false for anything else (signs, spaces, overflow).
bool ParseNumber(const std::string& text, unsigned long max, unsigned long* out);

// "HOST:PORT" or "PORT"; the host stays as it was when the text gives none.
bool ParseListen(const std::string& text, std::string* host, uint16_t* port);

// One option as given: its name with the dashes ("--listen"; "--help" for -h as well)
// and its value ("" for --help).
struct ParsedOption {
  std::string name;
  std::string value;
};

// Parses args (the words after the program's name) with getopt_long: each name in valued
// is an option that takes a value (--name VALUE or --name=VALUE), and -h/--help none.
// False, with error set, for an unknown option, a missing value or a word that is not an
// option.
bool ParseOptions(const std::vector<std::string>& args, const std::vector<std::string>& valued,
                  std::vector<ParsedOption>* out, std::string* error);

// Prints the usage: to standard output with exit status 0 when error is empty, otherwise
// the error and the usage to standard error with status 2.
int Usage(const char* program, const char* usage, const std::string& error);

// Log lines to standard output, or appended to a file. Opening fails with a message on
// standard error.
class LogSink {
 public:
  LogSink() = default;
  ~LogSink();
  LogSink(const LogSink&) = delete;
  LogSink& operator=(const LogSink&) = delete;

  bool Open(const char* program, const std::string& path);  // "" = standard output
  // Writes one line and flushes it; the function stays valid while the sink lives.
  std::function<void(const std::string&)> Writer();

 private:
  FILE* m_file = stdout;
};

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread it starts
// afterwards; Wait() takes the first of them. Make it before any thread is started.
class StopSignals {
 public:
  StopSignals();
  int Wait();

 private:
  sigset_t m_set;
};

// Starts server (its Start(std::string* error)), says "listening on ADDRESS" on standard
// output and, when fileLine is set, its line in the log, waits for SIGINT or SIGTERM, then
// stops the server and waits for its threads. The program's exit status.
template <typename Server>
int ServeUntilStopped(const char* program, Server& server, StopSignals& stop,
                      const std::function<void(const std::string&)>& log,
                      const std::function<std::string()>& fileLine) {
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return 1;
  }
  std::printf("listening on %s\n", server.ListenAddress().c_str());
  std::fflush(stdout);
  if (fileLine) log(fileLine());  // with no log file the line above said it

  int sig = stop.Wait();
  log("signal " + std::to_string(sig) + ": stopping");
  server.Stop();
  server.Wait();
  log("stopped");
  return 0;
}

}  // namespace peers
