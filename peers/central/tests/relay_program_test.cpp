// The relay with the built programs: tirvan-central, TirvanClient under the built-in
// service manager (configured for that server, with the account stored), and
// tirvan-device reaching the PC through the server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "central/account_store.h"
#include "support/temp_dir.h"
#include "system_harness.h"

namespace {

using systest::WaitUntil;

TEST(RelayProgramTest, DeviceListsTheSharesOfARunningServiceThroughTheServer) {
  support::TempDir tmp;
  systest::Central central(tmp, "relay@tirvan.test", "relay");
  ASSERT_TRUE(central.Start()) << central.Output();

  const std::string share = tmp.Sub("share");
  tmp.MakeDir("share");
  tmp.Write("share/hello.txt", "hello");
  systest::ServiceOptions options;
  options.shares = {share};
  options.central = &central;
  options.logPriority = 700;
  systest::Service service(tmp, options);
  ASSERT_TRUE(service.Start()) << service.Output();

  std::string station;
  ASSERT_TRUE(WaitUntil([&] { return !(station = central.LoggedOnStation()).empty(); }, 20000,
                        20))
      << tmp.Read("central-state.json") << central.Output();

  auto device = [&](const std::vector<std::string>& args, const std::string& psw) {
    std::vector<std::string> argv{systest::DeviceProgram(), "--relay", central.Address(),
                                  "--account", central.email(), "--hash", psw, "--station",
                                  station, "--timeout", "5000"};
    argv.insert(argv.end(), args.begin(), args.end());
    return platform::RunCommand(argv, 30000);
  };
  // The relay connection comes up right after the start.
  ASSERT_TRUE(service.WaitRelay(central, 15000)) << central.Output();
  platform::CommandResult shares = device({"shares"}, central.hash());
  ASSERT_EQ(shares.exitCode, 0) << shares.out << shares.err << central.Output();
  // The share, then the default folder.
  EXPECT_EQ(shares.out, share + "\n" + service.DefaultFolder() + "\n");

  platform::CommandResult ls = device({"ls", share}, central.hash());
  ASSERT_EQ(ls.exitCode, 0) << ls.out << ls.err;
  EXPECT_NE(ls.out.find("hello.txt"), std::string::npos) << ls.out;

  platform::CommandResult wrong = device({"shares"}, central::HashPassword("guess"));
  EXPECT_NE(wrong.exitCode, 0);
  EXPECT_NE(wrong.err.find("wrong password"), std::string::npos) << wrong.err;

  std::string log = central.Output();
  EXPECT_NE(log.find("relay station=" + station), std::string::npos) << log;
  EXPECT_NE(log.find("logged on for station=" + station), std::string::npos) << log;
}

}  // namespace
