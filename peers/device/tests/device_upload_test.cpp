// Uploads from the device client to the built TirvanClient, running under the built-in
// service manager in an install root laid out by tirvan-setup: whole files, files cut
// off midway and resumed, the service killed midway and started again.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "comm/opcodes.h"
#include "comm/wire.h"
#include "device/device_client.h"
#include "device/upload.h"
#include "lan_service_fixture.h"
#include "system_harness.h"

namespace {

using device::DeviceClient;
using device::UploadError;
using device::UploadOptions;
using device::UploadResult;
using systest::FileSize;
using systest::RandomBytes;
using systest::ReadFile;
using systest::TransRow;
using systest::WaitUntil;
using systest::WriteFile;

class DeviceUploadTest : public LanServiceTest {
 protected:
  void SetUp() override {
    LanServiceTest::SetUp();
    if (HasFatalFailure()) return;
    m_pictures = m_service->DefaultFolder() + "/Pictures";
    ASSERT_TRUE(std::filesystem::is_directory(m_pictures));
  }

  // Uploads a whole local file; the offset the service asked for.
  uint32_t Upload(const std::string& local, const std::string& remote, uint32_t seq) {
    std::unique_ptr<DeviceClient> c = Client();
    if (!c) return 0;
    UploadResult r;
    UploadError err;
    EXPECT_TRUE(device::UploadFile(*c, seq, local, remote, UploadOptions{}, r, &err)) << err.text;
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.sent, static_cast<uint64_t>(r.size - r.offset));
    return r.offset;
  }

  // Announces and sends the first `part` bytes on a connection that stays open, and
  // waits until the service has written them.
  std::unique_ptr<DeviceClient> StartPartial(const std::string& local, const std::string& remote,
                                             uint32_t seq, size_t part) {
    std::unique_ptr<DeviceClient> c = Client();
    if (!c) return nullptr;
    // Not through UploadFile: its stop closes the connection, and this one is to stay.
    std::string content = ReadFile(local);
    std::string rec(380, '\0');
    uint8_t digest[16];
    EXPECT_TRUE(device::LocalFileDigest(local, digest));
    wire::PutU32(reinterpret_cast<uint8_t*>(rec.data()), static_cast<uint32_t>(content.size()));
    rec.replace(8, 16, std::string(reinterpret_cast<char*>(digest), 16));
    rec.replace(25, remote.size(), remote);
    EXPECT_TRUE(c->Send(OP_REQ_UP_LOAD_FILE, seq, rec));
    device::Message m;
    EXPECT_TRUE(c->Recv(m));
    EXPECT_EQ(m.head.opcode, OP_UP_LOAD_ALLOW);
    EXPECT_EQ(wire::GetU32(reinterpret_cast<const uint8_t*>(m.body.data())), 0u);
    for (size_t at = 0; at < part; at += 10000) {
      EXPECT_TRUE(c->Send(OP_UP_LOAD_FILE, seq,
                          std::string(12, '\0') + content.substr(at, std::min<size_t>(10000, part - at))));
    }
    std::vector<std::string> shares;
    EXPECT_TRUE(c->GetShares(shares));  // answered after every data message is handled
    return c;
  }

  std::vector<TransRow> TransLog() const { return m_service->TransLog(); }

  std::string m_pictures;
};

TEST_F(DeviceUploadTest, UploadsAreByteIdenticalAndLogged) {
  const size_t kSizes[] = {0, 1, 65515, 65516, 5000123};
  uint32_t seq = 10;
  for (size_t size : kSizes) {
    SCOPED_TRACE(size);
    std::string name = "f" + std::to_string(size) + ".bin";
    std::string content = RandomBytes(size, static_cast<unsigned>(size));
    WriteFile(Local(name), content);
    EXPECT_EQ(Upload(Local(name), Shared(name), ++seq), 0u);
    EXPECT_TRUE(ReadFile(Shared(name)) == content);
  }
  // The program does the same into a folder given with "\" separators, which is made.
  platform::CommandResult cli =
      Device({"put", Local("f5000123.bin"), m_share + "\\new\\sub"});
  ASSERT_EQ(cli.exitCode, 0) << cli.out << cli.err;
  EXPECT_NE(cli.out.find("5000123 bytes from offset 0"), std::string::npos) << cli.out;
  EXPECT_TRUE(ReadFile(m_share + "/new/sub/f5000123.bin") == ReadFile(Local("f5000123.bin")));
  // Put again: the PC has it all already.
  platform::CommandResult again = Device({"put", Local("f5000123.bin"), m_share + "/new/sub"});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_NE(again.out.find("0 bytes from offset 5000123"), std::string::npos) << again.out;

  std::vector<TransRow> rows = TransLog();
  ASSERT_EQ(rows.size(), std::size(kSizes) + 1);
  for (size_t i = 0; i < std::size(kSizes); ++i) {
    EXPECT_EQ(rows[i].type, 0);
    EXPECT_EQ(rows[i].file, Shared("f" + std::to_string(kSizes[i]) + ".bin"));
    EXPECT_EQ(rows[i].size, static_cast<long long>(kSizes[i]));
  }
  // No resume file is left anywhere.
  for (const auto& e : std::filesystem::recursive_directory_iterator(m_share)) {
    EXPECT_EQ(e.path().string().find("tirvan.rename"), std::string::npos) << e.path();
  }
}

TEST_F(DeviceUploadTest, CutOffMidwayThenResumed) {
  const std::string content = RandomBytes(3456789, 21);
  WriteFile(Local("r.bin"), content);
  // The connection drops after 1,000,000 bytes.
  {
    std::unique_ptr<DeviceClient> c = Client();
    UploadOptions o;
    o.stopAfter = 1000000;
    UploadResult r;
    UploadError err;
    ASSERT_TRUE(device::UploadFile(*c, 1, Local("r.bin"), Shared("r.bin"), o, r, &err)) << err.text;
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.sent, 1000000u);
  }
  EXPECT_FALSE(std::filesystem::exists(Shared("r.bin")));
  ASSERT_TRUE(
      WaitUntil([&] { return FileSize(Shared("r.bintirvan.rename")) == 1000000; }, 10000, 1));
  EXPECT_EQ(Upload(Local("r.bin"), Shared("r.bin"), 2), 1000000u);
  EXPECT_TRUE(ReadFile(Shared("r.bin")) == content);

  // The program is killed midway, then run again: it goes on from what arrived.
  const std::string big = RandomBytes(8u << 20, 22);
  WriteFile(Local("k.bin"), big);
  std::vector<std::string> argv = DeviceArgs({"--quiet", "put", Local("k.bin"), m_share, "--chunk", "64"});
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  const std::string data = Shared("k.bintirvan.rename");
  ASSERT_TRUE(WaitUntil([&] { return FileSize(data) > 65536; }, 10000, 1));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ASSERT_FALSE(std::filesystem::exists(Shared("k.bin"))) << "the upload ended before the kill";
  platform::CommandResult resumed = Device({"put", Local("k.bin"), m_share});
  ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
  EXPECT_EQ(resumed.out.find("bytes from offset 0 "), std::string::npos) << resumed.out;
  EXPECT_TRUE(ReadFile(Shared("k.bin")) == big);
  // Only the completed uploads are in the log.
  EXPECT_EQ(TransLog().size(), 2u);
}

TEST_F(DeviceUploadTest, ServiceKilledMidwayThenStartedAgain) {
  const std::string shared = RandomBytes(2500000, 31);
  const std::string picture = RandomBytes(1500000, 32);
  WriteFile(Local("s.bin"), shared);
  WriteFile(Local("p.jpg"), picture);
  std::unique_ptr<DeviceClient> a = StartPartial(Local("s.bin"), Shared("s.bin"), 1, 1200000);
  std::unique_ptr<DeviceClient> b =
      StartPartial(Local("p.jpg"), "$DEFAULT_PIC$/p.jpg", 2, 700000);
  ASSERT_EQ(FileSize(Shared("s.bintirvan.rename")), 1200000);
  ASSERT_EQ(FileSize(m_pictures + "/p.jpgtirvan.rename"), 700000);

  ASSERT_TRUE(m_service->Kill());
  a.reset();
  b.reset();
  ASSERT_TRUE(m_service->Start()) << m_service->Output();
  // The start-up removed the partial files of the default sub-folders only.
  EXPECT_FALSE(std::filesystem::exists(m_pictures + "/p.jpgtirvan.rename"));
  EXPECT_FALSE(std::filesystem::exists(m_pictures + "/p.jpgtirvan.renametmp"));
  EXPECT_EQ(FileSize(Shared("s.bintirvan.rename")), 1200000);

  EXPECT_EQ(Upload(Local("s.bin"), Shared("s.bin"), 3), 1200000u);
  EXPECT_EQ(Upload(Local("p.jpg"), "$DEFAULT_PIC$/p.jpg", 4), 0u);
  EXPECT_TRUE(ReadFile(Shared("s.bin")) == shared);
  EXPECT_TRUE(ReadFile(m_pictures + "/p.jpg") == picture);
  std::vector<TransRow> rows = TransLog();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].file, m_pictures + "/p.jpg");
}

TEST_F(DeviceUploadTest, TargetsOutsideTheSharesAreRefusedAndNothingIsCreated) {
  WriteFile(Local("x.bin"), "payload");
  platform::CommandResult out = Device({"put", Local("x.bin"), m_tmp.Sub("outside/new/deeper")});
  EXPECT_EQ(out.exitCode, 3);
  EXPECT_NE(out.err.find("code 4118"), std::string::npos) << out.err;
  platform::CommandResult climb = Device({"put", Local("x.bin"), m_share + "/../outside/up"});
  EXPECT_EQ(climb.exitCode, 3);
  EXPECT_NE(climb.err.find("code 4118"), std::string::npos) << climb.err;
  EXPECT_TRUE(std::filesystem::is_empty(m_tmp.Sub("outside")));
  EXPECT_TRUE(std::filesystem::is_empty(m_share));
  EXPECT_TRUE(TransLog().empty());
}

}  // namespace
