// How the device client reaches the service. A transport carries the MsgHead-framed
// byte stream of one session; LAN TCP is the first, the relay and UDT come later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace device {

enum class IoResult { Ok, TimedOut, Closed, Error };

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends all of data. False when the connection is gone.
  virtual bool SendAll(const void* data, size_t len) = 0;
  // Receives exactly len bytes within timeoutMs.
  virtual IoResult RecvAll(void* out, size_t len, int timeoutMs) = 0;
  virtual void Close() = 0;
  // "tcp 127.0.0.1:15002", for messages.
  virtual std::string Describe() const = 0;
  // True when the PC is reached through the central server. A download there is sent
  // apart from the connection and goes on when the device stops reading: it is stopped
  // with a stop request.
  virtual bool Relayed() const { return false; }
};

// A TCP connection to host:port, or null with *error set.
std::unique_ptr<Transport> ConnectTcp(const std::string& host, uint16_t port, int timeoutMs,
                                      std::string* error);

}  // namespace device
