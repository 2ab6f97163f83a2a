// What the central server's tests share: payloads laid out as the service sends them,
// raw-socket helpers, and a fixture that runs the server on a loopback port.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "central/central_server.h"
#include "central/records.h"
#include "comm/opcodes.h"
#include "comm/server_exchange.h"
#include "platform/net.h"
#include "support/temp_dir.h"

namespace central_test {

using namespace central;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline constexpr const char* kEmail = "pc@example.com";
inline constexpr const char* kStation = "00-1A-2B-3C-4D-5E";

// ---- Payloads laid out field by field, as the service sends them.

inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline Bytes LogOnPayload(const std::string& email, const std::string& psw, const std::string& os = "Linux",
                   const std::string& station = kStation) {
  Bytes b(132);
  wire::PutText(b.data(), 32, email);
  wire::PutText(b.data() + 32, 32, psw);
  PutLe16(b.data() + 64, 2);
  wire::PutText(b.data() + 68, 32, os);
  wire::PutText(b.data() + 100, 32, station);
  return b;
}

inline Bytes AccountPayload(const std::string& email, const std::string& psw) {
  Bytes b(64);
  wire::PutText(b.data(), 32, email);
  wire::PutText(b.data() + 32, 32, psw);
  return b;
}

inline Bytes SvInfoPayload(const uint8_t ip[4], uint16_t ext, uint16_t local, const std::string& host) {
  Bytes b(212);
  std::memcpy(b.data() + 8, ip, 4);
  wire::PutU16(b.data() + 12, ext);
  wire::PutU16(b.data() + 16, local);
  PutLe16(b.data() + 18, 2);
  wire::PutText(b.data() + 84, 64, host);
  return b;
}

inline Bytes PowerOnPayload(const std::string& email, const std::string& host) {
  Bytes b(162);
  PutLe16(b.data(), 2);
  wire::PutText(b.data() + 2, 32, email);
  wire::PutText(b.data() + 34, 64, kStation);
  wire::PutText(b.data() + 98, 64, host);
  return b;
}

inline Bytes DiskPayload(const std::vector<std::pair<std::string, uint32_t>>& volumes) {
  Bytes b;
  for (const auto& [drive, mib] : volumes) {
    Bytes r(296);
    wire::PutU16(r.data(), 2);
    wire::PutU32(r.data() + 4, mib);
    wire::PutText(r.data() + 8, 32, kStation);
    wire::PutText(r.data() + 40, 256, drive);
    b.insert(b.end(), r.begin(), r.end());
  }
  return b;
}

inline Bytes FrameBytes(uint16_t command, const Bytes& payload, const std::string& id = kStation) {
  Bytes b(70 + payload.size());
  ServerMsgHead{static_cast<uint16_t>(b.size()), 6, command, id}.Encode(b.data());
  std::copy(payload.begin(), payload.end(), b.begin() + 70);
  return b;
}

// An 8-byte answer head, as a confused client might send it back.
inline Bytes ReplyBytesOf(uint16_t length, uint16_t command) {
  Bytes b(8);
  ServerReplyHead{length, 0, command, 0}.Encode(b.data());
  return b;
}

// Reads one 8-byte answer head from a raw socket; false on close or time-out.
inline bool ReadAnswer(int fd, ServerReplyHead* head, int timeoutMs = 2000) {
  platform::SetSocketTimeouts(fd, timeoutMs);
  uint8_t raw[8];
  if (platform::RecvAll(fd, raw, 8) != 0) return false;
  *head = ServerReplyHead::Decode(raw);
  return true;
}

// True when the peer closes the connection within timeoutMs.
inline bool ClosedWithin(int fd, int timeoutMs) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) {
      char c;
      ssize_t n = ::recv(fd, &c, 1, 0);
      if (n <= 0) return true;
    }
  }
  return false;
}

class CentralTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AccountStore store;
    std::string error;
    ASSERT_TRUE(store.Open(DbPath(), &error)) << error;
    ASSERT_TRUE(store.Add(kEmail, m_hash, &error)) << error;
  }
  void TearDown() override { StopServer(); }

  std::string DbPath() const { return m_dir.Sub("central.db"); }

  CentralOptions Options() {
    CentralOptions o;
    o.accountDb = DbPath();
    o.clock = [this] { return m_now.load(); };
    o.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(m_logMutex);
      m_log.push_back(line);
    };
    return o;
  }

  void StartServer(CentralOptions o) {
    m_server = std::make_unique<CentralServer>(std::move(o));
    std::string error;
    ASSERT_TRUE(m_server->Start(&error)) << error;
    m_loop = std::thread([this] { m_server->Run(); });
  }
  void StartServer() { StartServer(Options()); }

  void StopServer() {
    if (!m_server) return;
    m_server->Stop();
    m_loop.join();
    m_server.reset();
  }

  // One exchange through the service's own code; returns the answer's result or -1.
  int Request(uint16_t command, const Bytes& payload, const std::string& id = kStation) {
    ServerMsgHead head{static_cast<uint16_t>(70 + payload.size()), 6, command, id};
    ServerReplyHead answer;
    Bytes answerPayload;
    if (RequestServer(head, ServerAddress{m_server->Port(), "127.0.0.1"}, payload.data(),
                      static_cast<uint32_t>(payload.size()), &answer, &answerPayload) != 0)
      return -1;
    EXPECT_EQ(answer.length, 8);
    EXPECT_EQ(answer.command, command);
    EXPECT_TRUE(answerPayload.empty());
    return answer.result;
  }
  int LogOn(const std::string& id = kStation) {
    return Request(SV_LOG_ON, LogOnPayload(kEmail, m_hash, "Linux", id), id);
  }

  int Connect() { return platform::ConnectTcp("127.0.0.1", m_server->Port(), 1000); }
  // A connection to the server from another loopback address, such as 127.0.0.2.
  int ConnectFrom(const char* source) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source, &sin.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
        platform::ConnectFd(fd, htonl(INADDR_LOOPBACK), m_server->Port(), 1000) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  // One request on a connection of its own from source; the answer's result or -1.
  int RequestFrom(const char* source, uint16_t command, const Bytes& payload,
                  const std::string& id = kStation) {
    int fd = ConnectFrom(source);
    if (fd < 0) return -1;
    Bytes frame = FrameBytes(command, payload, id);
    ServerReplyHead answer{};
    bool ok = platform::SendAll(fd, frame.data(), frame.size()) == 0 && ReadAnswer(fd, &answer);
    ::close(fd);
    if (!ok) return -1;
    EXPECT_EQ(answer.command, command);
    return answer.result;
  }

  StationState Station(const std::string& id = kStation) {
    auto s = m_server->Stations().Find(id);
    EXPECT_TRUE(s.has_value()) << id;
    return s.value_or(StationState{});
  }

  std::vector<std::string> LogLines() {
    std::lock_guard<std::mutex> lock(m_logMutex);
    return m_log;
  }

  support::TempDir m_dir;
  std::string m_hash = HashPassword("secret");
  std::atomic<int64_t> m_now{1'000'000};
  std::unique_ptr<CentralServer> m_server;
  std::thread m_loop;
  std::mutex m_logMutex;
  std::vector<std::string> m_log;
};

}  // namespace central_test
