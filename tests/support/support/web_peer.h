// tirvan-web beside a test: a throw-away certificate authority made with the openssl
// command, and the program started on loopback with its log in a file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace support {

// A certificate authority and a server certificate it signed for 127.0.0.1 and
// "localhost", all PEM files in one folder.
struct TestCa {
  std::string caFile;    // the authority's certificate: what clients trust
  std::string certFile;  // the server's certificate
  std::string keyFile;   // the server's key
};
// false with the command's output when openssl fails.
bool MakeTestCa(const std::string& dir, TestCa* out, std::string* error);
// One authority for every test of the process, made at the first call in a temporary
// folder removed at exit; null, with the reason in error, when it cannot be made.
const TestCa* SharedTestCa(std::string* error);

class WebPeer {
 public:
  // Starts program with args (--listen 127.0.0.1:0 and --log are added) and waits for its
  // "listening on" line; ok() says whether it came.
  WebPeer(const std::string& program, const std::vector<std::string>& args,
          const std::string& logPath, bool https);
  ~WebPeer();
  WebPeer(const WebPeer&) = delete;
  WebPeer& operator=(const WebPeer&) = delete;

  bool ok() const { return m_port != 0; }
  int port() const { return m_port; }
  // "https://127.0.0.1:PORT" or "http://..."
  const std::string& base() const { return m_base; }
  std::string Log() const;
  // How many request lines of the log start with "GET " + target (the path with query).
  int Requests(const std::string& target) const;
  // Waits up to ms for the log to hold count requests of target.
  bool WaitRequests(const std::string& target, int count, int ms) const;
  void Stop();

 private:
  std::string m_log;
  std::string m_out;
  pid_t m_pid = -1;
  int m_port = 0;
  std::string m_base;
};

}  // namespace support
