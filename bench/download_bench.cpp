// tirvan-download-bench: downloads one file over loopback from a running TirvanClient
// and from a static HTTP server, and prints the throughput of each, their ratio, the
// service's peak memory during the download and the latency of folder listings made on
// a second connection meanwhile. download_bench.sh sets the scene and runs it.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "comm/opcodes.h"
#include "comm/wire.h"
#include "device/device_client.h"
#include "platform/net.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Args {
  uint16_t tirvanPort = 0;
  int tirvanPid = 0;
  std::string remote;      // the file, as the device names it
  std::string listFolder;  // the folder listed meanwhile
  uint16_t httpPort = 0;
  std::string httpPath;    // the same file's URL path
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A /proc/PID/status field in KiB (VmRSS, VmHWM), 0 when unreadable.
long StatusKiB(int pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
      return std::atol(line.c_str() + n + 1);
    }
  }
  return 0;
}

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "tirvan-download-bench: %s\n", why.c_str());
  std::exit(1);
}

// Downloads the file from the service on its own connection, counting data bytes
// without keeping them. Returns the data bytes.
uint64_t DownloadFromService(const Args& a, uint64_t expected) {
  int fd = platform::ConnectTcp("127.0.0.1", a.tirvanPort, 5000);
  if (fd < 0) Die("cannot connect to the service");
  std::string req(8 + 356, '\0');
  MsgHead{static_cast<uint16_t>(req.size()), OP_REQ_DOWN_LOAD_FILE, 7}.Encode(
      reinterpret_cast<uint8_t*>(req.data()));
  req.replace(9, a.remote.size(), a.remote);
  uint8_t start[12];
  MsgHead{12, OP_ALLOW_DOWN_LOAD_FILE, 7}.Encode(start);
  wire::PutU32(start + 8, 0);
  if (platform::SendAll(fd, req.data(), req.size()) != 0) Die("send failed");
  uint8_t info[64];
  if (platform::RecvAll(fd, info, sizeof info) != 0) Die("no download info");
  if (MsgHead::Decode(info).opcode != OP_DOWN_LOAD_INFO) Die("the service refused the file");
  if (wire::GetU32(info + 8) != expected) Die("the service announced another size");
  if (platform::SendAll(fd, start, sizeof start) != 0) Die("send failed");

  std::vector<uint8_t> buf(4 << 20);
  size_t begin = 0, end = 0;
  uint64_t data = 0;
  for (;;) {
    while (end - begin >= MsgHead::kSize) {
      MsgHead h = MsgHead::Decode(buf.data() + begin);
      if (h.length < MsgHead::kSize) Die("bad frame");
      if (end - begin < h.length) break;
      if (h.opcode == OP_DOWN_LOAD_OVER) {
        if (buf[begin + 8] != '0') Die("the download ended with a failure");
        ::close(fd);
        return data;
      }
      data += h.length - 20u;
      begin += h.length;
    }
    std::memmove(buf.data(), buf.data() + begin, end - begin);
    end -= begin;
    begin = 0;
    ssize_t n = ::recv(fd, buf.data() + end, buf.size() - end, 0);
    if (n <= 0) Die("the service closed the download");
    end += static_cast<size_t>(n);
  }
}

uint64_t DownloadOverHttp(const Args& a) {
  int fd = platform::ConnectTcp("127.0.0.1", a.httpPort, 5000);
  if (fd < 0) Die("cannot connect to the HTTP server");
  std::string req = "GET " + a.httpPath + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (platform::SendAll(fd, req.data(), req.size()) != 0) Die("send failed");
  std::vector<char> buf(4 << 20);
  uint64_t total = 0;
  uint64_t headerEnd = 0;
  std::string head;
  for (;;) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0) Die("HTTP receive failed");
    if (n == 0) break;
    if (headerEnd == 0 && head.size() < 4096) {
      head.append(buf.data(), static_cast<size_t>(std::min<ssize_t>(n, 4096)));
      size_t at = head.find("\r\n\r\n");
      if (at != std::string::npos) headerEnd = at + 4;
    }
    total += static_cast<uint64_t>(n);
  }
  ::close(fd);
  if (head.compare(0, 12, "HTTP/1.1 200") != 0 && head.compare(0, 12, "HTTP/1.0 200") != 0) {
    Die("the HTTP server answered: " + head.substr(0, head.find("\r\n")));
  }
  return total - headerEnd;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  uint64_t size = 0;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--service-port") a.tirvanPort = static_cast<uint16_t>(std::atoi(v.c_str()));
    else if (k == "--service-pid") a.tirvanPid = std::atoi(v.c_str());
    else if (k == "--remote") a.remote = v;
    else if (k == "--list") a.listFolder = v;
    else if (k == "--http-port") a.httpPort = static_cast<uint16_t>(std::atoi(v.c_str()));
    else if (k == "--http-path") a.httpPath = v;
    else if (k == "--size") size = std::strtoull(v.c_str(), nullptr, 10);
    else if (k == "--runs") runs = std::max(1, std::atoi(v.c_str()));
    else Die("unknown option " + k);
  }
  if (a.tirvanPort == 0 || a.remote.empty() || a.listFolder.empty() || size == 0) {
    Die("usage: --service-port P --service-pid PID --remote PATH --list FOLDER --size BYTES "
        "[--http-port P --http-path /PATH] [--runs N]");
  }
  platform::IgnoreSigpipe();

  // Alternating runs; the best of each side counts, so that a busy moment of the machine
  // does not decide the ratio. The first HTTP download only warms the page cache.
  if (a.httpPort != 0) DownloadOverHttp(a);
  std::vector<double> httpSecs, serviceSecs;
  std::vector<double> latencies;
  long peakRssKiB = 0;
  for (int run = 0; run < runs; ++run) {
    if (a.httpPort != 0) {
      auto t0 = Clock::now();
      uint64_t got = DownloadOverHttp(a);
      httpSecs.push_back(Seconds(Clock::now() - t0));
      if (got != size) Die("the HTTP server sent " + std::to_string(got) + " bytes");
    }
    // While the service sends, a second connection lists a folder again and again, and
    // the service's resident memory is sampled.
    std::atomic<bool> running{true};
    std::thread lister([&] {
      std::string error;
      device::DeviceClient client(device::ConnectTcp("127.0.0.1", a.tirvanPort, 5000, &error));
      std::vector<device::FolderEntry> entries;
      while (running) {
        auto t0 = Clock::now();
        if (!client.ListFolder(a.listFolder, entries)) Die("listing: " + client.LastError());
        latencies.push_back(Seconds(Clock::now() - t0) * 1000);
        if (a.tirvanPid > 0) peakRssKiB = std::max(peakRssKiB, StatusKiB(a.tirvanPid, "VmRSS"));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    auto t0 = Clock::now();
    uint64_t got = DownloadFromService(a, size);
    serviceSecs.push_back(Seconds(Clock::now() - t0));
    running = false;
    lister.join();
    if (got != size) Die("the service sent " + std::to_string(got) + " data bytes");
  }
  long hwm = a.tirvanPid > 0 ? StatusKiB(a.tirvanPid, "VmHWM") : 0;

  std::sort(latencies.begin(), latencies.end());
  std::sort(httpSecs.begin(), httpSecs.end());
  std::sort(serviceSecs.begin(), serviceSecs.end());
  double mib = static_cast<double>(size) / (1 << 20);
  double serviceRate = mib / serviceSecs.front();
  std::printf("file                  %.0f MiB, %d runs each, best (median)\n", mib, runs);
  std::printf("service throughput    %.1f MiB/s (%.1f)\n", serviceRate,
              mib / serviceSecs[serviceSecs.size() / 2]);
  if (!httpSecs.empty()) {
    double httpRate = mib / httpSecs.front();
    std::printf("http throughput       %.1f MiB/s (%.1f)\n", httpRate,
                mib / httpSecs[httpSecs.size() / 2]);
    std::printf("ratio service/http    %.2f   (target >= 1.0: %s)\n", serviceRate / httpRate,
                serviceRate / httpRate >= 1.0 ? "met" : "missed");
  }
  if (a.tirvanPid > 0) {
    std::printf("service peak RSS      %.1f MiB sampled, %.1f MiB high-water mark   (target < 64 "
                "MiB: %s)\n",
                peakRssKiB / 1024.0, hwm / 1024.0, hwm < 64 * 1024 ? "met" : "missed");
  }
  if (!latencies.empty()) {
    double median = latencies[latencies.size() / 2];
    double worst = latencies.back();
    std::printf("listing latency       median %.2f ms, max %.2f ms over %zu listings   (target "
                "< 20 ms: %s)\n",
                median, worst, latencies.size(), worst < 20 ? "met" : "missed");
  }
  return 0;
}
