// Shared pieces of the device-request and tray-request tests: the central server in
// process as the PC's server, no home router, the tray listener stand-in, and the
// records the devices send.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "app/device_requests.h"
#include "app/upnp.h"
#include "app_fixture.h"
#include "central/account_store.h"
#include "central/central_server.h"
#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/host_identity.h"
#include "comm/log.h"
#include "comm/sqlite_db.h"
#include "support/temp_dir.h"
#include "tray_listener/tray_listener.h"

namespace reqtest {

inline constexpr const char* kStation = "02-42-AC-11-00-09";
inline constexpr const char* kEmail = "pc@example.com";

inline std::string Hash(const std::string& password) { return central::HashPassword(password); }

// A router that is never found: the port mapping of the server-info report gives up at once.
class NoGateway : public IgdClient {
 public:
  bool Discover(int) override { return false; }
  bool SelectGateway(std::string*) override { return false; }
  int GetExternalIPAddress(std::string*) override { return -1; }
  int AddPortMapping(const UPnPMapping&) override { return -1; }
  int GetSpecificPortMappingEntry(const std::string&, const std::string&, UPnPMapping*) override {
    return -1;
  }
  int DeletePortMapping(const std::string&, const std::string&) override { return -1; }
};

// tirvan-central's server on its own thread, with the accounts given, written into qz_conf
// as the PC's server. The PC's station id is kStation.
class Central {
 public:
  Central(const support::TempDir& dir, const std::vector<std::pair<std::string, std::string>>& accounts) {
    central::AccountStore store;
    std::string error;
    EXPECT_TRUE(store.Open(dir.Sub("central.db"), &error)) << error;
    for (const auto& [email, hash] : accounts) EXPECT_TRUE(store.Add(email, hash, &error)) << error;
    store.Close();
    central::CentralOptions o;
    o.accountDb = dir.Sub("central.db");
    m_server = std::make_unique<central::CentralServer>(std::move(o));
    EXPECT_TRUE(m_server->Start(&error)) << error;
    m_loop = std::thread([this] { m_server->Run(); });

    g_DB.RunCommand("delete from qz_conf");
    std::string conf = "insert into qz_conf(localport, log_console, log_priority, svhost, svport)"
                       " values(0, 0, 700, '127.0.0.1', " + std::to_string(m_server->Port()) + ")";
    EXPECT_GE(g_DB.RunCommand(conf.c_str()), 0);
    std::snprintf(g_MacBuf, sizeof g_MacBuf, "%s", kStation);
    SetIgdClientFactory([](const UPnPOptions&) { return std::make_unique<NoGateway>(); });
  }
  ~Central() {
    m_server->Stop();
    m_loop.join();
    SetIgdClientFactory(nullptr);
  }
  Central(const Central&) = delete;
  Central& operator=(const Central&) = delete;

  uint16_t Port() const { return m_server->Port(); }
  central::CentralServer& server() { return *m_server; }
  bool LoggedOn() {
    auto s = m_server->Stations().Find(kStation);
    return s && s->loggedOn;
  }
  std::string LoggedOnEmail() {
    auto s = m_server->Stations().Find(kStation);
    return s && s->loggedOn ? s->email : "";
  }

 private:
  std::unique_ptr<central::CentralServer> m_server;
  std::thread m_loop;
};

// Replaces the stored account.
inline void StoreAccount(const std::string& email, const std::string& psw) {
  AccountInfo a{};
  std::memcpy(a.email, email.data(), std::min(email.size(), sizeof a.email));
  std::memcpy(a.psw, psw.data(), std::min(psw.size(), sizeof a.psw));
  ASSERT_EQ(WriteLogOnInfo(a), 0);
}

// A DeviceLoginRequest: e-mail[32], hash[32], name[64], network[64], forwarded[64].
inline std::string LoginRecord(const std::string& email, const std::string& psw,
                               const std::string& name = "phone", const std::string& network = "wifi",
                               const std::string& forwarded = "fw") {
  std::string r(kDeviceLoginRecordSize, '\0');
  auto put = [&](size_t off, size_t n, const std::string& text) {
    std::memcpy(r.data() + off, text.data(), std::min(n, text.size()));
  };
  put(0, 32, email);
  put(32, 32, psw);
  put(64, 64, name);
  put(128, 64, network);
  put(192, 64, forwarded);
  return r;
}

// The relay prefix in front of a relayed record: the device's id[64] and its MsgHead.
inline std::string Relayed(const std::string& deviceId, uint16_t opcode, uint32_t seq,
                           const std::string& payload) {
  std::string b(72, '\0');
  std::memcpy(b.data(), deviceId.data(), std::min<size_t>(63, deviceId.size()));
  MsgHead{static_cast<uint16_t>(8 + payload.size()), opcode, seq}.Encode(
      reinterpret_cast<uint8_t*>(b.data() + 64));
  return b + payload;
}

// What a handler answered, called directly.
struct Call {
  int rc = 0;
  std::string reply;  // empty: no reply
};

inline Call Invoke(RegFun fn, const std::string& body, uint16_t opcode, uint32_t seq,
                   uint8_t direct = 1, int32_t udtSock = -1) {
  MsgHead head{static_cast<uint16_t>(8 + (direct != 0 ? body.size() : body.size() - 64)), opcode,
               seq};
  uint8_t* reply = nullptr;
  int32_t replyLen = 0;
  Call c;
  const auto* b = body.empty() ? nullptr : reinterpret_cast<const uint8_t*>(body.data());
  c.rc = fn(b, static_cast<uint32_t>(body.size()), &head, nullptr, &reply, &replyLen, &udtSock,
            &direct);
  if (reply != nullptr && replyLen > 0) c.reply.assign(reinterpret_cast<char*>(reply), replyLen);
  FreeReply(reply);
  return c;
}

// Big-endian helpers over a reply.
inline uint16_t U16(const std::string& b, size_t off) {
  return wire::GetU16(reinterpret_cast<const uint8_t*>(b.data()) + off);
}
inline uint32_t U32(const std::string& b, size_t off) {
  return wire::GetU32(reinterpret_cast<const uint8_t*>(b.data()) + off);
}

inline int64_t g_now = 1700000000;
inline int64_t FakeNow() { return g_now; }

}  // namespace reqtest
