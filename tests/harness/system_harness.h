// The whole system under test, as the system tests (soak, faults, traversal, p2p) and the
// end-to-end tests of the service, the relay and the device client drive it: the built
// TirvanClient under the built-in service manager in a root laid out by
// tirvan-setup, tirvan-central as a child process with an account, tirvan-rendezvous as a
// child process, and device clients over the LAN, through the relay and peer to peer.
// Also what the tests observe of the running service: its open descriptors, its resident
// memory, its transfer table (through the tray's status request) and its log.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <json/json.h>

#include "device/device_client.h"
#include "platform/service_manager.h"
#include "support/msg_client.h"
#include "support/temp_dir.h"

namespace systest {

// The built programs.
const std::string& SetupProgram();
const std::string& ClientProgram();
const std::string& CentralProgram();
const std::string& DeviceProgram();
const std::string& RendezvousProgram();
const std::string& TrayListenerProgram();
const std::string& IgdProgram();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
long long FileSize(const std::string& path);  // -1 when missing
std::string RandomBytes(size_t n, uint64_t seed);
bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int stepMs = 10);
// Every file and folder below dir (relative names, folders with a trailing "/"), with the
// content's size and a checksum for files: what "nothing changed here" compares.
std::map<std::string, std::string> TreeSnapshot(const std::string& dir);

// An IPv4 address of this host other than loopback, or "".
std::string LanAddress();

// Sanitizer and crash reports in a program's output ("" when none).
std::string CrashReports(const std::string& output);

// A program running beside the test with its output in a file; SIGTERM when destroyed.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& outPath);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return m_pid; }
  std::string Output() const { return ReadFile(m_out); }
  // The rest of the first output line that starts with prefix, waiting up to ms.
  std::string WaitLine(const std::string& prefix, int ms) const;
  // Sends sig and reaps the program.
  void Kill(int sig);

 private:
  std::string m_out;
  pid_t m_pid = -1;
};

// tirvan-central with one account, killed and started again at will (same port, same
// account database, same state file).
class Central {
 public:
  Central(const support::TempDir& tmp, std::string email, std::string password);
  // One more account in the server's database; false when the program refused it.
  bool AddAccount(const std::string& email, const std::string& password) const;
  // Starts the server on port (0: the system picks one the first time, the same one
  // after). False when it did not come up.
  bool Start(const std::vector<std::string>& extraArgs = {});
  // SIGKILL, as a crash of the server would end it.
  void Kill();
  bool Running() const { return m_child != nullptr; }

  const std::string& email() const { return m_email; }
  const std::string& hash() const { return m_hash; }
  uint16_t port() const { return m_port; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
  // The one PC's record in the state file, logged on or not; none while the file holds
  // no single PC or is not readable.
  std::optional<Json::Value> Station() const;
  // The station id of the logged-on PC, or "" while none is logged on.
  std::string LoggedOnStation() const;
  std::string Output() const;

 private:
  const support::TempDir& m_tmp;
  std::string m_email, m_password, m_hash;
  uint16_t m_port = 0;
  int m_starts = 0;
  std::unique_ptr<Child> m_child;
};

// tirvan-rendezvous on a loopback port the system picks.
class Rendezvous {
 public:
  explicit Rendezvous(const support::TempDir& tmp);
  // False when it did not come up.
  bool Start();
  // SIGTERM, and waits until it has ended.
  void Stop();
  bool Running() const { return m_child != nullptr; }

  uint16_t port() const { return m_port; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
  // True once a heartbeat of the PC with this station id reached the server.
  bool Knows(const std::string& station) const;
  std::string Output() const;

 private:
  const support::TempDir& m_tmp;
  uint16_t m_port = 0;
  std::unique_ptr<Child> m_child;
};

struct ServiceOptions {
  std::vector<std::string> shares;  // absolute folders
  const Central* central = nullptr;  // logs on to this server with its account
  const Rendezvous* rendezvous = nullptr;  // the P2P side announces the PC to this server
  int logPriority = 600;
  // Set in this process's environment before every start, inherited by the service.
  std::vector<std::pair<std::string, std::string>> env;
};

// What /proc tells of a process.
struct ProcessView {
  std::vector<std::string> fds;  // link targets, socket and pipe inodes left out, sorted
  size_t sockets = 0;
  long rssKiB = -1;
  bool alive = false;
};
ProcessView ViewProcess(pid_t pid);
// The port of the TCP socket a process listens on (the first one), or 0.
uint16_t ListeningPort(pid_t pid);

// A row of the service's transfer log.
struct TransRow {
  int type;  // 0 upload, 1 download
  std::string file;
  long long size;
};

class Service {
 public:
  // Lays out the root in tmp/root and installs the service; Start() starts it.
  Service(const support::TempDir& tmp, ServiceOptions options);
  ~Service();

  bool Start();
  bool Stop();
  // SIGKILL, as a crash or a power cut would end it.
  bool Kill();

  const std::string& root() const { return m_root; }
  std::string DefaultFolder() const { return m_root + "/Tirvan"; }
  std::string DbPath() const { return m_root + "/etc/Tirvan.db"; }
  uint16_t port() const { return m_port; }
  pid_t pid() const;
  std::string Log() const;
  // The service's standard output and error under the manager.
  std::string Output() const;
  // Sanitizer and crash reports in the service's output ("" when none).
  std::string Reports() const;
  ProcessView View() const { return ViewProcess(pid()); }

  // One tray request on a new connection from 127.0.0.1.
  std::optional<support::Message> Tray(uint16_t opcode, const std::string& payload = "",
                                       int timeoutMs = 10000) const;
  // The transfer table's entries and the downloads sending (tray status request).
  bool Transfers(int* entries, int* downloads) const;
  // The logon result the tray reads (g_LogOnRtn), or -1 without an answer.
  long LogOnResult() const;
  // The transfer log, read from the service's database, oldest first.
  std::vector<TransRow> TransLog() const;
  // True once the relay connection is up: a relayed share list is answered.
  bool WaitRelay(const Central& central, int timeoutMs) const;

  std::unique_ptr<device::DeviceClient> Lan(int timeoutMs = 10000) const;
  std::unique_ptr<device::DeviceClient> Relay(const Central& central, const std::string& name,
                                              int timeoutMs = 10000) const;
  // Waits until the service has no transfer and no download left.
  bool WaitIdle(int timeoutMs) const;

 private:
  const support::TempDir& m_tmp;
  ServiceOptions m_options;
  std::string m_root;
  std::unique_ptr<platform::ServiceManager> m_scm;
  uint16_t m_port = 0;
  bool m_started = false;
};

// Pictures for thumbnails.
std::string MakeJpeg(int width, int height, uint64_t seed);
std::string MakeBmp(int width, int height, uint64_t seed);
// The size a JPEG declares; false when it is not a JPEG the library reads whole.
bool JpegSize(const std::vector<uint8_t>& jpeg, int* width, int* height);

}  // namespace systest
