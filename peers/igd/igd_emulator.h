// tirvan-igd: a small Internet gateway for tests and demos. It serves, over HTTP on
// one address, the root description of an Internet gateway device (IGD -> WANDevice ->
// WANConnectionDevice -> WANIPConnection:1) and the SOAP actions of the WANIPConnection
// service that port mapping uses, keeps the mappings in memory and records every
// action, so tests can look at both. Failures can be scripted per action.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace igd {

// One mapping as added; ports as received (decimal texts).
struct Mapping {
  std::string remoteHost;
  std::string externalPort;
  std::string protocol;
  std::string internalPort;
  std::string internalClient;
  std::string enabled;
  std::string description;
  std::string leaseDuration;
};

// One SOAP action as received: its name, its arguments and the UPnP error code it
// was answered with (0 for success).
struct Action {
  std::string name;
  std::map<std::string, std::string> args;
  int errorCode = 0;
};

struct EmulatorOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 0;  // 0: the system picks one (see Port())
  std::string externalIp = "203.0.113.7";
  std::string connectionStatus = "Connected";
  int ioTimeoutMs = 2000;  // a client that sends nothing for this long is dropped
  std::function<void(const std::string&)> log;  // one line per request; none: silent
};

class Emulator {
 public:
  static constexpr const char* kRootPath = "/rootDesc.xml";
  static constexpr const char* kServiceType = "urn:schemas-upnp-org:service:WANIPConnection:1";

  explicit Emulator(EmulatorOptions options);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Listens and serves on a thread of its own. false with error set.
  bool Start(std::string* error);
  // Stops serving; also called by the destructor.
  void Stop();
  uint16_t Port() const { return m_port; }
  // "http://host:port/rootDesc.xml"
  std::string RootUrl() const;

  // The next `times` calls of the action (every call when times < 0) are answered
  // with the UPnP error code. Code 0 removes the script.
  void FailAction(const std::string& action, int code, int times = -1);
  // Answers nothing at all to requests (the connection is closed unread) while set.
  void SetDead(bool dead) { m_dead = dead; }

  void AddMapping(const Mapping& mapping);
  std::vector<Mapping> Mappings() const;
  std::optional<Mapping> Find(const std::string& protocol, const std::string& externalPort) const;
  // Every SOAP action so far, in order.
  std::vector<Action> Actions() const;
  void ClearActions();

 private:
  struct Script {
    int code = 0;
    int times = -1;
  };

  void AcceptLoop();
  void Serve(int fd);
  // The HTTP answer to a request.
  std::string Handle(const std::string& method, const std::string& path,
                     const std::string& soapAction, const std::string& body);
  std::string Soap(const std::string& action, const std::string& body);
  void Log(const std::string& line);

  EmulatorOptions m_options;
  int m_listen = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_dead{false};
  std::thread m_thread;

  mutable std::mutex m_mutex;
  std::map<std::pair<std::string, std::string>, Mapping> m_mappings;  // (protocol, port)
  std::map<std::string, Script> m_scripts;
  std::vector<Action> m_actions;
};

}  // namespace igd
