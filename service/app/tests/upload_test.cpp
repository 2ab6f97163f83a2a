#include "app/upload.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/listing.h"
#include "platform/md5.h"
#include "app/transfer_table.h"
#include "app_fixture.h"
#include "app_test_util.h"
#include "comm/errors.h"
#include "comm/opcodes.h"

namespace {

using support::Message;
using support::MsgClient;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

bool PathExists(const std::string& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0;
}

// The sampled digest of content, as a device computes it.
std::string DigestOf(const std::string& content) {
  std::string sampled = content.size() <= 51200
                            ? content
                            : content.substr(0, 25600) + content.substr(content.size() - 25600);
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, U8(sampled), sampled.size());
  Md5Final(ctx);
  return std::string(reinterpret_cast<char*>(ctx.digest), 16);
}

std::string Record(uint32_t size, const std::string& digest, const std::string& path) {
  std::string rec(kUpLoadRequestSize, '\0');
  wire::PutU32(reinterpret_cast<uint8_t*>(rec.data()), size);
  rec.replace(8, 16, digest);
  rec.replace(25, path.size(), path);
  return rec;
}

std::string DataBody(const std::string& data) { return std::string(12, '\0') + data; }

// An answer to an announcement: the offset, or the refusal's code.
struct Answer {
  bool allowed = false;
  uint32_t offset = 0;
  int code = -2;
  bool wellFormed = false;
};

Answer Decode(const MsgHead& head, const std::string& body, uint32_t seq) {
  Answer a;
  const uint8_t* b = U8(body);
  if (head.opcode == OP_UP_LOAD_ALLOW) {
    a.allowed = true;
    a.wellFormed = head.length == 12 && head.seq == seq && body.size() == 4;
    if (body.size() >= 4) a.offset = wire::GetU32(b);
  } else if (head.opcode == OP_UP_LOAD_ERROR && body.size() >= 2) {
    a.code = wire::GetU16(b);
    a.wellFormed = head.length == 266 && head.seq == seq && body.size() == 258 &&
                   body[2] == '0' && body.substr(3) == std::string(255, '\0');
  }
  return a;
}

// A handler called the way a transport calls it, without a local connection: origin
// UDT when udt >= 0, relayed when direct is 0 (body behind a relay prefix), else polled.
struct Call {
  int rc = 0;
  MsgHead head;  // of the reply
  std::string reply;
};

Call Invoke(RegFun fn, uint16_t opcode, uint32_t seq, const std::string& body, int32_t udt,
            uint8_t direct, uint32_t headLength = 0) {
  MsgHead head{static_cast<uint16_t>(headLength != 0 ? headLength : 8 + body.size()), opcode, seq};
  uint8_t* reply = nullptr;
  int32_t replyLen = 0;
  Call c;
  c.rc = fn(body.empty() ? nullptr : U8(body), static_cast<uint32_t>(body.size()), &head, nullptr,
            &reply, &replyLen, &udt, &direct);
  if (reply != nullptr && replyLen >= 8) {
    c.head = MsgHead::Decode(reply);
    c.reply.assign(reinterpret_cast<char*>(reply) + 8, static_cast<size_t>(replyLen) - 8);
  }
  FreeReply(reply);
  return c;
}

std::string RelayPrefix(const std::string& device, uint16_t opcode, uint32_t seq, size_t len) {
  std::string p(72, '\0');
  p.replace(0, device.size(), device);
  MsgHead{static_cast<uint16_t>(len), opcode, seq}.Encode(reinterpret_cast<uint8_t*>(p.data()) + 64);
  return p;
}

std::atomic<uint64_t> g_freeKB{1ull << 40};
int FakeFreeKB(const std::string&, uint64_t* kb) {
  *kb = g_freeKB.load();
  return 0;
}

int FailingRename(const std::string&, const std::string&) {
  errno = EIO;
  return -1;
}

int FailingOpen(const char*, int, mode_t) {
  errno = EMFILE;
  return -1;
}

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    apptest::OpenTestDb(m_dir);
    m_dir.MakeDir("share");
    m_dir.MakeDir("outside");
    m_dir.MakeDir("src");
    m_share = m_dir.Sub("share");
    ASSERT_EQ(SetShareInfo({m_share}), 0);
    OS_ClearRegistry();
    for (auto [fn, op] : std::vector<std::pair<RegFun, uint16_t>>{
             {ReqUpLoadFile, OP_REQ_UP_LOAD_FILE},
             {UpLoadFile, OP_UP_LOAD_FILE},
             {OverUpLoadFile, OP_OVER_UP_LOAD_FILE},
             {GetShareInfo, OP_GET_SHARE_INFO}}) {
      ASSERT_EQ(OS_RegFunction(fn, op), ERR_OK);
    }
    TransTableClear();
    TransTableInit();
    g_freeKB = 1ull << 40;
    SetUpLoadFreeSpaceForTest(FakeFreeKB);
    m_server = std::make_unique<apptest::ServerRunner>();
  }

  void TearDown() override {
    m_server.reset();
    TransTableClear();
    OS_SetConnCloseHook(nullptr);
    OS_ClearRegistry();
    SetUpLoadFreeSpaceForTest(nullptr);
    SetUpLoadRenameForTest(nullptr);
    SetUpLoadOpenForTest(nullptr);
    g_DB.CloseFile();
    g_Log.Close();
  }

  MsgClient Connect() { return m_server->Connect(); }

  Answer Announce(MsgClient& c, uint32_t seq, const std::string& path, const std::string& content) {
    return AnnounceAs(c, seq, path, static_cast<uint32_t>(content.size()), DigestOf(content));
  }
  Answer AnnounceAs(MsgClient& c, uint32_t seq, const std::string& path, uint32_t size,
                    const std::string& digest) {
    EXPECT_TRUE(c.Send(OP_REQ_UP_LOAD_FILE, seq, Record(size, digest, path)));
    std::optional<Message> m = c.Recv();
    if (!m) return Answer{};
    Answer a = Decode(m->head, m->body, seq);
    EXPECT_TRUE(a.wellFormed);
    return a;
  }
  // Sends data in messages of at most chunk bytes.
  void SendData(MsgClient& c, uint32_t seq, const std::string& data, size_t chunk = 65515) {
    for (size_t at = 0; at < data.size(); at += chunk) {
      ASSERT_TRUE(c.Send(OP_UP_LOAD_FILE, seq, DataBody(data.substr(at, chunk))));
    }
  }
  // Ends the upload and waits until the service has handled everything sent before.
  void End(MsgClient& c, uint32_t seq, uint8_t status) {
    ASSERT_TRUE(c.Send(OP_OVER_UP_LOAD_FILE, seq, std::string(1, static_cast<char>(status))));
    Sync(c);
  }
  // A request answered in order on the same connection: what was sent before is done.
  void Sync(MsgClient& c) {
    ASSERT_TRUE(c.Send(OP_GET_SHARE_INFO, 1));
    std::optional<Message> m = c.Recv();
    ASSERT_TRUE(m.has_value());
    ASSERT_EQ(m->head.opcode, OP_GET_SHARE_INFO);
  }
  // A whole upload on c: announce, data from the offset, end.
  Answer Upload(MsgClient& c, uint32_t seq, const std::string& path, const std::string& content) {
    Answer a = Announce(c, seq, path, content);
    if (!a.allowed) return a;
    SendData(c, seq, content.substr(std::min<size_t>(a.offset, content.size())));
    End(c, seq, 0);
    return a;
  }

  struct Row {
    int type;
    std::string file;
    long long size;
  };
  static std::vector<Row> TransRows() {
    std::vector<Row> rows;
    auto lock = g_DB.Lock();
    CppSQLite3Query q = g_DB.RunSelect("select type, file, size from qz_trans order by id");
    for (; !q.AtEnd(); q.Advance()) {
      rows.push_back({q.IntOf("type"), q.TextOf("file"), q.IntOf("size")});
    }
    return rows;
  }

  std::string S(const std::string& rel) const { return m_share + "/" + rel; }
  std::string Read(const std::string& path) const {
    return m_dir.Read(path.substr(m_dir.path().size() + 1));
  }
  std::string LogText() const { return m_dir.Read("Log.txt"); }
  // The names in a folder, hidden ones included.
  std::set<std::string> Names(const std::string& folder) const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
      names.insert(e.path().filename().string());
    }
    return names;
  }

  support::TempDir m_dir;
  std::string m_share;
  std::unique_ptr<apptest::ServerRunner> m_server;
};

TEST_F(UploadTest, FreshUploadKeepsResumeFilesThenRenamesAndLogs) {
  const std::string content = "0123456789";
  MsgClient c = Connect();
  Answer a = Announce(c, 5, S("a.txt"), content);
  ASSERT_TRUE(a.allowed);
  EXPECT_EQ(a.offset, 0u);
  EXPECT_EQ(Names(m_share), (std::set<std::string>{"a.txttirvan.rename", "a.txttirvan.renametmp"}));
  // The info: the target padded to 255 bytes, the digest in hexadecimal, a zero.
  std::string info = Read(S("a.txttirvan.renametmp"));
  ASSERT_EQ(info.size(), 288u);
  EXPECT_EQ(info.substr(0, S("a.txt").size()), S("a.txt"));
  EXPECT_EQ(info.substr(S("a.txt").size(), 255 - S("a.txt").size()),
            std::string(255 - S("a.txt").size(), '\0'));
  std::string digest = DigestOf(content);
  EXPECT_EQ(info.substr(255, 32), HexDigest(U8(digest)));
  EXPECT_EQ(info[287], '\0');
  EXPECT_EQ(TransSize(), 1u);

  SendData(c, 5, content.substr(0, 3));
  SendData(c, 5, content.substr(3));
  End(c, 5, 0);
  EXPECT_EQ(Names(m_share), (std::set<std::string>{"a.txt"}));
  EXPECT_EQ(Read(S("a.txt")), content);
  std::vector<Row> rows = TransRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].type, 0);
  EXPECT_EQ(rows[0].file, S("a.txt"));
  EXPECT_EQ(rows[0].size, 10);
  EXPECT_EQ(TransSize(), 0u);
  std::string log = LogText();
  EXPECT_TRUE(apptest::InOrder(log, {"upload file :" + S("a.txt"), "check dir:" + m_share,
                                     "===File allow send size:0==="}));
}

TEST_F(UploadTest, ResumesAfterGivingUpAndAfterALostConnection) {
  const std::string content = RandomBytes(300000, 1);
  {
    MsgClient c = Connect();
    ASSERT_EQ(Announce(c, 1, S("r.bin"), content).offset, 0u);
    SendData(c, 1, content.substr(0, 4));
    End(c, 1, 1);  // given up: both files stay
    EXPECT_TRUE(PathExists(S("r.bintirvan.rename")));
    EXPECT_TRUE(PathExists(S("r.bintirvan.renametmp")));
  }
  MsgClient c = Connect();
  ASSERT_EQ(Announce(c, 1, S("r.bin"), content).offset, 4u);
  SendData(c, 1, content.substr(4, 100000));
  Sync(c);
  c.Reset();  // the connection drops midway
  ASSERT_TRUE(apptest::WaitFor([] { return TransSize() == 0; }));
  // The close hook logs after it has taken the entries out of the table.
  EXPECT_TRUE(apptest::WaitFor([&] {
    return LogText().find("close tcp file trans, file " + S("r.bin")) != std::string::npos;
  }));

  MsgClient d = Connect();
  Answer again = Announce(d, 9, S("r.bin"), content);
  EXPECT_EQ(again.offset, 100004u);
  SendData(d, 9, content.substr(again.offset));
  End(d, 9, 0);
  EXPECT_TRUE(Read(S("r.bin")) == content);
  EXPECT_EQ(Names(m_share), (std::set<std::string>{"r.bin"}));
  EXPECT_EQ(TransRows().size(), 1u);
}

TEST_F(UploadTest, AlreadyCompleteOpensNothingAndLogsNothing) {
  const std::string content = RandomBytes(70000, 2);
  m_dir.Write("share/same.bin", content);
  // A leftover of an earlier upload of the same file.
  m_dir.Write("share/same.bintirvan.rename", content.substr(0, 100));
  ASSERT_EQ(WriteRenameInfo(S("same.bintirvan.renametmp"), S("same.bin"),
                            HexDigest(U8(DigestOf(content)))),
            0);
  MsgClient c = Connect();
  Answer a = Announce(c, 3, S("same.bin"), content);
  ASSERT_TRUE(a.allowed);
  EXPECT_EQ(a.offset, content.size());
  EXPECT_EQ(TransSize(), 0u);
  EXPECT_EQ(Names(m_share), (std::set<std::string>{"same.bin"}));
  End(c, 3, 0);  // changes nothing
  EXPECT_EQ(Names(m_share), (std::set<std::string>{"same.bin"}));
  EXPECT_TRUE(TransRows().empty());
  // Same size, other content: a fresh upload to a free name.
  std::string other = RandomBytes(70000, 3);
  Answer b = Upload(c, 4, S("same.bin"), other);
  EXPECT_EQ(b.offset, 0u);
  EXPECT_TRUE(Read(S("same.bin.(0).bin")) == other);
  EXPECT_TRUE(Read(S("same.bin")) == content);
}

TEST_F(UploadTest, FreeFinalNames) {
  struct Case {
    std::string target;
    int n;
    std::string expected;
  };
  const Case kCases[] = {
      {"/s/a.txt", -1, "/s/a.txt"},
      {"/s/a.txt", 0, "/s/a.txt.(0).txt"},
      {"/s/a.txt", 1, "/s/a.txt.(1).txt"},
      {"/s/README", 0, "/s/README.(0)"},
      {"/s/my.dir/README", 0, "/s/my.dir/README.(0)"},  // the folder's dot does not count
      {"/s/x.tar.gz", 2, "/s/x.tar.gz.(2).gz"},
  };
  for (const Case& k : kCases) {
    EXPECT_EQ(UpLoadFinalCandidate(k.target, k.n), k.expected) << k.target << " " << k.n;
  }
  EXPECT_EQ(UpLoadDataPath("/s/a.txt", -1), "/s/a.txttirvan.rename");
  EXPECT_EQ(UpLoadDataPath("/s/a.txt", 3), "/s/a.txttirvan.rename.(3).rename");
  EXPECT_EQ(UpLoadInfoPath("/s/a.txttirvan.rename.(3).rename"),
            "/s/a.txttirvan.rename.(3).renametmp");

  // Through the handlers: the same target three times with other content each time.
  m_dir.MakeDir("share/my.dir");
  MsgClient c = Connect();
  const std::string kContents[] = {"first", "second!", "third!!!"};
  uint32_t seq = 10;
  for (const std::string& content : kContents) Upload(c, ++seq, S("a.txt"), content);
  Upload(c, ++seq, S("my.dir/README"), "one");
  Upload(c, ++seq, S("my.dir/README"), "two");
  EXPECT_EQ(Read(S("a.txt")), "first");
  EXPECT_EQ(Read(S("a.txt.(0).txt")), "second!");
  EXPECT_EQ(Read(S("a.txt.(1).txt")), "third!!!");
  EXPECT_EQ(Read(S("my.dir/README.(0)")), "two");
  std::vector<Row> rows = TransRows();
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[2].file, S("a.txt.(1).txt"));
  EXPECT_EQ(rows[4].file, S("my.dir/README.(0)"));

  // An empty upload next to an existing target leaves no empty copy and no row.
  Upload(c, ++seq, S("a.txt"), "");
  EXPECT_FALSE(PathExists(S("a.txt.(2).txt")));
  EXPECT_EQ(TransRows().size(), 5u);
  // An empty upload to a new target is an empty file.
  Upload(c, ++seq, S("empty"), "");
  EXPECT_EQ(Read(S("empty")), "");
  EXPECT_EQ(TransRows().size(), 6u);
}

TEST_F(UploadTest, RefusedAnnouncements) {
  ASSERT_EQ(::symlink(m_dir.Sub("outside").c_str(), S("out").c_str()), 0);
  const std::string kDigest(16, 'd');
  struct Case {
    std::string path;
    uint32_t size;
    uint16_t code;
  };
  const Case kCases[] = {
      {"$DEFAULT_PIC$/a.jpg", 1, 0},  // the default folder is not set
      {m_dir.Sub("outside/new/deeper/x"), 1, ERR_NOT_IN_SHARE},
      {m_share + "/../outside/new/x", 1, ERR_NOT_IN_SHARE},
      {m_share + "/out/new/x", 1, ERR_NOT_IN_SHARE},  // through a link out of the share
      {m_share + "/a/../../outside/new/x", 1, ERR_NOT_IN_SHARE},
      {"relative/x", 1, 0xFFFF},
      {m_share + "/", 1, 0xFFFF},
      {m_share + "/..", 1, 0xFFFF},
      {m_share + "/xtirvan.rename", 1, 0xFFFF},
      {m_share + "/xtirvan.renametmp", 1, 0xFFFF},
      {m_share + "/atirvan.rename/b", 1, 0xFFFF},
      {m_share + "/" + std::string(254 - m_share.size(), 'p'), 1, 0xFFFF},  // 255 bytes
  };
  MsgClient c = Connect();
  uint32_t seq = 0;
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.path);
    Answer a = AnnounceAs(c, ++seq, k.path, k.size, kDigest);
    EXPECT_FALSE(a.allowed);
    EXPECT_EQ(a.code, k.code);
  }
  // Nothing was created anywhere.
  EXPECT_TRUE(Names(m_dir.Sub("outside")).empty());
  EXPECT_EQ(Names(m_share), (std::set<std::string>{"out"}));
  EXPECT_EQ(TransSize(), 0u);

  // The longest path that fits is taken.
  std::string longest = m_share + "/" + std::string(253 - m_share.size(), 'p');
  EXPECT_TRUE(AnnounceAs(c, 51, longest, 1, kDigest).allowed);
  // Missing folders inside a share are created.
  EXPECT_TRUE(AnnounceAs(c, 52, S("new/sub/x"), 1, kDigest).allowed);
  EXPECT_TRUE(std::filesystem::is_directory(S("new/sub")));

  // Short records, and a path without its terminating zero.
  std::string rec = Record(1, kDigest, S("x"));
  for (const std::string& body : {rec.substr(0, 30), rec.substr(0, kUpLoadRequestSize - 1),
                                  rec.substr(0, 25) + std::string(355, 'p')}) {
    ASSERT_TRUE(c.Send(OP_REQ_UP_LOAD_FILE, 60, body));
    std::optional<Message> m = c.Recv();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(Decode(m->head, m->body, 60).code, 0xFFFF);
  }
  std::string log = LogText();
  EXPECT_NE(log.find("def share dir is empty."), std::string::npos);
  EXPECT_NE(log.find("Filer " + m_dir.Sub("outside/new/deeper/x") + " not in share list"),
            std::string::npos);
}

TEST_F(UploadTest, ANameWithoutRoomForTheResumeSuffixIsRefused) {
  // A share with a short path, so that a 240-byte name fits the 254-byte path.
  std::string shortShare = "/tmp/uXXXXXX";
  ASSERT_NE(::mkdtemp(shortShare.data()), nullptr);
  struct Removal {
    std::string path;
    ~Removal() { std::filesystem::remove_all(path); }
  } removal{shortShare};
  ASSERT_EQ(SetShareInfo({m_share, shortShare}), 0);
  MsgClient c = Connect();
  const std::string kDigest(16, 'd');
  EXPECT_EQ(AnnounceAs(c, 1, shortShare + "/" + std::string(240, 'n'), 1, kDigest).code, 0xFFFF);
  EXPECT_TRUE(AnnounceAs(c, 2, shortShare + "/" + std::string(239, 'n'), 1, kDigest).allowed);
  TransTableClear();
}

TEST_F(UploadTest, FreeSpaceCountsTheWholeDeclaredSize) {
  MsgClient c = Connect();
  const std::string kDigest(16, 'e');
  g_freeKB = 1024;
  Answer a = AnnounceAs(c, 1, S("big"), 1048576, kDigest);
  EXPECT_EQ(a.code, 0xFFFF);
  EXPECT_NE(LogText().find("not have enough size for save file " + S("big") + "."),
            std::string::npos);
  g_freeKB = 1025;
  EXPECT_TRUE(AnnounceAs(c, 2, S("big"), 1048576, kDigest).allowed);
  // A size of 4 GiB - 1 is compared without wrapping.
  g_freeKB = 4194303;
  EXPECT_EQ(AnnounceAs(c, 3, S("huge"), 0xFFFFFFFFu, kDigest).code, 0xFFFF);
  g_freeKB = 1ull << 33;
  EXPECT_TRUE(AnnounceAs(c, 4, S("huge"), 0xFFFFFFFFu, kDigest).allowed);
  // An unreadable free space refuses.
  SetUpLoadFreeSpaceForTest([](const std::string&, uint64_t*) { return -1; });
  EXPECT_EQ(AnnounceAs(c, 5, S("small"), 1, kDigest).code, 0xFFFF);
}

TEST_F(UploadTest, ASequenceNumberBelongsToOneUploadAndItsOrigin) {
  const std::string first = RandomBytes(5000, 4);
  const std::string second = RandomBytes(6000, 5);
  MsgClient a = Connect();
  MsgClient b = Connect();
  ASSERT_TRUE(Announce(a, 1, S("a.bin"), first).allowed);
  // Another device using the same number is refused and writes nowhere.
  EXPECT_EQ(Announce(b, 1, S("b.bin"), second).code, 0xFFFF);
  // Data and end messages of the number from b do not reach a's upload.
  SendData(b, 1, second);
  End(b, 1, 0);
  // The same origin reusing the number for another file is refused as well.
  EXPECT_EQ(Announce(a, 1, S("c.bin"), second).code, 0xFFFF);
  SendData(a, 1, first);
  End(a, 1, 0);
  EXPECT_TRUE(Read(S("a.bin")) == first);
  EXPECT_EQ(Names(m_share), (std::set<std::string>{"a.bin"}));
  // Once ended, the number is free for b.
  Upload(b, 1, S("b.bin"), second);
  EXPECT_TRUE(Read(S("b.bin")) == second);
}

TEST_F(UploadTest, AnnouncingAgainClosesTheOlderEntryBeforeMeasuring) {
  const std::string content = RandomBytes(400000, 6);
  MsgClient a = Connect();
  ASSERT_EQ(Announce(a, 1, S("f.bin"), content).offset, 0u);
  SendData(a, 1, content.substr(0, 200000));
  // b announces while a's data may still be in flight: the offset is what a wrote,
  // measured after a's entry is closed, so no byte is written twice.
  MsgClient b = Connect();
  Answer again = Announce(b, 2, S("f.bin"), content);
  ASSERT_TRUE(again.allowed);
  EXPECT_LE(again.offset, 200000u);
  EXPECT_TRUE(apptest::WaitFor([] { return TransSize() == 1; }));
  EXPECT_NE(LogText().find("close file trans, file " + S("f.bin")), std::string::npos);
  // a hears at once that its upload has ended.
  std::optional<Message> told = a.Recv();
  ASSERT_TRUE(told);
  EXPECT_EQ(told->head.opcode, OP_UP_LOAD_ERROR);
  EXPECT_EQ(told->head.seq, 1u);
  ASSERT_GE(told->body.size(), 2u);
  EXPECT_EQ(wire::GetU16(U8(told->body)), 0xFFFF);
  EXPECT_NE(LogText().find("upload 1 of " + S("f.bin") + " taken over by upload 2"),
            std::string::npos);
  SendData(a, 1, content.substr(200000));  // a's entry is gone: dropped
  Sync(a);
  SendData(b, 2, content.substr(again.offset));
  End(b, 2, 0);
  EXPECT_TRUE(Read(S("f.bin")) == content);
  End(a, 1, 0);  // no entry any more
  EXPECT_EQ(TransRows().size(), 1u);
}

TEST_F(UploadTest, ReannouncingDuringAppendsWritesNoByteTwice) {
  // A UDT peer keeps appending while a second peer announces the same file.
  const std::string content = RandomBytes(2028 * 5000, 30);
  const std::string rec =
      Record(static_cast<uint32_t>(content.size()), DigestOf(content), S("race.bin"));
  Call first = Invoke(ReqUpLoadFile, OP_REQ_UP_LOAD_FILE, 1, rec, 1, 1);
  ASSERT_TRUE(Decode(first.head, first.reply, 1).allowed);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    for (size_t at = 0; at < content.size() && !stop; at += 2028) {
      Invoke(UpLoadFile, OP_UP_LOAD_FILE, 1, DataBody(content.substr(at, 2028)), 1, 1);
    }
  });
  const std::string data = S("race.bintirvan.rename");
  ASSERT_TRUE(apptest::WaitFor([&] {
    struct stat st {};
    return ::stat(data.c_str(), &st) == 0 && st.st_size > (1 << 20);
  }));
  Call second = Invoke(ReqUpLoadFile, OP_REQ_UP_LOAD_FILE, 2, rec, 2, 1);
  Answer a = Decode(second.head, second.reply, 2);
  stop = true;
  sender.join();
  ASSERT_TRUE(a.allowed);
  EXPECT_GT(a.offset, 1u << 20);
  for (size_t at = a.offset; at < content.size(); at += 2028) {
    Invoke(UpLoadFile, OP_UP_LOAD_FILE, 2, DataBody(content.substr(at, 2028)), 2, 1);
  }
  Invoke(OverUpLoadFile, OP_OVER_UP_LOAD_FILE, 2, std::string(1, '\0'), 2, 1);
  EXPECT_TRUE(Read(S("race.bin")) == content);
}

TEST_F(UploadTest, TheSameContentToTwoTargetsAtOnce) {
  const std::string content = RandomBytes(100000, 7);
  m_dir.MakeDir("share/x");
  m_dir.MakeDir("share/y");
  MsgClient a = Connect();
  MsgClient b = Connect();
  ASSERT_TRUE(Announce(a, 1, S("x/p.jpg"), content).allowed);
  ASSERT_TRUE(Announce(b, 2, S("y/p.jpg"), content).allowed);
  EXPECT_EQ(TransSize(), 2u);
  SendData(a, 1, content.substr(0, 50000));
  SendData(b, 2, content);
  SendData(a, 1, content.substr(50000));
  End(a, 1, 0);
  End(b, 2, 0);
  EXPECT_TRUE(Read(S("x/p.jpg")) == content);
  EXPECT_TRUE(Read(S("y/p.jpg")) == content);
}

TEST_F(UploadTest, DataPastTheSizeAndShortEndsKeepTheFilesForAResume) {
  const std::string content = RandomBytes(1000, 8);
  MsgClient c = Connect();
  ASSERT_TRUE(Announce(c, 1, S("s.bin"), content).allowed);
  SendData(c, 1, content.substr(0, 600));
  SendData(c, 1, RandomBytes(500, 9));  // would pass the size: refused, the upload ends
  // The device is told, once, with the upload's number.
  std::optional<Message> refused = c.Recv();
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->head.opcode, OP_UP_LOAD_ERROR);
  EXPECT_EQ(refused->head.seq, 1u);
  EXPECT_EQ(wire::GetU16(reinterpret_cast<const uint8_t*>(refused->body.data())), 0xFFFF);
  SendData(c, 1, RandomBytes(100, 9));  // so nothing after it is appended
  End(c, 1, 0);
  EXPECT_FALSE(PathExists(S("s.bin")));
  EXPECT_EQ(Read(S("s.bintirvan.rename")), content.substr(0, 600));
  EXPECT_TRUE(PathExists(S("s.bintirvan.renametmp")));
  EXPECT_TRUE(TransRows().empty());
  EXPECT_EQ(TransSize(), 0u);

  Answer again = Announce(c, 2, S("s.bin"), content);
  EXPECT_EQ(again.offset, 600u);
  SendData(c, 2, content.substr(600));
  End(c, 2, 0);
  EXPECT_TRUE(Read(S("s.bin")) == content);
}

TEST_F(UploadTest, AnUploadThatLostAMessageEndsAndResumes) {
  const std::string content = RandomBytes(10000, 17);
  Call c = Invoke(ReqUpLoadFile, OP_REQ_UP_LOAD_FILE, 6,
                  Record(10000, DigestOf(content), S("gap.bin")), 4, 1);
  ASSERT_TRUE(Decode(c.head, c.reply, 6).allowed);
  Invoke(UpLoadFile, OP_UP_LOAD_FILE, 6, DataBody(content.substr(0, 2028)), 4, 1);
  EXPECT_FALSE(AbortUpLoad(6, TransOrigin::Udt(5)));  // not that peer's upload
  EXPECT_TRUE(AbortUpLoad(6, TransOrigin::Udt(4)));
  Invoke(UpLoadFile, OP_UP_LOAD_FILE, 6, DataBody(content.substr(4056, 2028)), 4, 1);
  EXPECT_EQ(Read(S("gap.bintirvan.rename")), content.substr(0, 2028));
  Call again = Invoke(ReqUpLoadFile, OP_REQ_UP_LOAD_FILE, 7,
                      Record(10000, DigestOf(content), S("gap.bin")), 4, 1);
  EXPECT_EQ(Decode(again.head, again.reply, 7).offset, 2028u);
}

TEST_F(UploadTest, ADataFileLongerThanTheSizeStartsAgain) {
  const std::string content = RandomBytes(100, 10);
  m_dir.Write("share/l.bintirvan.rename", RandomBytes(150, 11));
  ASSERT_EQ(WriteRenameInfo(S("l.bintirvan.renametmp"), S("l.bin"),
                            HexDigest(U8(DigestOf(content)))),
            0);
  MsgClient c = Connect();
  EXPECT_EQ(Upload(c, 1, S("l.bin"), content).offset, 0u);
  EXPECT_TRUE(Read(S("l.bin")) == content);
}

TEST_F(UploadTest, AFailedRenameKeepsTheFilesAndLogsNothing) {
  const std::string content = RandomBytes(2000, 12);
  SetUpLoadRenameForTest(FailingRename);
  MsgClient c = Connect();
  Upload(c, 1, S("n.bin"), content);
  EXPECT_FALSE(PathExists(S("n.bin")));
  EXPECT_TRUE(Read(S("n.bintirvan.rename")) == content);
  EXPECT_TRUE(PathExists(S("n.bintirvan.renametmp")));
  EXPECT_TRUE(TransRows().empty());
  EXPECT_NE(LogText().find("kept for a resume"), std::string::npos);
  // Announced again, the whole file is there: only the end is needed.
  SetUpLoadRenameForTest(nullptr);
  EXPECT_EQ(Upload(c, 2, S("n.bin"), content).offset, content.size());
  EXPECT_TRUE(Read(S("n.bin")) == content);
  EXPECT_EQ(TransRows().size(), 1u);
}

TEST_F(UploadTest, AnOpenFailureIsAnswered) {
  SetUpLoadOpenForTest(FailingOpen);
  MsgClient c = Connect();
  EXPECT_EQ(Announce(c, 1, S("o.bin"), "data").code, 0xFFFF);
  EXPECT_EQ(TransSize(), 0u);
  EXPECT_TRUE(Names(m_share).empty());
  EXPECT_NE(LogText().find("open file " + S("o.bintirvan.rename") + " error."),
            std::string::npos);
}

TEST_F(UploadTest, EachDataFileKeepsItsOwnInfo) {
  // A is interrupted, then B (other content, same target) is interrupted: B writes to a
  // variant with its own info, and each resumes its own bytes.
  const std::string a = RandomBytes(80000, 13);
  const std::string b = RandomBytes(90000, 14);
  MsgClient c = Connect();
  ASSERT_EQ(Announce(c, 1, S("t.bin"), a).offset, 0u);
  SendData(c, 1, a.substr(0, 30000));
  End(c, 1, 1);
  ASSERT_EQ(Announce(c, 2, S("t.bin"), b).offset, 0u);
  SendData(c, 2, b.substr(0, 40000));
  End(c, 2, 1);
  EXPECT_TRUE(PathExists(S("t.bintirvan.rename.(0).rename")));
  EXPECT_TRUE(CheckRenameInfo(S("t.bintirvan.rename.(0).renametmp"), S("t.bin"),
                              HexDigest(U8(DigestOf(b)))));
  // The info of A's data file is still A's.
  EXPECT_TRUE(CheckRenameInfo(S("t.bintirvan.renametmp"), S("t.bin"), HexDigest(U8(DigestOf(a)))));

  Answer rb = Announce(c, 3, S("t.bin"), b);
  EXPECT_EQ(rb.offset, 40000u);
  SendData(c, 3, b.substr(40000));
  End(c, 3, 0);
  Answer ra = Announce(c, 4, S("t.bin"), a);
  EXPECT_EQ(ra.offset, 30000u);
  SendData(c, 4, a.substr(30000));
  End(c, 4, 0);
  EXPECT_TRUE(Read(S("t.bin")) == b);
  EXPECT_TRUE(Read(S("t.bin.(0).bin")) == a);
  EXPECT_EQ(Names(m_share), (std::set<std::string>{"t.bin", "t.bin.(0).bin"}));

  // An info left without its data file is replaced by a fresh upload's own.
  m_dir.Write("share/u.bintirvan.renametmp", std::string(288, 'x'));
  Answer fresh = Announce(c, 5, S("u.bin"), a);
  EXPECT_EQ(fresh.offset, 0u);
  EXPECT_TRUE(CheckRenameInfo(S("u.bintirvan.renametmp"), S("u.bin"), HexDigest(U8(DigestOf(a)))));
}

TEST_F(UploadTest, ADigestStartingWithZeroNeverResumes) {
  std::string digest(16, 'z');
  digest[0] = '\0';
  MsgClient c = Connect();
  ASSERT_EQ(AnnounceAs(c, 1, S("z.bin"), 10, digest).offset, 0u);
  EXPECT_EQ(Names(m_share), (std::set<std::string>{"z.bintirvan.rename"}));
  SendData(c, 1, "abcd");
  Sync(c);
  c.Reset();  // the data file stays, without info
  ASSERT_TRUE(apptest::WaitFor([] { return TransSize() == 0; }));
  MsgClient d = Connect();
  ASSERT_EQ(AnnounceAs(d, 2, S("z.bin"), 10, digest).offset, 0u);
  EXPECT_EQ(Read(S("z.bintirvan.rename")), "");  // the old data is gone
  SendData(d, 2, "0123");
  End(d, 2, 1);  // given up without info: the data file goes
  EXPECT_TRUE(Names(m_share).empty());
  ASSERT_EQ(AnnounceAs(d, 3, S("z.bin"), 10, digest).offset, 0u);
  SendData(d, 3, "0123456789");
  End(d, 3, 0);
  EXPECT_EQ(Read(S("z.bin")), "0123456789");
}

TEST_F(UploadTest, RelayedUploadsTakeTheirDataFromThePoller) {
  const std::string content = RandomBytes(5000, 15);
  const std::string rec = Record(5000, DigestOf(content), S("relayed.bin"));
  std::string announce = RelayPrefix("device-1", OP_REQ_UP_LOAD_FILE, 7, 8 + rec.size()) + rec;
  Call c = Invoke(ReqUpLoadFile, OP_REQ_UP_LOAD_FILE, 7, announce, -1, 0);
  ASSERT_EQ(c.rc, ERR_OK);
  Answer a = Decode(c.head, c.reply, 7);
  ASSERT_TRUE(a.allowed);
  EXPECT_TRUE(a.wellFormed);
  // Another device through the relay with the same number is refused.
  std::string other = RelayPrefix("device-2", OP_REQ_UP_LOAD_FILE, 7, 8 + rec.size()) + rec;
  Call refused = Invoke(ReqUpLoadFile, OP_REQ_UP_LOAD_FILE, 7, other, -1, 0);
  EXPECT_EQ(Decode(refused.head, refused.reply, 7).code, 0xFFFF);

  // Data on the relay connection itself is ignored.
  std::string relayed = RelayPrefix("device-1", OP_UP_LOAD_FILE, 7, 20 + 100) +
                        DataBody(content.substr(0, 100));
  Invoke(UpLoadFile, OP_UP_LOAD_FILE, 7, relayed, -1, 0);
  EXPECT_EQ(Read(S("relayed.bintirvan.rename")), "");
  // Polled data is appended, and the polled end completes the upload.
  Invoke(UpLoadFile, OP_UP_LOAD_FILE, 7, DataBody(content.substr(0, 3000)), -1, 1);
  // A UDT peer using the number does not feed it.
  Invoke(UpLoadFile, OP_UP_LOAD_FILE, 7, DataBody(content.substr(3000)), 5, 1);
  Invoke(UpLoadFile, OP_UP_LOAD_FILE, 7, DataBody(content.substr(3000)), -1, 1);
  Invoke(OverUpLoadFile, OP_OVER_UP_LOAD_FILE, 7, std::string(1, '\0'), -1, 0);  // relay: ignored
  EXPECT_EQ(TransSize(), 1u);
  Invoke(OverUpLoadFile, OP_OVER_UP_LOAD_FILE, 7, std::string(1, '\0'), -1, 1);
  EXPECT_TRUE(Read(S("relayed.bin")) == content);
  EXPECT_EQ(TransSize(), 0u);
}

TEST_F(UploadTest, DataLengthComesFromTheBytesThatArrived) {
  const std::string content = RandomBytes(2028 * 3 + 5, 16);
  Call c = Invoke(ReqUpLoadFile, OP_REQ_UP_LOAD_FILE, 4,
                  Record(static_cast<uint32_t>(content.size()), DigestOf(content), S("u.bin")), 3, 1);
  ASSERT_TRUE(Decode(c.head, c.reply, 4).allowed);
  // Full UDT messages of 2,048 bytes carry 2,028 data bytes.
  for (size_t at = 0; at < 2028 * 3; at += 2028) {
    Invoke(UpLoadFile, OP_UP_LOAD_FILE, 4, DataBody(content.substr(at, 2028)), 3, 1);
  }
  // A head claiming more than arrived appends only what arrived; one claiming less
  // appends only what it claims; a message without data bytes appends nothing.
  Invoke(UpLoadFile, OP_UP_LOAD_FILE, 4, DataBody(content.substr(2028 * 3, 2)), 3, 1, 2000);
  Invoke(UpLoadFile, OP_UP_LOAD_FILE, 4, DataBody(content.substr(2028 * 3 + 2) + "junk"), 3, 1,
         20 + 3);
  EXPECT_EQ(Invoke(UpLoadFile, OP_UP_LOAD_FILE, 4, std::string(5, '\0'), 3, 1).rc, ERR_ALLOC);
  Invoke(UpLoadFile, OP_UP_LOAD_FILE, 4, DataBody(""), 3, 1);
  Invoke(OverUpLoadFile, OP_OVER_UP_LOAD_FILE, 4, std::string(1, '\0'), 3, 1);
  EXPECT_TRUE(Read(S("u.bin")) == content);
  EXPECT_EQ(Invoke(UpLoadFile, OP_UP_LOAD_FILE, 4, "", 3, 1).rc, ERR_NULL_MSG);
  EXPECT_EQ(Invoke(OverUpLoadFile, OP_OVER_UP_LOAD_FILE, 4, "", 3, 1).rc, ERR_NULL_MSG);
  EXPECT_EQ(Invoke(ReqUpLoadFile, OP_REQ_UP_LOAD_FILE, 4, "", 3, 1).rc, ERR_NULL_MSG);
}

TEST_F(UploadTest, ConcurrentAnnouncementsForOneTargetGetTheirOwnFiles) {
  constexpr int kUploads = 8;
  std::vector<std::string> contents;
  for (int i = 0; i < kUploads; ++i) contents.push_back(RandomBytes(30000 + i, 20 + i));
  std::vector<std::thread> threads;
  std::atomic<int> allowed{0};
  for (int i = 0; i < kUploads; ++i) {
    threads.emplace_back([&, i] {
      const std::string& content = contents[static_cast<size_t>(i)];
      auto seq = static_cast<uint32_t>(100 + i);
      int32_t sock = 10 + i;  // each a UDT peer of its own
      Call c = Invoke(ReqUpLoadFile, OP_REQ_UP_LOAD_FILE, seq,
                      Record(static_cast<uint32_t>(content.size()), DigestOf(content), S("c.bin")),
                      sock, 1);
      if (!Decode(c.head, c.reply, seq).allowed) return;
      ++allowed;
      for (size_t at = 0; at < content.size(); at += 2028) {
        Invoke(UpLoadFile, OP_UP_LOAD_FILE, seq, DataBody(content.substr(at, 2028)), sock, 1);
      }
      Invoke(OverUpLoadFile, OP_OVER_UP_LOAD_FILE, seq, std::string(1, '\0'), sock, 1);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(allowed.load(), kUploads);
  std::set<std::string> names = Names(m_share);
  EXPECT_EQ(names.size(), static_cast<size_t>(kUploads));
  std::multiset<std::string> found;
  for (const std::string& name : names) found.insert(Read(S(name)));
  EXPECT_TRUE(found == std::multiset<std::string>(contents.begin(), contents.end()));
  EXPECT_EQ(TransRows().size(), static_cast<size_t>(kUploads));
}

}  // namespace
