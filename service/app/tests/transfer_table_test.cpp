#include "app/transfer_table.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "app_fixture.h"
#include "comm/errors.h"

namespace {

// A record whose file is the write end of a pipe, so a test can see it being closed.
struct Probe {
  TransRecordPtr rec;
  int readEnd = -1;
  ~Probe() {
    if (readEnd >= 0) ::close(readEnd);
  }
  // True once the record's file is closed (the pipe then reads as ended).
  bool Closed() const {
    char c;
    return ::read(readEnd, &c, 1) == 0;
  }
};

Probe MakeProbe(TransKind kind, const TransOrigin& origin, const std::string& path) {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  Probe p;
  p.rec = std::make_shared<TransRecord>();
  p.rec->kind = kind;
  p.rec->origin = origin;
  p.rec->path = path;
  p.rec->fd = fds[1];
  p.readEnd = fds[0];
  return p;
}

class TransferTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TransTableClear();
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
  }
  void TearDown() override {
    TransTableClear();
    SetPendingDownloadTtl(std::chrono::minutes(10));
    g_Log.Close();
  }
  std::string LogText() const { return m_dir.Read("Log.txt"); }

  support::TempDir m_dir;
};

TEST_F(TransferTableTest, SameNumberKindAndOriginKeepsTheFirst) {
  TransOrigin lan = TransOrigin::Lan(3);
  Probe first = MakeProbe(TransKind::Upload, lan, "first");
  Probe second = MakeProbe(TransKind::Upload, lan, "second");
  EXPECT_TRUE(TransInsert(7, first.rec));
  EXPECT_FALSE(TransInsert(7, second.rec));
  EXPECT_EQ(TransFind(7, TransKind::Upload, lan)->path, "first");
  EXPECT_EQ(TransSize(), 1u);
}

TEST_F(TransferTableTest, DownloadsNeverTakeUploadsOrOtherOrigins) {
  TransOrigin a = TransOrigin::Lan(1);
  TransOrigin b = TransOrigin::Lan(2);
  Probe upload = MakeProbe(TransKind::Upload, a, "upload");
  Probe pendingA = MakeProbe(TransKind::PendingDownload, a, "dl-a");
  Probe pendingB = MakeProbe(TransKind::PendingDownload, b, "dl-b");
  ASSERT_TRUE(TransInsert(5, upload.rec));
  ASSERT_TRUE(TransInsert(5, pendingA.rec));
  ASSERT_TRUE(TransInsert(5, pendingB.rec));

  EXPECT_EQ(TransTake(5, TransKind::PendingDownload, TransOrigin::Udt(1)), nullptr);
  TransRecordPtr taken = TransTake(5, TransKind::PendingDownload, b);
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(taken->path, "dl-b");
  EXPECT_FALSE(pendingB.Closed());  // the taker owns the file now
  EXPECT_TRUE(TransErase(5, TransKind::PendingDownload, a));
  EXPECT_TRUE(pendingA.Closed());
  EXPECT_FALSE(TransErase(5, TransKind::PendingDownload, a));
  EXPECT_EQ(TransCount(TransKind::Upload), 1u);
  EXPECT_FALSE(upload.Closed());
}

TEST_F(TransferTableTest, ClosingAnOriginEndsAllOfItsEntries) {
  Probe up1 = MakeProbe(TransKind::Upload, TransOrigin::Lan(9), "/s/up1");
  Probe up2 = MakeProbe(TransKind::Upload, TransOrigin::Lan(9), "/s/up2");
  Probe pending = MakeProbe(TransKind::PendingDownload, TransOrigin::Lan(9), "/s/dl");
  Probe other = MakeProbe(TransKind::Upload, TransOrigin::Lan(10), "/s/other");
  Probe udt = MakeProbe(TransKind::Upload, TransOrigin::Udt(4), "/s/udt");
  Probe udt2 = MakeProbe(TransKind::PendingDownload, TransOrigin::Udt(4), "/s/udt2");
  ASSERT_TRUE(TransInsert(1, up1.rec));
  ASSERT_TRUE(TransInsert(2, up2.rec));
  ASSERT_TRUE(TransInsert(3, pending.rec));
  ASSERT_TRUE(TransInsert(4, other.rec));
  ASSERT_TRUE(TransInsert(5, udt.rec));
  ASSERT_TRUE(TransInsert(6, udt2.rec));

  TransCloseConnection(nullptr, 9);
  EXPECT_TRUE(up1.Closed());
  EXPECT_TRUE(up2.Closed());
  EXPECT_TRUE(pending.Closed());
  EXPECT_FALSE(other.Closed());
  EXPECT_EQ(TransSize(), 3u);

  TransCloseUdtSocket(4);
  EXPECT_TRUE(udt.Closed());
  EXPECT_TRUE(udt2.Closed());
  EXPECT_EQ(TransSize(), 1u);

  std::string log = LogText();
  for (const char* path : {"/s/up1", "/s/up2", "/s/dl"}) {
    EXPECT_NE(log.find(std::string("close tcp file trans, file ") + path), std::string::npos);
  }
  EXPECT_NE(log.find("close p2p file trans, sock 4, file /s/udt2"), std::string::npos);
}

TEST_F(TransferTableTest, IdlePendingDownloadsExpireUploadsStay) {
  // Long enough that a loaded machine never lets the entry expire before it is counted.
  SetPendingDownloadTtl(std::chrono::milliseconds(1000));
  Probe pending = MakeProbe(TransKind::PendingDownload, TransOrigin::Lan(1), "dl");
  Probe upload = MakeProbe(TransKind::Upload, TransOrigin::Lan(1), "up");
  ASSERT_TRUE(TransInsert(1, pending.rec));
  ASSERT_TRUE(TransInsert(2, upload.rec));
  EXPECT_EQ(TransCount(TransKind::PendingDownload), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  TransExpirePending();
  EXPECT_EQ(TransCount(TransKind::PendingDownload), 0u);
  EXPECT_TRUE(pending.Closed());
  EXPECT_EQ(TransCount(TransKind::Upload), 1u);
  EXPECT_FALSE(upload.Closed());
}

TEST_F(TransferTableTest, OriginOfAMessage) {
  uint8_t prefix[72] = {};
  std::memcpy(prefix, "device-7", 8);
  EXPECT_EQ(TransOriginOf(prefix, 72, nullptr, 12, 0), TransOrigin::Udt(12));
  EXPECT_EQ(TransOriginOf(prefix, 72, nullptr, -1, 0), TransOrigin::Relay("device-7"));
  EXPECT_EQ(TransOriginOf(prefix, 10, nullptr, -1, 0), TransOrigin{});  // no whole prefix
  EXPECT_EQ(TransOriginOf(nullptr, 0, nullptr, -1, 1), TransOrigin{});  // polled
}

// The hook the service installs ends a closing connection's entries, whatever the
// close path.
int AddEntriesForConn(const uint8_t* body, uint32_t bodyLen, const MsgHead* head,
                      bufferevent* conn, uint8_t** reply, int32_t* replyLen, int32_t* udt,
                      uint8_t* direct) {
  TransOrigin origin = TransOriginOf(body, bodyLen, conn, *udt, *direct);
  for (uint32_t seq : {head->seq, head->seq + 1}) {
    auto rec = std::make_shared<TransRecord>();
    rec->kind = TransKind::Upload;
    rec->origin = origin;
    rec->path = "conn-entry";
    TransInsert(seq, rec);
  }
  *reply = AllocReply(8);
  MsgHead{8, head->opcode, head->seq}.Encode(*reply);
  *replyLen = 8;
  return 0;
}

TEST_F(TransferTableTest, LocalServerCloseHookEndsEveryEntryOfTheConnection) {
  OS_ClearRegistry();
  ASSERT_EQ(OS_RegFunction(AddEntriesForConn, 0x0101), ERR_OK);
  TransTableInit();
  {
    apptest::ServerRunner server;
    support::MsgClient staying = server.Connect();
    support::MsgClient leaving = server.Connect();
    ASSERT_TRUE(staying.Send(0x0101, 10));
    ASSERT_TRUE(leaving.Send(0x0101, 20));
    ASSERT_TRUE(staying.Recv() && leaving.Recv());
    EXPECT_EQ(TransSize(), 4u);
    leaving.Reset();
    EXPECT_TRUE(apptest::WaitFor([] { return TransSize() == 2; }));
    EXPECT_EQ(g_TransMap.count(10) + g_TransMap.count(11), 2u);
  }
  // The server's stop closes the last connection too.
  EXPECT_EQ(TransSize(), 0u);
  OS_SetConnCloseHook(nullptr);
  OS_ClearRegistry();
}

}  // namespace
