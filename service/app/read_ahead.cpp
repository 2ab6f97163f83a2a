#include "app/read_ahead.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<int64_t> g_readAheadBudget{kDefaultReadAheadBudget};
std::atomic<int64_t> g_readAheadsRunning{0};
std::atomic<int64_t> g_readAheadMapped{0};  // bytes of all read-ahead buffers

// Packages for a read-ahead's buffer: its equal share of the budget, never below
// kMinSlotPackages.
size_t SharePackages() {
  const int64_t running = std::max<int64_t>(1, g_readAheadsRunning.load());
  const int64_t bytes =
      g_readAheadBudget.load() / running / static_cast<int64_t>(kReadAheadSlots);
  return std::clamp<size_t>(static_cast<size_t>(std::max<int64_t>(0, bytes)) / kPackageSize,
                            kMinSlotPackages, kMaxPackagesPerFill);
}

// Packages the budget has left for one more buffer beside those mapped (held bytes of
// the buffer about to be replaced count as free).
size_t LeftPackages(size_t held) {
  const int64_t left = g_readAheadBudget.load() - g_readAheadMapped.load() +
                       static_cast<int64_t>(held * kPackageSize);
  return static_cast<size_t>(std::max<int64_t>(0, left)) / kPackageSize;
}

}  // namespace

void ReadAheadBudget::Started() { ++g_readAheadsRunning; }
void ReadAheadBudget::Ended() { --g_readAheadsRunning; }

size_t ReadAheadBudget::SlotPackages(size_t held) {
  return std::max(kMinSlotPackages, std::min(SharePackages(), LeftPackages(held)));
}

uint8_t* ReadAheadBudget::Map(size_t packages) {
  const size_t bytes = packages * kPackageSize;
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  g_readAheadMapped += static_cast<int64_t>(bytes);
  return static_cast<uint8_t*>(p);
}

void ReadAheadBudget::Unmap(uint8_t* data, size_t packages) {
  const size_t bytes = packages * kPackageSize;
  ::munmap(data, bytes);
  g_readAheadMapped -= static_cast<int64_t>(bytes);
}

void SetReadAheadBudget(int64_t bytes) { g_readAheadBudget = std::max<int64_t>(0, bytes); }

int64_t ReadAheadBytesMapped() { return g_readAheadMapped.load(); }
