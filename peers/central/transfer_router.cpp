#include "central/transfer_router.h"

#include <algorithm>

#include "central/central_server.h"
#include "central/records.h"
#include "central/relay_protocol.h"
#include "central/relay_router.h"
#include "comm/opcodes.h"
#include "comm/wire.h"

namespace central {

TransferRouter::TransferRouter(CentralServer& server, RelayRouter& relay, TransferOptions options)
    : m_server(server), m_relay(relay), m_options(options) {
  server.SetHandler(SV_INTER_LINE_DOWN_LOAD, [this](Connection& c, const Frame& f) {
    OnDownLoad(c, f);
  });
  server.SetHandler(SV_INTER_LINE_UP_LOAD, [this](Connection& c, const Frame& f) {
    OnUpLoadPoll(c, f);
  });
  relay.SetDeviceMessageHook([this](Connection& device, const std::string& station,
                                    const std::string&, const uint8_t* msg, size_t len) {
    return OnDeviceMessage(device, station, msg, len);
  });
  server.AddCloseHook([this](Connection& c) { OnClose(c); });
}

size_t TransferRouter::QueuedUploads(const std::string& station) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_queues.find(station);
  return it == m_queues.end() ? 0 : it->second.messages.size();
}

size_t TransferRouter::QueuedUploadBytes(const std::string& station) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_queues.find(station);
  return it == m_queues.end() ? 0 : it->second.bytes;
}

TransferRouter::Counts TransferRouter::Totals() const {
  return Counts{m_packages.load(), m_full.load(), m_polls.load(), m_fetched.load()};
}

void TransferRouter::Answer(Connection& c, uint16_t command, uint16_t result,
                            std::vector<uint8_t> payload) {
  if (m_options.answerDelayMs <= 0) {
    c.Reply(command, result, payload.data(), payload.size());
    return;
  }
  uint64_t id = c.Id();
  m_server.RunLater(m_options.answerDelayMs, [this, id, command, result, p = std::move(payload)] {
    if (Connection* conn = m_server.FindConnection(id)) {
      conn->Reply(command, result, p.data(), p.size());
    }
  });
}

// ---- Downloads

void TransferRouter::OnDownLoad(Connection& c, const Frame& f) {
  const std::string& station = f.head.stationId;
  if (const char* why = m_relay.StationRefusal(c, station)) {
    m_server.Log("%s SV_INTER_LINE_DOWN_LOAD station=%s refused: %s", c.Peer().c_str(),
                 CleanText(station).c_str(), why);
    return Answer(c, SV_INTER_LINE_DOWN_LOAD, RESULT_NOT_LOGGED_ON);
  }
  // The device's id, then one whole message.
  if (f.bodyLen < kRelayIdSize + MsgHead::kSize ||
      wire::GetU16(f.body + kRelayIdSize) != f.bodyLen - kRelayIdSize) {
    m_server.Log("%s SV_INTER_LINE_DOWN_LOAD station=%s refused: %zu bytes do not hold one whole"
                 " message",
                 c.Peer().c_str(), CleanText(station).c_str(), f.bodyLen);
    return Answer(c, SV_INTER_LINE_DOWN_LOAD, RESULT_BAD_REQUEST);
  }
  std::string target = wire::GetText(f.body, kRelayIdSize);
  const uint8_t* msg = f.body + kRelayIdSize;
  size_t len = f.bodyLen - kRelayIdSize;
  switch (m_relay.SendToDevice(station, target, msg, len, m_options.maxDownloadBacklog, false)) {
    case RelayRouter::SendResult::Sent:
      ++m_packages;
      if (wire::GetU16(msg + 2) == OP_DOWN_LOAD_OVER) {
        m_server.Log("%s download station=%s seq=%u to device %s ended '%c'", c.Peer().c_str(),
                     CleanText(station).c_str(), wire::GetU32(msg + 4), CleanText(target).c_str(),
                     len > MsgHead::kSize && (msg[8] == '0' || msg[8] == '1') ? msg[8] : '?');
      }
      return Answer(c, SV_INTER_LINE_DOWN_LOAD, RESULT_OK);
    case RelayRouter::SendResult::Full:
      ++m_full;
      return Answer(c, SV_INTER_LINE_DOWN_LOAD, RESULT_CASH_FULL);
    case RelayRouter::SendResult::NoDevice:
      break;
  }
  m_server.Log("%s download station=%s seq=%u dropped: device %s is not connected",
               c.Peer().c_str(), CleanText(station).c_str(), wire::GetU32(msg + 4),
               CleanText(target).c_str());
  Answer(c, SV_INTER_LINE_DOWN_LOAD, RESULT_NO_DEVICE);
}

// ---- Uploads

bool TransferRouter::OnDeviceMessage(Connection& device, const std::string& station,
                                     const uint8_t* msg, size_t len) {
  uint16_t opcode = wire::GetU16(msg + 2);
  if (opcode != OP_UP_LOAD_FILE && opcode != OP_OVER_UP_LOAD_FILE) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  Queue& q = m_queues[station];
  int64_t now = m_server.Now();
  ExpireLocked(q, now);
  q.messages.push_back(Queued{std::vector<uint8_t>(msg, msg + len), device.Id(), now});
  q.bytes += len;
  m_deviceQueue[device.Id()] = station;
  if (q.bytes > m_options.maxUploadQueue && q.paused.insert(device.Id()).second) {
    device.PauseReading();
  }
  if (!m_sweepArmed) {
    m_sweepArmed = true;
    m_server.RunLater(m_options.uploadTtlMs, [this] { Sweep(); });
  }
  return true;
}

void TransferRouter::OnUpLoadPoll(Connection& c, const Frame& f) {
  const std::string& station = f.head.stationId;
  if (const char* why = m_relay.StationRefusal(c, station)) {
    m_server.Log("%s SV_INTER_LINE_UP_LOAD station=%s refused: %s", c.Peer().c_str(),
                 CleanText(station).c_str(), why);
    return Answer(c, SV_INTER_LINE_UP_LOAD, RESULT_NOT_LOGGED_ON);
  }
  if (f.bodyLen != 0) return Answer(c, SV_INTER_LINE_UP_LOAD, RESULT_BAD_REQUEST);
  ++m_polls;
  std::vector<uint8_t> msg;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_queues.find(station);
    if (it != m_queues.end()) {
      Queue& q = it->second;
      ExpireLocked(q, m_server.Now());
      if (!q.messages.empty()) {
        msg = std::move(q.messages.front().msg);
        q.messages.pop_front();
        q.bytes -= msg.size();
      }
      ResumeLocked(q);
      if (q.messages.empty() && q.paused.empty()) m_queues.erase(it);
    }
  }
  if (msg.empty()) return Answer(c, SV_INTER_LINE_UP_LOAD, RESULT_NOTHING_WAITING);
  ++m_fetched;
  Answer(c, SV_INTER_LINE_UP_LOAD, RESULT_OK, std::move(msg));
}

void TransferRouter::ExpireLocked(Queue& q, int64_t now) {
  size_t dropped = 0;
  while (!q.messages.empty() && now - q.messages.front().at > m_options.uploadTtlMs) {
    q.bytes -= q.messages.front().msg.size();
    q.messages.pop_front();
    ++dropped;
  }
  if (dropped > 0) {
    m_server.Log("%zu upload messages dropped: not fetched within %d ms", dropped,
                 m_options.uploadTtlMs);
  }
}

void TransferRouter::ResumeLocked(Queue& q) {
  if (q.paused.empty() || q.bytes > m_options.maxUploadQueue / 2) return;
  for (uint64_t id : q.paused) {
    if (Connection* d = m_server.FindConnection(id)) d->ResumeReading();
  }
  q.paused.clear();
}

void TransferRouter::Sweep() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_sweepArmed = false;
  int64_t now = m_server.Now();
  for (auto it = m_queues.begin(); it != m_queues.end();) {
    ExpireLocked(it->second, now);
    ResumeLocked(it->second);
    if (it->second.messages.empty() && it->second.paused.empty()) {
      it = m_queues.erase(it);
    } else {
      ++it;
    }
  }
  if (!m_queues.empty()) {
    m_sweepArmed = true;
    m_server.RunLater(m_options.uploadTtlMs, [this] { Sweep(); });
  }
}

void TransferRouter::OnClose(Connection& c) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto known = m_deviceQueue.find(c.Id());
  if (known == m_deviceQueue.end()) return;
  auto it = m_queues.find(known->second);
  m_deviceQueue.erase(known);
  if (it == m_queues.end()) return;
  Queue& q = it->second;
  q.paused.erase(c.Id());
  // An upload whose device went away before its end message is cut off here: the PC
  // keeps what it fetched, and the device's next announcement resumes from there. The
  // rest would otherwise arrive after that announcement and land at the wrong place.
  std::set<uint32_t> ended;
  size_t dropped = 0;
  for (auto m = q.messages.end(); m != q.messages.begin();) {
    --m;
    if (m->device != c.Id()) continue;
    uint32_t seq = wire::GetU32(m->msg.data() + 4);
    if (wire::GetU16(m->msg.data() + 2) == OP_OVER_UP_LOAD_FILE) {
      ended.insert(seq);
    } else if (ended.count(seq) == 0) {
      q.bytes -= m->msg.size();
      m = q.messages.erase(m);
      ++dropped;
    }
  }
  if (dropped > 0) {
    m_server.Log("%s device left with %zu upload messages unfinished; dropped", c.Peer().c_str(),
                 dropped);
  }
  ResumeLocked(q);
  if (q.messages.empty() && q.paused.empty()) m_queues.erase(it);
}

}  // namespace central
