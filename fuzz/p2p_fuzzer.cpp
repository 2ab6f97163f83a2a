// The P2P client's readers: the UDT message reader that hands each message of a device to
// Dispatch, and the receive loop's P2P datagrams. StartP2PClient runs on loopback as in
// the service, with a stand-in rendezvous server; one device punches, connects with UDT in
// rendezvous mode and stays connected for the whole run.
//
// Byte 0 of an input: bit 0 clear, the rest is one UDT message of the device; set, the
// rest is one datagram to the client's UDP socket. A device's punch or acknowledgement
// goes from the device's own address, which is connected already (from anywhere else it
// would hold the receive loop for a whole UDT connect time-out); any other datagram from
// another peer.
// The handlers are stand-ins: an echo (the body reversed) and a tray opcode, which must
// never be served to a device. The device must get exactly the answers a model of the
// reader computes, then the answer to a probe, and must stay connected.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <udt/udt.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "comm/core.h"
#include "comm/errors.h"
#include "comm/host_identity.h"
#include "comm/opcodes.h"
#include "comm/p2p_client.h"
#include "comm/thread_pool.h"
#include "fuzz_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kEcho = 0x0777;
constexpr uint16_t kEchoAnswer = 0x0778;
constexpr uint16_t kTray = OP_SHOW_GET_SYS_TYPE;
constexpr size_t kMaxUdtInput = 4096;

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

int Echo(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent*,
         uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  if (IsTrayOpcode(head->opcode)) fuzz::Fail("a tray opcode was served to a device");
  if (*direct != 1 || *udtSock < 0) fuzz::Fail("UDT message without its socket");
  if ((body == nullptr) != (bodyLen == 0)) fuzz::Fail("body pointer and length disagree");
  if (bodyLen + MsgHead::kSize > kUdtMsgMax) fuzz::Fail("body longer than a UDT message");
  fuzz::TouchAll(body, bodyLen);
  size_t len = MsgHead::kSize + bodyLen;
  uint8_t* r = AllocReply(len);
  if (r == nullptr) return ERR_ALLOC;
  MsgHead{static_cast<uint16_t>(len), kEchoAnswer, head->seq}.Encode(r);
  for (uint32_t i = 0; i < bodyLen; ++i) r[MsgHead::kSize + i] = body[bodyLen - 1 - i];
  *reply = r;
  *replyLen = static_cast<int32_t>(len);
  return ERR_OK;
}

// The answer the client must send for a UDT message, if any.
std::optional<Bytes> Model(const Bytes& msg) {
  size_t n = std::min(msg.size(), kUdtMsgMax);
  if (n < MsgHead::kSize) return std::nullopt;
  MsgHead head = MsgHead::Decode(msg.data());
  if (head.length > kUdtMsgMax || head.opcode != kEcho) return std::nullopt;
  size_t len = std::min<size_t>(n, head.length);
  size_t bodyLen = len > MsgHead::kSize ? len - MsgHead::kSize : 0;
  Bytes r(MsgHead::kSize + bodyLen);
  MsgHead{static_cast<uint16_t>(r.size()), kEchoAnswer, head.seq}.Encode(r.data());
  const uint8_t* body = msg.data() + MsgHead::kSize;
  for (size_t i = 0; i < bodyLen; ++i) r[MsgHead::kSize + i] = body[bodyLen - 1 - i];
  return r;
}

int UdpSocket(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = Loopback();
  socklen_t len = sizeof sin;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    fuzz::Fail("cannot make a UDP socket");
  }
  *port = ntohs(sin.sin_port);
  return fd;
}

void SendTo(int fd, uint16_t port, const uint8_t* data, size_t len) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = Loopback();
  to.sin_port = htons(port);
  ::sendto(fd, data, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

bool RecvWithin(int fd, int ms, Bytes* out) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return false;
  out->resize(4096);
  ssize_t n = ::recv(fd, out->data(), out->size(), MSG_DONTWAIT);
  if (n < 0) return false;
  out->resize(static_cast<size_t>(n));
  return true;
}

struct Rig {
  std::thread client;
  uint16_t pcPort = 0;
  int server = -1;    // the rendezvous server's socket
  int stranger = -1;  // another peer's socket
  uint16_t strangerPort = 0;
  int device = -1;    // the device's UDT socket
  int deviceUdp = -1;  // the UDP socket under it
  uint32_t probes = 0;
};

void ConnectDevice(Rig& rig) {
  uint16_t port = 0;
  int udp = UdpSocket(&port);
  // Punches until the client answers.
  Bytes punch(kHolePunchMsgSize, 0);
  P2PMsgHead{static_cast<uint16_t>(punch.size()), kP2PHeadConstant, P2P_HOLE_PUNCH}.Encode(
      punch.data());
  HolePunchMsg p;
  p.addr1 = Loopback();
  p.port1 = port;
  p.addr2 = Loopback();
  p.port2 = rig.pcPort;
  p.EncodeBody(punch.data());
  bool answered = false;
  for (auto until = Clock::now() + std::chrono::seconds(10); !answered && Clock::now() < until;) {
    SendTo(udp, rig.pcPort, punch.data(), punch.size());
    Bytes m;
    while (RecvWithin(udp, 100, &m)) answered = answered || m.size() == kHolePunchReplySize;
  }
  if (!answered) fuzz::Fail("the client does not answer a punch");

  int u = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  bool on = true;
  bool off = false;
  linger lg{0, 0};
  UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &on, sizeof on);
  UDT::setsockopt(u, 0, UDT_LINGER, &lg, sizeof lg);
  if (UDT::bind2(u, udp) == UDT::ERROR) fuzz::Fail("cannot bind the device's UDT socket");
  UDT::setsockopt(u, 0, UDT_RCVSYN, &off, sizeof off);
  sockaddr_in pc{};
  pc.sin_family = AF_INET;
  pc.sin_addr.s_addr = Loopback();
  pc.sin_port = htons(rig.pcPort);
  if (UDT::connect(u, reinterpret_cast<sockaddr*>(&pc), sizeof pc) == UDT::ERROR) {
    fuzz::Fail("the device cannot connect");
  }
  for (auto until = Clock::now() + std::chrono::seconds(10); UDT::getsockstate(u) != CONNECTED;) {
    if (Clock::now() > until) fuzz::Fail("the device does not get connected");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  rig.device = u;
  rig.deviceUdp = udp;
}

// True for a datagram that makes the client connect to its sender.
bool AsksForConnect(const Bytes& d) {
  if (!IsP2PMessage(d.data(), d.size())) return false;
  uint16_t opcode = wire::GetU16(d.data() + 4);
  bool fromDevice = d.size() >= 8 && wire::GetU16(d.data() + 6) == 0;
  if (opcode == P2P_HOLE_PUNCH) return fromDevice && d.size() >= kHolePunchMsgSize;
  if (opcode == P2P_HOLE_ACK) return fromDevice && d.size() >= kHoleAckMsgSize;
  return false;
}

Rig* g_rig = nullptr;

void StopRig() {
  if (g_rig == nullptr) return;
  if (g_rig->device >= 0) UDT::close(g_rig->device);
  OS_SetStopFlag();
  if (g_rig->client.joinable()) g_rig->client.join();
  UDT::cleanup();
}

Rig& TheRig() {
  static Rig* rig = [] {
    fuzz::LogToNull();
    auto* r = new Rig;
    g_ThreadPool = ThreadPool_Create();
    g_MacAddr = "00-1A-2B-3C-4D-5E";
    OS_RegFunction(Echo, kEcho);
    OS_RegFunction(Echo, kTray);
    uint16_t serverPort = 0;
    r->server = UdpSocket(&serverPort);
    r->stranger = UdpSocket(&r->strangerPort);
    P2PClientOptions o;
    o.heartBeatIntervalMs = 1000;
    o.pollTimeoutMs = 100;
    o.udtConnectTimeoutMs = 3000;
    o.udtLingerSec = 0;
    o.stopWaitMs = 3000;
    o.bindAddr = Loopback();
    o.serverInfo = [serverPort](std::string& host, uint16_t& port) {
      host = "127.0.0.1";
      port = serverPort;
    };
    o.email = [] { return std::string("pc@example.com"); };
    o.hostName = [] { return std::string("fuzz-pc"); };
    o.loggedOn = [] { return true; };
    SetP2PClientOptions(o);
    UDT::startup();
    r->client = std::thread(StartP2PClient, nullptr);
    // At the end of the run the client stops as the service's does, before the objects
    // its threads use go away.
    std::atexit(StopRig);
    for (auto until = Clock::now() + std::chrono::seconds(10); P2PClientPort() == 0;) {
      if (Clock::now() > until) fuzz::Fail("the p2p client did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r->pcPort = P2PClientPort();
    Bytes beat;
    if (!RecvWithin(r->server, 5000, &beat)) fuzz::Fail("no heartbeat reached the server");
    ConnectDevice(*r);
    g_rig = r;
    return r;
  }();
  return *rig;
}

// One UDT message from the device within ms.
std::optional<Bytes> DeviceRecv(int sock, int ms) {
  Bytes buf(65536);
  for (auto until = Clock::now() + std::chrono::milliseconds(ms);;) {
    int n = UDT::recvmsg(sock, reinterpret_cast<char*>(buf.data()), static_cast<int>(buf.size()));
    if (n != UDT::ERROR) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
    if (UDT::getlasterror().getErrorCode() != UDT::ERRORINFO::EASYNCRCV) return std::nullopt;
    if (Clock::now() > until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void ExpectAnswer(Rig& rig, const Bytes& want, const char* what) {
  std::optional<Bytes> got = DeviceRecv(rig.device, 10000);
  if (!got) fuzz::Fail(what);
  if (*got != want) fuzz::Fail("the device got another answer than the model's");
}

void SendDevice(Rig& rig, const Bytes& msg) {
  if (UDT::sendmsg(rig.device, reinterpret_cast<const char*>(msg.data()),
                   static_cast<int>(msg.size()), -1, true) != static_cast<int>(msg.size())) {
    fuzz::Fail("the device cannot send");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig& rig = TheRig();
  if (size < 1) return 0;
  Bytes rest(data + 1, data + size);
  if ((data[0] & 1) == 0) {
    if (rest.size() > kMaxUdtInput) rest.resize(kMaxUdtInput);
    if (!rest.empty()) {
      SendDevice(rig, rest);
      if (std::optional<Bytes> want = Model(rest)) ExpectAnswer(rig, *want, "an answer is missing");
    }
  } else if (!rest.empty()) {
    SendTo(AsksForConnect(rest) ? rig.deviceUdp : rig.stranger, rig.pcPort, rest.data(),
           rest.size());
    Bytes m;
    while (RecvWithin(rig.stranger, 0, &m)) {
    }
  }
  // The probe: its answer must be the next message the device gets.
  Bytes probe(MsgHead::kSize + 4);
  MsgHead{static_cast<uint16_t>(probe.size()), kEcho, 0xF0000000u + ++rig.probes}.Encode(
      probe.data());
  std::memcpy(probe.data() + MsgHead::kSize, "ping", 4);
  SendDevice(rig, probe);
  ExpectAnswer(rig, *Model(probe), "the probe's answer is missing");
  if (UDT::getsockstate(rig.device) != CONNECTED) fuzz::Fail("the device lost its connection");
  return 0;
}
