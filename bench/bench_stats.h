// What the benchmark programs share: a digest over every byte of a transfer, the
// statistics of rounds and how they are printed, and a process's figures from /proc.
//
// Every figure is printed as one line that run_all.sh reads:
//   stat NAME median=M min=A max=B n=N
// and a latency as
//   latency NAME p50=X p99=Y max=Z n=N
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

// A 64-bit digest over every byte, fast enough (several GB/s) to run beside a transfer
// at full speed: four lanes of multiply-rotate over 32-byte blocks, the tail and the
// length folded in at the end. It finds any changed, missing or extra byte with the
// odds of a 64-bit checksum; it is not meant to resist a forger.
class Digest {
 public:
  void Add(const uint8_t* p, size_t n) {
    m_len += n;
    if (m_tailLen > 0) {
      size_t take = std::min(n, sizeof m_tail - m_tailLen);
      std::memcpy(m_tail + m_tailLen, p, take);
      m_tailLen += take;
      p += take;
      n -= take;
      if (m_tailLen < sizeof m_tail) return;
      Block(m_tail);
      m_tailLen = 0;
    }
    for (; n >= 32; p += 32, n -= 32) Block(p);
    std::memcpy(m_tail, p, n);
    m_tailLen = n;
  }
  uint64_t Final() const {
    uint64_t h = Rotl(m_v[0], 1) + Rotl(m_v[1], 7) + Rotl(m_v[2], 12) + Rotl(m_v[3], 18);
    for (uint64_t v : m_v) h = (h ^ Round(0, v)) * kP1 + kP4;
    h += m_len;
    for (size_t i = 0; i < m_tailLen; ++i) h = Rotl(h ^ (m_tail[i] * kP5), 11) * kP1;
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    return h ^ (h >> 32);
  }
  uint64_t Length() const { return m_len; }

 private:
  static constexpr uint64_t kP1 = 11400714785074694791ull, kP2 = 14029467366897019727ull,
                            kP3 = 1609587929392839161ull, kP4 = 9650029242287828579ull,
                            kP5 = 2870177450012600261ull;
  static uint64_t Rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
  static uint64_t Round(uint64_t acc, uint64_t in) { return Rotl(acc + in * kP2, 31) * kP1; }
  void Block(const uint8_t* p) {
    uint64_t w[4];
    std::memcpy(w, p, sizeof w);
    for (int i = 0; i < 4; ++i) m_v[i] = Round(m_v[i], w[i]);
  }
  uint64_t m_v[4] = {kP1 + kP2, kP2, 0, 0 - kP1};
  uint8_t m_tail[32] = {};
  size_t m_tailLen = 0;
  uint64_t m_len = 0;
};

// The digest of a whole file; false when it cannot be read.
inline bool DigestFile(const std::string& path, uint64_t* digest, uint64_t* length) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  Digest d;
  std::vector<char> buf(4 << 20);
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    d.Add(reinterpret_cast<const uint8_t*>(buf.data()), static_cast<size_t>(in.gcount()));
  }
  *digest = d.Final();
  *length = d.Length();
  return true;
}

inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}
inline double Median(const std::vector<double>& v) { return Percentile(v, 0.5); }

// "stat NAME median=.. min=.. max=.. n=..": the figure of each round.
inline void PrintStat(const char* name, const std::vector<double>& v, int decimals = 2) {
  if (v.empty()) return;
  std::printf("stat %s median=%.*f min=%.*f max=%.*f n=%zu\n", name, decimals, Median(v),
              decimals, *std::min_element(v.begin(), v.end()), decimals,
              *std::max_element(v.begin(), v.end()), v.size());
}
inline void PrintLatency(const char* name, const std::vector<double>& ms) {
  if (ms.empty()) return;
  std::printf("latency %s p50=%.2f p99=%.2f max=%.2f n=%zu\n", name, Percentile(ms, 0.5),
              Percentile(ms, 0.99), *std::max_element(ms.begin(), ms.end()), ms.size());
}

// A /proc/PID/status field in KiB (VmRSS, VmHWM), 0 when unreadable.
inline long StatusKiB(int pid, const char* field) {
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
inline double CpuSeconds(int pid) {
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

}  // namespace bench
