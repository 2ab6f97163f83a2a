#include "app/download.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/listing.h"
#include "platform/md5.h"
#include "app/transfer_table.h"
#include "app_fixture.h"
#include "comm/core.h"
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

std::string Request(const std::string& path) {
  std::string rec(kDownLoadRequestSize, '\0');
  rec.replace(1, path.size(), path);
  return rec;
}

std::string Offset(uint32_t offset) {
  std::string b(4, '\0');
  wire::PutU32(reinterpret_cast<uint8_t*>(b.data()), offset);
  return b;
}

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// What a device receives after a start: the packages and the end message's status.
struct Received {
  std::vector<uint32_t> numbers;
  std::vector<size_t> lengths;
  std::string data;
  char status = 0;  // 0: no end message arrived
  bool headsValid = true;
};

Received ReadDownload(MsgClient& c, uint32_t seq, int timeoutMs = 2000) {
  Received r;
  for (;;) {
    std::optional<Message> m = c.Recv(timeoutMs);
    if (!m) return r;
    if (m->head.opcode == OP_DOWN_LOAD_OVER) {
      r.headsValid = r.headsValid && m->head.length == 12 && m->head.seq == seq &&
                     m->body.size() == 4 && m->body.substr(1) == std::string(3, '\0');
      r.status = m->body.empty() ? '?' : m->body[0];
      return r;
    }
    if (m->head.opcode != OP_DOWN_LOAD_DATA || m->body.size() < 12) {
      r.headsValid = false;
      continue;
    }
    const uint8_t* b = U8(m->body);
    r.headsValid = r.headsValid && m->head.seq == seq && wire::GetU32(b + 4) == 0 &&
                   wire::GetU32(b + 8) == 0;
    r.numbers.push_back(wire::GetU32(b));
    r.lengths.push_back(m->body.size() - 12);
    r.data += m->body.substr(12);
  }
}

long ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * ::sysconf(_SC_PAGESIZE);
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    apptest::OpenTestDb(m_dir);
    m_dir.MakeDir("share");
    m_share = m_dir.Sub("share");
    ASSERT_EQ(SetShareInfo({m_share}), 0);
    OS_ClearRegistry();
    for (auto [fn, op] : std::vector<std::pair<RegFun, uint16_t>>{
             {ReqDownLoadFile, OP_REQ_DOWN_LOAD_FILE},
             {AllowDownLoadFile, OP_ALLOW_DOWN_LOAD_FILE},
             {RefuseDownLoadFile, OP_REFUSE_DOWN_LOAD_FILE},
             {StopDownLoad, OP_STOP_DOWN_LOAD},
             {GetShareInfo, OP_GET_SHARE_INFO},
             {GetAllSubFile, OP_GET_ALL_SUB_FILE}}) {
      ASSERT_EQ(OS_RegFunction(fn, op), ERR_OK);
    }
    TransTableClear();
    TransTableInit();
    SetStopDownLoadWaitStep(std::chrono::milliseconds(5));
    m_server = std::make_unique<apptest::ServerRunner>();
  }

  void TearDown() override {
    m_server.reset();
    EXPECT_EQ(GetDownLoadCount(), 0);
    TransTableClear();
    OS_SetConnCloseHook(nullptr);
    OS_ClearRegistry();
    SetUdtSendForTest(nullptr);
    SetStopDownLoadWaitStep(std::chrono::milliseconds(10));
    g_DB.CloseFile();
    g_Log.Close();
  }

  MsgClient Connect() { return m_server->Connect(); }

  // Sends a download request and returns the answer.
  std::optional<Message> Ask(MsgClient& c, uint32_t seq, const std::string& path) {
    EXPECT_TRUE(c.Send(OP_REQ_DOWN_LOAD_FILE, seq, Request(path)));
    return c.Recv();
  }

  static int TransRows() {
    auto lock = g_DB.Lock();
    CppSQLite3Query q = g_DB.RunSelect("select count(*) as n from qz_trans");
    return q.IntOf("n");
  }

  std::string LogText() const { return m_dir.Read("Log.txt"); }

  support::TempDir m_dir;
  std::string m_share;
  std::unique_ptr<apptest::ServerRunner> m_server;
};

TEST_F(DownloadTest, PackagesNumberingAndEndMessage) {
  struct Case {
    size_t size;
    uint32_t offset;
    uint32_t announced;
    std::vector<uint32_t> numbers;
    std::vector<size_t> lengths;
  };
  const Case kCases[] = {
      {2500, 0, 3, {1, 2, 3}, {1000, 1000, 500}},
      {2000, 0, 2, {1, 2, 3}, {1000, 1000, 0}},
      {0, 0, 0, {1}, {0}},
      {2500, 1500, 3, {2, 3}, {1000, 0}},
      {999, 0, 1, {1}, {999}},
      {1001, 0, 2, {1, 2}, {1000, 1}},
      {2500, 2500, 3, {3}, {0}},
      {2500, 9000, 3, {10}, {0}},  // past the end
  };
  MsgClient c = Connect();
  uint32_t seq = 100;
  for (const Case& k : kCases) {
    SCOPED_TRACE(std::to_string(k.size) + "@" + std::to_string(k.offset));
    std::string content = RandomBytes(k.size, static_cast<unsigned>(k.size + k.offset));
    m_dir.Write("share/f.bin", content);
    std::optional<Message> info = Ask(c, ++seq, m_share + "/f.bin");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->head.opcode, OP_DOWN_LOAD_INFO);
    EXPECT_EQ(info->head.length, 64);
    EXPECT_EQ(info->head.seq, seq);
    const uint8_t* b = U8(info->body);
    EXPECT_EQ(wire::GetU32(b), k.size);
    EXPECT_EQ(wire::GetU32(b + 4), k.announced);
    Md5Context expected = GetFileDigest(m_share + "/f.bin");
    EXPECT_EQ(info->body.substr(8, 16), std::string(reinterpret_cast<char*>(expected.digest), 16));
    EXPECT_EQ(info->body.substr(24), std::string(32, '\0'));

    ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, seq, Offset(k.offset)));
    Received r = ReadDownload(c, seq);
    EXPECT_EQ(r.status, '0');
    EXPECT_TRUE(r.headsValid);
    EXPECT_EQ(r.numbers, k.numbers);
    EXPECT_EQ(r.lengths, k.lengths);
    EXPECT_EQ(r.data, k.offset < k.size ? content.substr(k.offset) : "");
    EXPECT_EQ(GetDownLoadCount(), 0);
  }
  EXPECT_EQ(TransRows(), static_cast<int>(std::size(kCases)));
  EXPECT_EQ(TransSize(), 0u);
}

// The packages a download of content from offset consists of, built one by one.
std::string ExpectedPackages(const std::string& content, size_t offset, uint32_t seq) {
  std::string out;
  uint32_t number = static_cast<uint32_t>(offset / kPackageDataSize) + 1;
  size_t pos = offset;
  for (;;) {
    size_t len = pos < content.size() ? std::min<size_t>(kPackageDataSize, content.size() - pos) : 0;
    uint8_t head[kDataHeadSize] = {};
    MsgHead{static_cast<uint16_t>(kDataHeadSize + len), OP_DOWN_LOAD_DATA, seq}.Encode(head);
    wire::PutU32(head + 8, number++);
    out.append(reinterpret_cast<char*>(head), sizeof head);
    out.append(content, std::min(pos, content.size()), len);
    pos += len;
    if (len < kPackageDataSize) return out;
  }
}

TEST_F(DownloadTest, PackageStreamFillsWholePackagesInOrder) {
  struct Case {
    size_t size;
    size_t offset;
    size_t perFill;
  };
  const Case kCases[] = {
      {0, 0, 64},      {999, 0, 64},        {1000, 0, 64},        {1001, 0, 1},
      {64000, 0, 64},  {64001, 0, 64},      {130500, 1500, 64},   {130500, 2345, 7},
      {300000, 0, 256}, {2500, 9000, 4},  // past the end: one empty package
  };
  for (const Case& k : kCases) {
    SCOPED_TRACE(std::to_string(k.size) + "@" + std::to_string(k.offset) + "/" +
                 std::to_string(k.perFill));
    std::string content = RandomBytes(k.size, static_cast<unsigned>(k.size + k.perFill));
    m_dir.Write("share/p.bin", content);
    int fd = ::open(m_dir.Sub("share/p.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    PackageStream stream(fd, static_cast<int64_t>(k.size), static_cast<int64_t>(k.offset), 77);
    std::vector<uint8_t> buf(k.perFill * kPackageSize);
    std::string got;
    while (!stream.Done()) {
      ptrdiff_t n = stream.Fill(buf.data(), k.perFill);
      ASSERT_GT(n, 0);
      ASSERT_LE(static_cast<size_t>(n), buf.size());
      got.append(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(n));
    }
    EXPECT_EQ(stream.Fill(buf.data(), k.perFill), 0);
    ::close(fd);
    EXPECT_TRUE(got == ExpectedPackages(content, k.offset, 77));
  }
  // A file shorter than its size fails the fill that reaches its end.
  m_dir.Write("share/short", RandomBytes(3500, 1));
  int fd = ::open(m_dir.Sub("share/short").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  PackageStream stream(fd, 5000, 0, 1);
  std::vector<uint8_t> buf(8 * kPackageSize);
  EXPECT_EQ(stream.Fill(buf.data(), 3), 3 * static_cast<ptrdiff_t>(kPackageSize));
  EXPECT_EQ(stream.Fill(buf.data(), 8), -1);
  ::close(fd);
}

TEST_F(DownloadTest, InfoDigestIsTheSampledOne) {
  MsgClient c = Connect();
  for (size_t size : {51200u, 51201u}) {
    std::string content = RandomBytes(size, static_cast<unsigned>(size));
    m_dir.Write("share/d.bin", content);
    std::string sampled = size <= 51200 ? content : content.substr(0, 25600) +
                                                        content.substr(size - 25600);
    Md5Context ctx;
    Md5Init(ctx);
    Md5Update(ctx, U8(sampled), sampled.size());
    Md5Final(ctx);
    std::optional<Message> info = Ask(c, static_cast<uint32_t>(size), m_share + "/d.bin");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->body.substr(8, 16), std::string(reinterpret_cast<char*>(ctx.digest), 16));
  }
}

TEST_F(DownloadTest, RefusedRequests) {
  m_dir.MakeDir("outside");
  m_dir.Write("outside/secret", "secret");
  m_dir.MakeDir("share/folder");
  m_dir.Write("share/ok", "ok");
  ASSERT_EQ(::mkfifo(m_dir.Sub("share/fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", m_dir.Sub("share/zero").c_str()), 0);
  ASSERT_EQ(::symlink(m_dir.Sub("outside/secret").c_str(), m_dir.Sub("share/link").c_str()), 0);
  int fd = ::open(m_dir.Sub("share/huge").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 2LL << 30), 0);  // 2 GiB, sparse
  ::close(fd);
  std::string longName(254 - m_share.size(), 'n');

  struct Case {
    std::string path;
    uint16_t code;
  };
  const Case kCases[] = {
      {"$DEFAULT_PIC$/a.jpg", ERR_NOT_IN_SHARE},  // the default folder is not set
      {m_dir.Sub("outside/secret"), ERR_NOT_IN_SHARE},
      {m_share + "/../outside/secret", ERR_NOT_IN_SHARE},
      {m_share + "/link", ERR_NOT_IN_SHARE},  // a link out of the share
      {m_share + "/nofolder/x", ERR_PATH_NOT_EXIST},
      {m_share + "/missing", ERR_FILE_NOT_EXIST},
      {m_share + "/" + longName, ERR_FILE_NOT_EXIST},  // 255 bytes: refused, not cut
      {m_share + "/huge", ERR_FILE_SIZE},
      {m_share + "/folder", ERR_FILE_SIZE},
      {m_share + "/fifo", ERR_FILE_SIZE},
      {m_share + "/zero", ERR_FILE_SIZE},
  };
  MsgClient c = Connect();
  uint32_t seq = 0;
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.path);
    std::optional<Message> m = Ask(c, ++seq, k.path);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->head.opcode, OP_DOWN_LOAD_ERROR);
    EXPECT_EQ(m->head.length, 266);
    EXPECT_EQ(m->head.seq, seq);
    ASSERT_EQ(m->body.size(), 258u);
    EXPECT_EQ(wire::GetU16(U8(m->body)), k.code);
    EXPECT_EQ(m->body[2], '0');
    EXPECT_EQ(m->body.substr(3), std::string(255, '\0'));
  }
  EXPECT_EQ(TransSize(), 0u);
  // A start for any of them finds nothing to send.
  ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, seq, Offset(0)));
  EXPECT_EQ(ReadDownload(c, seq).status, '1');
  std::string log = LogText();
  EXPECT_NE(log.find("def share dir is empty."), std::string::npos);
  EXPECT_NE(log.find("not in share list."), std::string::npos);
  EXPECT_NE(log.find("Get file " + m_share + "/fifo size error."), std::string::npos);
}

TEST_F(DownloadTest, ShortBodiesAreRefused) {
  MsgClient c = Connect();
  std::string rec = Request(m_share + "/x");
  for (const std::string& body :
       {rec.substr(0, 10), rec.substr(0, kDownLoadRequestSize - 1),
        std::string(kDownLoadRequestSize, 'p')}) {
    ASSERT_TRUE(c.Send(OP_REQ_DOWN_LOAD_FILE, 1, body));
    std::optional<Message> m = c.Recv();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->head.opcode, OP_DOWN_LOAD_ERROR);
    EXPECT_EQ(wire::GetU16(U8(m->body)), ERR_FILE_NOT_EXIST);
  }
  // A request without a body is not answered; a start without a whole offset gets "1".
  m_dir.Write("share/x", "data");
  ASSERT_TRUE(Ask(c, 2, m_share + "/x").has_value());
  ASSERT_TRUE(c.Send(OP_REQ_DOWN_LOAD_FILE, 3));
  ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, 2, std::string(2, '\0')));
  Received r = ReadDownload(c, 2);
  EXPECT_TRUE(r.numbers.empty());
  EXPECT_EQ(r.status, '1');
  // The pending entry stays for a proper start.
  ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, 2, Offset(0)));
  EXPECT_EQ(ReadDownload(c, 2).data, "data");
}

TEST_F(DownloadTest, StartWithoutAPendingEntryAnswersOnlyAFailure) {
  m_dir.Write("share/f", "content");
  MsgClient c = Connect();
  ASSERT_TRUE(Ask(c, 5, m_share + "/f").has_value());
  ASSERT_TRUE(c.Send(OP_REFUSE_DOWN_LOAD_FILE, 5));
  ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, 5, Offset(0)));  // refused before
  Received refused = ReadDownload(c, 5);
  EXPECT_TRUE(refused.numbers.empty());
  EXPECT_EQ(refused.status, '1');
  ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, 6, Offset(0)));  // never announced
  EXPECT_EQ(ReadDownload(c, 6).status, '1');

  // Another connection cannot start (or refuse) this connection's download.
  ASSERT_TRUE(Ask(c, 7, m_share + "/f").has_value());
  MsgClient other = Connect();
  ASSERT_TRUE(other.Send(OP_REFUSE_DOWN_LOAD_FILE, 7));
  ASSERT_TRUE(other.Send(OP_ALLOW_DOWN_LOAD_FILE, 7, Offset(0)));
  EXPECT_EQ(ReadDownload(other, 7).status, '1');
  ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, 7, Offset(0)));
  Received mine = ReadDownload(c, 7);
  EXPECT_EQ(mine.status, '0');
  EXPECT_EQ(mine.data, "content");
  EXPECT_EQ(TransRows(), 1);
}

TEST_F(DownloadTest, RepeatedRequestReplacesThePendingEntry) {
  m_dir.Write("share/a", "first file");
  m_dir.Write("share/b", "second");
  MsgClient c = Connect();
  ASSERT_TRUE(Ask(c, 9, m_share + "/a").has_value());
  std::optional<Message> again = Ask(c, 9, m_share + "/b");
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(wire::GetU32(U8(again->body)), 6u);  // a fresh info reply
  EXPECT_EQ(TransSize(), 1u);
  ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, 9, Offset(0)));
  EXPECT_EQ(ReadDownload(c, 9).data, "second");
}

TEST_F(DownloadTest, FileThatShrinksEndsWithAFailureAndNoLogRow) {
  std::string content = RandomBytes(30000, 8);
  m_dir.Write("share/s", content);
  MsgClient c = Connect();
  ASSERT_TRUE(Ask(c, 4, m_share + "/s").has_value());
  ASSERT_EQ(::truncate(m_dir.Sub("share/s").c_str(), 10000), 0);
  ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, 4, Offset(0)));
  Received r = ReadDownload(c, 4);
  EXPECT_EQ(r.status, '1');
  EXPECT_LT(r.data.size(), content.size());
  EXPECT_EQ(GetDownLoadCount(), 0);
  EXPECT_EQ(TransRows(), 0);
  EXPECT_NE(LogText().find("Read file " + m_share + "/s error."), std::string::npos);
}

// Downloads of more than a few buffers are read ahead on a thread of their own.
TEST_F(DownloadTest, ReadAheadDownloadsArriveWholeAndInOrder) {
  struct Case {
    int64_t size;
    uint32_t offset;
  };
  const Case kCases[] = {
      {kLanReadAheadAbove, 0},      // the largest read on the server's thread
      {kLanReadAheadAbove + 1, 0},  // the smallest read ahead
      {9000123, 0},                 // around the ring of buffers twice
      {9000123, 1234567},
  };
  MsgClient c = Connect();
  uint32_t seq = 10;
  for (const Case& k : kCases) {
    SCOPED_TRACE(std::to_string(k.size) + "@" + std::to_string(k.offset));
    auto size = static_cast<size_t>(k.size);
    std::string content = RandomBytes(size, static_cast<unsigned>(size + k.offset));
    m_dir.Write("share/r.bin", content);
    ASSERT_TRUE(Ask(c, ++seq, m_share + "/r.bin").has_value());
    ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, seq, Offset(k.offset)));
    Received r = ReadDownload(c, seq, 5000);
    EXPECT_EQ(r.status, '0');
    EXPECT_TRUE(r.headsValid);
    ASSERT_FALSE(r.numbers.empty());
    bool consecutive = true;
    for (size_t i = 0; i < r.numbers.size(); ++i) {
      consecutive = consecutive && r.numbers[i] == k.offset / 1000 + 1 + i;
    }
    EXPECT_TRUE(consecutive);
    EXPECT_EQ(r.lengths.back(), (size - k.offset) % 1000);
    EXPECT_TRUE(r.data == content.substr(k.offset));
    EXPECT_EQ(GetDownLoadCount(), 0);
  }
  EXPECT_EQ(TransRows(), static_cast<int>(std::size(kCases)));

  // A file that shrinks under the reader: what was read goes out, then the failure.
  std::string content = RandomBytes(3000000, 3);
  m_dir.Write("share/r.bin", content);
  ASSERT_TRUE(Ask(c, ++seq, m_share + "/r.bin").has_value());
  ASSERT_EQ(::truncate(m_dir.Sub("share/r.bin").c_str(), 1000500), 0);
  ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, seq, Offset(0)));
  Received r = ReadDownload(c, seq, 5000);
  EXPECT_EQ(r.status, '1');
  EXPECT_LE(r.data.size(), 1000500u);
  EXPECT_TRUE(r.data == content.substr(0, r.data.size()));
  EXPECT_EQ(GetDownLoadCount(), 0);
  EXPECT_EQ(TransRows(), static_cast<int>(std::size(kCases)));
  EXPECT_NE(LogText().find("Read file " + m_share + "/r.bin error."), std::string::npos);
}

// Downloads at once share one budget of read-ahead buffers: each arrives whole, the
// buffers together stay within the budget (give or take the buffers made before a later
// download took its share), and all are gone once the downloads are over.
TEST_F(DownloadTest, DownloadsAtOnceShareOneReadAheadBudget) {
  constexpr int kDownloads = 6;
  constexpr int64_t kBudget = int64_t{kDownloads} * 8 * 32 * kPackageSize;
  SetReadAheadBudget(kBudget);
  const std::string content = RandomBytes(3000000, 11);
  m_dir.Write("share/many.bin", content);
  std::vector<MsgClient> clients;
  for (int i = 0; i < kDownloads; ++i) {
    clients.push_back(Connect());
    ASSERT_TRUE(Ask(clients.back(), 100 + i, m_share + "/many.bin").has_value());
  }
  std::atomic<bool> running{true};
  std::atomic<int64_t> most{0};
  std::thread sampler([&] {
    while (running) {
      most = std::max(most.load(), ReadAheadBytesMapped());
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::vector<Received> got(kDownloads);
  std::vector<std::thread> readers;
  for (int i = 0; i < kDownloads; ++i) {
    ASSERT_TRUE(clients[i].Send(OP_ALLOW_DOWN_LOAD_FILE, 100 + i, Offset(0)));
  }
  for (int i = 0; i < kDownloads; ++i) {
    readers.emplace_back([&, i] { got[i] = ReadDownload(clients[i], 100 + i, 10000); });
  }
  for (std::thread& t : readers) t.join();
  running = false;
  sampler.join();
  for (int i = 0; i < kDownloads; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].status, '0');
    EXPECT_TRUE(got[i].headsValid);
    EXPECT_TRUE(got[i].data == content);
  }
  EXPECT_GT(most.load(), 0);
  EXPECT_LE(most.load(), kBudget + (1 << 20));  // without the budget: 6 x 4 MiB
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ReadAheadBytesMapped() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(ReadAheadBytesMapped(), 0);
  SetReadAheadBudget(kDefaultReadAheadBudget);
}

TEST_F(DownloadTest, ConnectionClosedMidwayEndsTheDownloadWithoutALogRow) {
  // Bigger than what the socket buffers and the service's queue hold together.
  int fd = ::open(m_dir.Sub("share/big").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_EQ(::ftruncate(fd, 64 << 20), 0);
  ::close(fd);
  MsgClient c = Connect();
  ASSERT_TRUE(Ask(c, 3, m_share + "/big").has_value());
  ASSERT_TRUE(c.Send(OP_ALLOW_DOWN_LOAD_FILE, 3, Offset(0)));
  ASSERT_TRUE(c.Recv().has_value());  // the first package
  EXPECT_EQ(GetDownLoadCount(), 1);
  c.Reset();
  EXPECT_TRUE(apptest::WaitFor([] { return GetDownLoadCount() == 0; }));
  EXPECT_EQ(TransRows(), 0);
  // The service goes on serving.
  MsgClient next = Connect();
  ASSERT_TRUE(next.Send(OP_GET_SHARE_INFO, 1));
  EXPECT_TRUE(next.Recv().has_value());
  // A download still streaming when the server stops ends as well.
  ASSERT_TRUE(Ask(next, 4, m_share + "/big").has_value());
  ASSERT_TRUE(next.Send(OP_ALLOW_DOWN_LOAD_FILE, 4, Offset(0)));
  ASSERT_TRUE(next.Recv().has_value());
  EXPECT_EQ(GetDownLoadCount(), 1);
  m_server.reset();
  EXPECT_EQ(GetDownLoadCount(), 0);
  EXPECT_EQ(TransRows(), 0);
}

TEST_F(DownloadTest, OtherConnectionsAreServedDuringALargeDownload) {
  const size_t kSize = 50u << 20;
  std::string content = RandomBytes(kSize, 9);
  m_dir.Write("share/large", content);
  MsgClient a = Connect();
  ASSERT_TRUE(Ask(a, 1, m_share + "/large").has_value());
  long before = ResidentBytes();
  // The same connection's next request waits until the end message is queued.
  ASSERT_TRUE(a.SendRaw(MsgClient::Frame(OP_ALLOW_DOWN_LOAD_FILE, 1, Offset(0)) +
                        MsgClient::Frame(OP_GET_SHARE_INFO, 2)));
  ASSERT_TRUE(a.Recv().has_value());  // under way; a reads nothing more for now
  // The service queues a bounded amount, not the rest of the file.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_LT(ResidentBytes() - before, 16L << 20);

  MsgClient b = Connect();
  auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(b.Send(OP_GET_SHARE_INFO, 3));
  std::optional<Message> share = b.Recv();
  ASSERT_TRUE(share.has_value());
  EXPECT_EQ(share->head.opcode, OP_GET_SHARE_INFO);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(3));
  EXPECT_EQ(GetDownLoadCount(), 1);

  Received r = ReadDownload(a, 1, 5000);
  EXPECT_EQ(r.status, '0');
  EXPECT_EQ(r.data.size() + 1000, kSize);  // less the package read before
  EXPECT_TRUE(r.data == content.substr(1000));
  std::optional<Message> after = a.Recv();
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->head.opcode, OP_GET_SHARE_INFO);
  EXPECT_EQ(after->head.seq, 2u);
}

// The UDT path through the send seam: one message per package, the end in the reply.
std::vector<std::string> g_udtSent;
int g_udtFailAt = -1;

int FakeUdtSend(int32_t sock, const char* buf, int len) {
  EXPECT_EQ(sock, 21);
  if (static_cast<int>(g_udtSent.size()) == g_udtFailAt) return -1;
  g_udtSent.emplace_back(buf, static_cast<size_t>(len));
  return len;
}

struct HandlerResult {
  int result;
  std::string reply;
};

HandlerResult CallUdt(RegFun h, uint16_t opcode, uint32_t seq, const std::string& body) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[body.size() + 1]);
  std::memcpy(copy.get(), body.data(), body.size());
  MsgHead head{static_cast<uint16_t>(8 + body.size()), opcode, seq};
  uint8_t* reply = nullptr;
  int32_t replyLen = 0;
  int32_t udt = 21;
  uint8_t direct = 1;
  HandlerResult r;
  r.result = h(copy.get(), static_cast<uint32_t>(body.size()), &head, nullptr, &reply, &replyLen,
               &udt, &direct);
  if (reply != nullptr) r.reply.assign(reinterpret_cast<char*>(reply), replyLen);
  FreeReply(reply);
  return r;
}

TEST_F(DownloadTest, UdtSendsOneMessagePerPackage) {
  SetUdtSendForTest(FakeUdtSend);
  std::string content = RandomBytes(2500, 10);
  m_dir.Write("share/u", content);
  g_udtSent.clear();
  g_udtFailAt = -1;
  ASSERT_EQ(CallUdt(ReqDownLoadFile, OP_REQ_DOWN_LOAD_FILE, 8, Request(m_share + "/u")).result, 0);
  HandlerResult done = CallUdt(AllowDownLoadFile, OP_ALLOW_DOWN_LOAD_FILE, 8, Offset(1500));
  EXPECT_EQ(done.result, 0);
  ASSERT_EQ(g_udtSent.size(), 2u);
  EXPECT_EQ(wire::GetU16(U8(g_udtSent[0])), 1020);
  EXPECT_EQ(wire::GetU16(U8(g_udtSent[0]) + 2), OP_DOWN_LOAD_DATA);
  EXPECT_EQ(wire::GetU32(U8(g_udtSent[0]) + 8), 2u);
  EXPECT_EQ(g_udtSent[0].substr(20), content.substr(1500));
  EXPECT_EQ(g_udtSent[1].size(), 20u);
  ASSERT_EQ(done.reply.size(), 12u);
  EXPECT_EQ(done.reply[8], '0');
  EXPECT_EQ(TransRows(), 1);

  // A send failure ends the download without an end message or log row.
  g_udtSent.clear();
  g_udtFailAt = 1;
  ASSERT_EQ(CallUdt(ReqDownLoadFile, OP_REQ_DOWN_LOAD_FILE, 9, Request(m_share + "/u")).result, 0);
  HandlerResult failed = CallUdt(AllowDownLoadFile, OP_ALLOW_DOWN_LOAD_FILE, 9, Offset(0));
  EXPECT_EQ(failed.result, -1);
  EXPECT_TRUE(failed.reply.empty());
  EXPECT_EQ(g_udtSent.size(), 1u);
  EXPECT_EQ(GetDownLoadCount(), 0);
  EXPECT_EQ(TransRows(), 1);
  EXPECT_NE(LogText().find("Write return message error."), std::string::npos);
}

TEST_F(DownloadTest, StartWithNowhereToSendSendsNothing) {
  m_dir.Write("share/n", "n");
  // Announced over UDT; started by a message that has no connection and no socket.
  SetUdtSendForTest(FakeUdtSend);
  ASSERT_EQ(CallUdt(ReqDownLoadFile, OP_REQ_DOWN_LOAD_FILE, 4, Request(m_share + "/n")).result, 0);
  std::string body = Offset(0);
  MsgHead head{12, OP_ALLOW_DOWN_LOAD_FILE, 4};
  uint8_t* reply = nullptr;
  int32_t replyLen = 0;
  int32_t udt = -1;
  uint8_t direct = 1;
  EXPECT_EQ(AllowDownLoadFile(U8(body), 4, &head, nullptr, &reply, &replyLen, &udt, &direct), -1);
  EXPECT_EQ(reply, nullptr);
  EXPECT_EQ(TransSize(), 1u);
  EXPECT_EQ(GetDownLoadCount(), 0);
}

TEST_F(DownloadTest, StopIsAnsweredAfterItsWait) {
  MsgClient c = Connect();
  // Number 0 is answered at once.
  ASSERT_TRUE(c.Send(OP_STOP_DOWN_LOAD, 0));
  std::optional<Message> zero = c.Recv();
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(zero->head.length, 9);
  EXPECT_EQ(zero->head.opcode, OP_STOP_DOWN_LOAD);
  EXPECT_EQ(zero->body, "0");
  EXPECT_EQ(LogText().find("stop download"), std::string::npos);

  // A number nobody takes stays for the wait, then goes.
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(c.Send(OP_STOP_DOWN_LOAD, 42));
  std::optional<Message> unknown = c.Recv();
  ASSERT_TRUE(unknown.has_value());
  EXPECT_EQ(unknown->head.seq, 42u);
  EXPECT_EQ(unknown->body, "0");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  {
    std::lock_guard<std::mutex> lock(g_StopDownLoadMutex);
    EXPECT_TRUE(g_StopDownLoadList.empty());
  }

  // A relayed job that takes its number ends the wait early.
  std::atomic<bool> done{false};
  std::thread job([&] {
    while (!done) {
      std::lock_guard<std::mutex> lock(g_StopDownLoadMutex);
      g_StopDownLoadList.remove(43);
    }
  });
  ASSERT_TRUE(c.Send(OP_STOP_DOWN_LOAD, 43));
  EXPECT_TRUE(c.Recv().has_value());
  done = true;
  job.join();
  EXPECT_NE(LogText().find("stop download OK 43"), std::string::npos);
}

}  // namespace
