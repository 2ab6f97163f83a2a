// Uploads that lose their ground under them, against the running service: another device
// announces the same file midway, the data file or its folder is removed or moved away
// midway, and a share's folder is missing (its disk not mounted). The device whose upload
// ends is told so with the upload error reply, the log says what happened, and nothing
// is created where it should not be.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "comm/opcodes.h"
#include "comm/wire.h"
#include "device/relay_transport.h"
#include "device/upload.h"
#include "system_harness.h"
#include "upload_messages.h"

namespace {

using device::DeviceClient;
using device::Message;
using faulttest::SendData;
using faulttest::UploadRecord;
using systest::FileSize;
using systest::ReadFile;
using systest::WaitUntil;

uint16_t Code(const Message& m) {
  return m.body.size() >= 2 ? wire::GetU16(reinterpret_cast<const uint8_t*>(m.body.data())) : 0;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class UploadFaultsTest : public ::testing::Test {
 protected:
  void Start(bool withCentral, std::vector<std::string> extraShares = {}) {
    m_tmp.MakeDir("share");
    m_tmp.MakeDir("local");
    m_share = m_tmp.Sub("share");
    if (withCentral) {
      m_central = std::make_unique<systest::Central>(m_tmp, "lost@tirvan.test", "lost");
      ASSERT_TRUE(m_central->Start());
    }
    systest::ServiceOptions o;
    o.shares = {m_share};
    for (const std::string& s : extraShares) o.shares.push_back(s);
    o.central = m_central.get();
    o.env = {{"TIRVAN_UPLOAD_POLL_MS", "20"},
             {"TIRVAN_UPLOAD_BACKOFF_MS", "10"},
             {"TIRVAN_UPLOAD_CHECK_BYTES", "65536"}};
    m_service = std::make_unique<systest::Service>(m_tmp, o);
    ASSERT_TRUE(m_service->Start()) << m_service->Output();
    if (withCentral) {
      ASSERT_TRUE(WaitUntil([&] { return !m_central->LoggedOnStation().empty(); }, 20000));
      ASSERT_TRUE(m_service->WaitRelay(*m_central, 20000)) << m_central->Output();
    }
  }

  void TearDown() override {
    if (!m_service) return;
    EXPECT_TRUE(m_service->WaitIdle(10000));
    m_service->Stop();
    EXPECT_EQ(m_service->Reports(), "");
  }

  std::unique_ptr<DeviceClient> Device(bool relayed, const std::string& name) {
    return relayed ? m_service->Relay(*m_central, name) : m_service->Lan();
  }

  support::TempDir m_tmp;
  std::string m_share;
  std::unique_ptr<systest::Central> m_central;
  std::unique_ptr<systest::Service> m_service;
};

// Device A uploads; device B announces the same target and digest midway. A hears at once
// (it sends nothing more before the reply arrives) that its upload has ended, B resumes
// from what A wrote, A's late data and end change nothing, and the file ends whole. Over
// the LAN, through the relay, and across the two.
TEST_F(UploadFaultsTest, AnUploadTakenOverByAnotherDeviceIsToldAtOnceAndKeepsItsData) {
  Start(true);
  const struct {
    const char* name;
    bool firstRelayed, secondRelayed;
  } cases[] = {{"lan-lan", false, false}, {"lan-relay", false, true}, {"relay-lan", true, false}};
  uint32_t seq = 10;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    const std::string target = m_share + "/" + tc.name + ".bin";
    const std::string content = systest::RandomBytes(1u << 20, seq);
    const size_t part = 300000;
    const size_t chunk = 10000;  // one poll takes one message: small ones keep relays moving
    auto a = Device(tc.firstRelayed, std::string("first-") + tc.name);
    auto b = Device(tc.secondRelayed, std::string("second-") + tc.name);
    ASSERT_TRUE(a && b);
    const uint32_t seqA = ++seq, seqB = ++seq;
    Message m;
    ASSERT_TRUE(a->Send(OP_REQ_UP_LOAD_FILE, seqA, UploadRecord(target, content)));
    ASSERT_TRUE(a->Recv(m));
    ASSERT_EQ(m.head.opcode, OP_UP_LOAD_ALLOW);
    ASSERT_TRUE(SendData(*a, seqA, content.substr(0, part), 0, chunk));
    ASSERT_TRUE(WaitUntil([&] { return FileSize(target + "tirvan.rename") == long(part); }, 10000));

    ASSERT_TRUE(b->Send(OP_REQ_UP_LOAD_FILE, seqB, UploadRecord(target, content)));
    ASSERT_TRUE(b->Recv(m));
    ASSERT_EQ(m.head.opcode, OP_UP_LOAD_ALLOW);
    EXPECT_EQ(wire::GetU32(reinterpret_cast<const uint8_t*>(m.body.data())), part)
        << "what the first device wrote is resumed";

    ASSERT_TRUE(a->Recv(m)) << "the first device was not told: " << a->LastError();
    EXPECT_EQ(m.head.opcode, OP_UP_LOAD_ERROR);
    EXPECT_EQ(m.head.seq, seqA);
    EXPECT_EQ(m.head.length, 266);
    EXPECT_EQ(Code(m), 0xFFFF);
    EXPECT_EQ(Count(m_service->Log(), "upload " + std::to_string(seqA) + " of " + target +
                                          " taken over by upload " + std::to_string(seqB)),
              1u)
        << m_service->Log();

    // The first device goes on as if nothing happened: its data and end go nowhere.
    ASSERT_TRUE(SendData(*a, seqA, content.substr(0, 5000) + std::string(part, 'x'), 0, chunk));
    ASSERT_TRUE(a->Send(OP_OVER_UP_LOAD_FILE, seqA, std::string(1, '\0')));
    ASSERT_TRUE(SendData(*b, seqB, content, part, chunk));
    ASSERT_TRUE(b->Send(OP_OVER_UP_LOAD_FILE, seqB, std::string(1, '\0')));
    EXPECT_TRUE(WaitUntil([&] { return FileSize(target) == long(content.size()); }, 20000));
    EXPECT_TRUE(ReadFile(target) == content);
    EXPECT_EQ(FileSize(target + "tirvan.rename"), -1);
    EXPECT_EQ(FileSize(target + ".(0).bin"), -1);
    EXPECT_TRUE(m_service->WaitIdle(10000));
  }
}

// The data file, or its folder, goes while the device uploads. The upload ends with the
// upload error reply, which the device client reports as a failure, and the log says
// why; no file appears under the target's name, and nothing is made again.
TEST_F(UploadFaultsTest, AnUploadWhoseFileOrFolderGoesEndsWithAnErrorAndSaysSo) {
  Start(true);
  const std::string content = systest::RandomBytes(3u << 20, 21);
  systest::WriteFile(m_tmp.Sub("local/f.bin"), content);
  namespace fs = std::filesystem;
  const struct {
    const char* name;
    void (*act)(const std::string& folder, const std::string& dataFile);
    const char* logged;
  } cases[] = {
      {"data file removed", [](const std::string&, const std::string& data) { fs::remove(data); },
       "was removed."},
      {"folder removed", [](const std::string& folder, const std::string&) { fs::remove_all(folder); },
       "was removed."},
      {"folder moved away",
       [](const std::string& folder, const std::string&) { fs::rename(folder, folder + "-moved"); },
       "was removed or moved."},
  };
  uint32_t seq = 30;
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    const std::string folder = m_share + "/" + std::to_string(seq);
    const std::string target = folder + "/f.bin";
    auto c = m_service->Lan();
    ASSERT_TRUE(c);
    device::UploadOptions opt;
    bool acted = false;
    opt.progress = [&](uint64_t, uint64_t) {
      if (!acted) tc.act(folder, target + "tirvan.rename");
      acted = true;
    };
    device::UploadResult r;
    device::UploadError err;
    EXPECT_FALSE(device::UploadFile(*c, ++seq, m_tmp.Sub("local/f.bin"), target, opt, r, &err))
        << "the upload was taken for stored";
    EXPECT_TRUE(acted);
    EXPECT_EQ(err.failure, device::Failure::Refused) << err.text;
    EXPECT_EQ(err.code, 0xFFFF);
    EXPECT_EQ(FileSize(target), -1);
    EXPECT_EQ(FileSize(folder + "-moved/f.bin"), -1);
    const std::string log = m_service->Log();
    EXPECT_EQ(Count(log, "upload of " + target + " ended: its data file " + target +
                             "tirvan.rename " + tc.logged),
              1u)
        << log;
    EXPECT_EQ(Count(log, "upload of " + target + " ended with"), 0u) << "kept for a resume?";
    int entries = -1, downloads = -1;
    ASSERT_TRUE(m_service->Transfers(&entries, &downloads));
    EXPECT_EQ(entries, 0);
  }
  // The folder that was removed was not made again.
  EXPECT_FALSE(fs::exists(m_share + "/31"));
  EXPECT_FALSE(fs::exists(m_share + "/32"));

  // Through the relay the data come by polling, with nobody to answer: the device is told
  // on the relay all the same.
  const std::string target = m_share + "/relayed.bin";
  auto c = m_service->Relay(*m_central, "remover");
  ASSERT_TRUE(c);
  Message m;
  ASSERT_TRUE(c->Send(OP_REQ_UP_LOAD_FILE, 40, UploadRecord(target, content)));
  ASSERT_TRUE(c->Recv(m));
  ASSERT_EQ(m.head.opcode, OP_UP_LOAD_ALLOW);
  ASSERT_TRUE(SendData(*c, 40, content.substr(0, 100000), 0, 10000));
  ASSERT_TRUE(WaitUntil([&] { return FileSize(target + "tirvan.rename") == 100000; }, 10000));
  ASSERT_TRUE(fs::remove(target + "tirvan.rename"));
  // The service looks for the data file once per 64 KiB written (the fixture's setting):
  // a little more than that brings the error.
  ASSERT_TRUE(SendData(*c, 40, content.substr(100000, 70000), 0, 10000));
  ASSERT_TRUE(c->Recv(m)) << c->LastError();
  EXPECT_EQ(m.head.opcode, OP_UP_LOAD_ERROR);
  EXPECT_EQ(m.head.seq, 40u);
  EXPECT_EQ(Code(m), 0xFFFF);
  EXPECT_EQ(Count(m_service->Log(), "upload of " + target + " ended: its data file " + target +
                                        "tirvan.rename was removed."),
            1u);
}

// A share whose folder is missing, as when its disk is not mounted: an upload into it
// is refused and creates nothing, neither the share's folder nor any below it, on the
// file system beneath. Once the folder is there, uploads make folders below it. A
// missing folder that lies in another share's (a default sub-folder) is made again.
TEST_F(UploadFaultsTest, AShareWhoseFolderIsMissingRefusesUploadsAndCreatesNothing) {
  m_tmp.MakeDir("mnt");
  m_tmp.MakeDir("mnt/disk");
  const std::string disk = m_tmp.Sub("mnt/disk");
  const std::string unmounted = disk + "/photos";
  m_tmp.MakeDir("mnt/disk/photos");
  Start(false, {unmounted});
  // The disk goes: its mount point stays, empty.
  ASSERT_TRUE(std::filesystem::remove(unmounted));
  auto c = m_service->Lan();
  ASSERT_TRUE(c);
  const std::string content = "taken by the disk beneath";
  uint32_t seq = 50;
  for (const std::string& target :
       {unmounted + "/x.txt", unmounted + "/2024/x.txt", unmounted + "/2024/june/x.txt"}) {
    SCOPED_TRACE(target);
    Message m;
    ASSERT_TRUE(c->Send(OP_REQ_UP_LOAD_FILE, ++seq, UploadRecord(target, content)));
    ASSERT_TRUE(c->Recv(m));
    EXPECT_EQ(m.head.opcode, OP_UP_LOAD_ERROR);
    EXPECT_EQ(Code(m), 4117);
    EXPECT_TRUE(std::filesystem::is_empty(disk)) << "created on the disk beneath";
    EXPECT_EQ(Count(m_service->Log(), "upload of " + target + " refused: the share folder " +
                                          unmounted + " does not exist."),
              1u);
  }

  // Mounted: the upload makes its folders below the share's own.
  m_tmp.MakeDir("mnt/disk/photos");
  device::UploadResult r;
  device::UploadError err;
  systest::WriteFile(m_tmp.Sub("local/y.txt"), content);
  ASSERT_TRUE(device::UploadFile(*c, ++seq, m_tmp.Sub("local/y.txt"), unmounted + "/2024/y.txt",
                                 device::UploadOptions{}, r, &err))
      << err.text;
  EXPECT_EQ(ReadFile(unmounted + "/2024/y.txt"), content);

  // A default sub-folder lies in the default folder: gone, it is made again below it.
  const std::string pictures = m_service->DefaultFolder() + "/Pictures";
  ASSERT_TRUE(std::filesystem::remove(pictures));
  ASSERT_TRUE(device::UploadFile(*c, ++seq, m_tmp.Sub("local/y.txt"), "$DEFAULT_PIC$/y.txt",
                                 device::UploadOptions{}, r, &err))
      << err.text;
  EXPECT_EQ(ReadFile(pictures + "/y.txt"), content);
}

}  // namespace
