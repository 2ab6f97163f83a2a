// tirvan-relay-bench: relayed download and upload throughput through tirvan-central
// against a running TirvanClient, beside the bound of the relay's stop-and-wait design:
// one package of 1,000 bytes per round trip between the PC and the server. The round trip
// is measured first, with polls on one connection to the server (answered after the
// server's injected delay, as every download frame is). The relayed upload moves whole
// messages per poll and has no such bound: its throughput is shown alone. Each round
// measures the round trip, a download and an upload; every file that arrives is compared
// whole with its source. relay_bench.sh sets the scene.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "comm/opcodes.h"
#include "comm/wire.h"
#include "device/device_client.h"
#include "device/relay_transport.h"
#include "device/upload.h"
#include "platform/net.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Args {
  device::RelayTarget relay;
  std::string share;  // a shared folder of the PC, also readable here
  std::string local;  // a scratch folder
  uint64_t downloadBytes = 2u << 20;
  uint64_t uploadBytes = 32u << 20;
  int delayMs = 0;  // the server's injected answer delay, for the report
  int rounds = 7;
};

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "tirvan-relay-bench: %s\n", why.c_str());
  std::exit(1);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void WriteRandom(const std::string& path, uint64_t n, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::vector<uint64_t> block(1 << 14);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (uint64_t done = 0; done < n;) {
    for (uint64_t& v : block) v = gen();
    size_t take = static_cast<size_t>(std::min<uint64_t>(n - done, block.size() * 8));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(take));
    done += take;
  }
  if (!out) Die("cannot write " + path);
}

bool SameDigest(const std::string& a, const std::string& b) {
  uint64_t da = 0, db = 0, la = 0, lb = 0;
  return bench::DigestFile(a, &da, &la) && bench::DigestFile(b, &db, &lb) && da == db && la == lb;
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// The median time of a poll and its answer, on one connection, in seconds.
double RoundTrip(const Args& a) {
  int fd = platform::ConnectTcp(a.relay.host, a.relay.port, 5000);
  if (fd < 0) Die("cannot connect to the server");
  uint8_t poll[70];
  ServerMsgHead{70, 6, SV_INTER_LINE_UP_LOAD, a.relay.station}.Encode(poll);
  std::vector<double> times;
  for (int i = 0; i < 101; ++i) {
    auto t0 = Clock::now();
    uint8_t answer[8];
    if (platform::SendAll(fd, poll, sizeof poll) != 0 ||
        platform::RecvAll(fd, answer, sizeof answer) != 0) {
      Die("the server did not answer a poll");
    }
    uint16_t len = wire::GetU16(answer);
    std::vector<uint8_t> rest(len > 8 ? len - 8 : 0);
    if (!rest.empty() && platform::RecvAll(fd, rest.data(), rest.size()) != 0) Die("short answer");
    times.push_back(Seconds(Clock::now() - t0));
  }
  platform::CloseSocket(fd);
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

std::unique_ptr<device::DeviceClient> Connect(const Args& a) {
  std::string error;
  auto t = device::ConnectRelay(a.relay, 5000, &error);
  if (!t) Die(error);
  auto c = std::make_unique<device::DeviceClient>(std::move(t));
  c->SetTimeout(60000);
  return c;
}

double Download(const Args& a) {
  const std::string remote = a.share + "/relay-bench-download.bin";
  const std::string local = a.local + "/relay-bench-download.bin";
  WriteRandom(remote, a.downloadBytes, 1);
  auto client = Connect(a);
  device::DownloadResult result;
  auto t0 = Clock::now();
  if (!client->Download(11, remote, local, device::DownloadOptions{}, result)) {
    Die("download failed: " + client->LastError());
  }
  double secs = Seconds(Clock::now() - t0);
  if (!result.digestChecked || result.received != a.downloadBytes) Die("download incomplete");
  if (!SameDigest(remote, local)) Die("the downloaded file differs from the PC's");
  ::unlink(remote.c_str());
  ::unlink(local.c_str());
  return secs;
}

// From the announcement to the final file at its place on the PC.
double Upload(const Args& a) {
  const std::string local = a.local + "/relay-bench-upload.bin";
  const std::string target = a.share + "/relay-bench-upload.bin";
  WriteRandom(local, a.uploadBytes, 2);
  ::unlink(target.c_str());
  auto client = Connect(a);
  device::UploadOptions o;
  o.chunk = device::kRelayUploadChunk;
  o.confirm = false;
  device::UploadResult result;
  device::UploadError error;
  auto t0 = Clock::now();
  if (!device::UploadFile(*client, 12, local, target, o, result, &error)) {
    Die("upload failed: " + error.text);
  }
  while (FileSize(target) != static_cast<long long>(a.uploadBytes)) {
    if (Clock::now() - t0 > std::chrono::minutes(5)) Die("the upload never completed");
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  double secs = Seconds(Clock::now() - t0);
  if (!SameDigest(local, target)) Die("the uploaded file differs from the device's");
  ::unlink(target.c_str());
  ::unlink(local.c_str());
  return secs;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--server") {
      if (!device::ParseHostPort(v, &a.relay.host, &a.relay.port)) Die("bad --server");
    } else if (k == "--station") {
      a.relay.station = v;
    } else if (k == "--account") {
      a.relay.email = v;
    } else if (k == "--hash") {
      a.relay.hash = v;
    } else if (k == "--share") {
      a.share = v;
    } else if (k == "--local") {
      a.local = v;
    } else if (k == "--download-bytes") {
      a.downloadBytes = std::strtoull(v.c_str(), nullptr, 10);
    } else if (k == "--upload-bytes") {
      a.uploadBytes = std::strtoull(v.c_str(), nullptr, 10);
    } else if (k == "--rounds") {
      a.rounds = std::max(1, std::atoi(v.c_str()));
    } else if (k == "--delay") {
      a.delayMs = std::atoi(v.c_str());
    } else {
      Die("unknown argument " + k);
    }
  }
  if (a.relay.host.empty() || a.relay.station.empty() || a.share.empty() || a.local.empty()) {
    Die("usage: tirvan-relay-bench --server HOST:PORT --station ID --account EMAIL --hash HASH "
        "--share DIR --local DIR [--download-bytes N] [--upload-bytes N] [--delay MS]");
  }

  std::vector<double> rtts, bounds, downs, ratios, ups;
  for (int r = 0; r < a.rounds; ++r) {
    double rtt = RoundTrip(a);
    double bound = 1000.0 / rtt;  // bytes per second
    double down = static_cast<double>(a.downloadBytes) / Download(a);
    double up = static_cast<double>(a.uploadBytes) / Upload(a);
    rtts.push_back(rtt * 1000);
    bounds.push_back(bound / 1000);
    downs.push_back(down / 1000);
    ratios.push_back(down / bound);
    ups.push_back(up / 1000);
  }
  std::printf("answer delay %d ms: %d rounds of a %llu-byte download and a %llu-byte upload "
              "(%zu-byte messages); every file compared whole\n",
              a.delayMs, a.rounds, static_cast<unsigned long long>(a.downloadBytes),
              static_cast<unsigned long long>(a.uploadBytes),
              static_cast<size_t>(device::kRelayUploadChunk) + 20);
  std::string at = "delay_" + std::to_string(a.delayMs) + "_";
  bench::PrintStat((at + "round_trip_ms").c_str(), rtts, 3);
  bench::PrintStat((at + "bound_kb_s").c_str(), bounds, 1);
  bench::PrintStat((at + "download_kb_s").c_str(), downs, 1);
  bench::PrintStat((at + "download_of_bound").c_str(), ratios, 3);
  bench::PrintStat((at + "upload_kb_s").c_str(), ups, 1);
  return 0;
}
