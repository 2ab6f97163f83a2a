#include "app/transfer_table.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <unistd.h>

#include "comm/core.h"
#include "comm/local_server.h"
#include "comm/p2p_client.h"
#include "comm/log.h"
#include "comm/wire.h"
#include "platform/env_setting.h"

TransMap g_TransMap;

namespace {

std::atomic<int64_t> g_pendingTtlMs{10 * 60 * 1000};
std::atomic<int64_t> g_relayedUploadIdleMs{10 * 60 * 1000};
std::atomic<size_t> g_pendingPerOrigin{PendingDownloadLimits{}.perOrigin};
std::atomic<size_t> g_pendingTotal{PendingDownloadLimits{}.total};

using Clock = std::chrono::steady_clock;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

bool Expired(const TransRecord& r, Clock::time_point pendingLimit, int64_t idleLimitMs) {
  if (r.kind == TransKind::PendingDownload) return r.created <= pendingLimit;
  return r.origin.type == TransOrigin::Type::Relay && r.activeMs.load() <= idleLimitMs;
}

// Caller holds g_MutexUserInfo.
TransMap::iterator FindLocked(uint32_t seq, TransKind kind, const TransOrigin& origin) {
  auto [first, last] = g_TransMap.equal_range(seq);
  for (auto it = first; it != last; ++it) {
    if (it->second->kind == kind && it->second->origin == origin) return it;
  }
  return g_TransMap.end();
}

// Takes the expired pending downloads and idle relayed uploads out; the caller closes
// their files after releasing the table. Caller holds g_MutexUserInfo.
void ExpireLocked(std::vector<TransRecordPtr>& expired) {
  auto limit = Clock::now() - std::chrono::milliseconds(g_pendingTtlMs.load());
  int64_t idleLimit = NowMs() - g_relayedUploadIdleMs.load();
  for (auto it = g_TransMap.begin(); it != g_TransMap.end();) {
    if (Expired(*it->second, limit, idleLimit)) {
      expired.push_back(it->second);
      it = g_TransMap.erase(it);
    } else {
      ++it;
    }
  }
}

// Closes the files of expired entries, outside the table's mutex.
void CloseAll(const std::vector<TransRecordPtr>& records) {
  for (const TransRecordPtr& r : records) {
    if (r->kind == TransKind::PendingDownload) {
      TLOG(MOD_INTRANET, LOG_DEBUG, "pending download expired, file %s", r->path.c_str());
    } else {
      TLOG(MOD_INTRANET, LOG_DEBUG, "relayed upload idle, file %s kept for a resume",
           r->path.c_str());
    }
    r->CloseFile();
  }
}

// Caller holds g_MutexUserInfo.
PendingRoom RoomLocked(uint32_t seq, const TransOrigin& origin, size_t* count) {
  size_t ofOrigin = 0;
  size_t all = 0;
  for (const auto& [s, r] : g_TransMap) {
    if (r->kind != TransKind::PendingDownload) continue;
    const bool replaced = s == seq && r->origin == origin;
    if (replaced) continue;
    ++all;
    if (r->origin == origin) ++ofOrigin;
  }
  if (ofOrigin >= g_pendingPerOrigin.load()) {
    if (count != nullptr) *count = ofOrigin;
    return PendingRoom::OriginFull;
  }
  if (all >= g_pendingTotal.load()) {
    if (count != nullptr) *count = all;
    return PendingRoom::TableFull;
  }
  return PendingRoom::Ok;
}

template <typename Pred>
std::vector<TransRecordPtr> EraseIf(Pred pred) {
  std::vector<TransRecordPtr> gone;
  for (auto it = g_TransMap.begin(); it != g_TransMap.end();) {
    if (pred(*it->second)) {
      gone.push_back(it->second);
      it = g_TransMap.erase(it);
    } else {
      ++it;
    }
  }
  return gone;
}

}  // namespace

TransOrigin TransOrigin::Lan(uint64_t id) {
  TransOrigin o;
  o.type = Type::Lan;
  o.connId = id;
  return o;
}

TransOrigin TransOrigin::Udt(int32_t sock) {
  TransOrigin o;
  o.type = Type::Udt;
  o.udtSock = sock;
  return o;
}

TransOrigin TransOrigin::Relay(const std::string& device) {
  TransOrigin o;
  o.type = Type::Relay;
  o.deviceId = device;
  return o;
}

TransOrigin TransOriginOf(const uint8_t* body, uint32_t bodyLen, bufferevent* conn,
                          int32_t udtSock, uint8_t direct) {
  if (udtSock >= 0) return TransOrigin::Udt(udtSock);
  if (direct == 0) {
    if (body == nullptr || bodyLen < kRelayIdSize) return TransOrigin{};
    return TransOrigin::Relay(wire::GetText(body, kRelayIdSize));
  }
  uint64_t id = 0;
  if (OS_GetConnInfo(conn, &id, nullptr)) return TransOrigin::Lan(id);
  return TransOrigin{};
}

void TransRecord::Touch() { activeMs = NowMs(); }

void TransRecord::CloseFile() {
  std::lock_guard<std::mutex> lock(fileMutex);
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool TransInsert(uint32_t seq, TransRecordPtr record) {
  if (!record) return false;
  std::vector<TransRecordPtr> expired;
  bool added = false;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    ExpireLocked(expired);
    if (FindLocked(seq, record->kind, record->origin) == g_TransMap.end()) {
      g_TransMap.emplace(seq, std::move(record));
      added = true;
    }
  }
  CloseAll(expired);
  return added;
}

TransRecordPtr TransTake(uint32_t seq, TransKind kind, const TransOrigin& origin) {
  std::vector<TransRecordPtr> expired;
  TransRecordPtr taken;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    ExpireLocked(expired);
    auto it = FindLocked(seq, kind, origin);
    if (it != g_TransMap.end()) {
      taken = it->second;
      g_TransMap.erase(it);
    }
  }
  CloseAll(expired);
  return taken;
}

bool TransErase(uint32_t seq, TransKind kind, const TransOrigin& origin) {
  TransRecordPtr taken = TransTake(seq, kind, origin);
  if (!taken) return false;
  taken->CloseFile();
  return true;
}

TransRecordPtr TransFind(uint32_t seq, TransKind kind, const TransOrigin& origin) {
  std::vector<TransRecordPtr> expired;
  TransRecordPtr found;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    ExpireLocked(expired);
    auto it = FindLocked(seq, kind, origin);
    if (it != g_TransMap.end()) found = it->second;
  }
  CloseAll(expired);
  return found;
}

TransRecordPtr TransFindAny(uint32_t seq, TransKind kind) {
  std::vector<TransRecordPtr> expired;
  TransRecordPtr found;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    ExpireLocked(expired);
    auto [first, last] = g_TransMap.equal_range(seq);
    for (auto it = first; it != last && !found; ++it) {
      if (it->second->kind == kind) found = it->second;
    }
  }
  CloseAll(expired);
  return found;
}

bool TransRemove(uint32_t seq, const TransRecordPtr& record) {
  std::lock_guard<std::mutex> lock(g_MutexUserInfo);
  auto [first, last] = g_TransMap.equal_range(seq);
  for (auto it = first; it != last; ++it) {
    if (it->second == record) {
      g_TransMap.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::pair<uint32_t, TransRecordPtr>> TransTakeIf(
    const std::function<bool(uint32_t seq, const TransRecord& record)>& pred) {
  std::vector<TransRecordPtr> expired;
  std::vector<std::pair<uint32_t, TransRecordPtr>> taken;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    ExpireLocked(expired);
    for (auto it = g_TransMap.begin(); it != g_TransMap.end();) {
      if (pred(it->first, *it->second)) {
        taken.emplace_back(it->first, it->second);
        it = g_TransMap.erase(it);
      } else {
        ++it;
      }
    }
  }
  CloseAll(expired);
  return taken;
}

bool TransAnyOf(const std::function<bool(uint32_t seq, const TransRecord& record)>& pred) {
  std::lock_guard<std::mutex> lock(g_MutexUserInfo);
  for (const auto& [seq, r] : g_TransMap) {
    if (pred(seq, *r)) return true;
  }
  return false;
}

size_t TransCount(TransKind kind) {
  std::vector<TransRecordPtr> expired;
  size_t n = 0;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    ExpireLocked(expired);
    for (const auto& [seq, r] : g_TransMap) n += r->kind == kind ? 1 : 0;
  }
  CloseAll(expired);
  return n;
}

size_t TransSize() {
  std::vector<TransRecordPtr> expired;
  size_t n = 0;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    ExpireLocked(expired);
    n = g_TransMap.size();
  }
  CloseAll(expired);
  return n;
}

void TransCloseConnection(bufferevent* /*conn*/, uint64_t connId) {
  TransOrigin origin = TransOrigin::Lan(connId);
  std::vector<TransRecordPtr> gone;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    gone = EraseIf([&](const TransRecord& r) { return r.origin == origin; });
  }
  for (const TransRecordPtr& r : gone) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "close tcp file trans, file %s", r->path.c_str());
    r->CloseFile();
  }
}

void TransCloseUdtSocket(int32_t sock) {
  TransOrigin origin = TransOrigin::Udt(sock);
  std::vector<TransRecordPtr> gone;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    gone = EraseIf([&](const TransRecord& r) { return r.origin == origin; });
  }
  for (const TransRecordPtr& r : gone) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "close p2p file trans, sock %d, file %s", sock, r->path.c_str());
    r->CloseFile();
  }
}

void SetPendingDownloadLimits(const PendingDownloadLimits& limits) {
  g_pendingPerOrigin = limits.perOrigin;
  g_pendingTotal = limits.total;
}

PendingDownloadLimits GetPendingDownloadLimits() {
  return PendingDownloadLimits{g_pendingPerOrigin.load(), g_pendingTotal.load()};
}

PendingRoom TransPendingRoom(uint32_t seq, const TransOrigin& origin, size_t* count) {
  std::vector<TransRecordPtr> expired;
  PendingRoom room;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    ExpireLocked(expired);
    room = RoomLocked(seq, origin, count);
  }
  CloseAll(expired);
  return room;
}

PendingRoom TransInsertPending(uint32_t seq, TransRecordPtr record, size_t* count) {
  if (!record) return PendingRoom::TableFull;
  std::vector<TransRecordPtr> expired;
  TransRecordPtr replaced;
  PendingRoom room;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    ExpireLocked(expired);
    room = RoomLocked(seq, record->origin, count);
    if (room == PendingRoom::Ok) {
      auto it = FindLocked(seq, TransKind::PendingDownload, record->origin);
      if (it != g_TransMap.end()) {
        replaced = it->second;
        g_TransMap.erase(it);
      }
      record->kind = TransKind::PendingDownload;
      g_TransMap.emplace(seq, std::move(record));
    }
  }
  CloseAll(expired);
  if (replaced) replaced->CloseFile();
  return room;
}

void SetPendingDownloadTtl(std::chrono::milliseconds ttl) { g_pendingTtlMs = ttl.count(); }

void SetRelayedUploadIdleTtl(std::chrono::milliseconds ttl) { g_relayedUploadIdleMs = ttl.count(); }

void TransExpirePending() {
  std::vector<TransRecordPtr> expired;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    ExpireLocked(expired);
  }
  CloseAll(expired);
}

void TransTableInit() {
  if (auto v = EnvInteger(kRelayedUploadIdleEnv, 1, INT32_MAX)) {
    SetRelayedUploadIdleTtl(std::chrono::milliseconds(*v));
  }
  PendingDownloadLimits limits = GetPendingDownloadLimits();
  if (auto v = EnvInteger(kPendingPerOriginEnv, 1, INT32_MAX)) limits.perOrigin = static_cast<size_t>(*v);
  if (auto v = EnvInteger(kPendingTotalEnv, 1, INT32_MAX)) limits.total = static_cast<size_t>(*v);
  SetPendingDownloadLimits(limits);
  OS_SetConnCloseHook(TransCloseConnection);
  OS_SetUdtPeerLostHook(TransCloseUdtSocket);
}

void TransTableClear() {
  std::vector<TransRecordPtr> gone;
  {
    std::lock_guard<std::mutex> lock(g_MutexUserInfo);
    gone = EraseIf([](const TransRecord&) { return true; });
  }
  for (const TransRecordPtr& r : gone) r->CloseFile();
}
