// Port mapping against the test gateway (miniupnpc over HTTP on loopback, reached through
// its root description URL) and against a scripted IgdClient.
#include "app/upnp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "igd/igd_emulator.h"

namespace {

// A port on loopback that nothing listens on.
uint16_t ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  socklen_t len = sizeof sin;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
  ::close(fd);
  return ntohs(sin.sin_port);
}

std::vector<std::string> ActionNames(const igd::Emulator& e) {
  std::vector<std::string> names;
  for (const auto& a : e.Actions()) names.push_back(a.name);
  return names;
}

class UPnPEmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(m_igd.Start(&error)) << error;
    SetIgdClientFactory(nullptr);
    SetUPnPOptions(UPnPOptions{m_igd.RootUrl(), 1000});
  }
  void TearDown() override {
    SetUPnPOptions(UPnPOptions{});
    m_igd.Stop();
  }

  igd::Emulator m_igd{igd::EmulatorOptions{}};
};

// Through the root description the PC's LAN address is 127.0.0.1: TCP 61617 goes to
// it, UDP 12345 to 127.0.0.255.
TEST_F(UPnPEmulatorTest, MapsTheLocalPortAndTheUdpPort) {
  uint16_t ext = 1;
  ASSERT_EQ(UPnPMapPort(15002, &ext, true), 0);
  EXPECT_EQ(ext, 61617);
  auto tcp = m_igd.Find("TCP", "61617");
  ASSERT_TRUE(tcp.has_value());
  EXPECT_EQ(tcp->internalClient, "127.0.0.1");
  EXPECT_EQ(tcp->internalPort, "15002");
  EXPECT_EQ(tcp->description, "Tirvan");
  EXPECT_EQ(tcp->enabled, "1");
  EXPECT_EQ(tcp->leaseDuration, "0");
  EXPECT_EQ(tcp->remoteHost, "");
  // Delete first (nothing there: 714), then add and read back.
  std::vector<std::string> expected = {"DeletePortMapping", "GetExternalIPAddress",
                                       "AddPortMapping", "GetSpecificPortMappingEntry"};
  EXPECT_EQ(ActionNames(m_igd), expected);
  EXPECT_EQ(m_igd.Actions()[0].errorCode, 714);

  uint16_t udpExt = 0;
  ASSERT_EQ(UPnPMapPort(15002, &udpExt, false), 0);
  EXPECT_EQ(udpExt, kUPnPUdpPort);
  auto udp = m_igd.Find("UDP", "12345");
  ASSERT_TRUE(udp.has_value());
  EXPECT_EQ(udp->internalClient, "127.0.0.255");
  EXPECT_EQ(udp->internalPort, "12345");
  EXPECT_EQ(udp->description, "Tirvan");
  EXPECT_EQ(udp->leaseDuration, "0");
  EXPECT_EQ(m_igd.Mappings().size(), 2u);
}

// A mapping of the same port to another host is deleted before ours is added (the
// gateway would refuse the add otherwise); mapping again keeps one entry.
TEST_F(UPnPEmulatorTest, ReplacesAnExistingMapping) {
  m_igd.AddMapping(igd::Mapping{"", "61617", "TCP", "80", "127.0.0.9", "1", "old", "0"});
  uint16_t ext = 0;
  ASSERT_EQ(UPnPMapPort(15010, &ext, true), 0);
  EXPECT_EQ(ext, 61617);
  auto m = m_igd.Find("TCP", "61617");
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->internalClient, "127.0.0.1");
  EXPECT_EQ(m->internalPort, "15010");
  EXPECT_EQ(m_igd.Actions()[0].name, "DeletePortMapping");
  EXPECT_EQ(m_igd.Actions()[0].errorCode, 0);

  ASSERT_EQ(UPnPMapPort(15010, &ext, true), 0);
  EXPECT_EQ(m_igd.Mappings().size(), 1u);
}

// The gateway was reached but refused the mapping: 0, and no external port to report.
TEST_F(UPnPEmulatorTest, RefusedMappingReportsNoPort) {
  for (int code : {718, 606, 501}) {
    SCOPED_TRACE(code);
    m_igd.FailAction("AddPortMapping", code);
    uint16_t ext = 1;
    EXPECT_EQ(UPnPMapPort(15002, &ext, true), 0);
    EXPECT_EQ(ext, 0);
    EXPECT_FALSE(m_igd.Find("TCP", "61617").has_value());
  }
  m_igd.FailAction("AddPortMapping", 0);
  uint16_t ext = 0;
  EXPECT_EQ(UPnPMapPort(15002, &ext, true), 0);
  EXPECT_EQ(ext, 61617);
}

// A failed read-back or external address does not undo an accepted mapping.
TEST_F(UPnPEmulatorTest, ReadBackFailureKeepsThePort) {
  m_igd.FailAction("GetSpecificPortMappingEntry", 501);
  m_igd.FailAction("GetExternalIPAddress", 501);
  uint16_t ext = 0;
  EXPECT_EQ(UPnPMapPort(15002, &ext, true), 0);
  EXPECT_EQ(ext, 61617);
}

TEST_F(UPnPEmulatorTest, NoGateway) {
  struct Case {
    const char* name;
    std::string url;
    bool dead;
  } cases[] = {
      {"nothing listens", "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/rootDesc.xml",
       false},
      {"no such description", "http://127.0.0.1:" + std::to_string(m_igd.Port()) + "/none.xml",
       false},
      {"closes at once", m_igd.RootUrl(), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUPnPOptions(UPnPOptions{c.url, 1000});
    m_igd.SetDead(c.dead);
    uint16_t ext = 1;
    EXPECT_EQ(UPnPMapPort(15002, &ext, true), 1);
    EXPECT_EQ(ext, 0);
    m_igd.SetDead(false);
  }
  EXPECT_TRUE(m_igd.Actions().empty());
  EXPECT_TRUE(m_igd.Mappings().empty());
}

TEST_F(UPnPEmulatorTest, InternalPortZeroIsRefused) {
  uint16_t ext = 1;
  EXPECT_EQ(UPnPMapPort(0, &ext, true), -1);
  EXPECT_EQ(ext, 0);
  EXPECT_TRUE(m_igd.Actions().empty());
}

// ---- A scripted gateway for the LAN addresses the loopback gateway cannot give.

struct FakeGateway {
  bool discovers = true;
  bool selects = true;
  std::string lan = "192.168.1.23";
  int addError = 0;
  std::vector<std::string> calls;
  std::vector<UPnPMapping> added;
};

class FakeClient : public IgdClient {
 public:
  explicit FakeClient(FakeGateway* g) : m_g(g) {}
  bool Discover(int delayMs) override {
    m_g->calls.push_back("Discover " + std::to_string(delayMs));
    return m_g->discovers;
  }
  bool SelectGateway(std::string* lan) override {
    m_g->calls.push_back("SelectGateway");
    *lan = m_g->lan;
    return m_g->selects;
  }
  int GetExternalIPAddress(std::string* address) override {
    *address = "198.51.100.1";
    return 0;
  }
  int AddPortMapping(const UPnPMapping& m) override {
    m_g->calls.push_back("Add " + m.protocol + " " + m.externalPort);
    if (m_g->addError == 0) m_g->added.push_back(m);
    return m_g->addError;
  }
  int GetSpecificPortMappingEntry(const std::string&, const std::string&, UPnPMapping* out) override {
    *out = UPnPMapping{};
    return 714;
  }
  int DeletePortMapping(const std::string& port, const std::string& proto) override {
    m_g->calls.push_back("Delete " + proto + " " + port);
    return 714;
  }

 private:
  FakeGateway* m_g;
};

class UPnPFakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUPnPOptions(UPnPOptions{"", 250});
    SetIgdClientFactory([this](const UPnPOptions&) { return std::make_unique<FakeClient>(&m_g); });
  }
  void TearDown() override {
    SetIgdClientFactory(nullptr);
    SetUPnPOptions(UPnPOptions{});
  }
  FakeGateway m_g;
};

TEST_F(UPnPFakeTest, PortsFollowTheLanAddress) {
  uint16_t ext = 0;
  ASSERT_EQ(UPnPMapPort(15002, &ext, true), 0);
  EXPECT_EQ(ext, 61639);
  ASSERT_EQ(UPnPMapPort(15002, &ext, false), 0);
  ASSERT_EQ(m_g.added.size(), 2u);
  EXPECT_EQ(m_g.added[0].internalClient, "192.168.1.23");
  EXPECT_EQ(m_g.added[0].internalPort, "15002");
  EXPECT_EQ(m_g.added[0].externalPort, "61639");
  EXPECT_EQ(m_g.added[1].protocol, "UDP");
  EXPECT_EQ(m_g.added[1].internalClient, "192.168.1.255");
  EXPECT_EQ(m_g.added[1].internalPort, "12345");
  EXPECT_EQ(m_g.added[1].externalPort, "12345");
  std::vector<std::string> expected = {"Discover 250", "SelectGateway", "Delete TCP 61639",
                                       "Add TCP 61639", "Discover 250", "SelectGateway",
                                       "Delete UDP 12345", "Add UDP 12345"};
  EXPECT_EQ(m_g.calls, expected);
}

TEST(UPnPExternalPortTest, LastNumberPlus61616) {
  struct Case {
    const char* lan;
    uint16_t port;
  } cases[] = {
      {"192.168.1.23", 61639}, {"10.0.0.0", 61616}, {"10.0.0.255", 61871},
      {"127.0.0.1", 61617},    {"172.16.5.9", 61625},
  };
  for (const auto& c : cases) EXPECT_EQ(UPnPExternalPort(c.lan), c.port) << c.lan;
}

TEST_F(UPnPFakeTest, NoGatewayFound) {
  m_g.discovers = false;
  uint16_t ext = 1;
  EXPECT_EQ(UPnPMapPort(15002, &ext, true), 1);
  EXPECT_EQ(ext, 0);
  m_g.discovers = true;
  m_g.selects = false;
  EXPECT_EQ(UPnPMapPort(15002, &ext, true), 1);
  EXPECT_EQ(ext, 0);
  EXPECT_TRUE(m_g.added.empty());
}

TEST(UPnPProtoFixTest, Table) {
  struct Case {
    const char* text;
    const char* proto;
  } cases[] = {
      {"tcp", "TCP"}, {"TCP", "TCP"}, {"Tcp x", "TCP"}, {"udp", "UDP"}, {"uDp\tfoo", "UDP"},
      {"tcpx", nullptr}, {"tc", nullptr}, {"", nullptr}, {"sctp", nullptr},
  };
  for (const auto& c : cases) {
    const char* got = UPnPProtoFix(c.text);
    if (c.proto == nullptr) {
      EXPECT_EQ(got, nullptr) << c.text;
    } else {
      ASSERT_NE(got, nullptr) << c.text;
      EXPECT_STREQ(got, c.proto) << c.text;
    }
  }
  EXPECT_EQ(UPnPProtoFix(nullptr), nullptr);
}

TEST_F(UPnPFakeTest, RedirectArguments) {
  FakeClient igd(&m_g);
  EXPECT_EQ(UPnPSetRedirect(igd, nullptr, "1", "10.0.0.1", "TCP"), 1);
  EXPECT_EQ(UPnPSetRedirect(igd, "1", "1", "10.0.0.1", "icmp"), 2);
  EXPECT_EQ(UPnPRemoveRedirect(nullptr, "1", igd), 1);
  EXPECT_EQ(UPnPRemoveRedirect("icmp", "1", igd), 2);
  EXPECT_TRUE(m_g.calls.empty());
  EXPECT_EQ(UPnPSetRedirect(igd, "1", "2", "10.0.0.1", "tcp"), 0);
  m_g.addError = 718;
  EXPECT_EQ(UPnPSetRedirect(igd, "1", "2", "10.0.0.1", "tcp"), 3);
}

}  // namespace
