// Relayed downloads and the relayed-upload poller against a scripted central server on
// loopback: the real download handlers hand over to the jobs, whose frames the double
// records and answers as each test says.
#include "app/relay_transfer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/download.h"
#include "app/listing.h"
#include "app/trans_log.h"
#include "app/transfer_table.h"
#include "app_fixture.h"
#include "app_test_util.h"
#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/errors.h"
#include "comm/host_identity.h"
#include "comm/opcodes.h"
#include "comm/relay_client.h"
#include "comm/thread_pool.h"
#include "platform/net.h"
#include "support/fake_server.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char* kStation = "00-1A-2B-3C-4D-5E";
constexpr const char* kDevice = "d7:phone";

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

Bytes Msg(uint16_t opcode, uint32_t seq, const std::string& payload = "") {
  Bytes m(MsgHead::kSize + payload.size());
  MsgHead{static_cast<uint16_t>(m.size()), opcode, seq}.Encode(m.data());
  std::memcpy(m.data() + MsgHead::kSize, payload.data(), payload.size());
  return m;
}

// A relayed body as the relay client hands it to a handler: the device's id[64], the
// device's MsgHead, then the record.
std::string Relayed(const std::string& device, uint16_t opcode, uint32_t seq,
                    const std::string& record) {
  std::string b(kRelayPrefixSize + record.size(), '\0');
  auto* p = reinterpret_cast<uint8_t*>(b.data());
  wire::PutTextFull(p, 64, device);
  MsgHead{static_cast<uint16_t>(8 + record.size()), opcode, seq}.Encode(p + 64);
  b.replace(kRelayPrefixSize, record.size(), record);
  return b;
}

std::string Offset(uint32_t offset) {
  std::string b(4, '\0');
  wire::PutU32(reinterpret_cast<uint8_t*>(b.data()), offset);
  return b;
}

// One frame the double received.
struct Frame {
  int conn = 0;  // 1 for the first connection
  Bytes bytes;
  uint16_t Command() const { return wire::GetU16(bytes.data() + 4); }
  std::string Id() const { return wire::GetText(bytes.data() + 6, 64); }
  std::string Target() const { return wire::GetText(bytes.data() + 70, 64); }
  // The message behind the target.
  const uint8_t* Inner() const { return bytes.data() + 134; }
  bool IsEnd() const { return bytes.size() == kInterOverFrameSize; }
  char Status() const { return static_cast<char>(Inner()[8]); }
  uint32_t Package() const { return wire::GetU32(Inner() + 8); }
  std::string Data() const {
    return std::string(reinterpret_cast<const char*>(Inner()) + 20, bytes.size() - 154);
  }
};

// What the double does with a download frame.
struct Action {
  enum Kind { Answer, Reset } kind = Answer;
  uint16_t result = 0;
  int holdMs = 0;   // wait this long before the answer
  int resetMs = 0;  // Reset: answer, then reset the connection this much later
  static Action Result(uint16_t r) { return Action{Answer, r, 0, 0}; }
};

// The central server as the relayed transfers see it: records every download frame and
// answers it as the script says, and answers polls from a list of prepared answers.
class FakeCentral {
 public:
  FakeCentral() {
    m_listen = support::ListenTcp(0, 64, &m_port);
    EXPECT_GE(m_listen, 0);
    m_accept = std::thread([this] { AcceptLoop(); });
  }
  ~FakeCentral() {
    m_done = true;
    Release();
    StopListening();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (int fd : m_fds)
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }
    if (m_accept.joinable()) m_accept.join();
    for (auto& t : m_threads) t.join();
    for (int fd : m_fds)
      if (fd >= 0) ::close(fd);
  }

  uint16_t port() const { return m_port; }
  // Closes the listening socket: connects are refused from now on.
  void StopListening() {
    int fd = m_listen.exchange(-1);
    if (fd >= 0) {
      ::shutdown(fd, SHUT_RDWR);
      ::close(fd);
    }
  }

  void SetScript(std::function<Action(const Frame&)> script) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script = std::move(script);
  }
  // Holds every answer until Release.
  void Hold() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holding = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_holding = false;
    }
    m_cond.notify_all();
  }
  // A raw answer to the next poll; polls find {8, 6, 0x100C, 0x100A} once these are used.
  void AddPollAnswer(const Bytes& raw) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pollAnswers.push_back(raw);
  }
  static Bytes PollAnswer(uint16_t result, const Bytes& payload = {}) {
    Bytes a(8 + payload.size());
    ServerReplyHead{static_cast<uint16_t>(a.size()), 6, SV_INTER_LINE_UP_LOAD, result}.Encode(
        a.data());
    std::copy(payload.begin(), payload.end(), a.begin() + 8);
    return a;
  }

  std::vector<Frame> Frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
  }
  std::vector<Frame> FramesOf(int conn) {
    std::vector<Frame> out;
    for (Frame& f : Frames())
      if (f.conn == conn) out.push_back(std::move(f));
    return out;
  }
  int Connections() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
  }
  // Connections open now.
  int Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
  }
  // When each poll came, and on which connection.
  std::vector<std::pair<int, Clock::time_point>> Polls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_polls;
  }
  std::vector<Bytes> PollFrames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pollFrames;
  }
  size_t EndFrames() {
    size_t n = 0;
    for (const Frame& f : Frames()) n += f.IsEnd() ? 1 : 0;
    return n;
  }

 private:
  void AcceptLoop() {
    for (;;) {
      int l = m_listen.load();
      if (l < 0) return;
      pollfd p{l, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int fd = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(m_mutex);
      int conn = ++m_connections;
      ++m_open;
      m_fds.push_back(fd);
      m_threads.emplace_back([this, fd, conn] { Serve(fd, conn); });
    }
  }

  void Serve(int fd, int conn) {
    for (;;) {
      uint8_t head[70];
      if (platform::RecvAll(fd, head, sizeof head) != 0) break;
      uint16_t length = wire::GetU16(head);
      if (length < 70) break;
      Frame f;
      f.conn = conn;
      f.bytes.assign(head, head + 70);
      f.bytes.resize(length);
      if (length > 70 && platform::RecvAll(fd, f.bytes.data() + 70, length - 70) != 0) break;
      if (f.Command() == SV_INTER_LINE_UP_LOAD) {
        Bytes answer;
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          m_polls.emplace_back(conn, Clock::now());
          m_pollFrames.push_back(f.bytes);
          if (m_pollAnswers.empty()) {
            answer = PollAnswer(0x100A);
          } else {
            answer = m_pollAnswers.front();
            m_pollAnswers.erase(m_pollAnswers.begin());
          }
        }
        if (platform::SendAll(fd, answer.data(), answer.size()) != 0) break;
        continue;
      }
      Action a;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_frames.push_back(f);
        if (m_script) a = m_script(f);
        m_cond.wait(lock, [&] { return !m_holding || m_done; });
      }
      if (a.holdMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(a.holdMs));
      uint8_t answer[8];
      ServerReplyHead{8, 6, SV_INTER_LINE_DOWN_LOAD, a.result}.Encode(answer);
      if (platform::SendAll(fd, answer, sizeof answer) != 0) break;
      if (a.kind == Action::Reset) {
        std::this_thread::sleep_for(std::chrono::milliseconds(a.resetMs));
        // Closing with a zero linger time resets the connection.
        linger lg{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        std::lock_guard<std::mutex> lock(m_mutex);
        std::replace(m_fds.begin(), m_fds.end(), fd, -1);
        ::close(fd);
        --m_open;
        return;
      }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_open;
  }

  std::atomic<int> m_listen{-1};
  uint16_t m_port = 0;
  std::atomic<bool> m_done{false};
  std::thread m_accept;
  std::mutex m_mutex;
  std::condition_variable m_cond;
  std::vector<std::thread> m_threads;
  std::vector<int> m_fds;
  std::function<Action(const Frame&)> m_script;
  bool m_holding = false;
  int m_connections = 0;
  int m_open = 0;
  std::vector<Frame> m_frames;
  std::vector<Bytes> m_pollAnswers;
  std::vector<std::pair<int, Clock::time_point>> m_polls;
  std::vector<Bytes> m_pollFrames;
};

struct Call {
  int result = 0;
  std::string reply;
};

// Calls a handler the way the relay client does for a relayed request.
Call CallRelayed(RegFun fn, uint16_t opcode, uint32_t seq, const std::string& body) {
  MsgHead head{static_cast<uint16_t>(body.size() - 64), opcode, seq};
  uint8_t* reply = nullptr;
  int32_t replyLen = 0;
  int32_t udt = -1;
  uint8_t direct = 0;
  Call c;
  c.result = fn(reinterpret_cast<const uint8_t*>(body.data()), static_cast<uint32_t>(body.size()),
                &head, nullptr, &reply, &replyLen, &udt, &direct);
  if (reply != nullptr) c.reply.assign(reinterpret_cast<char*>(reply), replyLen);
  FreeReply(reply);
  return c;
}

class RelayTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    g_Log.SetRepeatWindow(0);  // the cases count repeated lines
    apptest::OpenTestDb(m_dir);
    m_dir.MakeDir("share");
    m_share = m_dir.Sub("share");
    ASSERT_EQ(SetShareInfo({m_share}), 0);
    std::snprintf(g_MacBuf, sizeof g_MacBuf, "%s", kStation);
    if (g_ThreadPool == nullptr) g_ThreadPool = ThreadPool_Create();
    OS_ClearStopFlag();
    TransTableClear();
    SetStopDownLoadWaitStep(std::chrono::milliseconds(5));
    m_config.host = "127.0.0.1";
    m_config.port = m_server.port();
    m_config.connectTimeoutMs = 1000;
    m_config.ioTimeoutMs = 3000;
    m_config.reconnectWaitMs = 5;
    m_config.reconnectLimitMs = 75;
    m_config.fullWaitMs = 1;
    m_config.fullLimitMs = 300;
    m_config.pollCycleMs = 20;
    m_config.backoffStartMs = 2;
    m_config.backoffLimitMs = 40;
    SetRelayTransferConfig(m_config);
  }
  void TearDown() override {
    EXPECT_TRUE(apptest::WaitFor([] { return InterDownLoadJobCount() == 0; }, 5000));
    StopPoller();
    EXPECT_EQ(GetDownLoadCount(), 0);
    SetRelayTransferConfig(RelayTransferConfig{});
    g_Log.SetRepeatWindow(CLog::kDefaultRepeatWindowMs);
    TransTableClear();
    OS_ClearRegistry();
    g_DB.CloseFile();
    g_Log.Close();
  }

  std::string LogText() const { return m_dir.Read("Log.txt"); }
  size_t LogCount(const std::string& text) const {
    std::string log = LogText();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

  // Announces share/name (content given) for the device over the relay.
  void Announce(const std::string& name, const std::string& content, uint32_t seq,
                const std::string& device = kDevice) {
    m_dir.Write("share/" + name, content);
    std::string rec(kDownLoadRequestSize, '\0');
    std::string path = m_share + "/" + name;
    rec.replace(1, path.size(), path);
    Call c = CallRelayed(ReqDownLoadFile, OP_REQ_DOWN_LOAD_FILE, seq,
                         Relayed(device, OP_REQ_DOWN_LOAD_FILE, seq, rec));
    ASSERT_EQ(c.result, 0);
    ASSERT_EQ(c.reply.size(), kDownLoadInfoSize);
  }
  Call Start(uint32_t seq, uint32_t offset = 0, const std::string& device = kDevice) {
    return CallRelayed(AllowDownLoadFile, OP_ALLOW_DOWN_LOAD_FILE, seq,
                       Relayed(device, OP_ALLOW_DOWN_LOAD_FILE, seq, Offset(offset)));
  }
  Call Stop(uint32_t seq, const std::string& device = kDevice) {
    return CallRelayed(StopDownLoad, OP_STOP_DOWN_LOAD, seq,
                       Relayed(device, OP_STOP_DOWN_LOAD, seq, ""));
  }
  bool JobsEnd(int ms = 5000) {
    return apptest::WaitFor([] { return InterDownLoadJobCount() == 0; }, ms);
  }
  std::vector<TransLogRow> Rows() {
    std::vector<TransLogRow> rows;
    GetTransLog(rows);
    return rows;
  }

  void StartPoller() {
    m_poller = std::thread([this] { InterLineUpLoadFile(&m_config); });
  }
  void StopPoller() {
    if (!m_poller.joinable()) return;
    OS_SetStopFlag();
    m_poller.join();
    OS_ClearStopFlag();
  }
  // An open upload, so the poller polls.
  void OpenUpload(uint32_t seq) {
    auto rec = std::make_shared<TransRecord>();
    rec->kind = TransKind::Upload;
    rec->origin = TransOrigin::Relay(kDevice);
    ASSERT_TRUE(TransInsert(seq, rec));
  }

  support::TempDir m_dir;
  std::string m_share;
  FakeCentral m_server;
  RelayTransferConfig m_config;
  std::thread m_poller;
};

// ---- Downloads

TEST_F(RelayTransferTest, DownloadGoesFrameByFrameAndEndsWithItsLogRow) {
  struct Case {
    size_t size;
    uint32_t offset;
    std::vector<size_t> lengths;  // of the data frames
    uint32_t firstPackage;
  };
  const Case cases[] = {
      {2500, 0, {1154, 1154, 654}, 1},
      {2000, 0, {1154, 1154, 154}, 1},
      {0, 0, {154}, 1},
      {1, 0, {155}, 1},
      {1001, 0, {1154, 155}, 1},
      {2500, 1500, {1154, 154}, 2},
  };
  uint32_t seq = 100;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.size);
    SCOPED_TRACE(k.offset);
    ++seq;
    const std::string content = RandomBytes(k.size, seq);
    const std::string name = "f" + std::to_string(seq);
    Announce(name, content, seq);
    size_t before = m_server.Frames().size();
    Call c = Start(seq, k.offset);
    EXPECT_EQ(c.result, 0);
    EXPECT_TRUE(c.reply.empty());
    ASSERT_TRUE(JobsEnd());

    std::vector<Frame> frames = m_server.Frames();
    frames.erase(frames.begin(), frames.begin() + static_cast<ptrdiff_t>(before));
    ASSERT_EQ(frames.size(), k.lengths.size() + 1);
    std::string data;
    for (size_t i = 0; i < k.lengths.size(); ++i) {
      const Frame& f = frames[i];
      ASSERT_EQ(f.bytes.size(), k.lengths[i]);
      EXPECT_EQ(wire::GetU16(f.bytes.data()), k.lengths[i]);
      EXPECT_EQ(wire::GetU16(f.bytes.data() + 2), 6);
      EXPECT_EQ(f.Command(), SV_INTER_LINE_DOWN_LOAD);
      EXPECT_EQ(f.Id(), kStation);
      EXPECT_EQ(f.Target(), kDevice);
      MsgHead inner = MsgHead::Decode(f.Inner());
      EXPECT_EQ(inner.length, k.lengths[i] - 134);
      EXPECT_EQ(inner.opcode, OP_DOWN_LOAD_DATA);
      EXPECT_EQ(inner.seq, seq);
      EXPECT_EQ(f.Package(), k.firstPackage + i);
      EXPECT_EQ(wire::GetU64(f.Inner() + 12), 0u);
      data += f.Data();
    }
    EXPECT_EQ(data, content.substr(std::min<size_t>(k.offset, content.size())));
    const Frame& end = frames.back();
    ASSERT_TRUE(end.IsEnd());
    EXPECT_EQ(wire::GetU16(end.bytes.data()), kInterOverFrameSize);
    EXPECT_EQ(end.Target(), kDevice);
    MsgHead over = MsgHead::Decode(end.Inner());
    EXPECT_EQ(over.length, 12);
    EXPECT_EQ(over.opcode, OP_DOWN_LOAD_OVER);
    EXPECT_EQ(over.seq, seq);
    EXPECT_EQ(end.Status(), '0');
    EXPECT_EQ(end.conn, frames.front().conn);  // one connection per download

    std::vector<TransLogRow> rows = Rows();
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.back().type, TRANS_LOG_DOWNLOAD);
    EXPECT_EQ(std::string(rows.back().file), m_share + "/" + name);
    EXPECT_EQ(rows.back().size, k.size);
  }
  EXPECT_EQ(TransSize(), 0u);
  EXPECT_NE(LogText().find("begain download file " + m_share + "/f106 using interline, "
                           "package count 1."),
            std::string::npos);
}

TEST_F(RelayTransferTest, IdsAreCutToSixtyThreeCharacters) {
  const std::string longDevice(64, 'x');
  Announce("a", "abc", 5, longDevice);
  EXPECT_EQ(Start(5, 0, longDevice).result, 0);
  ASSERT_TRUE(JobsEnd());
  std::vector<Frame> frames = m_server.Frames();
  ASSERT_EQ(frames.size(), 2u);
  for (const Frame& f : frames) {
    EXPECT_EQ(f.Target(), std::string(63, 'x'));
    EXPECT_EQ(f.bytes[70 + 63], 0);
  }
  EXPECT_EQ(frames.back().Status(), '0');
}

TEST_F(RelayTransferTest, FullServerGetsTheSameFrameAgain) {
  int full = 3;
  m_server.SetScript([&](const Frame& f) {
    if (f.Package() == 2 && !f.IsEnd() && full > 0) {
      --full;
      return Action::Result(ERR_SERVER_CASH_FULL);
    }
    return Action::Result(0);
  });
  const std::string content = RandomBytes(2500, 1);
  Announce("a", content, 9);
  Start(9);
  ASSERT_TRUE(JobsEnd());
  std::vector<Frame> frames = m_server.Frames();
  ASSERT_EQ(frames.size(), 4u + 3u);  // package 2 four times
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(frames[i].bytes, frames[1].bytes);
  EXPECT_EQ(frames[5].Package(), 3u);
  EXPECT_EQ(frames.back().Status(), '0');
  EXPECT_EQ(LogCount("server cash is full. time: "), 3u);
  EXPECT_NE(LogText().find("server cash is full. time: 3, file "), std::string::npos);
  EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(RelayTransferTest, FullServerForTooLongOrAnotherResultEndsWithOne) {
  // 4116 for ever: the frame goes once and again after each of 300 waits; the 301st
  // wait passes the limit.
  m_server.SetScript([](const Frame& f) {
    return Action::Result(f.IsEnd() ? 0 : ERR_SERVER_CASH_FULL);
  });
  Announce("a", RandomBytes(10, 2), 1);
  Start(1);
  ASSERT_TRUE(JobsEnd());
  std::vector<Frame> frames = m_server.Frames();
  ASSERT_EQ(frames.size(), 302u);
  EXPECT_EQ(frames.back().Status(), '1');
  EXPECT_EQ(LogCount("server cash is full. time: "), 301u);
  EXPECT_NE(LogText().find("download file " + m_share + "/a time out."), std::string::npos);

  // Any other result ends the download at once.
  m_server.SetScript([](const Frame& f) { return Action::Result(f.IsEnd() ? 0 : 0x1009); });
  Announce("b", RandomBytes(3000, 3), 2);
  Start(2);
  ASSERT_TRUE(JobsEnd());
  std::vector<Frame> second = m_server.FramesOf(2);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0].Package(), 1u);
  EXPECT_EQ(second[1].Status(), '1');
  EXPECT_TRUE(Rows().empty());
}

TEST_F(RelayTransferTest, ASendFailureReconnectsAndSendsTheSameFrame) {
  // Package 2 is answered 4116 and the connection reset while the job waits; the next
  // send fails, and the frame goes again on a new connection.
  m_config.fullWaitMs = 150;
  SetRelayTransferConfig(m_config);
  m_server.SetScript([](const Frame& f) {
    if (f.conn == 1 && f.Package() == 2) return Action{Action::Reset, ERR_SERVER_CASH_FULL, 0, 30};
    return Action::Result(0);
  });
  const std::string content = RandomBytes(3500, 4);
  Announce("a", content, 3);
  Start(3);
  ASSERT_TRUE(JobsEnd());
  std::vector<Frame> first = m_server.FramesOf(1);
  std::vector<Frame> second = m_server.FramesOf(2);
  ASSERT_EQ(first.size(), 2u);
  ASSERT_EQ(second.size(), 4u);  // packages 2, 3, 4 and the end
  EXPECT_EQ(second[0].bytes, first[1].bytes);
  std::string data = first[0].Data();
  for (size_t i = 0; i + 1 < second.size(); ++i) data += second[i].Data();
  EXPECT_EQ(data, content);
  EXPECT_EQ(second.back().Status(), '0');
  EXPECT_TRUE(apptest::InOrder(LogText(), {"send error reconnect.", "send error reconnect ok."}));
  EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(RelayTransferTest, AnUnreachableServerEndsTheDownloadWithoutEndFrame) {
  // After the reset nothing listens any more: 16 failed reconnects of 5 ms pass 75 ms.
  m_server.SetScript([this](const Frame&) {
    m_server.StopListening();
    return Action{Action::Reset, ERR_SERVER_CASH_FULL, 0, 0};
  });
  m_config.fullWaitMs = 50;
  SetRelayTransferConfig(m_config);
  Announce("a", RandomBytes(1500, 5), 4);
  Start(4);
  ASSERT_TRUE(JobsEnd());
  EXPECT_EQ(m_server.Frames().size(), 1u);
  EXPECT_EQ(m_server.EndFrames(), 0u);
  EXPECT_EQ(LogCount("send error reconnect."), 16u);
  EXPECT_EQ(LogCount("send error reconnect ok."), 0u);
  EXPECT_NE(LogText().find("download file " + m_share + "/a time out."), std::string::npos);
  EXPECT_TRUE(Rows().empty());
}

TEST_F(RelayTransferTest, StartWithoutEntryOrServer) {
  // A number nobody announced, and a start too short for its offset: "1" from the job.
  EXPECT_EQ(Start(77).result, 0);
  Announce("a", "abc", 78);
  std::string shortStart = Relayed(kDevice, OP_ALLOW_DOWN_LOAD_FILE, 78, "");
  EXPECT_EQ(CallRelayed(AllowDownLoadFile, OP_ALLOW_DOWN_LOAD_FILE, 78, shortStart).result, 0);
  ASSERT_TRUE(JobsEnd());
  std::vector<Frame> frames = m_server.Frames();
  ASSERT_EQ(frames.size(), 2u);
  for (const Frame& f : frames) {
    EXPECT_TRUE(f.IsEnd());
    EXPECT_EQ(f.Status(), '1');
  }
  EXPECT_EQ(TransSize(), 1u);  // the short start took nothing

  // Another device cannot start this device's download.
  EXPECT_EQ(Start(78, 0, "d9:other").result, 0);
  ASSERT_TRUE(JobsEnd());
  EXPECT_EQ(m_server.Frames().back().Status(), '1');
  EXPECT_EQ(TransSize(), 1u);

  // No server: the job ends silently and leaves no entry behind.
  m_server.StopListening();
  EXPECT_EQ(Start(78).result, 0);
  ASSERT_TRUE(JobsEnd());
  EXPECT_EQ(TransSize(), 0u);
  EXPECT_EQ(m_server.Frames().size(), 3u);
  EXPECT_EQ(GetDownLoadCount(), 0);
}

TEST_F(RelayTransferTest, StopReachesTheJobOfItsDeviceDuringAWait) {
  // The server stays full, with long pauses: only a stop ends the job early.
  m_config.fullWaitMs = 20000;
  m_config.fullLimitMs = 60000;
  SetRelayTransferConfig(m_config);
  m_server.SetScript([](const Frame&) { return Action::Result(ERR_SERVER_CASH_FULL); });
  Announce("a", RandomBytes(5000, 6), 12);
  Start(12);
  ASSERT_TRUE(apptest::WaitFor([&] { return m_server.Frames().size() == 1; }));
  ASSERT_TRUE(apptest::WaitFor([] { return GetDownLoadCount() == 1; }));

  // The same number from another device stops nothing.
  Call other = Stop(12, "d9:other");
  EXPECT_EQ(other.reply.size(), kStopDownLoadReplySize);
  EXPECT_EQ(InterDownLoadJobCount(), 1u);
  EXPECT_EQ(LogCount("stop download OK 12"), 0u);

  auto started = Clock::now();
  Call stop = Stop(12);
  EXPECT_EQ(stop.result, 0);
  ASSERT_EQ(stop.reply.size(), kStopDownLoadReplySize);
  EXPECT_EQ(stop.reply[8], '0');
  ASSERT_TRUE(JobsEnd(10000));
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));  // not the 20 s pause
  EXPECT_EQ(m_server.Frames().size(), 1u);
  EXPECT_EQ(m_server.EndFrames(), 0u);
  EXPECT_EQ(GetDownLoadCount(), 0);
  EXPECT_EQ(LogCount("get cmd to stop download OK 12"), 1u);
  EXPECT_EQ(LogCount("stop download OK 12"), 2u);  // the job's line and the request's
  std::lock_guard<std::mutex> lock(g_StopDownLoadMutex);
  EXPECT_TRUE(g_StopDownLoadList.empty());
}

TEST_F(RelayTransferTest, StopHeardLateStillEndsTheJobBeforeItsNextFrame) {
  // The answer to package 2 comes only after the stop request has stopped waiting.
  m_server.SetScript([](const Frame& f) {
    return Action{Action::Answer, 0, f.Package() == 2 ? 300 : 0, 0};
  });
  Announce("a", RandomBytes(5000, 7), 13);
  Start(13);
  ASSERT_TRUE(apptest::WaitFor([&] { return m_server.Frames().size() == 2; }));
  Call stop = Stop(13);
  EXPECT_EQ(stop.reply.size(), kStopDownLoadReplySize);
  ASSERT_TRUE(JobsEnd());
  EXPECT_EQ(m_server.Frames().size(), 2u);
  EXPECT_EQ(m_server.EndFrames(), 0u);
  EXPECT_EQ(LogCount("get cmd to stop download OK 13"), 1u);
  EXPECT_TRUE(Rows().empty());
}

TEST_F(RelayTransferTest, AtMostEightDownloadsSendAtOnce) {
  m_server.Hold();
  for (uint32_t seq = 1; seq <= 10; ++seq) {
    Announce("f" + std::to_string(seq), RandomBytes(1500, seq), seq);
    EXPECT_EQ(Start(seq).result, 0);
  }
  ASSERT_TRUE(apptest::WaitFor([&] { return m_server.Frames().size() == 8; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(m_server.Connections(), 8);
  EXPECT_EQ(m_server.Frames().size(), 8u);
  EXPECT_EQ(InterDownLoadRunningCount(), 8u);
  EXPECT_EQ(InterDownLoadJobCount(), 10u);
  EXPECT_EQ(GetDownLoadCount(), 8);

  m_server.Release();
  ASSERT_TRUE(JobsEnd());
  EXPECT_EQ(m_server.Connections(), 10);
  EXPECT_EQ(m_server.EndFrames(), 10u);
  for (const Frame& f : m_server.Frames()) {
    if (f.IsEnd()) {
      EXPECT_EQ(f.Status(), '0');
    }
  }
  EXPECT_EQ(Rows().size(), 10u);
  EXPECT_EQ(InterDownLoadRunningCount(), 0u);
}

TEST_F(RelayTransferTest, AWaitingDownloadCanBeStoppedAndServiceStopEndsJobs) {
  m_config.maxJobs = 1;
  SetRelayTransferConfig(m_config);
  m_server.Hold();
  Announce("a", RandomBytes(1500, 1), 1);
  Announce("b", RandomBytes(1500, 2), 2);
  Start(1);
  Start(2);
  ASSERT_TRUE(apptest::WaitFor([&] { return m_server.Frames().size() == 1; }));
  EXPECT_EQ(InterDownLoadJobCount(), 2u);
  Stop(2);  // still waiting for its turn
  m_server.Release();
  ASSERT_TRUE(JobsEnd());
  EXPECT_EQ(m_server.Connections(), 1);
  EXPECT_EQ(LogCount("get cmd to stop download OK 2"), 1u);

  // The service's stop ends a job that pauses.
  m_config.fullWaitMs = 20000;
  m_config.fullLimitMs = 60000;
  SetRelayTransferConfig(m_config);
  m_server.SetScript([](const Frame&) { return Action::Result(ERR_SERVER_CASH_FULL); });
  Announce("c", RandomBytes(1500, 3), 3);
  Start(3);
  ASSERT_TRUE(apptest::WaitFor([&] { return m_server.Frames().size() == 4; }));
  OS_SetStopFlag();
  EXPECT_TRUE(JobsEnd(10000));  // not the 20 s pause
  OS_ClearStopFlag();
  EXPECT_EQ(m_server.EndFrames(), 1u);
}

// ---- The relayed-upload poller

struct Fetched {
  MsgHead head;
  std::string body;
  bool conn = false;
  int32_t udt = 0;
  uint8_t direct = 0;
};
std::mutex g_fetchedMutex;
std::vector<Fetched> g_fetched;

int RecordFetched(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                  uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  std::lock_guard<std::mutex> lock(g_fetchedMutex);
  g_fetched.push_back(Fetched{*head, std::string(reinterpret_cast<const char*>(body), bodyLen),
                              conn != nullptr, *udtSock, *direct});
  // A reply is dropped unsent.
  *reply = AllocReply(8);
  *replyLen = 8;
  return 0;
}

std::vector<Fetched> FetchedMessages() {
  std::lock_guard<std::mutex> lock(g_fetchedMutex);
  return g_fetched;
}

class PollerTest : public RelayTransferTest {
 protected:
  void SetUp() override {
    RelayTransferTest::SetUp();
    OS_ClearRegistry();
    {
      std::lock_guard<std::mutex> lock(g_fetchedMutex);
      g_fetched.clear();
    }
    for (uint16_t op : {OP_UP_LOAD_FILE, OP_OVER_UP_LOAD_FILE, OP_ALLOW_DOWN_LOAD_FILE,
                        OP_SHOW_GET_SHARE}) {
      ASSERT_EQ(OS_RegFunction(RecordFetched, op), 0);
    }
  }
};

TEST_F(PollerTest, PollsOnlyWhileUploadsAreOpen) {
  StartPoller();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(m_server.Connections(), 0);

  OpenUpload(1);
  ASSERT_TRUE(apptest::WaitFor([&] { return !m_server.Polls().empty(); }, 5000));
  Bytes poll = m_server.PollFrames().front();
  Bytes expected(70);
  ServerMsgHead{70, 6, SV_INTER_LINE_UP_LOAD, kStation}.Encode(expected.data());
  EXPECT_EQ(poll, expected);

  // With the upload gone, the next empty answer ends the cycle, and no cycle follows.
  // The cycle under way is over once its connection is closed.
  TransTableClear();
  ASSERT_TRUE(apptest::WaitFor([&] { return m_server.Open() == 0; }, 5000));
  int connections = m_server.Connections();
  size_t polls = m_server.Polls().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(m_server.Connections(), connections);
  EXPECT_EQ(m_server.Polls().size(), polls);
  EXPECT_EQ(m_server.Open(), 0);
}

TEST_F(PollerTest, BacksOffThenStartsANewCycle) {
  OpenUpload(1);
  // Two empty answers of result 0: polled again at once on the same connection.
  m_server.AddPollAnswer(FakeCentral::PollAnswer(0));
  m_server.AddPollAnswer(FakeCentral::PollAnswer(0));
  StartPoller();
  // Until the second cycle's first poll has arrived, not just its connection.
  auto secondCycle = [&] {
    for (auto& [conn, at] : m_server.Polls())
      if (conn == 2) return true;
    return false;
  };
  ASSERT_TRUE(apptest::WaitFor(secondCycle, 3000));
  StopPoller();
  auto polls = m_server.Polls();
  std::vector<Clock::time_point> first;
  for (auto& [conn, at] : polls)
    if (conn == 1) first.push_back(at);
  ASSERT_GT(polls.size(), first.size());
  // 2 answered 0, then nothing for back-offs of 2, 4, 8, 16, 32 ms; 64 passes 40.
  ASSERT_EQ(first.size(), 2u + 5u);
  auto gap = [&](size_t i) { return first[i + 1] - first[i]; };
  unsigned backoff = 2;
  for (size_t i = 2; i + 1 < first.size(); ++i, backoff *= 2) {
    EXPECT_GE(gap(i), std::chrono::milliseconds(backoff)) << i;
  }
  // The next cycle starts after its pause, with the back-off from the start again.
  EXPECT_GE(polls[first.size()].second - first.back(), std::chrono::milliseconds(32 + 20));
}

TEST_F(PollerTest, DispatchesOnlyWholeUploadMessages) {
  OpenUpload(1);
  auto whole = [](const Bytes& m) { return FakeCentral::PollAnswer(0, m); };
  m_server.AddPollAnswer(whole(Msg(OP_UP_LOAD_FILE, 1, std::string(12, '\0') + "hello")));
  // Not upload messages: dropped, although handlers exist.
  m_server.AddPollAnswer(whole(Msg(OP_ALLOW_DOWN_LOAD_FILE, 1, "abcd")));
  m_server.AddPollAnswer(whole(Msg(OP_SHOW_GET_SHARE, 1)));
  // Shorter than a head, and heads that do not match their size.
  m_server.AddPollAnswer(whole({0, 1, 2, 3}));
  Bytes longer = Msg(OP_UP_LOAD_FILE, 1, std::string(30, 'x'));
  wire::PutU16(longer.data(), 100);
  m_server.AddPollAnswer(whole(longer));
  Bytes shorter = Msg(OP_UP_LOAD_FILE, 1, std::string(30, 'x'));
  wire::PutU16(shorter.data(), 20);
  m_server.AddPollAnswer(whole(shorter));
  // A refusal with a payload: read over, so the next answer is found.
  m_server.AddPollAnswer(FakeCentral::PollAnswer(0x1002, Bytes(40, 0x55)));
  m_server.AddPollAnswer(whole(Msg(OP_OVER_UP_LOAD_FILE, 1, std::string(1, '\0'))));
  m_server.AddPollAnswer(whole(Msg(OP_UP_LOAD_FILE, 2, std::string(12, '\0'))));
  StartPoller();
  ASSERT_TRUE(apptest::WaitFor([] { return FetchedMessages().size() == 3; }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  StopPoller();

  std::vector<Fetched> got = FetchedMessages();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].head.opcode, OP_UP_LOAD_FILE);
  EXPECT_EQ(got[0].head.length, 8 + 12 + 5);
  EXPECT_EQ(got[0].body, std::string(12, '\0') + "hello");
  EXPECT_EQ(got[1].head.opcode, OP_OVER_UP_LOAD_FILE);
  EXPECT_EQ(got[1].body, std::string(1, '\0'));
  EXPECT_EQ(got[2].head.seq, 2u);
  for (const Fetched& f : got) {
    EXPECT_FALSE(f.conn);
    EXPECT_EQ(f.udt, -1);
    EXPECT_EQ(f.direct, 1);
  }
  // The stream stayed in step: every prepared answer went on the first connection.
  auto polls = m_server.Polls();
  ASSERT_GE(polls.size(), 9u);
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(polls[i].first, 1) << i;
  EXPECT_EQ(LogCount("dropped."), 5u);
}

}  // namespace
