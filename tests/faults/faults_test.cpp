// Faults around the running service, with the built programs: the central server killed
// and started again during relayed transfers, the service killed during uploads and
// downloads, a full disk under an upload, and the database made read-only while the
// service runs. Whatever happens, no file is corrupted, what was interrupted resumes to
// a byte-identical copy, and the service keeps answering.
//
// The disk and database faults mount file systems, in a mount namespace of the test
// process's own (inherited by the service it starts), so they need root; elsewhere they
// are skipped.
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/md5.h"
#include "app/transfer_table.h"
#include "comm/opcodes.h"
#include "comm/relay_client.h"
#include "comm/wire.h"
#include "device/relay_transport.h"
#include "device/upload.h"
#include "system_harness.h"
#include "upload_messages.h"

namespace {

using device::DeviceClient;
using device::DownloadOptions;
using device::DownloadResult;
using device::UploadError;
using device::UploadOptions;
using device::UploadResult;
using systest::FileSize;
using systest::ReadFile;
using systest::WaitUntil;

// Runs the rest of this process in a mount namespace of its own, so that its mounts
// vanish with it. False when that is not allowed here.
bool PrivateMounts() {
  static const bool ok = [] {
    if (::unshare(CLONE_NEWNS) != 0) return false;
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }();
  return ok;
}

uint32_t U32(const std::string& body, size_t at = 0) {
  return wire::GetU32(reinterpret_cast<const uint8_t*>(body.data()) + at);
}

using faulttest::SendData;
using faulttest::UploadRecord;

class FaultsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (m_service) {
      m_service->Stop();
      EXPECT_EQ(m_service->Reports(), "");
    }
  }

  // The rows of the transfer log, read beside the service.
  static int TransLogRows(const std::string& db) {
    sqlite3* h = nullptr;
    int rows = -1;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(h, 5000);
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(h, "select count(*) from qz_trans", -1, &st, nullptr) == SQLITE_OK &&
          sqlite3_step(st) == SQLITE_ROW) {
        rows = sqlite3_column_int(st, 0);
      }
      sqlite3_finalize(st);
    }
    sqlite3_close(h);
    return rows;
  }

  static std::string IntegrityCheck(const std::string& db) {
    sqlite3* h = nullptr;
    std::string result;
    // Read-write, as the service opens it: a transaction the kill cut off is rolled back.
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(h, "pragma integrity_check", -1, &st, nullptr) == SQLITE_OK &&
          sqlite3_step(st) == SQLITE_ROW) {
        result = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      }
      sqlite3_finalize(st);
    }
    sqlite3_close(h);
    return result;
  }

  support::TempDir m_tmp;
  std::unique_ptr<systest::Central> m_central;
  std::unique_ptr<systest::Service> m_service;
};

// The central server dies while a relayed download and a relayed upload run, and a LAN
// download beside them. The LAN download goes on, the relay comes back once the server
// is up again, the relayed download's job ends, and both relayed transfers resume from
// what had arrived to byte-identical copies.
TEST_F(FaultsTest, CentralKilledAndRestartedDuringRelayedTransfers) {
  m_tmp.MakeDir("share");
  m_tmp.MakeDir("share/up");
  m_tmp.MakeDir("local");
  const std::string share = m_tmp.Sub("share");
  const std::string down = systest::RandomBytes(2u << 20, 1);
  const std::string up = systest::RandomBytes(6u << 20, 2);
  systest::WriteFile(share + "/down.bin", down);
  systest::WriteFile(m_tmp.Sub("local/up.bin"), up);

  m_central = std::make_unique<systest::Central>(m_tmp, "fault@tirvan.test", "fault");
  // Every relayed frame and poll answered 1 ms late, so that the transfers are still
  // moving when the server is killed.
  const std::vector<std::string> slow = {"--answer-delay", "1"};
  ASSERT_TRUE(m_central->Start(slow));
  systest::ServiceOptions o;
  o.shares = {share};
  o.central = m_central.get();
  // A logon every 200 ms and a new relay connection 100 ms after one ends, so the relay
  // is back within a second of the server's return; relayed uploads are polled at once.
  o.env = {{"TIRVAN_HEARTBEAT_MS", "200"},
           {kRelayRetryEnv, "100"},
           {"TIRVAN_UPLOAD_POLL_MS", "20"},
           {"TIRVAN_UPLOAD_BACKOFF_MS", "10"}};
  m_service = std::make_unique<systest::Service>(m_tmp, o);
  ASSERT_TRUE(m_service->Start());
  ASSERT_TRUE(WaitUntil([&] { return !m_central->LoggedOnStation().empty(); }, 20000));
  ASSERT_TRUE(m_service->WaitRelay(*m_central, 20000)) << m_central->Output();
  const pid_t pid = m_service->pid();
  const systest::ProcessView baseline = m_service->View();

  std::atomic<uint64_t> downloaded{0}, uploaded{0};
  std::atomic<bool> lanDone{false};
  std::thread relayDown([&] {
    auto c = m_service->Relay(*m_central, "downloader");
    ASSERT_TRUE(c);
    DownloadOptions opt;
    opt.progress = [&](uint64_t done, uint64_t) { downloaded = done; };
    DownloadResult r;
    EXPECT_FALSE(c->Download(1, share + "/down.bin", m_tmp.Sub("local/down.bin"), opt, r))
        << "the download ended before the server was killed";
  });
  std::thread relayUp([&] {
    auto c = m_service->Relay(*m_central, "uploader");
    ASSERT_TRUE(c);
    UploadOptions opt;
    opt.chunk = 4096;  // one poll fetches one message: small ones keep the upload going
    UploadResult r;
    UploadError err;
    EXPECT_FALSE(device::UploadFile(*c, 2, m_tmp.Sub("local/up.bin"), share + "/up/up.bin", opt, r,
                                    &err))
        << "the upload ended before the server was killed";
  });
  // Both are midway at the service: the download sent, the upload written in part.
  ASSERT_TRUE(WaitUntil(
      [&] {
        uploaded = static_cast<uint64_t>(std::max(0LL, FileSize(share + "/up/up.bintirvan.rename")));
        return downloaded > 300000 && uploaded > 300000;
      },
      30000))
      << downloaded << " " << uploaded;
  std::thread lan([&] {
    auto c = m_service->Lan();
    ASSERT_TRUE(c);
    DownloadResult r;
    EXPECT_TRUE(c->Download(3, share + "/down.bin", m_tmp.Sub("local/lan.bin"), DownloadOptions{}, r));
    lanDone = true;
  });
  m_central->Kill();
  relayDown.join();
  relayUp.join();
  lan.join();
  EXPECT_TRUE(ReadFile(m_tmp.Sub("local/lan.bin")) == down);
  EXPECT_EQ(m_service->pid(), pid);

  ASSERT_TRUE(m_central->Start(slow));
  EXPECT_TRUE(m_service->WaitRelay(*m_central, 10000)) << m_central->Output() << m_service->Log();
  // The relayed download's job has ended; the upload's entry waits for its device.
  int entries = -1, downloads = -1;
  EXPECT_TRUE(WaitUntil(
      [&] { return m_service->Transfers(&entries, &downloads) && downloads == 0; }, 10000))
      << downloads;
  EXPECT_EQ(entries, 1);

  // Both resume from what arrived.
  auto c = m_service->Relay(*m_central, "again");
  ASSERT_TRUE(c);
  const long long held = FileSize(m_tmp.Sub("local/down.bin"));
  EXPECT_GT(held, 0);
  DownloadOptions resume;
  resume.mode = DownloadOptions::Mode::Resume;
  DownloadResult dr;
  ASSERT_TRUE(c->Download(4, share + "/down.bin", m_tmp.Sub("local/down.bin"), resume, dr))
      << c->LastError();
  EXPECT_EQ(dr.offset, static_cast<uint32_t>(held));
  EXPECT_TRUE(ReadFile(m_tmp.Sub("local/down.bin")) == down);

  const long long part = FileSize(share + "/up/up.bintirvan.rename");
  EXPECT_GT(part, 0);
  EXPECT_TRUE(ReadFile(share + "/up/up.bintirvan.rename") == up.substr(0, static_cast<size_t>(part)));
  UploadOptions uopt;
  uopt.chunk = 16384;
  UploadResult ur;
  UploadError err;
  ASSERT_TRUE(device::UploadFile(*c, 5, m_tmp.Sub("local/up.bin"), share + "/up/up.bin", uopt, ur,
                                 &err))
      << err.text;
  EXPECT_EQ(ur.offset, static_cast<uint32_t>(part));
  EXPECT_TRUE(WaitUntil([&] { return FileSize(share + "/up/up.bin") == static_cast<long long>(up.size()); },
                        20000));
  EXPECT_TRUE(ReadFile(share + "/up/up.bin") == up);
  EXPECT_EQ(FileSize(share + "/up/up.bintirvan.rename"), -1);

  EXPECT_TRUE(m_service->WaitIdle(10000));
  EXPECT_TRUE(WaitUntil([&] { return m_service->View().fds == baseline.fds; }, 10000))
      << ::testing::PrintToString(m_service->View().fds) << "\n"
      << ::testing::PrintToString(baseline.fds);
  EXPECT_EQ(m_service->pid(), pid);
}

// A device through the relay leaves in the middle of an upload and never comes back for
// it. Nothing closes the relay connection the upload came on, so only its idle time ends
// it: then its file is closed and its entry gone (the tray no longer sees a transfer),
// and the data file keeps what arrived for a later resume, which ends byte-identical.
TEST_F(FaultsTest, AbandonedRelayedUploadEndsAfterItsIdleTimeAndResumesLater) {
  m_tmp.MakeDir("share");
  m_tmp.MakeDir("local");
  const std::string share = m_tmp.Sub("share");
  const std::string content = systest::RandomBytes(1u << 20, 8);
  systest::WriteFile(m_tmp.Sub("local/a.bin"), content);
  m_central = std::make_unique<systest::Central>(m_tmp, "gone@tirvan.test", "gone");
  ASSERT_TRUE(m_central->Start());
  systest::ServiceOptions o;
  o.shares = {share};
  o.central = m_central.get();
  o.env = {{"TIRVAN_UPLOAD_POLL_MS", "20"},
           {"TIRVAN_UPLOAD_BACKOFF_MS", "10"},
           // Long enough that a loaded machine's slow polls never look idle mid-upload.
           {kRelayedUploadIdleEnv, "2000"}};
  m_service = std::make_unique<systest::Service>(m_tmp, o);
  ASSERT_TRUE(m_service->Start());
  ASSERT_TRUE(WaitUntil([&] { return !m_central->LoggedOnStation().empty(); }, 20000));
  ASSERT_TRUE(m_service->WaitRelay(*m_central, 20000));
  ASSERT_TRUE(m_service->WaitIdle(5000));
  const systest::ProcessView baseline = m_service->View();

  const std::string target = share + "/a.bin";
  {
    auto c = m_service->Relay(*m_central, "leaver");
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->Send(OP_REQ_UP_LOAD_FILE, 1, UploadRecord(target, content)));
    device::Message m;
    ASSERT_TRUE(c->Recv(m));
    ASSERT_EQ(m.head.opcode, OP_UP_LOAD_ALLOW);
    ASSERT_TRUE(SendData(*c, 1, content.substr(0, 300000), 0, 10000));
    ASSERT_TRUE(WaitUntil([&] { return FileSize(target + "tirvan.rename") == 300000; }, 10000));
    int entries = -1, downloads = -1;
    ASSERT_TRUE(m_service->Transfers(&entries, &downloads));
    EXPECT_EQ(entries, 1);
  }  // gone without an end
  EXPECT_TRUE(m_service->WaitIdle(15000)) << "the abandoned upload stays open";
  EXPECT_TRUE(WaitUntil([&] { return m_service->View().fds == baseline.fds; }, 5000))
      << ::testing::PrintToString(m_service->View().fds);
  EXPECT_EQ(FileSize(target + "tirvan.rename"), 300000);
  EXPECT_EQ(FileSize(target), -1);

  auto c = m_service->Relay(*m_central, "back");
  ASSERT_TRUE(c);
  UploadOptions opt;
  opt.chunk = device::kRelayUploadChunk;
  UploadResult r;
  UploadError err;
  ASSERT_TRUE(device::UploadFile(*c, 2, m_tmp.Sub("local/a.bin"), target, opt, r, &err)) << err.text;
  EXPECT_EQ(r.offset, 300000u);
  EXPECT_TRUE(WaitUntil([&] { return FileSize(target) == static_cast<long long>(content.size()); },
                        10000));
  EXPECT_TRUE(ReadFile(target) == content);
  EXPECT_TRUE(m_service->WaitIdle(5000));
}

// The service is killed with SIGKILL while uploads and downloads are moving. Started
// again, every upload resumes from the bytes its data file holds (always a prefix of the
// file), every download from the bytes the device holds, and all end byte-identical.
// Uploads into the default picture folder start again from 0, as every start cleans it.
TEST_F(FaultsTest, ServiceKilledDuringTransfersResumesThemByteIdentical) {
  m_tmp.MakeDir("share");
  m_tmp.MakeDir("local");
  const std::string share = m_tmp.Sub("share");
  systest::ServiceOptions o;
  o.shares = {share};
  m_service = std::make_unique<systest::Service>(m_tmp, o);
  ASSERT_TRUE(m_service->Start());
  const std::string pictures = m_service->DefaultFolder() + "/Pictures";

  constexpr int kUploads = 6;
  constexpr int kDownloads = 3;
  std::vector<std::string> contents, targets;
  for (int i = 0; i < kUploads; ++i) {
    contents.push_back(systest::RandomBytes((3u << 20) + static_cast<size_t>(i) * 1000, 10 + i));
    systest::WriteFile(m_tmp.Sub("local/u" + std::to_string(i)), contents.back());
    targets.push_back(i == 0 ? pictures + "/u0" : share + "/u" + std::to_string(i));
  }
  const std::string big = systest::RandomBytes(16u << 20, 3);
  systest::WriteFile(share + "/big.bin", big);

  // Each transfer holds once it is well under way until the service has been killed, so
  // none can end before the kill however slowly this machine runs.
  std::atomic<int> moving{0};
  std::atomic<bool> killed{false};
  auto holdUntilKilled = [&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!killed && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  std::vector<std::thread> threads;
  struct Joiner {
    std::atomic<bool>& killed;
    std::vector<std::thread>& threads;
    ~Joiner() {
      killed = true;
      for (std::thread& t : threads) {
        if (t.joinable()) t.join();
      }
    }
  } joiner{killed, threads};
  for (int i = 0; i < kUploads; ++i) {
    threads.emplace_back([&, i] {
      auto c = m_service->Lan();
      ASSERT_TRUE(c);
      const auto seq = static_cast<uint32_t>(10 + i);
      const std::string& content = contents[static_cast<size_t>(i)];
      ASSERT_TRUE(c->Send(OP_REQ_UP_LOAD_FILE, seq, UploadRecord(targets[static_cast<size_t>(i)], content)));
      device::Message m;
      ASSERT_TRUE(c->Recv(m));
      ASSERT_EQ(m.head.opcode, OP_UP_LOAD_ALLOW);
      // Small messages at a steady pace until the service is gone: the kill lands between
      // and inside them, long before the end.
      for (size_t at = 0; at < content.size(); at += 4096) {
        if (at == (1u << 20)) holdUntilKilled();
        if (!c->Send(OP_UP_LOAD_FILE, seq, std::string(12, '\0') + content.substr(at, 4096))) break;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
  }
  for (int i = 0; i < kDownloads; ++i) {
    threads.emplace_back([&, i] {
      auto c = m_service->Lan();
      ASSERT_TRUE(c);
      DownloadOptions opt;
      bool counted = false;
      opt.progress = [&](uint64_t done, uint64_t) {
        if (!counted && done > 200000) {
          counted = true;
          ++moving;
          holdUntilKilled();
        }
        // A slow reader, so the kill finds the download midway.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      };
      DownloadResult r;
      c->Download(static_cast<uint32_t>(20 + i), share + "/big.bin",
                  m_tmp.Sub("local/d" + std::to_string(i)), opt, r);
    });
  }
  // Every download midway at the device, every upload midway on the disk.
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (const std::string& t : targets) {
          if (FileSize(t + "tirvan.rename") < 100000) return false;
        }
        return moving == kDownloads;
      },
      30000))
      << moving;
  ASSERT_TRUE(m_service->Kill());
  killed = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(IntegrityCheck(m_service->DbPath()), "ok");

  // What the data files held at the kill is a prefix of each file.
  for (int i = 1; i < kUploads; ++i) {
    const std::string data = targets[static_cast<size_t>(i)] + "tirvan.rename";
    long long held = FileSize(data);
    ASSERT_GT(held, 0) << data;
    EXPECT_TRUE(ReadFile(data) == contents[static_cast<size_t>(i)].substr(0, static_cast<size_t>(held)));
    EXPECT_EQ(FileSize(targets[static_cast<size_t>(i)]), -1) << "an interrupted upload got its name";
  }

  ASSERT_TRUE(m_service->Start());
  EXPECT_EQ(FileSize(pictures + "/u0tirvan.rename"), -1);
  for (int i = 0; i < kUploads; ++i) {
    auto c = m_service->Lan();
    ASSERT_TRUE(c);
    UploadResult r;
    UploadError err;
    const long long held = FileSize(targets[static_cast<size_t>(i)] + "tirvan.rename");
    ASSERT_TRUE(device::UploadFile(*c, static_cast<uint32_t>(30 + i),
                                   m_tmp.Sub("local/u" + std::to_string(i)),
                                   targets[static_cast<size_t>(i)], UploadOptions{}, r, &err))
        << err.text;
    EXPECT_EQ(r.offset, static_cast<uint32_t>(i == 0 ? 0 : held)) << i;
    EXPECT_TRUE(ReadFile(targets[static_cast<size_t>(i)]) == contents[static_cast<size_t>(i)]) << i;
    EXPECT_EQ(FileSize(targets[static_cast<size_t>(i)] + "tirvan.rename"), -1);
    EXPECT_EQ(FileSize(targets[static_cast<size_t>(i)] + "tirvan.renametmp"), -1);
  }
  for (int i = 0; i < kDownloads; ++i) {
    auto c = m_service->Lan();
    ASSERT_TRUE(c);
    const std::string local = m_tmp.Sub("local/d" + std::to_string(i));
    const long long held = FileSize(local);
    EXPECT_GT(held, 0);
    EXPECT_LT(held, static_cast<long long>(big.size()));
    DownloadOptions opt;
    opt.mode = DownloadOptions::Mode::Resume;
    DownloadResult r;
    ASSERT_TRUE(c->Download(static_cast<uint32_t>(40 + i), share + "/big.bin", local, opt, r));
    EXPECT_EQ(r.offset, static_cast<uint32_t>(held));
    EXPECT_TRUE(ReadFile(local) == big);
  }
  // Only what completed is logged: the uploads and downloads after the restart.
  EXPECT_EQ(TransLogRows(m_service->DbPath()), kUploads + kDownloads);
  EXPECT_TRUE(m_service->WaitIdle(5000));
}

// A share on a small file system. An upload larger than the free space is refused at
// once; two that fit alone but not together both start, and the one that meets the full
// disk is told so and keeps a correct prefix, which resumes to a byte-identical file
// once there is room. Nothing half-written ever gets the target's name.
TEST_F(FaultsTest, FullDiskRefusesClearlyAndCorruptsNothing) {
  if (!PrivateMounts()) GTEST_SKIP() << "mounting needs root";
  m_tmp.MakeDir("small");
  const std::string small = m_tmp.Sub("small");
  ASSERT_EQ(::mount("tirvan-full", small.c_str(), "tmpfs", 0, "size=2m"), 0) << std::strerror(errno);
  systest::ServiceOptions o;
  o.shares = {small};
  m_service = std::make_unique<systest::Service>(m_tmp, o);
  ASSERT_TRUE(m_service->Start());
  auto c = m_service->Lan();
  ASSERT_TRUE(c);

  // More than the disk holds: refused before anything is made.
  const std::string huge(3u << 20, 'h');
  ASSERT_TRUE(c->Send(OP_REQ_UP_LOAD_FILE, 1, UploadRecord(small + "/huge.bin", huge)));
  device::Message m;
  ASSERT_TRUE(c->Recv(m));
  EXPECT_EQ(m.head.opcode, OP_UP_LOAD_ERROR);
  EXPECT_EQ(wire::GetU16(reinterpret_cast<const uint8_t*>(m.body.data())), 0xFFFF);
  EXPECT_TRUE(std::filesystem::is_empty(small));

  // Each fits the free space when announced, both together do not.
  const std::string a = systest::RandomBytes(1200u << 10, 4);
  const std::string b = systest::RandomBytes(1000u << 10, 5);
  auto ca = m_service->Lan();
  auto cb = m_service->Lan();
  ASSERT_TRUE(ca && cb);
  for (auto& [client, seq, name, content] :
       std::vector<std::tuple<DeviceClient*, uint32_t, std::string, const std::string*>>{
           {ca.get(), 2, "a.bin", &a}, {cb.get(), 3, "b.bin", &b}}) {
    ASSERT_TRUE(client->Send(OP_REQ_UP_LOAD_FILE, seq, UploadRecord(small + "/" + name, *content)));
    ASSERT_TRUE(client->Recv(m));
    ASSERT_EQ(m.head.opcode, OP_UP_LOAD_ALLOW)
        << name << " code " << wire::GetU16(reinterpret_cast<const uint8_t*>(m.body.data()));
    EXPECT_EQ(U32(m.body), 0u);
  }
  ASSERT_TRUE(SendData(*ca, 2, a, 0));
  ASSERT_TRUE(ca->Send(OP_OVER_UP_LOAD_FILE, 2, std::string(1, '\0')));
  std::vector<std::string> shares;
  ASSERT_TRUE(ca->GetShares(shares));
  EXPECT_TRUE(ReadFile(small + "/a.bin") == a);

  // The second meets the full disk. The device hears of it: an upload error for its
  // number comes before the answer to its next request.
  ASSERT_TRUE(SendData(*cb, 3, b, 0));
  ASSERT_TRUE(cb->Send(OP_OVER_UP_LOAD_FILE, 3, std::string(1, '\0')));
  ASSERT_TRUE(cb->Send(OP_GET_SHARE_INFO, 4, ""));
  std::vector<device::Message> answers;
  while (answers.empty() || answers.back().head.opcode != OP_GET_SHARE_INFO) {
    ASSERT_TRUE(cb->Recv(m)) << cb->LastError();
    answers.push_back(m);
  }
  ASSERT_EQ(answers.size(), 2u) << "the full disk went unreported";
  EXPECT_EQ(answers[0].head.opcode, OP_UP_LOAD_ERROR);
  EXPECT_EQ(answers[0].head.seq, 3u);
  EXPECT_EQ(wire::GetU16(reinterpret_cast<const uint8_t*>(answers[0].body.data())), 0xFFFF);
  EXPECT_EQ(FileSize(small + "/b.bin"), -1);
  const long long held = FileSize(small + "/b.bintirvan.rename");
  ASSERT_GE(held, 0);
  EXPECT_LT(held, static_cast<long long>(b.size()));
  EXPECT_TRUE(ReadFile(small + "/b.bintirvan.rename") == b.substr(0, static_cast<size_t>(held)));
  int entries = -1, downloads = -1;
  ASSERT_TRUE(m_service->Transfers(&entries, &downloads));
  EXPECT_EQ(entries, 0);

  // Room again (the announcement asks for room for the whole file): the upload resumes
  // from its prefix.
  ASSERT_EQ(std::remove((small + "/a.bin").c_str()), 0);
  ASSERT_TRUE(cb->Send(OP_REQ_UP_LOAD_FILE, 5, UploadRecord(small + "/b.bin", b)));
  ASSERT_TRUE(cb->Recv(m));
  ASSERT_EQ(m.head.opcode, OP_UP_LOAD_ALLOW);
  EXPECT_EQ(U32(m.body), static_cast<uint32_t>(held));
  ASSERT_TRUE(SendData(*cb, 5, b, U32(m.body)));
  ASSERT_TRUE(cb->Send(OP_OVER_UP_LOAD_FILE, 5, std::string(1, '\0')));
  ASSERT_TRUE(cb->GetShares(shares));
  EXPECT_TRUE(ReadFile(small + "/b.bin") == b);
  EXPECT_EQ(FileSize(small + "/b.bintirvan.rename"), -1);
  EXPECT_EQ(FileSize(small + "/b.bintirvan.renametmp"), -1);
  m_service->Stop();
  m_service.reset();
  ::umount2(small.c_str(), MNT_DETACH);
}

// The database's folder becomes read-only under the running service. Writers fail and
// say so (the tray's setters answer a failure, transfers complete without their log
// row), readers go on, the service keeps running, and once the folder is writable again
// writes succeed.
TEST_F(FaultsTest, ReadOnlyDatabaseFailsWritersCleanlyAndReadersGoOn) {
  if (!PrivateMounts()) GTEST_SKIP() << "mounting needs root";
  m_tmp.MakeDir("share");
  m_tmp.MakeDir("other");
  m_tmp.MakeDir("local");
  const std::string share = m_tmp.Sub("share");
  const std::string file = systest::RandomBytes(300000, 6);
  systest::WriteFile(share + "/f.bin", file);
  systest::ServiceOptions o;
  o.shares = {share};
  o.logPriority = 700;  // the failed writes' lines
  m_service = std::make_unique<systest::Service>(m_tmp, o);
  ASSERT_TRUE(m_service->Start());
  const pid_t pid = m_service->pid();
  auto result = [&](uint16_t opcode, const std::string& payload) -> long {
    auto r = m_service->Tray(opcode, payload);
    if (!r || r->body.size() != 4) return -2;
    return static_cast<int32_t>(U32(r->body));
  };
  auto download = [&](uint32_t seq) {
    auto c = m_service->Lan();
    DownloadResult r;
    return c && c->Download(seq, share + "/f.bin", m_tmp.Sub("local/f.bin"), DownloadOptions{}, r) &&
           ReadFile(m_tmp.Sub("local/f.bin")) == file;
  };
  ASSERT_TRUE(download(1));
  auto logBefore = m_service->Tray(OP_SHOW_GET_TRANS_LOG);
  ASSERT_TRUE(logBefore);
  ASSERT_EQ(logBefore->body.size(), 300u);
  auto sharesBefore = m_service->Tray(OP_SHOW_GET_SHARE);
  auto defBefore = m_service->Tray(OP_SHOW_GET_DEF_SHARE);
  ASSERT_TRUE(sharesBefore && defBefore);

  const std::string etc = m_service->root() + "/etc";
  ASSERT_EQ(::mount(etc.c_str(), etc.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
  ASSERT_EQ(::mount(nullptr, etc.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
      << std::strerror(errno);

  // Writers answer their failure and change nothing.
  EXPECT_EQ(result(OP_SHOW_SET_SHARE, share + "\r\n" + m_tmp.Sub("other") + "\r\n"), -1);
  std::string def(1300, '\0');
  const std::string other = m_tmp.Sub("other");
  for (size_t field = 0; field < 5; ++field) def.replace(field * 260, other.size(), other);
  EXPECT_EQ(result(OP_SHOW_SET_DEF_SHARE, def), -1);
  EXPECT_EQ(result(OP_SHOW_CLEAR_LOG, ""), 1);
  // A transfer completes all the same; only its log row is missing.
  EXPECT_TRUE(download(2));
  {
    auto c = m_service->Lan();
    ASSERT_TRUE(c);
    systest::WriteFile(m_tmp.Sub("local/up.bin"), file);
    UploadResult r;
    UploadError err;
    ASSERT_TRUE(device::UploadFile(*c, 3, m_tmp.Sub("local/up.bin"), share + "/up.bin",
                                   UploadOptions{}, r, &err))
        << err.text;
    EXPECT_TRUE(ReadFile(share + "/up.bin") == file);
  }
  // Readers go on.
  auto shares = m_service->Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(shares);
  EXPECT_EQ(shares->body, sharesBefore->body);
  auto defs = m_service->Tray(OP_SHOW_GET_DEF_SHARE);
  ASSERT_TRUE(defs);
  EXPECT_EQ(defs->body, defBefore->body);
  auto log = m_service->Tray(OP_SHOW_GET_TRANS_LOG);
  ASSERT_TRUE(log);
  EXPECT_EQ(log->body, logBefore->body);
  {
    auto c = m_service->Lan();
    ASSERT_TRUE(c);
    std::vector<device::FolderEntry> entries;
    EXPECT_TRUE(c->ListFolder(share, entries)) << c->LastError();
    std::vector<std::string> list;
    EXPECT_TRUE(c->GetShares(list));
    EXPECT_EQ(list.size(), 2u);  // the share and the default folder
  }
  EXPECT_EQ(m_service->pid(), pid);
  EXPECT_NE(m_service->Log().find("sqlite get a exception code"), std::string::npos);

  // Writable again: writes succeed.
  ASSERT_EQ(::umount2(etc.c_str(), 0), 0) << std::strerror(errno);
  EXPECT_EQ(result(OP_SHOW_SET_SHARE, share + "\r\n" + other + "\r\n"), 0);
  shares = m_service->Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(shares);
  EXPECT_EQ(shares->body, share + "\r\n" + other + "\r\n");
  EXPECT_TRUE(download(4));
  log = m_service->Tray(OP_SHOW_GET_TRANS_LOG);
  ASSERT_TRUE(log);
  EXPECT_EQ(log->body.size(), 600u);
  EXPECT_EQ(IntegrityCheck(m_service->DbPath()), "ok");

  // Started on a read-only database, the service runs as well: it reads, and its writers
  // fail.
  ASSERT_TRUE(m_service->Stop());
  ASSERT_EQ(::mount(etc.c_str(), etc.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
  ASSERT_EQ(::mount(nullptr, etc.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
      << std::strerror(errno);
  ASSERT_TRUE(m_service->Start()) << m_service->Output();
  shares = m_service->Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(shares);
  EXPECT_EQ(shares->body, share + "\r\n" + other + "\r\n");
  EXPECT_EQ(result(OP_SHOW_SET_SHARE, share + "\r\n"), -1);
  EXPECT_TRUE(download(5));
  ASSERT_TRUE(m_service->Stop());
  EXPECT_EQ(m_service->Reports(), "");
  ASSERT_EQ(::umount2(etc.c_str(), 0), 0) << std::strerror(errno);
  EXPECT_EQ(TransLogRows(m_service->DbPath()), 2);
}

TEST(RelayRetryEnvironmentTest, AValidNumberOfMillisecondsReplacesTheTenSeconds) {
  const struct {
    const char* text;
    unsigned expected;
  } cases[] = {{nullptr, 10000}, {"250", 250}, {"1", 1}, {"0", 10000},
               {"-5", 10000},    {"12ms", 10000}, {"", 10000}, {"99999999999", 10000}};
  for (const auto& c : cases) {
    if (c.text == nullptr) {
      ::unsetenv(kRelayRetryEnv);
    } else {
      ::setenv(kRelayRetryEnv, c.text, 1);
    }
    EXPECT_EQ(RelayClientConfigFromEnvironment().retryMs, c.expected) << (c.text ? c.text : "unset");
  }
  ::unsetenv(kRelayRetryEnv);
}

}  // namespace
