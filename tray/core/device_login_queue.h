// The device-login questions that wait for the user, oldest first, on the GUI thread.
// Every question gets exactly one answer: the user's (after TakeOldest), or a refusal
// when it is a repeat of a waiting id, when the queue is full, or when it has waited
// refuseAge ticks of the 1-s timer. While questions wait the mobile state is
// kMobileAwaitingApproval, which pauses the log-on poll; it goes back to
// kMobileNoDevice when the last one leaves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "ui_data.h"

namespace tray {

inline constexpr int kDeviceLoginRefuseAge = 25;
inline constexpr size_t kDeviceLoginQueueCap = 16;

struct DeviceLoginQueueOptions {
  int refuseAge = kDeviceLoginRefuseAge;
  size_t cap = kDeviceLoginQueueCap;
};

class DeviceLoginQueue {
 public:
  // Sends the answer for a question (accepted false: refused).
  using Reply = std::function<void(uint32_t id, bool accepted)>;
  // The mobile state to show: kMobileAwaitingApproval or kMobileNoDevice.
  using MobileState = std::function<void(int state)>;

  enum class Added { kQueued, kDuplicate, kFull };

  DeviceLoginQueue(Reply reply, MobileState mobileState, DeviceLoginQueueOptions options = {});

  // Appends a copy with age 0. A repeat of a waiting id is refused, and the waiting
  // question with it, since the id's one answer is then spent; a question over the cap
  // is refused.
  Added Add(const DeviceLoginInfo& info);
  // The oldest question, taken off the queue; the caller answers it.
  std::optional<DeviceLoginInfo> TakeOldest();
  // One second passed: every question ages; those reaching refuseAge are refused in
  // queue order and removed.
  void Tick();

  bool empty() const { return m_queue.empty(); }
  size_t size() const { return m_queue.size(); }
  const std::deque<DeviceLoginInfo>& Items() const { return m_queue; }
  int RefuseAge() const { return m_options.refuseAge; }

 private:
  void Refuse(uint32_t id) { if (m_reply) m_reply(id, false); }
  void BecameEmpty();

  Reply m_reply;
  MobileState m_mobileState;
  DeviceLoginQueueOptions m_options;
  std::deque<DeviceLoginInfo> m_queue;  // spare counts the age in ticks
};

// The hand-over from the transport's threads: every question is kept, in arrival order,
// until the GUI thread drains them.
class DeviceLoginInbox {
 public:
  void Put(const DeviceLoginInfo& info);
  std::vector<DeviceLoginInfo> Drain();

 private:
  std::mutex m_mutex;
  std::vector<DeviceLoginInfo> m_items;
};

}  // namespace tray
