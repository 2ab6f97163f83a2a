// Relayed downloads and uploads with the built programs: tirvan-central, TirvanClient under
// the built-in service manager (configured for that server, with the account stored), and
// tirvan-device fetching and storing files through the server.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "system_harness.h"

namespace {

using systest::FileSize;
using systest::RandomBytes;
using systest::ReadFile;
using systest::WaitUntil;
using systest::WriteFile;

constexpr const char* kEmail = "transfer@tirvan.test";
constexpr const char* kPassword = "transfer";

class RelayTransferProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_tmp.MakeDir("local");
    m_tmp.MakeDir("share");
    m_tmp.MakeDir("share/up");
    ASSERT_TRUE(m_central.Start()) << m_central.Output();
    systest::ServiceOptions options;
    options.shares = {m_tmp.Sub("share")};
    options.central = &m_central;
    options.logPriority = 700;
    // Relayed uploads start within milliseconds instead of seconds.
    options.env = {{"TIRVAN_UPLOAD_POLL_MS", "20"}, {"TIRVAN_UPLOAD_BACKOFF_MS", "10"}};
    m_service = std::make_unique<systest::Service>(m_tmp, options);
    ASSERT_TRUE(m_service->Start()) << m_service->Output();
  }

  platform::CommandResult Device(const std::vector<std::string>& args, bool quiet = true) {
    std::vector<std::string> argv{systest::DeviceProgram(), "--relay",   m_central.Address(),
                                  "--account",              kEmail,      "--hash",
                                  m_central.hash(),         "--station", m_station,
                                  "--timeout",              "10000"};
    if (quiet) argv.push_back("--quiet");
    argv.insert(argv.end(), args.begin(), args.end());
    return platform::RunCommand(argv, 60000);
  }

  support::TempDir m_tmp;
  systest::Central m_central{m_tmp, kEmail, kPassword};
  std::unique_ptr<systest::Service> m_service;
  std::string m_station;
};

TEST_F(RelayTransferProgramTest, DownloadsAndUploadsThroughTheServerWithResumeAndStop) {
  const std::string share = m_tmp.Sub("share");
  ASSERT_TRUE(WaitUntil([&] { return !(m_station = m_central.LoggedOnStation()).empty(); },
                        20000, 20))
      << m_tmp.Read("central-state.json") << m_central.Output();
  // The relay connection comes up right after the start.
  ASSERT_TRUE(m_service->WaitRelay(m_central, 15000)) << m_central.Output();
  platform::CommandResult shares = Device({"shares"});
  ASSERT_EQ(shares.exitCode, 0) << shares.out << shares.err << m_central.Output();

  const std::vector<size_t> sizes = {0, 1, 1000, 1001, (5u << 20) + 7};
  // Downloads, byte-identical.
  for (size_t size : sizes) {
    SCOPED_TRACE("download " + std::to_string(size));
    const std::string name = "d" + std::to_string(size) + ".bin";
    const std::string content = RandomBytes(size, static_cast<unsigned>(size) + 1);
    WriteFile(share + "/" + name, content);
    platform::CommandResult get = Device({"get", share + "/" + name, m_tmp.Sub("local/" + name)});
    ASSERT_EQ(get.exitCode, 0) << get.out << get.err;
    EXPECT_TRUE(ReadFile(m_tmp.Sub("local/" + name)) == content);
  }
  EXPECT_NE(m_service->Log().find("using interline"), std::string::npos);

  // A download stopped midway, then resumed from what arrived.
  {
    const std::string content = RandomBytes(6u << 20, 99);
    WriteFile(share + "/big.bin", content);
    const std::string local = m_tmp.Sub("local/big.bin");
    platform::CommandResult stop =
        Device({"get", share + "/big.bin", local, "--stop-after", "1000000"});
    ASSERT_EQ(stop.exitCode, 0) << stop.out << stop.err;
    EXPECT_NE(stop.out.find("stopped after 1000000 bytes"), std::string::npos) << stop.out;
    EXPECT_EQ(FileSize(local), 1000000);
    EXPECT_TRUE(WaitUntil(
        [&] {
          return m_service->Log().find("get cmd to stop download OK") != std::string::npos;
        },
        5000, 20));
    platform::CommandResult resume = Device({"get", share + "/big.bin", local, "--resume"});
    ASSERT_EQ(resume.exitCode, 0) << resume.out << resume.err;
    EXPECT_TRUE(ReadFile(local) == content);
  }

  // Uploads, byte-identical once the service has fetched the end.
  for (size_t size : sizes) {
    SCOPED_TRACE("upload " + std::to_string(size));
    const std::string name = "u" + std::to_string(size) + ".bin";
    const std::string content = RandomBytes(size, static_cast<unsigned>(size) + 7);
    WriteFile(m_tmp.Sub("local/" + name), content);
    platform::CommandResult put = Device({"put", m_tmp.Sub("local/" + name), share + "/up"});
    ASSERT_EQ(put.exitCode, 0) << put.out << put.err;
    const std::string target = share + "/up/" + name;
    EXPECT_TRUE(
        WaitUntil([&] { return FileSize(target) == static_cast<long long>(size); }, 10000, 20))
        << FileSize(target);
    EXPECT_TRUE(ReadFile(target) == content);
  }

  // An upload cut off midway: what the service fetched before the device went stays, and
  // the next announcement resumes from it.
  {
    const std::string content = RandomBytes((4u << 20) + 3, 123);
    const std::string local = m_tmp.Sub("local/ubig.bin");
    WriteFile(local, content);
    platform::CommandResult cut = Device({"put", local, share + "/up", "--stop-after", "1500000"});
    ASSERT_EQ(cut.exitCode, 0) << cut.out << cut.err;
    EXPECT_NE(cut.out.find("stopped after 1500000 bytes"), std::string::npos) << cut.out;
    const std::string data = share + "/up/ubig.bintirvan.rename";
    ASSERT_TRUE(WaitUntil([&] { return FileSize(data) > 0; }, 10000, 20));
    // The service may still be fetching what the server holds of the cut upload; the next
    // announcement closes that upload first and resumes from what reached the data file.
    platform::CommandResult resume = Device({"put", local, share + "/up"}, false);
    ASSERT_EQ(resume.exitCode, 0) << resume.out << resume.err;
    std::smatch offset;
    ASSERT_TRUE(std::regex_search(resume.out, offset, std::regex("from offset ([0-9]+) ")))
        << resume.out;
    const long long held = std::stoll(offset[1]);
    EXPECT_GT(held, 0);
    EXPECT_LE(held, 1500000);
    const std::string target = share + "/up/ubig.bin";
    EXPECT_TRUE(WaitUntil(
        [&] { return FileSize(target) == static_cast<long long>(content.size()); }, 10000, 20));
    EXPECT_TRUE(ReadFile(target) == content);
    EXPECT_EQ(FileSize(data), -1);
  }
}

}  // namespace
