// The device's side of the P2P protocol: asks the rendezvous server for a PC by its
// station id, punches the PC from its own UDP socket until the PC answers, then opens a
// UDT connection in rendezvous mode over that same socket. Each UDT message is one
// MsgHead message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rendezvous {

struct P2PLinkOptions {
  std::string rendezvousHost;  // the rendezvous server (Open only)
  uint16_t rendezvousPort = 0;
  std::string stationId;       // the PC's station id, "00-1A-2B-3C-4D-5E" (Open only)
  std::string bindHost = "0.0.0.0";  // the device's UDP socket; the port is the system's
  int requestIntervalMs = 500;   // the connect request is repeated this often ...
  int requestTimeoutMs = 5000;   // ... until the server answers or this passes
  int punchIntervalMs = 200;     // the punch is repeated this often ...
  int punchTimeoutMs = 6000;     // ... until the PC answers or this passes
  int connectTimeoutMs = 6000;   // the UDT rendezvous connect
};

class P2PLink {
 public:
  ~P2PLink();
  P2PLink(const P2PLink&) = delete;
  P2PLink& operator=(const P2PLink&) = delete;

  // Through the rendezvous server. Null with *error set on any failure.
  static std::unique_ptr<P2PLink> Open(const P2PLinkOptions& options, std::string* error);
  // Straight to a PC whose P2P socket is at pcAddr (network order):pcPort.
  static std::unique_ptr<P2PLink> OpenDirect(uint32_t pcAddr, uint16_t pcPort,
                                             const P2PLinkOptions& options, std::string* error);

  // Sends one message as one UDT message. False when it is longer than the PC reads
  // (2048 bytes) or the connection is gone.
  bool Send(const uint8_t* data, size_t len);
  // One message within timeoutMs: 1 with it, 0 on a time-out, -1 when the connection is gone.
  int Recv(std::vector<uint8_t>* out, int timeoutMs);
  void Close();

  uint32_t pcAddr() const { return m_pcAddr; }
  uint16_t pcPort() const { return m_pcPort; }
  // "udt 127.0.0.1:40000", for messages.
  std::string Describe() const;

 private:
  P2PLink() = default;
  static std::unique_ptr<P2PLink> Punch(int fd, uint32_t myAddr, uint16_t myPort,
                                        uint32_t pcAddr, uint16_t pcPort,
                                        const P2PLinkOptions& options, std::string* error);

  int m_sock = -1;  // the UDT socket
  uint32_t m_pcAddr = 0;
  uint16_t m_pcPort = 0;
  bool m_started = false;  // UDT::startup was called
};

}  // namespace rendezvous
