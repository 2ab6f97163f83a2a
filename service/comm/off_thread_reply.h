// Answers made off the local server's event thread. A handler whose work is slow (a
// thumbnail, say) hands it to a small fixed pool of worker threads; the bytes the work
// returns go out on the connection that asked, in order with that connection's other
// answers: the connection's later requests wait until then (a ConnWriter holds them), and
// every other connection is served meanwhile.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

struct bufferevent;

// The work: runs on a worker thread and returns the whole answer, MsgHead frames
// included (empty sends nothing).
using OffThreadWork = std::function<std::string()>;

// Queues work for conn, the local connection whose request is being handled; call it from
// that handler on the server's thread. The handler's own reply, if any, goes out first.
// False, with work not run, when conn is not a connection of the local server or already
// streams something. A waiting connection is not read, so a peer that goes away meanwhile
// is noticed once the answer is there; a connection closed by the server (its stop) drops
// the answer, and work not yet started is then skipped.
bool OS_ReplyOffThread(bufferevent* conn, OffThreadWork work);

// The number of worker threads (default 2), from the next job on; at least 1. The
// workers start on first use and live for the process.
inline constexpr size_t kDefaultOffThreadWorkers = 2;
void OS_SetOffThreadWorkers(size_t n);
