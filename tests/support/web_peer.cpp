#include "support/web_peer.h"

#include "support/temp_dir.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/service_manager.h"

namespace support {

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

template <typename F>
bool WaitFor(F done, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

bool MakeTestCa(const std::string& dir, TestCa* out, std::string* error) {
  out->caFile = dir + "/ca.pem";
  out->certFile = dir + "/server.pem";
  out->keyFile = dir + "/server.key";
  const std::string caKey = dir + "/ca.key";
  const std::string csr = dir + "/server.csr";
  const std::string ext = dir + "/server.ext";
  {
    std::ofstream e(ext);
    e << "basicConstraints=CA:FALSE\n"
         "keyUsage=digitalSignature,keyEncipherment\n"
         "extendedKeyUsage=serverAuth\n"
         "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
  }
  const std::vector<std::vector<std::string>> steps = {
      {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", caKey, "-out",
       out->caFile, "-days", "2", "-subj", "/CN=Tirvan test authority"},
      {"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", out->keyFile, "-out", csr,
       "-subj", "/CN=127.0.0.1"},
      {"openssl", "x509", "-req", "-in", csr, "-CA", out->caFile, "-CAkey", caKey,
       "-CAcreateserial", "-out", out->certFile, "-days", "2", "-extfile", ext},
  };
  for (const auto& argv : steps) {
    platform::CommandResult r = platform::RunCommand(argv, 60000);
    if (r.exitCode != 0) {
      *error = argv[1] + ": " + r.error + r.out + r.err;
      return false;
    }
  }
  return true;
}

const TestCa* SharedTestCa(std::string* error) {
  static TempDir dir;
  static TestCa ca;
  static std::string failure;
  static const bool made = MakeTestCa(dir.path(), &ca, &failure);
  if (!made) *error = failure;
  return made ? &ca : nullptr;
}

WebPeer::WebPeer(const std::string& program, const std::vector<std::string>& args,
                 const std::string& logPath, bool https)
    : m_log(logPath), m_out(logPath + ".out") {
  std::vector<std::string> argv = {program, "--listen", "127.0.0.1:0", "--log", logPath};
  argv.insert(argv.end(), args.begin(), args.end());
  m_pid = ::fork();
  if (m_pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that crashes leaves no server behind
    if (std::freopen(m_out.c_str(), "w", stdout) == nullptr) ::_exit(127);
    ::dup2(1, 2);
    std::vector<char*> cargv;
    for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  const std::string prefix = "listening on 127.0.0.1:";
  WaitFor(
      [&] {
        std::string out = ReadAll(m_out);
        size_t pos = out.find(prefix);
        if (pos == std::string::npos || out.find('\n', pos) == std::string::npos) {
          if (m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == m_pid) m_pid = -1;  // it ended
          return m_pid <= 0;
        }
        m_port = std::atoi(out.c_str() + pos + prefix.size());
        return true;
      },
      15000);
  m_base = std::string(https ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port);
}

WebPeer::~WebPeer() { Stop(); }

void WebPeer::Stop() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGTERM);
  int status = 0;
  if (!WaitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, 10000)) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
  }
  m_pid = -1;
}

std::string WebPeer::Log() const { return ReadAll(m_log); }

int WebPeer::Requests(const std::string& target) const {
  std::istringstream in(Log());
  std::string line;
  int n = 0;
  const std::string want = "GET " + target + " ";
  while (std::getline(in, line))
    if (line.rfind(want, 0) == 0) ++n;
  return n;
}

bool WebPeer::WaitRequests(const std::string& target, int count, int ms) const {
  return WaitFor([&] { return Requests(target) >= count; }, ms);
}

}  // namespace support
