#include "device_login_queue.h"

#include <QtGlobal>

#include <algorithm>

#include "logon_flow.h"

namespace tray {

DeviceLoginQueue::DeviceLoginQueue(Reply reply, MobileState mobileState, DeviceLoginQueueOptions options)
    : m_reply(std::move(reply)), m_mobileState(std::move(mobileState)), m_options(options) {}

DeviceLoginQueue::Added DeviceLoginQueue::Add(const DeviceLoginInfo& info) {
  auto same = std::find_if(m_queue.begin(), m_queue.end(), [&](const DeviceLoginInfo& q) { return q.id == info.id; });
  if (same != m_queue.end()) {
    qWarning("device login %u asked twice: refused", info.id);
    m_queue.erase(same);
    Refuse(info.id);
    if (m_queue.empty()) BecameEmpty();
    return Added::kDuplicate;
  }
  if (m_queue.size() >= m_options.cap) {
    qWarning("device login %u: %zu questions wait already: refused", info.id, m_queue.size());
    Refuse(info.id);
    return Added::kFull;
  }
  DeviceLoginInfo copy = info;
  copy.sender[sizeof copy.sender - 1] = '\0';
  copy.network[sizeof copy.network - 1] = '\0';
  copy.spare = 0;
  const bool first = m_queue.empty();
  m_queue.push_back(copy);
  if (first && m_mobileState) m_mobileState(kMobileAwaitingApproval);
  return Added::kQueued;
}

std::optional<DeviceLoginInfo> DeviceLoginQueue::TakeOldest() {
  if (m_queue.empty()) return std::nullopt;
  DeviceLoginInfo info = m_queue.front();
  m_queue.pop_front();
  if (m_queue.empty()) BecameEmpty();
  return info;
}

void DeviceLoginQueue::Tick() {
  if (m_queue.empty()) return;
  std::vector<uint32_t> expired;
  for (auto& q : m_queue) {
    if (static_cast<int>(++q.spare) >= m_options.refuseAge) expired.push_back(q.id);
  }
  if (expired.empty()) return;
  std::erase_if(m_queue, [&](const DeviceLoginInfo& q) { return static_cast<int>(q.spare) >= m_options.refuseAge; });
  for (uint32_t id : expired) {
    qInfo("device login %u not answered in time: refused", id);
    Refuse(id);
  }
  if (m_queue.empty()) BecameEmpty();
}

void DeviceLoginQueue::BecameEmpty() {
  if (m_mobileState) m_mobileState(kMobileNoDevice);
}

void DeviceLoginInbox::Put(const DeviceLoginInfo& info) {
  std::lock_guard lock(m_mutex);
  m_items.push_back(info);
}

std::vector<DeviceLoginInfo> DeviceLoginInbox::Drain() {
  std::lock_guard lock(m_mutex);
  return std::exchange(m_items, {});
}

}  // namespace tray
