// The device client against the built TirvanClient, running under the built-in service
// manager in an install root laid out by tirvan-setup.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device/device_client.h"
#include "lan_service_fixture.h"
#include "system_harness.h"

namespace {

using device::DeviceClient;
using device::DownloadEnd;
using device::DownloadOptions;
using device::DownloadResult;
using systest::RandomBytes;
using systest::ReadFile;
using systest::TransRow;
using systest::WriteFile;

using DeviceEndToEndTest = LanServiceTest;

TEST_F(DeviceEndToEndTest, DownloadsAreByteIdenticalAndLogged) {
  const size_t kSizes[] = {0, 1, 999, 1000, 1001, 5000123};
  std::unique_ptr<DeviceClient> c = Client();
  uint32_t seq = 10;
  for (size_t size : kSizes) {
    SCOPED_TRACE(size);
    std::string name = "f" + std::to_string(size) + ".bin";
    std::string content = RandomBytes(size, static_cast<unsigned>(size));
    WriteFile(Shared(name), content);
    DownloadResult r;
    ASSERT_TRUE(c->Download(++seq, Shared(name), Local(name), DownloadOptions{}, r))
        << c->LastError();
    EXPECT_EQ(r.end, DownloadEnd::Complete);
    EXPECT_EQ(r.info.size, size);
    EXPECT_EQ(r.info.packages, (size + 999) / 1000);
    EXPECT_TRUE(r.digestChecked);
    EXPECT_TRUE(ReadFile(Local(name)) == content);
  }
  // The program does the same, with a report on standard output.
  platform::CommandResult cli =
      Device({"get", Shared("f5000123.bin"), Local("cli.bin")});
  ASSERT_EQ(cli.exitCode, 0) << cli.out << cli.err;
  EXPECT_NE(cli.out.find("5000123 bytes from offset 0"), std::string::npos) << cli.out;
  EXPECT_NE(cli.out.find("digest ok"), std::string::npos) << cli.out;
  EXPECT_EQ(ReadFile(Local("cli.bin")), ReadFile(Shared("f5000123.bin")));

  std::vector<TransRow> rows = m_service->TransLog();
  ASSERT_EQ(rows.size(), std::size(kSizes) + 1);
  for (size_t i = 0; i < std::size(kSizes); ++i) {
    EXPECT_EQ(rows[i].type, 1);
    EXPECT_EQ(rows[i].file, Shared("f" + std::to_string(kSizes[i]) + ".bin"));
    EXPECT_EQ(rows[i].size, static_cast<long long>(kSizes[i]));
  }
}

TEST_F(DeviceEndToEndTest, ResumesAndStartsAtAnOffset) {
  // Larger than what the service's queue and the loopback socket buffers hold together,
  // so the download stopped midway cannot have been handed over whole (and logged).
  std::string content = RandomBytes(24 * 1024 * 1024 + 3456789 % 1000, 11);
  WriteFile(Shared("r.bin"), content);
  std::unique_ptr<DeviceClient> c = Client();

  // A partial local copy is continued where it ends.
  WriteFile(Local("partial.bin"), content.substr(0, 1234567));
  DownloadOptions resume;
  resume.mode = DownloadOptions::Mode::Resume;
  DownloadResult r;
  ASSERT_TRUE(c->Download(1, Shared("r.bin"), Local("partial.bin"), resume, r)) << c->LastError();
  EXPECT_EQ(r.offset, 1234567u);
  EXPECT_EQ(r.received, content.size() - 1234567);
  EXPECT_TRUE(r.digestChecked);
  EXPECT_TRUE(ReadFile(Local("partial.bin")) == content);

  // Any offset: the bytes from there on.
  DownloadOptions at;
  at.mode = DownloadOptions::Mode::Offset;
  at.offset = 2500;
  ASSERT_TRUE(c->Download(2, Shared("r.bin"), Local("tail.bin"), at, r)) << c->LastError();
  EXPECT_TRUE(ReadFile(Local("tail.bin")) == content.substr(2500));

  // The program stops midway, then resumes to the whole file.
  platform::CommandResult stopped =
      Device({"get", Shared("r.bin"), Local("cli.bin"), "--stop-after", "100000"});
  ASSERT_EQ(stopped.exitCode, 0) << stopped.err;
  EXPECT_NE(stopped.out.find("stopped after"), std::string::npos) << stopped.out;
  std::string part = ReadFile(Local("cli.bin"));
  EXPECT_GE(part.size(), 100000u);
  EXPECT_LT(part.size(), content.size());
  EXPECT_TRUE(part == content.substr(0, part.size()));
  platform::CommandResult resumed = Device({"get", Shared("r.bin"), Local("cli.bin"), "--resume"});
  ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
  EXPECT_NE(resumed.out.find("from offset " + std::to_string(part.size())), std::string::npos)
      << resumed.out;
  EXPECT_TRUE(ReadFile(Local("cli.bin")) == content);
  // Only the completed downloads are in the log.
  EXPECT_EQ(m_service->TransLog().size(), 3u);
}

TEST_F(DeviceEndToEndTest, RefusedAndUnknownDownloadsGetTheirAnswers) {
  WriteFile(m_tmp.Sub("outside/secret"), "secret");
  WriteFile(Shared("f"), "file");
  std::unique_ptr<DeviceClient> c = Client();
  device::DownloadInfo info;
  EXPECT_FALSE(c->RequestDownload(1, Shared("missing"), info));
  EXPECT_EQ(c->LastCode(), 4119);
  EXPECT_FALSE(c->RequestDownload(2, m_tmp.Sub("outside/secret"), info));
  EXPECT_EQ(c->LastCode(), 4118);
  EXPECT_FALSE(c->RequestDownload(3, m_share + "/nofolder/x", info));
  EXPECT_EQ(c->LastCode(), 4117);

  // Refused, then started: only the failure end message.
  ASSERT_TRUE(c->RequestDownload(4, Shared("f"), info)) << c->LastError();
  ASSERT_TRUE(c->RefuseDownload(4));
  size_t packages = 0;
  auto count = [&](const uint8_t*, size_t) {
    ++packages;
    return true;
  };
  EXPECT_EQ(c->ReceiveDownload(4, 0, count), DownloadEnd::Failed);
  EXPECT_EQ(c->ReceiveDownload(99, 0, count), DownloadEnd::Failed);  // never announced
  EXPECT_EQ(packages, 0u);
  char status = 0;
  ASSERT_TRUE(c->StopDownload(5, &status));
  EXPECT_EQ(status, '0');

  // The program's exit codes and messages.
  platform::CommandResult missing = Device({"get", Shared("missing"), Local("m")});
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_NE(missing.err.find("code 4119"), std::string::npos) << missing.err;
  platform::CommandResult refuse = Device({"--seq", "77", "refuse", Shared("f")});
  EXPECT_EQ(refuse.exitCode, 0) << refuse.err;
  EXPECT_NE(refuse.out.find("4 bytes, 1 packages"), std::string::npos) << refuse.out;
  EXPECT_NE(refuse.out.find("refused download 77"), std::string::npos) << refuse.out;
  EXPECT_TRUE(m_service->TransLog().empty());
}

TEST_F(DeviceEndToEndTest, SharesAndFolders) {
  std::filesystem::create_directory(Shared("sub"));
  WriteFile(Shared("b.txt"), "bb");
  WriteFile(Shared("a.txt"), "a");
  platform::CommandResult shares = Device({"shares"});
  ASSERT_EQ(shares.exitCode, 0) << shares.err;
  EXPECT_NE(shares.out.find(m_share + "\n"), std::string::npos) << shares.out;

  platform::CommandResult ls = Device({"ls", m_share});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  size_t sub = ls.out.find("<dir>  sub/\n");
  size_t a = ls.out.find("1  a.txt\n");
  size_t b = ls.out.find("2  b.txt\n");
  ASSERT_NE(sub, std::string::npos) << ls.out;
  EXPECT_LT(sub, a);
  EXPECT_LT(a, b);
  EXPECT_NE(b, std::string::npos);

  platform::CommandResult refused = Device({"ls", m_tmp.Sub("outside")});
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_NE(refused.err.find("refused to list"), std::string::npos) << refused.err;
}

TEST_F(DeviceEndToEndTest, SecondConnectionIsServedDuringALargeDownload) {
  std::string content = RandomBytes(64u << 20, 12);
  WriteFile(Shared("large.bin"), content);
  std::unique_ptr<DeviceClient> a = Client();
  device::DownloadInfo info;
  ASSERT_TRUE(a->RequestDownload(1, Shared("large.bin"), info));
  std::string received;
  bool firstPart = true;
  // a reads one package, then pauses while b is served.
  DownloadEnd firstEnd = a->ReceiveDownload(1, 0, [&](const uint8_t* p, size_t n) {
    received.append(reinterpret_cast<const char*>(p), n);
    return !firstPart;
  });
  ASSERT_EQ(firstEnd, DownloadEnd::Stopped);
  firstPart = false;

  std::unique_ptr<DeviceClient> b = Client();
  auto t0 = std::chrono::steady_clock::now();
  std::vector<device::FolderEntry> entries;
  ASSERT_TRUE(b->ListFolder(m_share, entries)) << b->LastError();
  // Served at once, not after a wait for a's stalled output: well inside b's 10 s time-out,
  // with room for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(entries.size(), 1u);

  // a goes on reading where it paused, to the end message.
  device::Message m;
  for (;;) {
    ASSERT_TRUE(a->Recv(m)) << a->LastError();
    if (m.head.opcode == 0x1003) break;
    received += m.body.substr(12);
  }
  EXPECT_EQ(m.body[0], '0');
  EXPECT_TRUE(received == content);
}

}  // namespace
