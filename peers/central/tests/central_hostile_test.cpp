// Hostile clients against the running central server: one host that tries to take every
// connection, and hosts that report for a station they are not.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "central_fixture.h"

namespace {

using namespace central_test;

constexpr const char* kAttacker = "127.0.0.2";

size_t CountLines(const std::vector<std::string>& lines, const std::string& a,
                  const std::string& b = "") {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(a) != std::string::npos && l.find(b) != std::string::npos;
  }));
}

// True once the peer has closed fd (without waiting).
bool ClosedNow(int fd) {
  char c;
  ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Many connections from one address, each beginning the longest frame and trickling one
// more byte now and then: the address gets its share of places and no more, everybody
// else is served meanwhile, and the trickled frames are closed at their own time limit
// although every byte would restart the idle limit.
TEST_F(CentralTest, OneAddressTricklingFramesCannotShutOthersOut) {
  CentralOptions o = Options();
  o.maxConnections = 12;
  o.maxConnectionsPerAddress = 4;
  o.frameTimeoutMs = 1500;
  o.idleTimeoutMs = 60000;
  StartServer(o);

  Bytes start(80, 0);
  ServerMsgHead{0xFFFF, 6, SV_SET_DISK_INFO, kStation}.Encode(start.data());
  std::vector<int> held;
  for (int i = 0; i < 8; ++i) {
    int fd = ConnectFrom(kAttacker);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(platform::SendAll(fd, start.data(), start.size()), 0);
    held.push_back(fd);
    if (i == 3) {  // the first four are in before the others come
      auto deadline = Clock::now() + std::chrono::seconds(5);
      while (m_server->ConnectionCount() < 4 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ASSERT_EQ(m_server->ConnectionCount(), 4u);
    }
  }
  // The address's excess is closed at once...
  for (int i = 4; i < 8; ++i) EXPECT_TRUE(ClosedWithin(held[i], 3000)) << i;
  EXPECT_EQ(m_server->ConnectionCount(), 4u);
  // ...and the PC, from its own address, is served while the attack goes on.
  EXPECT_EQ(LogOn(), 0);
  EXPECT_EQ(Request(SV_HEART_BEAT, {}), 0);

  // One byte per connection every 100 ms, well inside the idle limit.
  std::vector<bool> closed(4, false);
  auto deadline = Clock::now() + std::chrono::seconds(15);
  while (std::count(closed.begin(), closed.end(), true) < 4 && Clock::now() < deadline) {
    for (int i = 0; i < 4; ++i) {
      if (closed[i]) continue;
      if (ClosedNow(held[i])) {
        closed[i] = true;
        continue;
      }
      uint8_t b = 0;
      (void)::send(held[i], &b, 1, MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(closed[i]) << i;
  for (int fd : held) ::close(fd);

  auto lines = LogLines();
  EXPECT_GE(CountLines(lines, "refused: 4 connections already open from 127.0.0.2"), 1u);
  EXPECT_EQ(CountLines(lines, "127.0.0.2", "a frame not whole within 1500 ms"), 4u);
  EXPECT_EQ(CountLines(lines, "idle"), 0u);
  // The address has its places again.
  EXPECT_EQ(RequestFrom(kAttacker, SV_HEART_BEAT, {}, "AB-AB-AB-AB-AB-AB"), RESULT_NOT_LOGGED_ON);
}

// The frame limit runs per frame: whole frames further apart than it, and a frame in
// pieces that completes within it, are served.
TEST_F(CentralTest, FrameLimitLeavesSlowButWholeFramesAlone) {
  CentralOptions o = Options();
  o.frameTimeoutMs = 400;
  StartServer(o);
  ASSERT_EQ(LogOn(), 0);
  int fd = Connect();
  ASSERT_GE(fd, 0);
  Bytes beat = FrameBytes(SV_HEART_BEAT, {});
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(platform::SendAll(fd, beat.data(), 30), 0);
    ASSERT_EQ(platform::SendAll(fd, beat.data() + 30, beat.size() - 30), 0);
    ServerReplyHead answer;
    ASSERT_TRUE(ReadAnswer(fd, &answer));
    EXPECT_EQ(answer.result, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // longer than the limit
  }
  EXPECT_FALSE(ClosedNow(fd));
  ::close(fd);
}

// Another host names a logged-on station in every report, and tries a wrong logon:
// each is refused with its own result and a log line, and the station's record stays as
// its PC left it. A logon from the new address moves the station there.
TEST_F(CentralTest, ReportsCountOnlyFromTheAddressOfTheLogOn) {
  StartServer();
  ASSERT_EQ(LogOn(), 0);
  const uint8_t ip[4] = {192, 168, 1, 20};
  ASSERT_EQ(Request(SV_SET_SV_INFO, SvInfoPayload(ip, 61636, 15002, "studio-pc")), 0);
  ASSERT_EQ(Request(SV_SET_POWER_ON_INFO, PowerOnPayload(kEmail, "studio-pc")), 0);
  ASSERT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/", 1024}})), 0);
  ASSERT_EQ(Request(SV_HEART_BEAT, {}), 0);
  const StationState before = Station();

  m_now = 5'000'000;
  const uint8_t evilIp[4] = {10, 6, 6, 6};
  struct Case {
    const char* name;
    uint16_t command;
    Bytes payload;
    int result;
  } cases[] = {
      {"heartbeat", SV_HEART_BEAT, {}, RESULT_NOT_LOGON_ADDRESS},
      {"server info", SV_SET_SV_INFO, SvInfoPayload(evilIp, 1, 2, "evil"), RESULT_NOT_LOGON_ADDRESS},
      {"power-on", SV_SET_POWER_ON_INFO, PowerOnPayload(kEmail, "evil"), RESULT_NOT_LOGON_ADDRESS},
      {"disks", SV_SET_DISK_INFO, DiskPayload({{"/evil", 1}}), RESULT_NOT_LOGON_ADDRESS},
      {"wrong hash", SV_LOG_ON, LogOnPayload(kEmail, "guess"), RESULT_WRONG_PASSWORD},
      {"unknown account", SV_LOG_ON, LogOnPayload("x@example.com", "guess"), RESULT_UNKNOWN_ACCOUNT},
      {"logout with a wrong hash", SV_LOG_OUT, AccountPayload(kEmail, "guess"),
       RESULT_WRONG_PASSWORD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RequestFrom(kAttacker, c.command, c.payload), c.result);
  }
  StationState after = Station();
  EXPECT_TRUE(after.loggedOn);
  EXPECT_EQ(after.logOnAddress, "127.0.0.1");
  EXPECT_EQ(after.peerAddress, before.peerAddress);
  EXPECT_EQ(after.lastSeen, before.lastSeen);
  EXPECT_EQ(after.lastHeartBeat, before.lastHeartBeat);
  EXPECT_EQ(after.requests, before.requests);
  EXPECT_EQ(after.localIp, "192.168.1.20");
  EXPECT_EQ(after.externalPort, 61636);
  EXPECT_EQ(after.hostName, "studio-pc");
  EXPECT_EQ(after.powerOnHostName, "studio-pc");
  ASSERT_EQ(after.disks.size(), 1u);
  EXPECT_EQ(after.disks[0].drive, "/");
  EXPECT_EQ(CountLines(LogLines(), "127.0.0.2:", "-> 0x100B (not the address of its logon)"), 4u);

  // What the other host reports for a station that has not logged on yet makes no station,
  // and that station's first logon, from its own address, does not take it.
  const std::string fresh = "0A-0B-0C-0D-0E-0F";
  EXPECT_EQ(RequestFrom(kAttacker, SV_SET_DISK_INFO, DiskPayload({{"/evil", 1}}), fresh),
            RESULT_NOT_LOGGED_ON);
  EXPECT_FALSE(m_server->Stations().Find(fresh).has_value());
  ASSERT_EQ(LogOn(fresh), 0);
  EXPECT_TRUE(Station(fresh).disks.empty());

  // The PC logs on from a new address: its reports count from there, not from the old one.
  ASSERT_EQ(RequestFrom(kAttacker, SV_LOG_ON, LogOnPayload(kEmail, m_hash)), 0);
  EXPECT_EQ(Station().logOnAddress, "127.0.0.2");
  EXPECT_EQ(RequestFrom(kAttacker, SV_HEART_BEAT, {}), 0);
  EXPECT_EQ(RequestFrom(kAttacker, SV_SET_DISK_INFO, DiskPayload({{"/moved", 3}})), 0);
  EXPECT_EQ(Request(SV_HEART_BEAT, {}), RESULT_NOT_LOGON_ADDRESS);
  EXPECT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/old", 4}})), RESULT_NOT_LOGON_ADDRESS);
  ASSERT_EQ(Station().disks.size(), 1u);
  EXPECT_EQ(Station().disks[0].drive, "/moved");
  // Logged out, the station still takes reports only from there.
  ASSERT_EQ(RequestFrom(kAttacker, SV_LOG_OUT, AccountPayload(kEmail, m_hash)), 0);
  EXPECT_EQ(RequestFrom(kAttacker, SV_SET_DISK_INFO, DiskPayload({{"/late", 5}})),
            RESULT_NOT_LOGGED_ON);
  EXPECT_EQ(Request(SV_SET_DISK_INFO, DiskPayload({{"/old", 4}})), RESULT_NOT_LOGON_ADDRESS);
  EXPECT_EQ(Station().disks[0].drive, "/late");
}

}  // namespace
