// tirvan-download-bench: downloads one file over loopback from a running TirvanClient
// and from a static HTTP server in alternating rounds, checking every byte received
// against the file, and prints each round's throughput, their ratios, the processor time
// each server spent per GiB, the service's peak memory, the latency of folder listings
// made on a second connection meanwhile, and then the service's memory and aggregate
// throughput with several downloads at once. download_bench.sh sets the scene and runs it.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "comm/opcodes.h"
#include "comm/wire.h"
#include "device/device_client.h"
#include "platform/net.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::CpuSeconds;
using bench::StatusKiB;

struct Args {
  uint16_t tirvanPort = 0;
  int tirvanPid = 0;
  int httpPid = 0;         // the HTTP server's process that sends, for its processor time
  std::string remote;      // the file, as the device names it
  std::string listFolder;  // the folder listed meanwhile
  uint16_t httpPort = 0;
  std::string httpPath;    // the same file's URL path
  uint64_t size = 0;
  uint64_t digest = 0;     // of the whole file
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "tirvan-download-bench: %s\n", why.c_str());
  std::exit(1);
}

// Downloads the file from the service on its own connection: every frame must be a data
// package of the next number with the file's next bytes, ending with a successful end
// message, and the data's digest must be the file's.
void DownloadFromService(const Args& a, uint32_t seq) {
  int fd = platform::ConnectTcp("127.0.0.1", a.tirvanPort, 5000);
  if (fd < 0) Die("cannot connect to the service");
  std::string req(8 + 356, '\0');
  MsgHead{static_cast<uint16_t>(req.size()), OP_REQ_DOWN_LOAD_FILE, seq}.Encode(
      reinterpret_cast<uint8_t*>(req.data()));
  req.replace(9, a.remote.size(), a.remote);
  uint8_t start[12];
  MsgHead{12, OP_ALLOW_DOWN_LOAD_FILE, seq}.Encode(start);
  wire::PutU32(start + 8, 0);
  if (platform::SendAll(fd, req.data(), req.size()) != 0) Die("send failed");
  uint8_t info[64];
  if (platform::RecvAll(fd, info, sizeof info) != 0) Die("no download info");
  if (MsgHead::Decode(info).opcode != OP_DOWN_LOAD_INFO) Die("the service refused the file");
  if (wire::GetU32(info + 8) != a.size) Die("the service announced another size");
  if (platform::SendAll(fd, start, sizeof start) != 0) Die("send failed");

  std::vector<uint8_t> buf(4 << 20);
  size_t begin = 0, end = 0;
  bench::Digest digest;
  uint32_t next = 1;
  for (;;) {
    while (end - begin >= MsgHead::kSize) {
      MsgHead h = MsgHead::Decode(buf.data() + begin);
      if (h.length < MsgHead::kSize) Die("bad frame");
      if (end - begin < h.length) break;
      if (h.opcode == OP_DOWN_LOAD_OVER) {
        if (buf[begin + 8] != '0') Die("the download ended with a failure");
        ::close(fd);
        if (digest.Length() != a.size) {
          Die("the service sent " + std::to_string(digest.Length()) + " data bytes");
        }
        if (digest.Final() != a.digest) Die("the service's data differ from the file");
        return;
      }
      if (h.opcode != OP_DOWN_LOAD_DATA || h.seq != seq || h.length < 20) {
        Die("unexpected frame in the download");
      }
      if (wire::GetU32(buf.data() + begin + 8) != next++) Die("a package out of order");
      digest.Add(buf.data() + begin + 20, h.length - 20u);
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

// The same file over HTTP; the body's digest must be the file's.
void DownloadOverHttp(const Args& a) {
  int fd = platform::ConnectTcp("127.0.0.1", a.httpPort, 5000);
  if (fd < 0) Die("cannot connect to the HTTP server");
  std::string req = "GET " + a.httpPath + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (platform::SendAll(fd, req.data(), req.size()) != 0) Die("send failed");
  std::vector<char> buf(4 << 20);
  std::string head;
  bool inBody = false;
  bench::Digest digest;
  for (;;) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0) Die("HTTP receive failed");
    if (n == 0) break;
    const char* p = buf.data();
    auto len = static_cast<size_t>(n);
    if (!inBody) {
      size_t before = head.size();
      head.append(p, len);
      size_t at = head.find("\r\n\r\n");
      if (at == std::string::npos) {
        if (head.size() > 65536) Die("no end of the HTTP head");
        continue;
      }
      inBody = true;
      size_t skip = at + 4 - before;
      p += skip;
      len -= skip;
      head.resize(at);
    }
    digest.Add(reinterpret_cast<const uint8_t*>(p), len);
  }
  ::close(fd);
  if (head.compare(0, 12, "HTTP/1.1 200") != 0 && head.compare(0, 12, "HTTP/1.0 200") != 0) {
    Die("the HTTP server answered: " + head.substr(0, head.find("\r\n")));
  }
  if (digest.Length() != a.size) Die("the HTTP server sent " + std::to_string(digest.Length()));
  if (digest.Final() != a.digest) Die("the HTTP server's data differ from the file");
}

// Lists the folder on a connection of its own again and again, pausing pauseMs between
// listings, until stopped; keeps the latencies.
class Lister {
 public:
  Lister(const Args& a, int pauseMs) : m_thread([this, &a, pauseMs] { Loop(a, pauseMs); }) {}
  ~Lister() { Stop(); }
  std::vector<double> Stop() {
    m_running = false;
    if (m_thread.joinable()) m_thread.join();
    return m_ms;
  }

 private:
  void Loop(const Args& a, int pauseMs) {
    std::string error;
    device::DeviceClient client(device::ConnectTcp("127.0.0.1", a.tirvanPort, 5000, &error));
    std::vector<device::FolderEntry> entries;
    while (m_running) {
      auto t0 = Clock::now();
      if (!client.ListFolder(a.listFolder, entries)) Die("listing: " + client.LastError());
      m_ms.push_back(Seconds(Clock::now() - t0) * 1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
  }
  std::atomic<bool> m_running{true};
  std::vector<double> m_ms;
  std::thread m_thread;
};

// Samples the service's resident memory every 10 ms until stopped; the peak in KiB.
class RssSampler {
 public:
  explicit RssSampler(int pid) : m_thread([this, pid] {
    while (m_running) {
      if (pid > 0) m_peak = std::max(m_peak.load(), StatusKiB(pid, "VmRSS"));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }) {}
  ~RssSampler() { Stop(); }
  long Stop() {
    m_running = false;
    if (m_thread.joinable()) m_thread.join();
    return m_peak;
  }

 private:
  std::atomic<bool> m_running{true};
  std::atomic<long> m_peak{0};
  std::thread m_thread;
};

// The service's resident memory once it has settled after the downloads: the lowest of
// samples over a second, in KiB.
long SettledRssKiB(int pid) {
  long low = 0;
  for (int i = 0; i < 20; ++i) {
    long v = StatusKiB(pid, "VmRSS");
    low = low == 0 ? v : std::min(low, v);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return low;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  int runs = 7;
  int concurrentRounds = 3;
  int pauseMs = 1;
  size_t minListings = 1000;
  std::vector<int> concurrent = {4, 16, 64};
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--service-port") a.tirvanPort = static_cast<uint16_t>(std::atoi(v.c_str()));
    else if (k == "--service-pid") a.tirvanPid = std::atoi(v.c_str());
    else if (k == "--remote") a.remote = v;
    else if (k == "--list") a.listFolder = v;
    else if (k == "--http-port") a.httpPort = static_cast<uint16_t>(std::atoi(v.c_str()));
    else if (k == "--http-path") a.httpPath = v;
    else if (k == "--http-pid") a.httpPid = std::atoi(v.c_str());
    else if (k == "--runs") runs = std::max(1, std::atoi(v.c_str()));
    else if (k == "--concurrent-rounds") concurrentRounds = std::max(0, std::atoi(v.c_str()));
    else if (k == "--list-pause-ms") pauseMs = std::max(0, std::atoi(v.c_str()));
    else if (k == "--min-listings") minListings = std::strtoul(v.c_str(), nullptr, 10);
    else if (k == "--concurrent") {
      concurrent.clear();
      for (const char* p = v.c_str(); *p != '\0';) {
        char* e = nullptr;
        long n = std::strtol(p, &e, 10);
        if (e == p) Die("--concurrent takes numbers separated by commas");
        if (n > 0) concurrent.push_back(static_cast<int>(n));
        p = *e == ',' ? e + 1 : e;
      }
    } else Die("unknown option " + k);
  }
  if (a.tirvanPort == 0 || a.remote.empty() || a.listFolder.empty() || a.httpPort == 0) {
    Die("usage: --service-port P --service-pid PID --remote PATH --list FOLDER --http-port P "
        "--http-path /PATH [--http-pid PID] [--runs N] [--concurrent 4,16,64] "
        "[--concurrent-rounds N] [--list-pause-ms MS] [--min-listings N]");
  }
  platform::IgnoreSigpipe();
  if (!bench::DigestFile(a.remote, &a.digest, &a.size)) Die("cannot read " + a.remote);
  double mib = static_cast<double>(a.size) / (1 << 20);
  double gib = mib / 1024;

  // Rounds of one download from each side, which goes first alternating. Ratios are taken
  // round by round, so that a busy moment of the machine, which slows both downloads of
  // its round alike, does not decide them. The first HTTP download only warms the page
  // cache. The service's memory is sampled meanwhile.
  DownloadOverHttp(a);
  std::vector<double> svcRate, httpRate, ratio, svcCpu, httpCpu, cpuRatio, rssOne, listing;
  uint32_t seq = 7;
  auto fromHttp = [&] {
    double cpu0 = CpuSeconds(a.httpPid);
    auto t0 = Clock::now();
    DownloadOverHttp(a);
    httpRate.push_back(mib / Seconds(Clock::now() - t0));
    httpCpu.push_back((CpuSeconds(a.httpPid) - cpu0) * 1000 / gib);
  };
  auto fromService = [&] {
    RssSampler rss(a.tirvanPid);
    double cpu0 = CpuSeconds(a.tirvanPid);
    auto t0 = Clock::now();
    DownloadFromService(a, seq++);
    svcRate.push_back(mib / Seconds(Clock::now() - t0));
    svcCpu.push_back((CpuSeconds(a.tirvanPid) - cpu0) * 1000 / gib);
    rssOne.push_back(static_cast<double>(rss.Stop()) / 1024);
  };
  for (int run = 0; run < runs; ++run) {
    if (run % 2 == 0) fromHttp();
    fromService();
    if (run % 2 == 1) fromHttp();
    ratio.push_back(svcRate.back() / httpRate.back());
    if (a.httpPid > 0 && a.tirvanPid > 0 && httpCpu.back() > 0) {
      cpuRatio.push_back(svcCpu.back() / httpCpu.back());
    }
  }
  // Then downloads from the service while a second connection lists a folder again and
  // again (its own rounds, so that the listings' work stays out of the figures above):
  // at least as many rounds as above, and more until minListings listings were timed.
  // Each such round is followed by listings alone for as long, the reference that
  // shows what the machine's load alone does to them.
  std::vector<double> idleListing;
  for (int run = 0; run < runs || (listing.size() < minListings && run < 1000); ++run) {
    auto t0 = Clock::now();
    {
      Lister lister(a, pauseMs);
      DownloadFromService(a, seq++);
      std::vector<double> ms = lister.Stop();
      listing.insert(listing.end(), ms.begin(), ms.end());
    }
    auto took = Clock::now() - t0;
    Lister idle(a, pauseMs);
    std::this_thread::sleep_for(took);
    std::vector<double> ms = idle.Stop();
    idleListing.insert(idleListing.end(), ms.begin(), ms.end());
  }
  std::printf("file %.0f MiB, %d alternating rounds, every byte checked\n", mib, runs);
  bench::PrintStat("service_mib_s", svcRate, 1);
  bench::PrintStat("http_mib_s", httpRate, 1);
  bench::PrintStat("ratio", ratio);
  if (a.tirvanPid > 0) {
    bench::PrintStat("service_cpu_ms_per_gib", svcCpu, 0);
    if (a.httpPid > 0) bench::PrintStat("http_cpu_ms_per_gib", httpCpu, 0);
    bench::PrintStat("cpu_ratio", cpuRatio);
    bench::PrintStat("rss_one_mib", rssOne, 1);
  }
  bench::PrintLatency("listing_during_download_ms", listing);
  bench::PrintLatency("listing_idle_ms", idleListing);

  // Then several downloads of the file at once, each checked whole: the aggregate
  // throughput, the service's peak memory meanwhile and its memory once they are over,
  // against its memory before. The counts take turns, in reverse order every other round.
  if (a.tirvanPid <= 0 || concurrent.empty() || concurrentRounds == 0) return 0;
  std::vector<std::vector<double>> rate(concurrent.size()), peak(concurrent.size()),
      after(concurrent.size()), idle(concurrent.size());
  std::vector<double> latConcurrent;
  for (int round = 0; round < concurrentRounds; ++round) {
    for (size_t k = 0; k < concurrent.size(); ++k) {
      size_t c = round % 2 == 0 ? k : concurrent.size() - 1 - k;
      int n = concurrent[c];
      idle[c].push_back(static_cast<double>(SettledRssKiB(a.tirvanPid)) / 1024);
      Lister lister(a, pauseMs);
      RssSampler rss(a.tirvanPid);
      std::vector<std::thread> downloads;
      auto t0 = Clock::now();
      for (int i = 0; i < n; ++i) {
        uint32_t s = seq++;
        downloads.emplace_back([&a, s] { DownloadFromService(a, s); });
      }
      for (std::thread& t : downloads) t.join();
      rate[c].push_back(mib * n / Seconds(Clock::now() - t0));
      peak[c].push_back(static_cast<double>(rss.Stop()) / 1024);
      std::vector<double> ms = lister.Stop();
      latConcurrent.insert(latConcurrent.end(), ms.begin(), ms.end());
      after[c].push_back(static_cast<double>(SettledRssKiB(a.tirvanPid)) / 1024);
    }
  }
  for (size_t c = 0; c < concurrent.size(); ++c) {
    std::string at = "concurrent_" + std::to_string(concurrent[c]);
    bench::PrintStat((at + "_mib_s").c_str(), rate[c], 1);
    bench::PrintStat((at + "_peak_rss_mib").c_str(), peak[c], 1);
    bench::PrintStat((at + "_idle_rss_mib").c_str(), idle[c], 1);
    bench::PrintStat((at + "_after_rss_mib").c_str(), after[c], 1);
    if (c > 0) {
      std::vector<double> r;
      for (size_t i = 0; i < rate[c].size(); ++i) r.push_back(rate[c][i] / rate[0][i]);
      bench::PrintStat((at + "_vs_" + std::to_string(concurrent[0]) + "_ratio").c_str(), r);
    }
  }
  bench::PrintLatency("listing_during_concurrent_ms", latConcurrent);
  return 0;
}
