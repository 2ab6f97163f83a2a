// The stop request for relayed downloads. On a local connection its wait runs on a
// thread of its own, and the reply follows on the connection in order.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include <event2/bufferevent.h>

#include "app/download.h"
#include "app/relay_transfer.h"
#include "app/transfer_table.h"
#include "comm/core.h"
#include "comm/errors.h"
#include "comm/local_server.h"
#include "comm/log.h"

std::list<uint32_t> g_StopDownLoadList;

namespace {

constexpr int kStopWaitTries = 10;

std::atomic<int64_t> g_stopWaitStepMs{10};

void EncodeStopReply(uint8_t out[kStopDownLoadReplySize], const MsgHead& head) {
  std::memset(out, 0, kStopDownLoadReplySize);
  MsgHead{static_cast<uint16_t>(kStopDownLoadReplySize), head.opcode, head.seq}.Encode(out);
  out[8] = '0';
}

// Gives a relayed download up to 10 wait steps to take the stop request's number off the
// list, then takes it off itself.
void WaitForStop(uint32_t seq) {
  for (int i = 0; i < kStopWaitTries; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(g_stopWaitStepMs.load()));
    std::lock_guard<std::mutex> lock(g_StopDownLoadMutex);
    if (std::find(g_StopDownLoadList.begin(), g_StopDownLoadList.end(), seq) ==
        g_StopDownLoadList.end()) {
      TLOG(MOD_INTRANET, LOG_DEBUG, "stop download OK %d", static_cast<int>(seq));
      break;
    }
  }
  std::lock_guard<std::mutex> lock(g_StopDownLoadMutex);
  auto it = std::find(g_StopDownLoadList.begin(), g_StopDownLoadList.end(), seq);
  if (it != g_StopDownLoadList.end()) g_StopDownLoadList.erase(it);
}

// A stop request's reply on a local connection, sent once the wait off the server's
// thread is over.
struct PendingStop {
  std::mutex mutex;
  bool done = false;
};

class StopReplyWriter : public ConnWriter {
 public:
  StopReplyWriter(std::shared_ptr<PendingStop> pending, const MsgHead& head)
      : m_pending(std::move(pending)), m_head(head) {}
  Status Refill(bufferevent* conn, size_t /*room*/) override {
    {
      std::lock_guard<std::mutex> lock(m_pending->mutex);
      if (!m_pending->done) return Status::Wait;
    }
    uint8_t r[kStopDownLoadReplySize];
    EncodeStopReply(r, m_head);
    if (bufferevent_write(conn, r, sizeof r) != 0) {
      TLOG(MOD_COMMLIB, LOG_ERROR, "Write return message error.");
    }
    return Status::Done;
  }
  // The device has gone: the wait ends on its own, and its reply is dropped.
  void Cancel() override {}

 private:
  std::shared_ptr<PendingStop> m_pending;
  MsgHead m_head;
};

}  // namespace

void SetStopDownLoadWaitStep(std::chrono::milliseconds step) { g_stopWaitStepMs = step.count(); }

int StopDownLoad(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                 uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  uint32_t seq = head->seq;
  if (seq != 0) {
    {
      std::lock_guard<std::mutex> lock(g_StopDownLoadMutex);
      g_StopDownLoadList.push_back(seq);
    }
    TLOG(MOD_INTRANET, LOG_DEBUG, "stop download %d", static_cast<int>(seq));
    // The relayed download of this device and number keeps the request until it ends,
    // so a job that is busy past the wait below still stops; the wait only tells
    // whether it heard the request in time (it then takes the number off the list).
    StopInterDownLoad(TransOriginOf(body, bodyLen, conn, *udtSock, *direct), seq);
    // On a local connection the wait runs on a thread of its own, so that the local
    // server serves the other connections meanwhile; this connection's later requests
    // wait for the reply.
    uint64_t connId = 0;
    if (*direct != 0 && *udtSock < 0 && OS_GetConnInfo(conn, &connId, nullptr)) {
      auto pending = std::shared_ptr<PendingStop>(new (std::nothrow) PendingStop);
      if (pending && OS_AttachConnWriter(conn, std::make_unique<StopReplyWriter>(pending, *head))) {
        try {
          std::thread([pending, seq, connId] {
            WaitForStop(seq);
            {
              std::lock_guard<std::mutex> lock(pending->mutex);
              pending->done = true;
            }
            OS_WakeConnWriter(connId);
          }).detach();
          return ERR_OK;
        } catch (const std::exception&) {
          // No thread: the wait runs here; the writer sends the reply once woken.
          WaitForStop(seq);
          {
            std::lock_guard<std::mutex> lock(pending->mutex);
            pending->done = true;
          }
          OS_WakeConnWriter(connId);
          return ERR_OK;
        }
      }
    }
    WaitForStop(seq);
  }
  uint8_t* r = AllocReply(kStopDownLoadReplySize);
  if (r == nullptr) return -1;
  EncodeStopReply(r, *head);
  *reply = r;
  *replyLen = static_cast<int32_t>(kStopDownLoadReplySize);
  return ERR_OK;
}
