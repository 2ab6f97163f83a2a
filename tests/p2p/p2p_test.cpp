// Peer to peer through the installed service: TirvanClient under the built-in service
// manager, in a root laid out by tirvan-setup with --server and --p2p, logged on to
// tirvan-central and announced to tirvan-rendezvous; the tirvan-device program reaches it
// with --p2p and --station only, over UDT. Every party is a separate built program.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/service_manager.h"
#include "system_harness.h"

namespace {

constexpr int kRunMs = 60000;  // one device program run, generous for sanitizer builds

class P2PSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_tmp.MakeDir("share");
    m_tmp.MakeDir("local");
    m_share = std::filesystem::canonical(m_tmp.Sub("share")).string();
    // Several MB, not a whole number of the service's 1,000-byte packages.
    m_large = systest::RandomBytes(6 * 1024 * 1024 + 777, 11);
    systest::WriteFile(m_share + "/large.bin", m_large);

    m_rendezvous = std::make_unique<systest::Rendezvous>(m_tmp);
    ASSERT_TRUE(m_rendezvous->Start()) << m_rendezvous->Output();
    m_central = std::make_unique<systest::Central>(m_tmp, "peer@tirvan.test", "peer");
    ASSERT_TRUE(m_central->Start()) << m_central->Output();
    systest::ServiceOptions o;
    o.shares = {m_share};
    o.central = m_central.get();
    o.rendezvous = m_rendezvous.get();
    m_service = std::make_unique<systest::Service>(m_tmp, o);
    ASSERT_TRUE(m_service->Start()) << m_service->Output();
    // The P2P side answers punches only once logged on, and the rendezvous server pairs a
    // device only with a PC whose heartbeat it has had.
    ASSERT_TRUE(systest::WaitUntil([&] { return !m_central->LoggedOnStation().empty(); }, 20000))
        << m_central->Output() << m_service->Log();
    m_station = m_central->LoggedOnStation();
    ASSERT_TRUE(systest::WaitUntil([&] { return m_rendezvous->Knows(m_station); }, 20000))
        << m_rendezvous->Output() << m_service->Log();
  }

  void TearDown() override {
    if (!m_service) return;
    EXPECT_TRUE(m_service->WaitIdle(10000));
    m_service->Stop();
    EXPECT_EQ(m_service->Reports(), "");
    m_rendezvous->Stop();
    EXPECT_EQ(systest::CrashReports(m_rendezvous->Output()), "");
  }

  platform::CommandResult Device(const std::string& station, std::vector<std::string> command) {
    std::vector<std::string> argv{systest::DeviceProgram(), "--p2p", m_rendezvous->Address(),
                                  "--station", station, "--quiet"};
    argv.insert(argv.end(), command.begin(), command.end());
    return platform::RunCommand(argv, kRunMs);
  }

  support::TempDir m_tmp;
  std::string m_share;
  std::string m_large;
  std::string m_station;
  std::unique_ptr<systest::Rendezvous> m_rendezvous;
  std::unique_ptr<systest::Central> m_central;
  std::unique_ptr<systest::Service> m_service;
};

TEST_F(P2PSystemTest, DeviceProgramListsDownloadsAndUploadsThroughTheInstalledService) {
  platform::CommandResult shares = Device(m_station, {"shares"});
  ASSERT_EQ(shares.exitCode, 0) << shares.err << m_service->Log();
  EXPECT_EQ(shares.out,
            m_share + "\n" + std::filesystem::canonical(m_service->DefaultFolder()).string() +
                "\n");

  const std::string got = m_tmp.Sub("local/large.bin");
  platform::CommandResult get = Device(m_station, {"get", m_share + "/large.bin", got});
  ASSERT_EQ(get.exitCode, 0) << get.err << m_service->Log();
  EXPECT_TRUE(systest::ReadFile(got) == m_large) << "downloaded " << systest::FileSize(got)
                                                 << " of " << m_large.size() << " bytes";

  // Many 2,028-byte UDT messages and a short last one.
  const std::string upload = systest::RandomBytes(150 * 2028 + 613, 12);
  systest::WriteFile(m_tmp.Sub("local/up.bin"), upload);
  platform::CommandResult put = Device(m_station, {"put", m_tmp.Sub("local/up.bin"), m_share});
  ASSERT_EQ(put.exitCode, 0) << put.err << m_service->Log();
  const std::string landed = m_share + "/up.bin";
  EXPECT_TRUE(systest::WaitUntil([&] { return systest::ReadFile(landed) == upload; }, 10000))
      << "uploaded " << systest::FileSize(landed) << " of " << upload.size() << " bytes";

  // The rendezvous server paired the devices with the PC, and the PC passed its punches on.
  // (The server logs a confirmation when its datagram arrives, which may be after the
  // device has connected.)
  auto logged = [&](const std::string& text) {
    return systest::WaitUntil(
        [&] { return m_rendezvous->Output().find(text) != std::string::npos; }, 5000);
  };
  EXPECT_TRUE(logged("connects to station " + m_station)) << m_rendezvous->Output();
  EXPECT_TRUE(logged("station " + m_station + " confirms session")) << m_rendezvous->Output();
}

TEST_F(P2PSystemTest, UnknownStationIsAnError) {
  const std::string unknown = "02-00-00-00-00-09";
  ASSERT_NE(unknown, m_station);
  platform::CommandResult r = Device(unknown, {"shares"});
  EXPECT_EQ(r.exitCode, 2);  // no connection
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tirvan-device: station " + unknown + " is not online\n");
  // The PC it does know is still reached.
  platform::CommandResult known = Device(m_station, {"shares"});
  EXPECT_EQ(known.exitCode, 0) << known.err;
}

}  // namespace
