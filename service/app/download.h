// Downloads from the PC to a device over LAN TCP and UDT: the request (size, package
// count and digest of the file), the start from a byte offset, the refusal, and the stop
// request for relayed downloads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>

#include "comm/dispatch.h"

inline constexpr uint32_t kPackageDataSize = 1000;  // data bytes in a full package
inline constexpr uint32_t kDataHeadSize = 20;       // DownLoadDataHead
inline constexpr uint32_t kPackageSize = kDataHeadSize + kPackageDataSize;
inline constexpr uint32_t kDownLoadInfoSize = 64;
inline constexpr uint32_t kTransErrorSize = 266;
inline constexpr uint32_t kDownLoadOverSize = 12;
inline constexpr uint32_t kStopDownLoadReplySize = 9;
// A LAN download with more bytes than this to send is read ahead on a thread of its own,
// beside the local server's thread; a smaller one is read on the server's thread.
inline constexpr int64_t kLanReadAheadAbove = 1024000;
// The name of the thread that reads a large LAN download ahead of the connection.
inline constexpr const char* kLanReaderThreadName = "tv-lan-reader";
// The buffer bytes all LAN downloads read ahead together hold at most (each running
// read-ahead an equal share, at least 8 buffers of 16 packages); the environment
// variable sets another budget.
inline constexpr const char* kReadAheadBudgetEnv = "TIRVAN_DOWNLOAD_READAHEAD_BYTES";
inline constexpr int64_t kDefaultReadAheadBudget = 32 << 20;
void SetReadAheadBudget(int64_t bytes);
// Reads kReadAheadBudgetEnv.
void DownloadInit();
// The bytes of all read-ahead buffers now.
int64_t ReadAheadBytesMapped();

// Downloads that are sending (LAN, UDT and relayed), guarded by g_MutexDownLoadCount.
extern int32_t g_DownLoadCount;
// Numbers of stop requests that no relayed download has heard yet, guarded by
// g_StopDownLoadMutex. The request itself reaches its download by device and number
// (StopInterDownLoad); the download takes the number off this list when it stops.
extern std::list<uint32_t> g_StopDownLoadList;

int32_t GetDownLoadCount();
void AddDownLoadCount(int32_t delta);

int ReqDownLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                    uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int AllowDownLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head,
                      bufferevent* conn, uint8_t** reply, int32_t* replyLen, int32_t* udtSock,
                      uint8_t* direct);
int RefuseDownLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head,
                       bufferevent* conn, uint8_t** reply, int32_t* replyLen, int32_t* udtSock,
                       uint8_t* direct);
int StopDownLoad(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                 uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);

// Sets the 266-byte TransErrorReply (opcode OP_DOWN_LOAD_ERROR or OP_UP_LOAD_ERROR, the
// code in 16 bits, -1 as 0xFFFF) into the reply slot and returns code; ERR_ALLOC when
// the reply cannot be allocated.
int SetTransErrorReply(const MsgHead* head, uint16_t opcode, int code, uint8_t** reply,
                       int32_t* replyLen);
// The 12-byte DownLoadOverMsg: "0" when the whole file was sent, "1" on failure.
void EncodeDownLoadOver(uint8_t out[kDownLoadOverSize], uint32_t seq, bool ok);

// Packages of one download: from the start offset to the size the file had when it was
// opened, at most 1,000 data bytes each, numbered from offset / 1,000 + 1. A remainder
// that is a multiple of 1,000 (0 included) ends with a package without data.
class PackageStream {
 public:
  PackageStream(int fd, int64_t size, int64_t offset, uint32_t seq);
  bool Done() const { return m_left == 0; }
  // Writes up to maxPackages whole packages (heads and data) into out, which has room
  // for maxPackages * kPackageSize bytes. The bytes written, or -1 when the file cannot
  // be read or ends before its size.
  ptrdiff_t Fill(uint8_t* out, size_t maxPackages);

 private:
  int m_fd;
  uint32_t m_seq;
  int64_t m_pos;        // file position of the next package's data
  int64_t m_end;        // the size
  uint32_t m_next;      // number of the next package
  uint64_t m_left;      // packages still to build
};

// How a UDT download sends one package: the whole message or -1. The default is
// UDT::sendmsg without time-to-live, in order. Null restores it.
using UdtSendFn = int (*)(int32_t sock, const char* buf, int len);
void SetUdtSendForTest(UdtSendFn fn);
// The stop request waits up to 10 times this long for a relayed job to take its
// number (10 ms unless set).
void SetStopDownLoadWaitStep(std::chrono::milliseconds step);
