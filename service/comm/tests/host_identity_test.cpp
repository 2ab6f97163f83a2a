#include "comm/host_identity.h"

#include <gtest/gtest.h>

#include <thread>

#include <arpa/inet.h>
#include <net/if.h>

namespace {

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

uint32_t Ip(const char* text) { return ::inet_addr(text); }

NetInterface Nic(std::string name, unsigned index, unsigned flags, std::vector<uint8_t> mac,
                 std::vector<uint32_t> ipv4 = {}, bool isVirtual = false) {
  NetInterface n;
  n.name = std::move(name);
  n.index = index;
  n.flags = flags;
  n.mac = std::move(mac);
  n.ipv4 = std::move(ipv4);
  n.isVirtual = isVirtual;
  return n;
}

const std::vector<uint8_t> kMacA = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const std::vector<uint8_t> kMacB = {0xA4, 0xBB, 0x6D, 0x01, 0x02, 0x0F};
const std::vector<uint8_t> kZero = {0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kLocal = {0x02, 0x42, 0xAC, 0x11, 0x00, 0x02};  // locally administered

class HostIdentityTest : public ::testing::Test {
 protected:
  void TearDown() override { SetHostProvider(HostProvider{}); }

  void UseInterfaces(std::vector<NetInterface> nics, int rc = 0) {
    HostProvider p;
    p.interfaces = [nics, rc](std::vector<NetInterface>& out) {
      out = nics;
      return rc;
    };
    p.resolve = m_resolve;
    SetHostProvider(p);
  }

  void UseResolved(std::vector<uint32_t> addrs, int rc = 0) {
    m_resolve = [addrs, rc](const std::string&, std::vector<uint32_t>& out) {
      out = addrs;
      return rc;
    };
  }

  std::function<int(const std::string&, std::vector<uint32_t>&)> m_resolve;
};

TEST_F(HostIdentityTest, StationIdPicksFirstPhysicalInterfaceByIndex) {
  struct Case {
    const char* what;
    std::vector<NetInterface> nics;
    std::string want;
  };
  const Case cases[] = {
      {"listed out of index order",
       {Nic("wlan0", 3, kUp, kMacB), Nic("eth0", 2, 0, kMacA),
        Nic("lo", 1, kUp | IFF_LOOPBACK, kZero)},
       "00-1A-2B-3C-4D-5E"},
      {"all-zero first adapter skipped",
       {Nic("tun0", 2, kUp, kZero), Nic("eth0", 3, kUp, kMacB)},
       "A4-BB-6D-01-02-0F"},
      {"virtual interfaces skipped even at lower index",
       {Nic("docker0", 2, kUp, kMacA, {}, true), Nic("eth0", 5, kUp, kMacB)},
       "A4-BB-6D-01-02-0F"},
      {"locally administered address skipped when a global one exists",
       {Nic("eth0", 2, kUp, kLocal), Nic("eth1", 3, kUp, kMacA)},
       "00-1A-2B-3C-4D-5E"},
      {"container: only a virtual interface",
       {Nic("lo", 1, kUp | IFF_LOOPBACK, kMacA), Nic("eth0", 7, kUp, kLocal, {}, true)},
       "02-42-AC-11-00-02"},
      {"virtual machine: an assigned address on the card before idle dummies",
       {Nic("ifb0", 2, 0, {0x06, 0xE0, 0xF4, 0xEA, 0x79, 0x5C}, {}, true),
        Nic("eth0", 4, kUp, {0x02, 0xFC, 0, 0, 0, 0x01})},
       "02-FC-00-00-00-01"},
      {"container: an interface that is up before one that is down",
       {Nic("ifb0", 2, 0, kLocal, {}, true), Nic("eth0", 4, kUp, kMacB, {}, true)},
       "A4-BB-6D-01-02-0F"},
      {"loopback never counts", {Nic("lo", 1, kUp | IFF_LOOPBACK, kMacA)}, ""},
      {"only zero or missing addresses", {Nic("tun0", 2, kUp, kZero), Nic("ppp0", 3, kUp, {})}, ""},
      {"no interfaces", {}, ""},
  };
  for (const Case& c : cases) {
    UseInterfaces(c.nics);
    EXPECT_EQ(GetMacAddr(), c.want) << c.what;
    EXPECT_EQ(GetMacAddr(), c.want) << c.what << " (second call)";
  }
}

TEST_F(HostIdentityTest, StationIdDoesNotDependOnLinkState) {
  UseInterfaces({Nic("eth0", 2, kUp, kMacA), Nic("wlan0", 3, kUp, kMacB)});
  std::string up = GetMacAddr();
  UseInterfaces({Nic("eth0", 2, IFF_UP, kMacA), Nic("wlan0", 3, kUp, kMacB)});
  EXPECT_EQ(GetMacAddr(), up);
}

TEST_F(HostIdentityTest, EnumerationErrorGivesNoIdAndEmptyLists) {
  UseInterfaces({Nic("eth0", 2, kUp, kMacA, {Ip("10.0.0.2")})}, 12);
  EXPECT_EQ(GetMacAddr(), "");
  std::vector<std::string> list = {"stale"};
  EXPECT_EQ(GetMacList(list), 12);
  EXPECT_TRUE(list.empty());
  list = {"stale"};
  EXPECT_EQ(GetLocalIpList(list), 12);
  EXPECT_TRUE(list.empty());
}

TEST_F(HostIdentityTest, MacListIsUpperCaseHexInIndexOrder) {
  UseInterfaces({Nic("wlan0", 3, 0, {0xab, 0xcd, 0xef, 0x01, 0x02, 0x03}),
                 Nic("lo", 1, kUp | IFF_LOOPBACK, kZero), Nic("tun0", 2, kUp, kZero),
                 Nic("ppp0", 4, kUp, {})});
  std::vector<std::string> list;
  ASSERT_EQ(GetMacList(list), 0);
  EXPECT_EQ(list, (std::vector<std::string>{"00-00-00-00-00-00", "AB-CD-EF-01-02-03"}));
}

TEST_F(HostIdentityTest, IpListTakesUpInterfacesOnceWithoutLoopbackOrZero) {
  UseInterfaces({
      Nic("eth1", 4, kUp, kMacB, {Ip("10.0.0.2"), Ip("192.168.1.5")}),
      Nic("lo", 1, kUp | IFF_LOOPBACK, {}, {Ip("127.0.0.1")}),
      Nic("eth0", 2, kUp, kMacA, {Ip("192.168.1.9"), Ip("0.0.0.0"), Ip("127.0.0.1")}),
      Nic("wlan0", 3, IFF_UP, kMacA, {Ip("172.16.0.1")}),  // up but not running
      Nic("docker0", 5, kUp, kMacA, {Ip("10.0.0.2"), Ip("172.17.0.1")}, true),
  });
  std::vector<std::string> list;
  ASSERT_EQ(GetLocalIpList(list), 0);
  EXPECT_EQ(list, (std::vector<std::string>{"192.168.1.9", "10.0.0.2", "192.168.1.5",
                                            "172.17.0.1"}));
}

TEST_F(HostIdentityTest, LocalIpFromHostNameOrFirstInterfaceWhenLoopback) {
  const std::vector<NetInterface> nics = {
      Nic("docker0", 2, kUp, kMacA, {Ip("172.17.0.1")}, true),
      Nic("eth0", 4, IFF_UP, kMacA, {Ip("10.9.9.9")}),  // not running
      Nic("lo", 1, kUp | IFF_LOOPBACK, {}, {Ip("127.0.0.1")}),
      Nic("wlan0", 3, kUp, kMacB, {Ip("0.0.0.0"), Ip("192.168.7.20"), Ip("192.168.7.21")}),
  };
  struct Case {
    const char* what;
    std::vector<uint32_t> resolved;
    int resolveRc;
    std::vector<NetInterface> nics;
    int want;
    std::string text;
  };
  const Case cases[] = {
      {"first resolved address", {Ip("192.168.1.3"), Ip("10.0.0.1")}, 0, nics, 0, "192.168.1.3"},
      {"Debian's 127.0.1.1", {Ip("127.0.1.1")}, 0, nics, 0, "192.168.7.20"},
      {"127.0.0.1 before a LAN address", {Ip("127.0.0.1"), Ip("10.1.1.1")}, 0, nics, 0,
       "192.168.7.20"},
      {"only virtual interfaces up", {Ip("127.0.1.1")}, 0, {nics[0], nics[2]}, 0, "172.17.0.1"},
      {"loopback and nothing else up", {Ip("127.0.1.1")}, 0, {nics[2]}, -1, ""},
      {"no IPv4 address", {}, 0, nics, -1, ""},
      {"name does not resolve", {}, -1, nics, -1, ""},
  };
  for (const Case& c : cases) {
    UseResolved(c.resolved, c.resolveRc);
    UseInterfaces(c.nics);
    std::string text = "stale";
    EXPECT_EQ(GetLoaclIp(text), c.want) << c.what;
    EXPECT_EQ(text, c.text) << c.what;
    uint32_t addr = 1;
    EXPECT_EQ(GetLocalIpAddr(addr), c.want) << c.what;
    EXPECT_EQ(addr, c.want == 0 ? Ip(c.text.c_str()) : 0u) << c.what;
  }
}

TEST_F(HostIdentityTest, RealSystemNeverGivesLoopbackAddresses) {
  std::vector<NetInterface> nics;
  ASSERT_EQ(SystemInterfaces(nics), 0);
  for (size_t i = 1; i < nics.size(); ++i) EXPECT_LT(nics[i - 1].index, nics[i].index);
  for (const NetInterface& nic : nics) {
    if (nic.name == "lo") {
      EXPECT_TRUE(nic.isVirtual);
    }
  }
  std::string ip;
  if (GetLoaclIp(ip) == 0) {
    EXPECT_NE(ip.rfind("127.", 0), 0u) << ip;
  }
  std::vector<std::string> list;
  ASSERT_EQ(GetLocalIpList(list), 0);
  for (const std::string& a : list) EXPECT_NE(a.rfind("127.", 0), 0u) << a;
  EXPECT_EQ(GetMacAddr(), GetMacAddr());
}

TEST_F(HostIdentityTest, LocalIpGlobalIsSafeToReadWhileRewritten) {
  g_LocalIp.Set("10.0.0.1");
  std::thread writer([] {
    for (int i = 0; i < 2000; ++i) g_LocalIp.Set(i % 2 ? "192.168.100.200" : "10.0.0.1");
  });
  for (int i = 0; i < 2000; ++i) {
    std::string v = g_LocalIp.Get();
    EXPECT_TRUE(v == "10.0.0.1" || v == "192.168.100.200") << v;
  }
  writer.join();
}

}  // namespace
