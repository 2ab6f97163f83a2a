// The transfer table: every upload in progress and every download that a device has
// announced but not yet started, by the sequence number the device gave it. Each entry
// carries its kind and its origin (the connection, UDT socket or relaying device its
// messages come from), so that a download never takes an upload's entry and one device
// never ends another's transfer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "comm/dispatch.h"
#include "comm/wire.h"

enum class TransKind : uint8_t {
  Upload,
  PendingDownload,  // announced by a download request, not yet started or refused
};

// The transport a transfer's messages come from.
struct TransOrigin {
  enum class Type : uint8_t { None, Lan, Udt, Relay };
  Type type = Type::None;
  uint64_t connId = 0;   // Lan: the local server's connection id
  int32_t udtSock = -1;  // Udt
  std::string deviceId;  // Relay: the relaying device's id

  static TransOrigin Lan(uint64_t id);
  static TransOrigin Udt(int32_t sock);
  static TransOrigin Relay(const std::string& device);
  bool operator==(const TransOrigin& other) const = default;
};

// Where the request record of a handler's body starts: 0 direct, 72 relayed.
inline uint32_t RecordOffset(uint8_t direct) {
  return direct == 0 ? static_cast<uint32_t>(kRelayPrefixSize) : 0;
}

// The origin of a message as a handler sees it: the UDT socket when there is one, the
// relay prefix's device id for a relayed message (direct 0), the local connection's id,
// or None (a message fetched by polling, or a body too short for its prefix).
TransOrigin TransOriginOf(const uint8_t* body, uint32_t bodyLen, bufferevent* conn,
                          int32_t udtSock, uint8_t direct);

struct TransRecord {
  TransKind kind = TransKind::PendingDownload;
  TransOrigin origin;
  // The open file: an upload's data file, or the file a pending download will send.
  // The entry owns it until the entry is taken out of the table. Whoever writes to or
  // closes it while the entry is in the table holds fileMutex.
  int fd = -1;
  std::mutex fileMutex;
  std::string dataPath;  // upload: the data file
  std::string path;      // the requested path after expansion; what log lines show
  uint8_t digest[16] = {};
  bool hasDigest = false;  // upload: the digest is usable for resuming
  int64_t size = 0;        // pending download: the file's size when it was opened;
                           // upload: the size the device announced
  int64_t written = 0;     // upload: the data file's length (under fileMutex)
  int64_t checkedAt = 0;   // upload: its length when the data file was last looked at
  std::chrono::steady_clock::time_point created = std::chrono::steady_clock::now();
  // upload: when data last arrived (steady clock, ms); see SetRelayedUploadIdleTtl.
  std::atomic<int64_t> activeMs{std::chrono::duration_cast<std::chrono::milliseconds>(
                                    created.time_since_epoch())
                                    .count()};

  // Notes that data arrived now.
  void Touch();

  // Closes fd (under fileMutex) if it is open.
  void CloseFile();
};
using TransRecordPtr = std::shared_ptr<TransRecord>;

// The table, ordered by sequence number, guarded by g_MutexUserInfo (comm/core.h).
// Several entries may share a number when their kinds or origins differ. Use the
// functions below; each takes the mutex itself.
using TransMap = std::multimap<uint32_t, TransRecordPtr>;
extern TransMap g_TransMap;

// Adds an entry. False, leaving the table as it was, when an entry of the same number,
// kind and origin is there (the older one stays).
bool TransInsert(uint32_t seq, TransRecordPtr record);
// Takes the entry of this number, kind and origin out of the table and hands it (and
// its open file) to the caller; null when there is none.
TransRecordPtr TransTake(uint32_t seq, TransKind kind, const TransOrigin& origin);
// Removes that entry and closes its file. False when there was none.
bool TransErase(uint32_t seq, TransKind kind, const TransOrigin& origin);
// The entry, left in the table; null when there is none.
TransRecordPtr TransFind(uint32_t seq, TransKind kind, const TransOrigin& origin);
// The entry of this number and kind whatever its origin (the first, when several
// origins share the number); null when there is none.
TransRecordPtr TransFindAny(uint32_t seq, TransKind kind);
// Takes exactly this record out of the table, leaving its file open for the caller.
// False when it is no longer there (another thread took it).
bool TransRemove(uint32_t seq, const TransRecordPtr& record);
// Takes every entry for which pred holds out of the table, in ascending order, and
// hands them (with their open files) to the caller. pred runs under the table's mutex:
// it must not call back into the table.
std::vector<std::pair<uint32_t, TransRecordPtr>> TransTakeIf(
    const std::function<bool(uint32_t seq, const TransRecord& record)>& pred);
// True when pred holds for some entry; pred runs as for TransTakeIf.
bool TransAnyOf(const std::function<bool(uint32_t seq, const TransRecord& record)>& pred);
// Number of entries of a kind.
size_t TransCount(TransKind kind);
size_t TransSize();

// Ends every entry of a closing local connection (closing its file), logging
// "close tcp file trans, file %s" for each. This is the local server's close hook.
void TransCloseConnection(bufferevent* conn, uint64_t connId);
// Ends every entry of a lost UDT socket, logging "close p2p file trans, sock %d, file %s".
void TransCloseUdtSocket(int32_t sock);

// Pending downloads hold their files open: one origin (a connection, a UDT socket, a
// relaying device) may announce at most perOrigin of them, all origins together total.
// Far more than any device announces before it starts them.
struct PendingDownloadLimits {
  size_t perOrigin = 16;
  size_t total = 512;
};
// TransTableInit takes them from the environment when they are set there (1 or more).
inline constexpr const char* kPendingPerOriginEnv = "TIRVAN_PENDING_DOWNLOADS_PER_ORIGIN";
inline constexpr const char* kPendingTotalEnv = "TIRVAN_PENDING_DOWNLOADS_TOTAL";
void SetPendingDownloadLimits(const PendingDownloadLimits& limits);
PendingDownloadLimits GetPendingDownloadLimits();

// Whether another pending download of this origin would be taken now; one of the same
// number and origin is replaced, so it does not count. count gets the number of pending
// downloads that hit the limit (of the origin, or in all).
enum class PendingRoom { Ok, OriginFull, TableFull };
PendingRoom TransPendingRoom(uint32_t seq, const TransOrigin& origin, size_t* count = nullptr);
// Replaces the pending download of the record's number and origin with record, within
// the limits, in one step. Anything but Ok leaves the table as it was (record's file
// open); an entry replaced has its file closed.
PendingRoom TransInsertPending(uint32_t seq, TransRecordPtr record, size_t* count = nullptr);

// Pending downloads that nobody starts end after this idle time (10 minutes unless set).
void SetPendingDownloadTtl(std::chrono::milliseconds ttl);
// A relayed upload has no connection of its own whose end would end it: one whose device
// sent nothing for this long (10 minutes unless set) ends, its files kept for a resume.
// TransTableInit takes the time from the environment when it is set there (ms, 1 or more).
inline constexpr const char* kRelayedUploadIdleEnv = "TIRVAN_RELAYED_UPLOAD_IDLE_MS";
void SetRelayedUploadIdleTtl(std::chrono::milliseconds ttl);
// Ends the pending downloads older than the idle time, and the idle relayed uploads.
// Every table function above does this first, so nothing needs to call it, but a periodic
// caller frees files sooner.
void TransExpirePending();

// Installs TransCloseConnection as the local server's close hook. Start-up calls it
// before the local server runs.
void TransTableInit();
// Test hook: closes and removes every entry.
void TransTableClear();
