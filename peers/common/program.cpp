#include "common/program.h"

#include <getopt.h>
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace peers {

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

bool ParseOptions(const std::vector<std::string>& args, const std::vector<std::string>& valued,
                  std::vector<ParsedOption>* out, std::string* error) {
  constexpr int kHelp = 'h';
  constexpr int kFirstValued = 256;  // getopt_long's answer for valued[i] is kFirstValued + i
  std::vector<option> options;
  for (size_t i = 0; i < valued.size(); ++i) {
    options.push_back({valued[i].c_str(), required_argument, nullptr, kFirstValued + static_cast<int>(i)});
  }
  options.push_back({"help", no_argument, nullptr, kHelp});
  options.push_back({nullptr, 0, nullptr, 0});

  std::vector<std::string> words{"program"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());

  out->clear();
  opterr = 0;  // the callers word the errors
  optind = 0;  // start afresh, also after an earlier parse
  for (;;) {
    // "+": the first word that is not an option ends the options; ":": a missing value
    // is told apart from an unknown option.
    int c = getopt_long(argc, argv.data(), "+:h", options.data(), nullptr);
    if (c == -1) break;
    if (c == kHelp) {
      out->push_back({"--help", ""});
    } else if (c >= kFirstValued) {
      out->push_back({"--" + valued[static_cast<size_t>(c - kFirstValued)], optarg});
    } else {
      std::string word;
      if (optopt >= kFirstValued) {
        word = "--" + valued[static_cast<size_t>(optopt - kFirstValued)];
      } else if (optopt != 0) {
        word = std::string("-") + static_cast<char>(optopt);
      } else {
        word = argv[optind - 1];
      }
      *error = (c == ':' ? "unknown argument or missing value: " : "unknown argument: ") + word;
      return false;
    }
  }
  if (optind < argc) {
    *error = std::string("unknown argument: ") + argv[optind];
    return false;
  }
  return true;
}

int Usage(const char* program, const char* usage, const std::string& error) {
  if (!error.empty()) std::fprintf(stderr, "%s: %s\n", program, error.c_str());
  std::fputs(usage, error.empty() ? stdout : stderr);
  return error.empty() ? 0 : 2;
}

LogSink::~LogSink() {
  if (m_file != stdout) std::fclose(m_file);
}

bool LogSink::Open(const char* program, const std::string& path) {
  if (path.empty()) return true;
  FILE* f = std::fopen(path.c_str(), "a");
  if (f == nullptr) {
    std::fprintf(stderr, "%s: cannot open %s: %s\n", program, path.c_str(), std::strerror(errno));
    return false;
  }
  if (m_file != stdout) std::fclose(m_file);
  m_file = f;
  return true;
}

std::function<void(const std::string&)> LogSink::Writer() {
  FILE* f = m_file;
  return [f](const std::string& line) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fflush(f);
  };
}

StopSignals::StopSignals() {
  sigemptyset(&m_set);
  sigaddset(&m_set, SIGINT);
  sigaddset(&m_set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
}

int StopSignals::Wait() {
  int sig = 0;
  sigwait(&m_set, &sig);
  return sig;
}

}  // namespace peers
