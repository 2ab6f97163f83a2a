// The central server against the service's own exchange (RequestServer), and raw
// sockets for what the service never sends.
#include "central/central_server.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "central/records.h"
#include "comm/opcodes.h"
#include "comm/server_exchange.h"
#include "platform/net.h"
#include "support/temp_dir.h"

#include "central_fixture.h"

namespace {

using namespace central_test;

TEST_F(CentralTest, LogOnResults) {
  StartServer();
  struct Case {
    const char* name;
    std::string email, psw;
    int result;
  } cases[] = {
      {"unknown e-mail", "nobody@example.com", m_hash, RESULT_UNKNOWN_ACCOUNT},
      {"empty e-mail", "", m_hash, RESULT_UNKNOWN_ACCOUNT},
      {"wrong hash", kEmail, HashPassword("other"), RESULT_WRONG_PASSWORD},
      {"empty hash", kEmail, "", RESULT_WRONG_PASSWORD},
      {"the hash's prefix", kEmail, m_hash.substr(0, 10), RESULT_WRONG_PASSWORD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Request(SV_LOG_ON, LogOnPayload(c.email, c.psw)), c.result);
  }
  // Failed logons leave no record behind.
  EXPECT_FALSE(m_server->Stations().Find(kStation).has_value());

  EXPECT_EQ(LogOn(), 0);
  StationState s = Station();
  EXPECT_TRUE(s.loggedOn);
  EXPECT_EQ(s.email, kEmail);
  EXPECT_EQ(s.osName, "Linux");
  EXPECT_EQ(s.systemType, 2);
  EXPECT_EQ(s.logOnTime, m_now.load());
  EXPECT_EQ(s.peerAddress.rfind("127.0.0.1:", 0), 0u);

  // A later failed logon does not undo it.
  EXPECT_EQ(Request(SV_LOG_ON, LogOnPayload(kEmail, "bad")), RESULT_WRONG_PASSWORD);
  EXPECT_TRUE(Station().loggedOn);
}

TEST_F(CentralTest, AccountsChangedWhileRunningCountAtOnce) {
  StartServer();
  AccountStore admin;
  std::string error;
  ASSERT_TRUE(admin.Open(DbPath(), &error));
  std::string other = HashPassword("pw2");
  EXPECT_EQ(Request(SV_LOG_ON, LogOnPayload("new@example.com", other)), RESULT_UNKNOWN_ACCOUNT);
  ASSERT_TRUE(admin.Add("new@example.com", other, &error));
  EXPECT_EQ(Request(SV_LOG_ON, LogOnPayload("new@example.com", other)), 0);
  ASSERT_EQ(admin.Remove(kEmail, &error), 1);
  EXPECT_EQ(LogOn(), RESULT_UNKNOWN_ACCOUNT);
}

TEST_F(CentralTest, KeepsWhatALoggedOnPcReports) {
  StartServer();
  ASSERT_EQ(LogOn(), 0);

  m_now = 2'000'000;
  const uint8_t ip[4] = {192, 168, 1, 20};
  EXPECT_EQ(Request(SV_SET_SV_INFO, SvInfoPayload(ip, 61636, 15002, "studio-pc")), 0);
  EXPECT_EQ(Request(SV_SET_POWER_ON_INFO, PowerOnPayload(kEmail, "studio-pc")), 0);
  EXPECT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/", 1024}, {"/home", 0x12345678}})), 0);
  m_now = 3'000'000;
  EXPECT_EQ(Request(SV_HEART_BEAT, {}), 0);

  StationState s = Station();
  EXPECT_EQ(s.localIp, "192.168.1.20");
  EXPECT_EQ(s.externalPort, 61636);
  EXPECT_EQ(s.localPort, 15002);
  EXPECT_EQ(s.hostName, "studio-pc");
  EXPECT_EQ(s.serverInfoTime, 2'000'000);
  EXPECT_EQ(s.powerOnHostName, "studio-pc");
  EXPECT_EQ(s.powerOnEmail, kEmail);
  EXPECT_EQ(s.powerOnTime, 2'000'000);
  ASSERT_EQ(s.disks.size(), 2u);
  EXPECT_EQ(s.disks[0].drive, "/");
  EXPECT_EQ(s.disks[0].freeMiB, 1024u);
  EXPECT_EQ(s.disks[1].drive, "/home");
  EXPECT_EQ(s.disks[1].freeMiB, 0x12345678u);
  EXPECT_EQ(s.disks[1].systemType, 2);
  EXPECT_EQ(s.lastHeartBeat, 3'000'000);
  EXPECT_EQ(s.lastSeen, 3'000'000);
  EXPECT_EQ(s.requests, 5u);

  // A later disk report replaces the earlier one.
  EXPECT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/data", 7}})), 0);
  ASSERT_EQ(Station().disks.size(), 1u);

  // Logout needs the account the station logged on with.
  EXPECT_EQ(Request(SV_LOG_OUT, AccountPayload(kEmail, "bad")), RESULT_WRONG_PASSWORD);
  EXPECT_TRUE(Station().loggedOn);
  m_now = 4'000'000;
  EXPECT_EQ(Request(SV_LOG_OUT, AccountPayload(kEmail, m_hash)), 0);
  s = Station();
  EXPECT_FALSE(s.loggedOn);
  EXPECT_EQ(s.logOutTime, 4'000'000);
  EXPECT_EQ(s.hostName, "studio-pc");  // what it reported stays known
  EXPECT_EQ(Request(SV_LOG_OUT, AccountPayload(kEmail, m_hash)), RESULT_NOT_LOGGED_ON);
  EXPECT_EQ(Request(SV_HEART_BEAT, {}), RESULT_NOT_LOGGED_ON);
}

TEST_F(CentralTest, ReportsBeforeLogOnAreKeptForItButRefused) {
  StartServer();
  // The disk report may overtake the logon at the PC's start.
  m_now = 1'500'000;
  EXPECT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/", 5}})), RESULT_NOT_LOGGED_ON);
  EXPECT_EQ(Request(SV_HEART_BEAT, {}), RESULT_NOT_LOGGED_ON);
  EXPECT_EQ(Request(SV_LOG_OUT, AccountPayload(kEmail, m_hash)), RESULT_NOT_LOGGED_ON);
  // It waits apart: no station is made of a report.
  EXPECT_FALSE(m_server->Stations().Find(kStation).has_value());
  EXPECT_EQ(m_server->Stations().ParkedSize(), 1u);

  m_now = 2'000'000;
  ASSERT_EQ(LogOn(), 0);
  StationState s = Station();
  EXPECT_TRUE(s.loggedOn);
  EXPECT_EQ(s.lastHeartBeat, 0);
  ASSERT_EQ(s.disks.size(), 1u);
  EXPECT_EQ(s.disks[0].drive, "/");
  EXPECT_EQ(s.disksTime, 1'500'000);
  EXPECT_EQ(m_server->Stations().ParkedSize(), 0u);
}

TEST_F(CentralTest, StationsAreKeptApart) {
  StartServer();
  ASSERT_EQ(LogOn("AA-AA-AA-AA-AA-AA"), 0);
  EXPECT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/a", 1}}), "AA-AA-AA-AA-AA-AA"), 0);
  EXPECT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/b", 2}}), "BB-BB-BB-BB-BB-BB"),
            RESULT_NOT_LOGGED_ON);
  EXPECT_EQ(Request(SV_HEART_BEAT, {}, "BB-BB-BB-BB-BB-BB"), RESULT_NOT_LOGGED_ON);
  ASSERT_EQ(Station("AA-AA-AA-AA-AA-AA").disks.size(), 1u);
  EXPECT_EQ(Station("AA-AA-AA-AA-AA-AA").disks[0].drive, "/a");
  EXPECT_FALSE(m_server->Stations().Find("BB-BB-BB-BB-BB-BB").has_value());
  ASSERT_EQ(LogOn("BB-BB-BB-BB-BB-BB"), 0);
  EXPECT_EQ(Station("BB-BB-BB-BB-BB-BB").disks[0].drive, "/b");
}

TEST_F(CentralTest, LogsEachRequestInOneLineWithoutTheHash) {
  StartServer();
  ASSERT_EQ(LogOn(), 0);
  ASSERT_EQ(Request(SV_LOG_ON, LogOnPayload(kEmail, "wrong-hash")), RESULT_WRONG_PASSWORD);
  ASSERT_EQ(Request(SV_HEART_BEAT, {}), 0);
  ASSERT_EQ(Request(SV_LOG_OUT, AccountPayload(kEmail, m_hash)), 0);
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("SV_LOG_ON station=00-1A-2B-3C-4D-5E email=pc@example.com psw=***"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[0].find("-> 0x0000 (ok)"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("-> 0x1001 (wrong password)"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("SV_HEART_BEAT"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("SV_LOG_OUT"), std::string::npos) << lines[3];
  for (const auto& l : lines) {
    EXPECT_EQ(l.find(m_hash), std::string::npos) << l;
    EXPECT_EQ(l.find("wrong-hash"), std::string::npos) << l;
    EXPECT_EQ(l.find('\n'), std::string::npos);
  }
}

TEST_F(CentralTest, WrongPayloadsAndUnknownCommandsAreAnswered) {
  StartServer();
  struct Case {
    const char* name;
    uint16_t command;
    Bytes payload;
    std::string id;
    int result;
  } cases[] = {
      {"short logon", SV_LOG_ON, Bytes(131), kStation, RESULT_BAD_REQUEST},
      {"long logon", SV_LOG_ON, Bytes(133), kStation, RESULT_BAD_REQUEST},
      {"logon without station id", SV_LOG_ON, LogOnPayload(kEmail, "x"), "", RESULT_BAD_REQUEST},
      {"logout", SV_LOG_OUT, Bytes(63), kStation, RESULT_BAD_REQUEST},
      {"heartbeat with a body", SV_HEART_BEAT, Bytes(1), kStation, RESULT_BAD_REQUEST},
      {"server info", SV_SET_SV_INFO, Bytes(211), kStation, RESULT_BAD_REQUEST},
      {"power-on", SV_SET_POWER_ON_INFO, Bytes(163), kStation, RESULT_BAD_REQUEST},
      {"disk report of part of a record", SV_SET_DISK_INFO, Bytes(297), kStation,
       RESULT_BAD_REQUEST},
      {"unknown command", 0x7777, Bytes(10), kStation, RESULT_UNKNOWN_COMMAND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Request(c.command, c.payload, c.id), c.result);
  }
  EXPECT_EQ(m_server->Stations().Size(), 0u);
  // The server goes on serving.
  EXPECT_EQ(LogOn(), 0);
}

TEST_F(CentralTest, UnreadableHeadsGetAnErrorAndTheConnectionCloses) {
  CentralOptions o = Options();
  o.maxFrame = 4096;
  StartServer(o);
  auto head = [](uint16_t length, uint16_t constant, uint16_t command) {
    Bytes b(70);
    wire::PutU16(b.data(), length);
    wire::PutU16(b.data() + 2, constant);
    wire::PutU16(b.data() + 4, command);
    return b;
  };
  struct Case {
    const char* name;
    Bytes bytes;
    uint16_t command;  // echoed in the error answer
  } cases[] = {
      {"an answer head sent back", ReplyBytesOf(8, SV_INTER_LINE_REQ), SV_INTER_LINE_REQ},
      {"length 69", head(69, 6, SV_LOG_ON), SV_LOG_ON},
      {"length 0", head(0, 6, SV_HEART_BEAT), SV_HEART_BEAT},
      {"longer than the limit", head(4097, 6, SV_SET_DISK_INFO), SV_SET_DISK_INFO},
      {"constant not 6", head(70, 7, SV_HEART_BEAT), SV_HEART_BEAT},
      {"two bytes of a short length", Bytes{0x00, 0x10}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = Connect();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(platform::SendAll(fd, c.bytes.data(), c.bytes.size()), 0);
    ServerReplyHead answer;
    ASSERT_TRUE(ReadAnswer(fd, &answer));
    EXPECT_EQ(answer.length, 8);
    EXPECT_EQ(answer.command, c.command);
    EXPECT_EQ(answer.result, RESULT_BAD_FRAME);
    EXPECT_TRUE(ClosedWithin(fd, 2000));
    ::close(fd);
  }
  EXPECT_EQ(LogOn(), 0);
}

TEST_F(CentralTest, FramesAreAssembledAcrossReadsAndSeveralShareAConnection) {
  StartServer();
  int fd = Connect();
  ASSERT_GE(fd, 0);
  // One logon a byte at a time.
  Bytes logon = FrameBytes(SV_LOG_ON, LogOnPayload(kEmail, m_hash));
  for (uint8_t b : logon) {
    ASSERT_EQ(platform::SendAll(fd, &b, 1), 0);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ServerReplyHead answer;
  ASSERT_TRUE(ReadAnswer(fd, &answer));
  EXPECT_EQ(answer.command, SV_LOG_ON);
  EXPECT_EQ(answer.result, 0);

  // Three frames in one write, answered in order; an unknown command in between
  // does not end the connection.
  Bytes batch = FrameBytes(SV_HEART_BEAT, {});
  Bytes unknown = FrameBytes(0x7777, Bytes(5));
  Bytes disks = FrameBytes(SV_SET_DISK_INFO, DiskPayload({{"/", 1}}));
  batch.insert(batch.end(), unknown.begin(), unknown.end());
  batch.insert(batch.end(), disks.begin(), disks.end());
  ASSERT_EQ(platform::SendAll(fd, batch.data(), batch.size()), 0);
  const std::pair<uint16_t, uint16_t> expected[] = {
      {SV_HEART_BEAT, 0}, {0x7777, RESULT_UNKNOWN_COMMAND}, {SV_SET_DISK_INFO, 0}};
  for (const auto& [command, result] : expected) {
    ASSERT_TRUE(ReadAnswer(fd, &answer));
    EXPECT_EQ(answer.command, command);
    EXPECT_EQ(answer.result, result);
  }
  ::close(fd);
  EXPECT_EQ(Station().disks.size(), 1u);
}

TEST_F(CentralTest, AStalledClientNeitherBlocksOthersNorStaysForever) {
  CentralOptions o = Options();
  // Long enough that the other client's logon, on a loaded machine too, is done well
  // before a server held up by the stalled client would get to it.
  o.idleTimeoutMs = 4000;
  StartServer(o);
  // Announces a whole logon but sends only part of it.
  int stalled = Connect();
  ASSERT_GE(stalled, 0);
  Bytes logon = FrameBytes(SV_LOG_ON, LogOnPayload(kEmail, m_hash));
  ASSERT_EQ(platform::SendAll(stalled, logon.data(), 100), 0);

  auto t0 = Clock::now();
  EXPECT_EQ(LogOn(), 0);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(),
            2500);
  EXPECT_TRUE(ClosedWithin(stalled, 10000));
  ::close(stalled);
}

TEST_F(CentralTest, SurvivesGarbage) {
  StartServer();
  std::mt19937 rng(7);
  for (int i = 0; i < 40; ++i) {
    int fd = Connect();
    ASSERT_GE(fd, 0);
    Bytes junk(1 + rng() % 300);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    if (i % 2 == 0) {  // half of them start with a plausible head
      if (junk.size() < 70) junk.resize(70);
      ServerMsgHead{static_cast<uint16_t>(70 + rng() % 200), 6,
                    static_cast<uint16_t>(0x1001 + rng() % 0x11), "X"}
          .Encode(junk.data());
    }
    platform::SendAll(fd, junk.data(), junk.size());
    ::close(fd);
  }
  EXPECT_EQ(LogOn(), 0);
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (m_server->ConnectionCount() > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(m_server->ConnectionCount(), 0u);
}

TEST_F(CentralTest, ServesManyClientsAtOnce) {
  StartServer();
  constexpr int kClients = 16, kRounds = 10;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      char id[32];
      std::snprintf(id, sizeof id, "02-00-00-00-00-%02X", i);
      for (int r = 0; r < kRounds; ++r) {
        if (LogOn(id) == 0 && Request(SV_HEART_BEAT, {}, id) == 0) ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, kClients * kRounds);
  EXPECT_EQ(m_server->Stations().Size(), static_cast<size_t>(kClients));
  EXPECT_EQ(Station("02-00-00-00-00-0F").requests, 2u * kRounds);
}

TEST_F(CentralTest, LimitsConnectionsAndStations) {
  CentralOptions o = Options();
  o.maxConnections = 2;
  o.maxStations = 2;
  StartServer(o);
  int a = Connect(), b = Connect();
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (m_server->ConnectionCount() < 2 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  int c = Connect();
  ASSERT_GE(c, 0);
  EXPECT_TRUE(ClosedWithin(c, 2000));
  ::close(c);
  ::close(a);
  ::close(b);
  deadline = Clock::now() + std::chrono::seconds(2);
  while (m_server->ConnectionCount() > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));

  // Reports from stations without a logon wait apart up to the limit, the least recently
  // seen making room...
  m_now = 10;
  EXPECT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/1", 1}}), "S1"), RESULT_NOT_LOGGED_ON);
  m_now = 20;
  EXPECT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/2", 1}}), "S2"), RESULT_NOT_LOGGED_ON);
  m_now = 30;
  EXPECT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/3", 1}}), "S3"), RESULT_NOT_LOGGED_ON);
  EXPECT_EQ(m_server->Stations().ParkedSize(), 2u);
  EXPECT_EQ(m_server->Stations().Size(), 0u);
  // ...and take no place of a station: the first logons take theirs.
  EXPECT_EQ(LogOn("S1"), 0);
  EXPECT_TRUE(Station("S1").disks.empty());
  EXPECT_EQ(LogOn("S3"), 0);
  ASSERT_EQ(Station("S3").disks.size(), 1u);
  EXPECT_EQ(Station("S3").disks[0].drive, "/3");
  // A logon makes room by dropping a station that is not logged on.
  EXPECT_EQ(Request(SV_LOG_OUT, AccountPayload(kEmail, m_hash), "S1"), 0);
  EXPECT_EQ(LogOn("S4"), 0);
  EXPECT_FALSE(m_server->Stations().Find("S1").has_value());
  EXPECT_EQ(LogOn("S5"), RESULT_SERVER_ERROR);  // both places hold logged-on stations
}

TEST_F(CentralTest, WritesTheStateFile) {
  CentralOptions o = Options();
  o.stateFile = m_dir.Sub("state.json");
  o.stateWriteDelayMs = 20;
  StartServer(o);
  ASSERT_EQ(LogOn(), 0);
  ASSERT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/srv", 42}})), 0);

  Json::Value root;
  auto deadline = Clock::now() + std::chrono::seconds(3);
  bool found = false;
  while (!found && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream in(o.stateFile);
    Json::CharReaderBuilder rb;
    std::string errs;
    if (in && Json::parseFromStream(rb, in, &root, &errs) && root["stations"].size() == 1 &&
        root["stations"][0]["disks"]["volumes"].size() == 1)
      found = true;
  }
  ASSERT_TRUE(found);
  const Json::Value& s = root["stations"][0];
  EXPECT_EQ(s["station"].asString(), kStation);
  EXPECT_TRUE(s["loggedOn"].asBool());
  EXPECT_EQ(s["email"].asString(), kEmail);
  EXPECT_EQ(s["disks"]["volumes"][0]["drive"].asString(), "/srv");
  EXPECT_EQ(s["disks"]["volumes"][0]["freeMiB"].asUInt(), 42u);

  // Stopping writes the latest state.
  ASSERT_EQ(Request(SV_LOG_OUT, AccountPayload(kEmail, m_hash)), 0);
  StopServer();
  std::ifstream in(o.stateFile);
  Json::CharReaderBuilder rb;
  std::string errs;
  ASSERT_TRUE(Json::parseFromStream(rb, in, &root, &errs)) << errs;
  EXPECT_FALSE(root["stations"][0]["loggedOn"].asBool());
}

TEST(CentralStart, ReportsWhatKeepsItFromStarting) {
  support::TempDir dir;
  std::string error;
  CentralOptions noDb;
  EXPECT_FALSE(CentralServer(noDb).Start(&error));
  EXPECT_NE(error.find("account store"), std::string::npos) << error;

  CentralOptions badDb;
  badDb.accountDb = dir.path();  // a folder
  EXPECT_FALSE(CentralServer(badDb).Start(&error));
  EXPECT_NE(error.find("account store"), std::string::npos) << error;

  // A port in use.
  CentralOptions first;
  first.accountDb = dir.Sub("a.db");
  CentralServer one(first);
  ASSERT_TRUE(one.Start(&error)) << error;
  CentralOptions second = first;
  second.listenPort = one.Port();
  CentralServer two(second);
  EXPECT_FALSE(two.Start(&error));
  EXPECT_NE(error.find("cannot listen"), std::string::npos) << error;
}

}  // namespace
