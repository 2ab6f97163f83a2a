// The read-ahead of a large LAN download: its packages read on a thread of their own into
// buffers that the connection's output references until they are sent, all downloads'
// buffers together within one budget (kReadAheadBudgetEnv).
#pragma once

#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

#include <event2/buffer.h>
#include <sys/uio.h>

#include "app/download.h"
#include "comm/local_server.h"

// Packages built by one Fill at most (a refill of a LAN download read on the server's
// thread builds that many).
inline constexpr size_t kMaxPackagesPerFill = 512;
static_assert(kMaxPackagesPerFill <= IOV_MAX);

// A LAN download read ahead: kReadAheadSlots buffers of up to kMaxPackagesPerFill packages
// each (about 4 MiB for one download). Each buffer is read with one preadv and handed over
// whole; each side wakes the other only once half the buffers are ready for it, so the
// two threads meet about once per 2 MB: the wake-ups and the file system's per-read work
// were a large share of the download's processor time with 256 KB buffers and a wake-up
// per buffer. All read-aheads together share one budget of buffer bytes: each gets an
// equal part of it, its buffers sized to that part (never below kMinSlotPackages), so
// the service's memory does not grow with the number of downloads.
inline constexpr size_t kReadAheadSlots = 8;
inline constexpr size_t kReadAheadBatch = kReadAheadSlots / 2;
inline constexpr size_t kMinSlotPackages = 16;

// The budget all read-aheads' buffers share.
struct ReadAheadBudget {
  // A read-ahead starts or ends reading: the share of each changes.
  static void Started();
  static void Ended();
  // The packages a free buffer of held packages (0: none yet) should have now: the equal
  // share, or less while the buffers of earlier downloads, made with a larger share, have
  // not shrunk yet; never below kMinSlotPackages.
  static size_t SlotPackages(size_t held);
  // Buffers are mapped on their own, so that a buffer let go returns its pages to the
  // system at once rather than staying in an allocator's arena. Null when none can be
  // mapped.
  static uint8_t* Map(size_t packages);
  static void Unmap(uint8_t* data, size_t packages);
};

// A LAN download's packages read ahead on a thread of its own, so that copying the file
// out of the page cache (or waiting for the disk) runs beside the server's thread, which
// only hands the filled buffers to the connection's output. The output references a
// buffer until it has been written to the socket, and then frees it for the next read.
// Shared by the reader, the writer and the output's references: whichever lets go last
// frees it.
class ReadAhead {
 public:
  ReadAhead(int fd, int64_t size, int64_t offset, uint32_t seq, uint64_t connId)
      : m_stream(fd, size, offset, seq), m_connId(connId) {}

  ~ReadAhead() {
    for (Slot& slot : m_slots) slot.Release();
  }

  // The reader's loop: fills the slots in ring order as they come free, until the stream
  // is done, a read fails or Stop. Both sides wake the other in batches: the reader
  // waits until half the slots are free (unless the writer has nothing left to send), and
  // wakes a waiting writer once half the slots are filled (or it must wait itself). A
  // slot's buffer is allocated when it is first filled, so a download of a few
  // megabytes takes only the buffers it uses, and sized anew when the share of the
  // budget has changed since.
  void Run() {
    ReadAheadBudget::Started();
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_readerWaiting = true;
      m_cond.wait(lock, [&] { return m_stop || ReaderMayGo(); });
      m_readerWaiting = false;
      if (m_stop) break;
      Slot& slot = m_slots[m_fillAt];
      lock.unlock();
      if (slot.data != nullptr && slot.packages != ReadAheadBudget::SlotPackages(slot.packages)) slot.Release();
      if (slot.data == nullptr) {
        const size_t packages = ReadAheadBudget::SlotPackages(0);
        slot.data = ReadAheadBudget::Map(packages);
        if (slot.data != nullptr) slot.packages = packages;
      }
      ptrdiff_t n = slot.data != nullptr ? m_stream.Fill(slot.data, slot.packages) : -1;
      lock.lock();
      if (n < 0) {
        m_failed = true;
        m_noMemory = slot.data == nullptr;
        break;
      }
      slot.len = static_cast<size_t>(n);
      slot.state = SlotState::Filled;
      --m_free;
      ++m_filled;
      m_fillAt = (m_fillAt + 1) % kReadAheadSlots;
      if (m_stream.Done()) break;
      if (m_writerWaiting && (m_filled >= kReadAheadBatch || !ReaderMayGo())) {
        m_writerWaiting = false;
        lock.unlock();
        OS_WakeConnWriter(m_connId);
        lock.lock();
      }
    }
    // From here on the reader leaves the file alone: the writer may close it.
    m_readerDone = true;
    ReadAheadBudget::Ended();
    m_cond.notify_all();
    lock.unlock();
    OS_WakeConnWriter(m_connId);
  }

  enum class HandResult { Handed, Waiting, Drained, Failed };
  // Hands the filled slots, in order, to out until about room bytes are queued. Drained
  // once every package has been handed over; Failed once a read has failed and what was
  // read before it has been handed over, or when the output takes no more. Waiting when
  // nothing was ready: the reader then wakes the writer when it has filled the next slot.
  HandResult Hand(const std::shared_ptr<ReadAhead>& self, evbuffer* out, size_t room) {
    std::lock_guard<std::mutex> lock(m_mutex);
    bool handed = false;
    for (;;) {
      Slot& slot = m_slots[m_sendAt];
      if (slot.state != SlotState::Filled || (handed && room == 0)) break;
      auto* ref = new (std::nothrow) SlotRef{self, &slot};
      if (ref == nullptr ||
          evbuffer_add_reference(out, slot.data, slot.len, ReleaseSlot, ref) != 0) {
        delete ref;
        return HandResult::Failed;
      }
      slot.state = SlotState::Queued;
      --m_filled;
      room -= std::min(room, slot.len);
      m_sendAt = (m_sendAt + 1) % kReadAheadSlots;
      handed = true;
    }
    if (handed) {
      if (m_readerWaiting && ReaderMayGo()) m_cond.notify_all();
      return HandResult::Handed;
    }
    if (m_readerDone) return m_failed ? HandResult::Failed : HandResult::Drained;
    m_writerWaiting = true;
    return HandResult::Waiting;
  }

  // Stops the reader and waits until it has left the file alone.
  void Stop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stop = true;
    m_cond.notify_all();
    m_cond.wait(lock, [&] { return m_readerDone; });
  }

  // Whether the reader failed for want of memory rather than of the file.
  bool NoMemory() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_noMemory;
  }

  // Without a reader thread the writer reads on its own thread.
  void ReaderNotStarted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readerDone = true;
  }

 private:
  enum class SlotState { Free, Filled, Queued };
  struct Slot {
    uint8_t* data = nullptr;  // mapped, room for packages packages
    size_t packages = 0;
    size_t len = 0;
    SlotState state = SlotState::Free;
    void Release() {
      if (data != nullptr) ReadAheadBudget::Unmap(data, packages);
      data = nullptr;
      packages = 0;
    }
  };
  // What the output holds with a queued slot: the slot, and the state that owns it.
  struct SlotRef {
    std::shared_ptr<ReadAhead> owner;
    Slot* slot;
  };

  // Under m_mutex: whether the reader should fill its next slot now.
  bool ReaderMayGo() const {
    return m_slots[m_fillAt].state == SlotState::Free &&
           (m_free >= kReadAheadBatch || m_filled == 0);
  }

  static void ReleaseSlot(const void* /*data*/, size_t /*len*/, void* arg) {
    std::unique_ptr<SlotRef> ref(static_cast<SlotRef*>(arg));
    ReadAhead& self = *ref->owner;
    bool wake;
    {
      std::lock_guard<std::mutex> lock(self.m_mutex);
      ref->slot->state = SlotState::Free;
      ++self.m_free;
      wake = self.m_readerWaiting && self.ReaderMayGo();
    }
    if (wake) self.m_cond.notify_all();
  }

  std::mutex m_mutex;
  std::condition_variable m_cond;
  PackageStream m_stream;  // the reader's alone
  uint64_t m_connId;
  Slot m_slots[kReadAheadSlots];
  size_t m_fillAt = 0;  // the next slot the reader fills
  size_t m_sendAt = 0;  // the next slot the writer hands over
  bool m_stop = false;
  bool m_readerDone = false;
  bool m_failed = false;
  bool m_noMemory = false;  // the failure was a buffer that could not be allocated
  bool m_writerWaiting = false;
  bool m_readerWaiting = false;  // the reader waits for slots to come free
  size_t m_free = kReadAheadSlots;  // slots in each state
  size_t m_filled = 0;
};
