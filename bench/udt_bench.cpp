// tirvan-udt-bench: the throughput of a download over UDT (the service's P2P client and
// download handlers, the rendezvous server and the device client, all in this process on
// loopback; 1,000-byte packages) beside a plain UDT transfer of the same size with large
// messages between two sockets of this process, the transport's ceiling on this machine.
// Rounds alternate which of the two goes first; the ratio is the median of the rounds'
// ratios. Every download's file is compared whole with the PC's.
//
//   tirvan-udt-bench [MIB] [MESSAGE_KIB] [ROUNDS]   (defaults: 32 MiB, 64 KiB messages, 7)
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <udt/udt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "app/download.h"
#include "app/listing.h"
#include "app/transfer_table.h"
#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/dispatch.h"
#include "comm/host_identity.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/p2p_client.h"
#include "comm/sqlite_db.h"
#include "comm/thread_pool.h"
#include "device/device_client.h"
#include "device/udt_transport.h"
#include "rendezvous/rendezvous_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

int UdpOnLoopback(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  socklen_t len = sizeof sin;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
  *port = ntohs(sin.sin_port);
  return fd;
}

// Two rendezvous UDT sockets on loopback, connected; total bytes in messages of msgSize.
double PlainUdt(size_t total, size_t msgSize) {
  UDT::startup();
  uint16_t pa = 0;
  uint16_t pb = 0;
  int a = UdpOnLoopback(&pa);
  int b = UdpOnLoopback(&pb);
  UDTSOCKET ua = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  UDTSOCKET ub = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  bool on = true;
  for (UDTSOCKET u : {ua, ub}) UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &on, sizeof on);
  UDT::bind2(ua, a);
  UDT::bind2(ub, b);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in B = A;
  A.sin_port = htons(pa);
  B.sin_port = htons(pb);
  // Connected as the service and the device connect: without blocking, then waiting.
  bool off = false;
  for (UDTSOCKET u : {ua, ub}) UDT::setsockopt(u, 0, UDT_RCVSYN, &off, sizeof off);
  UDT::connect(ua, reinterpret_cast<sockaddr*>(&B), sizeof B);
  UDT::connect(ub, reinterpret_cast<sockaddr*>(&A), sizeof A);
  while (UDT::getsockstate(ua) != CONNECTED || UDT::getsockstate(ub) != CONNECTED) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  UDT::setsockopt(ua, 0, UDT_RCVSYN, &on, sizeof on);

  std::vector<char> out(msgSize, 'x');
  const auto t0 = Clock::now();
  std::thread rx([&] {
    // Received the way the device client receives: without blocking, polling.
    std::vector<char> in(msgSize);
    size_t got = 0;
    while (got < total) {
      int n = UDT::recvmsg(ub, in.data(), static_cast<int>(in.size()));
      if (n == UDT::ERROR && UDT::getlasterror().getErrorCode() == UDT::ERRORINFO::EASYNCRCV) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        continue;
      }
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  });
  for (size_t sent = 0; sent < total; sent += msgSize) {
    if (UDT::sendmsg(ua, out.data(), static_cast<int>(msgSize), -1, true) <= 0) break;
  }
  rx.join();
  const double secs = Seconds(t0);
  UDT::close(ua);
  UDT::close(ub);
  UDT::cleanup();
  return static_cast<double>(total) / secs;
}

std::string Schema() {
  std::ifstream in(TIRVAN_SCHEMA_PATH);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The service's side in this process, and a device downloading the file over UDT.
class ServiceSide {
 public:
  ServiceSide(const std::string& dir, size_t total) : m_dir(dir), m_share(dir + "/share") {
    std::filesystem::create_directories(m_share);
    {
      std::mt19937 gen(7);
      std::string data(total, '\0');
      for (char& c : data) c = static_cast<char>(gen());
      std::ofstream(m_share + "/big.bin", std::ios::binary) << data;
    }
    uint64_t length = 0;
    bench::DigestFile(m_share + "/big.bin", &m_digest, &length);
    g_Log.Open(dir + "/Log.txt", LOG_ERROR, false);
    g_DB.OpenFile((dir + "/Tirvan.db").c_str());
    g_DB.RunCommand(Schema().c_str());
    SetShareInfo({m_share});
    OS_RegFunction(ReqDownLoadFile, OP_REQ_DOWN_LOAD_FILE);
    OS_RegFunction(AllowDownLoadFile, OP_ALLOW_DOWN_LOAD_FILE);
    TransTableInit();
    OS_SetUdtPeerLostHook(TransCloseUdtSocket);
    g_ThreadPool = ThreadPool_Create();
    g_LogOnRtn = 0;
    g_MacAddr = "02-00-00-00-00-01";

    std::string error;
    if (!m_server.Start(&error)) {
      std::fprintf(stderr, "rendezvous: %s\n", error.c_str());
      return;
    }
    P2PClientOptions po;
    po.pollTimeoutMs = 200;
    po.bindAddr = htonl(INADDR_LOOPBACK);
    const uint16_t rport = m_server.port();
    po.serverInfo = [rport](std::string& host, uint16_t& port) {
      host = "127.0.0.1";
      port = rport;
    };
    SetP2PClientOptions(po);
    m_client = std::thread([] { StartP2PClient(nullptr); });
    while (m_server.Stations().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    m_ready = true;
  }

  ~ServiceSide() {
    if (m_ready) {
      OS_SetStopFlag();
      m_client.join();
      m_server.Stop();
      m_server.Wait();
    }
    g_DB.CloseFile();
  }

  // Bytes per second of one download, 0 when it failed or its file differs.
  double Download(uint32_t seq) {
    if (!m_ready) return 0;
    std::string error;
    auto transport = device::ConnectUdt({"127.0.0.1", m_server.port(), g_MacAddr}, 5000, &error);
    if (!transport) {
      std::fprintf(stderr, "connect: %s\n", error.c_str());
      return 0;
    }
    double rate = 0;
    const std::string got = m_dir + "/got.bin";
    device::DeviceClient dev(std::move(transport));
    dev.SetTimeout(30000);
    device::DownloadResult result;
    const auto t0 = Clock::now();
    if (dev.Download(seq, m_share + "/big.bin", got, device::DownloadOptions{}, result) &&
        result.end == device::DownloadEnd::Complete && result.digestChecked) {
      rate = static_cast<double>(result.received) / Seconds(t0);
    } else {
      std::fprintf(stderr, "download: %s\n", dev.LastError().c_str());
    }
    dev.Close();
    uint64_t digest = 0, length = 0;
    if (rate > 0 && (!bench::DigestFile(got, &digest, &length) || digest != m_digest)) {
      std::fprintf(stderr, "download: the file received differs from the PC's\n");
      rate = 0;
    }
    std::filesystem::remove(got);
    return rate;
  }

 private:
  std::string m_dir, m_share;
  uint64_t m_digest = 0;
  rendezvous::RendezvousServer m_server{rendezvous::RendezvousOptions{}};
  std::thread m_client;
  bool m_ready = false;
};

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 32;
  const size_t msgKib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 64;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 7;
  const size_t total = mib << 20;
  char tmpl[] = "/tmp/tirvan-udt-bench-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  const std::string dir = tmpl;

  std::vector<double> downloads, plains, ratios;
  bool ok = true;
  {
    ServiceSide service(dir, total);
    for (int r = 0; r < rounds && ok; ++r) {
      double plain = 0, download = 0;
      if (r % 2 == 0) plain = PlainUdt(total, msgKib << 10);
      download = service.Download(static_cast<uint32_t>(r + 1));
      if (r % 2 == 1) plain = PlainUdt(total, msgKib << 10);
      ok = download > 0 && plain > 0;
      if (!ok) break;
      downloads.push_back(download / 1e6);
      plains.push_back(plain / 1e6);
      ratios.push_back(download / plain);
    }
  }
  std::filesystem::remove_all(dir);
  std::printf("%zu MiB, %d alternating rounds, 1,000-byte packages against plain UDT with "
              "%zu KiB messages; every download compared whole\n",
              mib, rounds, msgKib);
  bench::PrintStat("download_mb_s", downloads, 1);
  bench::PrintStat("plain_mb_s", plains, 1);
  bench::PrintStat("ratio", ratios);
  return ok ? 0 : 1;
}
