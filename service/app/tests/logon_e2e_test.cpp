// End to end: tirvan-central with a demo account, tirvan-igd as the home router, and the
// built TirvanClient under the built-in service manager, configured to use both. The
// service logs on at start, reports its addresses, power-on and disks, heartbeats at the
// interval its environment sets, maps its port; a stop logs it out.
#include <gtest/gtest.h>
#include <json/json.h>

#include <optional>
#include <string>

#include "app_test_util.h"
#include "comm/utils.h"
#include "support/temp_dir.h"
#include "system_harness.h"

namespace {

constexpr const char* kEmail = "demo@tirvan.test";
constexpr const char* kPassword = "demo";

TEST(LogonEndToEndTest, LogsOnReportsHeartbeatsAndLogsOut) {
  support::TempDir tmp;
  // The central server with the demo account.
  systest::Central central(tmp, kEmail, kPassword);
  ASSERT_TRUE(central.Start()) << central.Output();

  // The home router.
  systest::Child gateway({systest::IgdProgram()}, tmp.Sub("igd.out"));
  std::string rootUrl = gateway.WaitLine("root description ", 10000);
  ASSERT_FALSE(rootUrl.empty()) << gateway.Output();

  // The service's install root, pointed at the server, with the account the tray
  // program would have stored.
  systest::ServiceOptions options;
  options.central = &central;
  options.logPriority = 700;
  options.env = {{"TIRVAN_HEARTBEAT_MS", "200"}, {"TIRVAN_UPNP_ROOT_URL", rootUrl}};
  systest::Service service(tmp, options);
  ASSERT_TRUE(service.Start()) << service.Output();

  // Logged on, with its addresses and the mapped port, its power-on and its disks.
  std::optional<Json::Value> pc;
  bool reported = apptest::WaitUntil(
      [&] {
        pc = central.Station();
        return pc && (*pc)["loggedOn"].asBool() && (*pc)["powerOn"]["time"].asInt64() != 0 &&
               (*pc)["disks"]["time"].asInt64() != 0 && (*pc)["lastHeartBeat"].asInt64() != 0;
      },
      20000);
  ASSERT_TRUE(reported) << tmp.Read("central-state.json") << central.Output() << service.Log();
  EXPECT_EQ((*pc)["email"].asString(), kEmail);
  EXPECT_EQ((*pc)["systemType"].asInt(), 2);
  EXPECT_EQ((*pc)["powerOn"]["email"].asString(), kEmail);
  EXPECT_EQ((*pc)["serverInfo"]["externalPort"].asInt(), 61617);
  EXPECT_NE((*pc)["serverInfo"]["localPort"].asInt(), 0);
  EXPECT_FALSE((*pc)["serverInfo"]["hostName"].asString().empty());
  ASSERT_GE((*pc)["disks"]["volumes"].size(), 1u);
  EXPECT_EQ((*pc)["disks"]["volumes"][0]["drive"].asString(), GetDriveRoot(service.root()));
  EXPECT_NE(gateway.Output().find("SOAP AddPortMapping"), std::string::npos) << gateway.Output();
  EXPECT_NE(gateway.Output().find("NewExternalPort=61617"), std::string::npos);

  // The heartbeat goes on at its interval.
  int64_t beat = (*pc)["lastHeartBeat"].asInt64();
  EXPECT_TRUE(apptest::WaitUntil(
      [&] {
        pc = central.Station();
        return pc && (*pc)["lastHeartBeat"].asInt64() > beat;
      },
      10000));

  // A stop logs the PC out.
  EXPECT_TRUE(service.Stop());
  EXPECT_TRUE(apptest::WaitUntil(
      [&] {
        pc = central.Station();
        return pc && !(*pc)["loggedOn"].asBool() && (*pc)["logOutTime"].asInt64() != 0;
      },
      10000))
      << tmp.Read("central-state.json");
  EXPECT_TRUE(apptest::InOrder(central.Output(), {"SV_LOG_ON", "SV_SET_SV_INFO",
                                                  "SV_SET_POWER_ON_INFO", "SV_HEART_BEAT",
                                                  "SV_LOG_OUT"}))
      << central.Output();
}

}  // namespace
