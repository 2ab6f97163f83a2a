// tirvan-download-bench: downloads one file over loopback from a running TirvanClient
// and from a static HTTP server, and prints the throughput of each, their ratio, the
// processor time each server spent per GiB, the service's peak memory during the
// download and the latency of folder listings made on a second connection meanwhile.
// download_bench.sh sets the scene and runs it.
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
#include <iterator>
#include <sstream>
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
  int httpPid = 0;         // the HTTP server's process that sends, for its processor time
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

// User and system time of a process in seconds (all its threads), 0 when unreadable.
double CpuSeconds(int pid) {
  if (pid <= 0) return 0;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = stat.rfind(')');
  if (at == std::string::npos) return 0;
  std::istringstream fields(stat.substr(at + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  // After the name: state is field 3, utime 14 and stime 15.
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::strtoull(f.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(f.c_str(), nullptr, 10);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
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
  int runs = 7;
  int parallel = 8;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--service-port") a.tirvanPort = static_cast<uint16_t>(std::atoi(v.c_str()));
    else if (k == "--service-pid") a.tirvanPid = std::atoi(v.c_str());
    else if (k == "--remote") a.remote = v;
    else if (k == "--list") a.listFolder = v;
    else if (k == "--http-port") a.httpPort = static_cast<uint16_t>(std::atoi(v.c_str()));
    else if (k == "--http-path") a.httpPath = v;
    else if (k == "--http-pid") a.httpPid = std::atoi(v.c_str());
    else if (k == "--size") size = std::strtoull(v.c_str(), nullptr, 10);
    else if (k == "--runs") runs = std::max(1, std::atoi(v.c_str()));
    else if (k == "--parallel") parallel = std::max(0, std::atoi(v.c_str()));
    else Die("unknown option " + k);
  }
  if (a.tirvanPort == 0 || a.remote.empty() || a.listFolder.empty() || size == 0) {
    Die("usage: --service-port P --service-pid PID --remote PATH --list FOLDER --size BYTES "
        "[--http-port P --http-path /PATH [--http-pid PID]] [--runs N] [--parallel N]");
  }
  platform::IgnoreSigpipe();

  // Rounds of one download from each side, which goes first alternating. The ratio is
  // the median of the rounds' ratios, so that a busy moment of the machine, which slows
  // both downloads of its round alike, does not decide it. The first HTTP download only
  // warms the page cache.
  if (a.httpPort != 0) DownloadOverHttp(a);
  std::vector<double> httpSecs, serviceSecs, ratios;
  double httpCpu = 0, serviceCpu = 0;
  // Processor seconds of each round, and their ratios round by round.
  std::vector<double> httpCpuRounds, serviceCpuRounds, cpuRatios;
  std::vector<double> latencies;
  long peakRssKiB = 0;
  auto fromHttp = [&] {
    double cpu0 = CpuSeconds(a.httpPid);
    auto t0 = Clock::now();
    uint64_t got = DownloadOverHttp(a);
    httpSecs.push_back(Seconds(Clock::now() - t0));
    httpCpu += CpuSeconds(a.httpPid) - cpu0;
    httpCpuRounds.push_back(CpuSeconds(a.httpPid) - cpu0);
    if (got != size) Die("the HTTP server sent " + std::to_string(got) + " bytes");
  };
  auto fromService = [&] {
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
    double cpu0 = CpuSeconds(a.tirvanPid);
    auto t0 = Clock::now();
    uint64_t got = DownloadFromService(a, size);
    serviceSecs.push_back(Seconds(Clock::now() - t0));
    serviceCpu += CpuSeconds(a.tirvanPid) - cpu0;
    serviceCpuRounds.push_back(CpuSeconds(a.tirvanPid) - cpu0);
    running = false;
    lister.join();
    if (got != size) Die("the service sent " + std::to_string(got) + " data bytes");
  };
  for (int run = 0; run < runs; ++run) {
    if (a.httpPort != 0 && run % 2 == 0) fromHttp();
    fromService();
    if (a.httpPort != 0 && run % 2 == 1) fromHttp();
    if (a.httpPort != 0) ratios.push_back(httpSecs.back() / serviceSecs.back());
    if (a.httpPort != 0 && a.httpPid > 0 && httpCpuRounds.back() > 0) {
      cpuRatios.push_back(serviceCpuRounds.back() / httpCpuRounds.back());
    }
  }
  long hwm = a.tirvanPid > 0 ? StatusKiB(a.tirvanPid, "VmHWM") : 0;

  // Then several downloads of the file at once, the service's memory sampled meanwhile.
  long parallelRssKiB = 0;
  if (parallel > 0) {
    std::atomic<int> left{parallel};
    std::vector<std::thread> downloads;
    for (int i = 0; i < parallel; ++i) {
      downloads.emplace_back([&] {
        if (DownloadFromService(a, size) != size) Die("a parallel download came short");
        --left;
      });
    }
    while (left > 0) {
      if (a.tirvanPid > 0) parallelRssKiB = std::max(parallelRssKiB, StatusKiB(a.tirvanPid, "VmRSS"));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (std::thread& t : downloads) t.join();
  }

  double mib = static_cast<double>(size) / (1 << 20);
  double gib = mib / 1024;
  double bestService = *std::min_element(serviceSecs.begin(), serviceSecs.end());
  std::printf("file                  %.0f MiB, %d rounds, best (median)\n", mib, runs);
  std::printf("service throughput    %.1f MiB/s (%.1f)\n", mib / bestService,
              mib / Median(serviceSecs));
  if (!httpSecs.empty()) {
    double bestHttp = *std::min_element(httpSecs.begin(), httpSecs.end());
    std::printf("http throughput       %.1f MiB/s (%.1f)\n", mib / bestHttp, mib / Median(httpSecs));
    double ratio = Median(ratios);
    std::printf("ratio service/http    %.2f median of rounds, %.2f best to best   (target >= 1.0: "
                "%s)\n",
                ratio, bestHttp / bestService, ratio >= 1.0 ? "met" : "missed");
  }
  if (a.tirvanPid > 0) {
    std::printf("processor time/GiB    service %.0f ms", serviceCpu * 1000 / gib / runs);
    if (a.httpPid > 0 && !httpSecs.empty()) {
      std::printf(", http %.0f ms", httpCpu * 1000 / gib / static_cast<double>(httpSecs.size()));
    }
    std::printf("\n");
    if (!cpuRatios.empty()) {
      double cpuRatio = Median(cpuRatios);
      std::printf("ratio cpu service/http %.2f median of rounds   (target <= 1.2: %s)\n", cpuRatio,
                  cpuRatio <= 1.2 ? "met" : "missed");
    }
    std::printf("service peak RSS      %.1f MiB sampled, %.1f MiB high-water mark   (target < 64 "
                "MiB: %s)\n",
                peakRssKiB / 1024.0, hwm / 1024.0, hwm < 64 * 1024 ? "met" : "missed");
    if (parallel > 0) {
      std::printf("parallel peak RSS     %.1f MiB sampled during %d downloads at once   (target < "
                  "64 MiB: %s)\n",
                  parallelRssKiB / 1024.0, parallel, parallelRssKiB < 64 * 1024 ? "met" : "missed");
    }
  }
  if (!latencies.empty()) {
    std::sort(latencies.begin(), latencies.end());
    double median = latencies[latencies.size() / 2];
    double worst = latencies.back();
    std::printf("listing latency       median %.2f ms, max %.2f ms over %zu listings   (target "
                "< 20 ms: %s)\n",
                median, worst, latencies.size(), worst < 20 ? "met" : "missed");
  }
  return 0;
}
