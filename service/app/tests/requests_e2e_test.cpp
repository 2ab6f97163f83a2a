// End to end with the built programs: tirvan-central, tirvan-tray-listener as the tray
// program's listener and TirvanClient under the built-in service manager. A tray-style
// client on 127.0.0.1 manages the account and the shares; the same requests from a LAN
// address or through the relay get nothing; an unknown device's login is put to the
// listener, which admits it and then refuses the next.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app_test_util.h"
#include "central/account_store.h"
#include "central/relay_device_client.h"
#include "central/relay_protocol.h"
#include "comm/opcodes.h"
#include "comm/wire.h"
#include "support/msg_client.h"
#include "support/temp_dir.h"
#include "system_harness.h"

namespace {

constexpr const char* kFirstEmail = "first@tirvan.test";
constexpr const char* kSecondEmail = "second@tirvan.test";

std::string Account(const std::string& email, const std::string& psw) {
  std::string a(64, '\0');
  std::memcpy(a.data(), email.data(), email.size());
  std::memcpy(a.data() + 32, psw.data(), psw.size());
  return a;
}

std::string LoginRecord(const std::string& email, const std::string& name) {
  std::string r(256, '\0');
  std::memcpy(r.data(), email.data(), email.size());
  std::memcpy(r.data() + 32, "nohash", 6);
  std::memcpy(r.data() + 64, name.data(), name.size());
  std::memcpy(r.data() + 128, "lan", 3);
  return r;
}

uint32_t ResultOf(const support::Message& m) {
  return m.body.size() == 4 ? wire::GetU32(reinterpret_cast<const uint8_t*>(m.body.data()))
                            : 0xDEADBEEF;
}

TEST(RequestsEndToEndTest, TrayRequestsOnLoopbackOnlyAndDeviceLoginsThroughTheListener) {
  support::TempDir tmp;
  systest::Central central(tmp, kFirstEmail, "first");
  ASSERT_TRUE(central.AddAccount(kSecondEmail, "second"));
  ASSERT_TRUE(central.Start()) << central.Output();
  const std::string firstHash = central.hash();
  const std::string secondHash = central::HashPassword("second");
  systest::Child listener(
      {systest::TrayListenerProgram(), "--listen", "127.0.0.1:0", "--answers", "admit,refuse"},
      tmp.Sub("listener.out"));
  const std::string listenerPort = listener.WaitLine("listening on 127.0.0.1:", 10000);
  ASSERT_FALSE(listenerPort.empty()) << listener.Output();

  // The service, with the first account stored so that it logs on and opens its relay
  // connection at once.
  const std::string share = tmp.Sub("share");
  tmp.MakeDir("share");
  systest::ServiceOptions options;
  options.central = &central;
  options.logPriority = 700;
  options.env = {{"TIRVAN_TRAY_LOGIN_PORT", listenerPort}};
  systest::Service service(tmp, options);
  ASSERT_TRUE(service.Start()) << service.Output();
  std::string station;
  ASSERT_TRUE(
      apptest::WaitUntil([&] { return !(station = central.LoggedOnStation()).empty(); }, 20000))
      << tmp.Read("central-state.json");
  auto sharesBefore = service.Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(sharesBefore);

  // Through the relay: the tray's requests get nothing, a device request behind them its
  // answer.
  {
    central::RelayDeviceClient dev;
    int rc = -1;
    apptest::WaitUntil(
        [&] {
          rc = dev.Connect("127.0.0.1", central.port(),
                           central::DeviceCredentials{kFirstEmail, firstHash, station});
          return rc != central::RESULT_STATION_OFFLINE;
        },
        15000);
    ASSERT_EQ(rc, 0) << central.Output();
    std::string thief = Account("thief@tirvan.test", secondHash);
    ASSERT_TRUE(dev.Send(OP_SHOW_LOG_ON, 1, reinterpret_cast<const uint8_t*>(thief.data()),
                         thief.size()));
    ASSERT_TRUE(dev.Send(OP_SHOW_LOG_ON_STATUES, 2));
    ASSERT_TRUE(dev.Send(OP_SHOW_SET_SHARE, 3, reinterpret_cast<const uint8_t*>("/"), 1));
    ASSERT_TRUE(dev.Send(OP_SHOW_GET_SHARE, 4));
    ASSERT_TRUE(dev.Send(OP_REQ_DEVICE_HEART_BEAT, 5, reinterpret_cast<const uint8_t*>("x"), 1));
    auto m = dev.Recv(5000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->head.opcode, OP_REQ_DEVICE_HEART_BEAT);
    EXPECT_FALSE(dev.Recv(200).has_value());
  }

  // From a LAN address of this host: the connection closes without an answer.
  const std::string lan = systest::LanAddress();
  if (lan.empty()) {
    std::printf("no LAN address on this host: the LAN origin is covered in-process only\n");
  } else {
    for (const auto& [opcode, payload] :
         std::vector<std::pair<uint16_t, std::string>>{{OP_SHOW_LOG_ON, Account("thief@x", "h")},
                                                       {OP_SHOW_LOG_ON_STATUES, ""},
                                                       {OP_SHOW_SET_SHARE, "/"},
                                                       {OP_SHOW_GET_SHARE, ""}}) {
      support::MsgClient c;
      ASSERT_TRUE(c.Connect(service.port(), 2000, lan)) << lan;
      ASSERT_TRUE(c.Send(opcode, 0, payload));
      EXPECT_TRUE(c.WaitPeerClose(5000)) << lan << " opcode " << opcode;
    }
  }
  // Nothing of that reached the account or the shares.
  auto info = service.Tray(OP_SHOW_GET_LOG_ON_INFO);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->body.substr(0, std::strlen(kFirstEmail)), kFirstEmail);
  auto shares = service.Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(shares);
  EXPECT_EQ(shares->body, sharesBefore->body);

  // The tray on 127.0.0.1: a new account, the logon state, the shares.
  auto logon = service.Tray(OP_SHOW_LOG_ON, Account(kSecondEmail, secondHash));
  ASSERT_TRUE(logon) << service.Log();
  EXPECT_EQ(logon->head.length, 12);
  EXPECT_EQ(ResultOf(*logon), 0u);
  auto status = service.Tray(OP_SHOW_LOG_ON_STATUES);
  ASSERT_TRUE(status);
  EXPECT_EQ(ResultOf(*status), 0u);
  EXPECT_TRUE(apptest::WaitUntil(
      [&] {
        std::optional<Json::Value> pc = central.Station();
        return pc && (*pc)["loggedOn"].asBool() && (*pc)["email"].asString() == kSecondEmail;
      },
      5000))
      << tmp.Read("central-state.json");
  auto set = service.Tray(OP_SHOW_SET_SHARE, share + "\r\n");
  ASSERT_TRUE(set);
  EXPECT_EQ(ResultOf(*set), 0u);
  shares = service.Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(shares);
  EXPECT_EQ(shares->body, share + "\r\n");

  // An unknown device's login: the listener admits the first and refuses the second.
  for (uint16_t expected : {0, 1}) {
    support::MsgClient device;
    ASSERT_TRUE(device.Connect(service.port()));
    ASSERT_TRUE(device.Send(OP_REQ_DEVICE_LOGIN, 9, LoginRecord("guest@tirvan.test", "pad")));
    auto reply = device.Recv(10000);
    ASSERT_TRUE(reply) << listener.Output();
    EXPECT_EQ(reply->head.opcode, OP_REQ_DEVICE_LOGIN);
    EXPECT_EQ(reply->head.seq, 0u);
    ASSERT_EQ(reply->body.size(), 4u);
    EXPECT_EQ(wire::GetU16(reinterpret_cast<const uint8_t*>(reply->body.data())), expected);
  }
  std::string questions = listener.Output();
  EXPECT_TRUE(apptest::InOrder(questions, {"question", "email=guest@tirvan.test name=pad network=lan",
                                           "answer=admit", "question", "answer=refuse"}))
      << questions;
}

}  // namespace
