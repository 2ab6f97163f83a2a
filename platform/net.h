// POSIX sockets as the service uses them. Winsock's start-up and clean-up have no
// counterpart here; what Linux needs instead is that a write to a closed peer never
// kills the process, so SIGPIPE is ignored and sends use MSG_NOSIGNAL.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

namespace platform {

// Ignores SIGPIPE for the whole process. Safe to call more than once.
void IgnoreSigpipe();

// Sends all of data (MSG_NOSIGNAL), retrying on EINTR and partial writes.
// Returns 0, or -1 with errno set.
int SendAll(int fd, const void* data, size_t len);

// Reads exactly len bytes. Returns 0, 1 on a clean end of stream before len bytes,
// or -1 with errno set.
int RecvAll(int fd, void* data, size_t len);

// Reads exactly len bytes, waiting for each piece with poll until the deadline.
// Returns 0, 1 on a time-out, or -1 when the connection ended or failed.
int ReadExact(int fd, void* out, size_t len, std::chrono::steady_clock::time_point deadline);

// Connects a TCP socket to host:port (IPv4 dotted text or a name). timeoutMs bounds
// the connect; 0 waits as long as the system does. Returns the socket or -1.
int ConnectTcp(const std::string& host, uint16_t port, int timeoutMs = 0);

// Resolves host (IPv4 dotted text or a name; getaddrinfo, so any thread may call it) to
// its first IPv4 address, in network order. Returns 0 or -1.
int ResolveIpv4(const std::string& host, uint32_t* addrNetworkOrder);

// Connects an existing TCP socket to addr:port. timeoutMs bounds the connect (made
// non-blocking and polled until the deadline; the socket's mode is restored after);
// 0 waits as long as the system does. Returns 0, or -1 with errno set (ETIMEDOUT when
// the deadline passed).
int ConnectFd(int fd, uint32_t addrNetworkOrder, uint16_t port, int timeoutMs);

// Sets SO_RCVTIMEO and SO_SNDTIMEO. 0 clears them.
void SetSocketTimeouts(int fd, int timeoutMs);

// Closes a socket; ignores -1.
void CloseSocket(int fd);

// True when the IPv4 address (network order) is in 127.0.0.0/8.
bool IsLoopbackV4(uint32_t addrNetworkOrder);

}  // namespace platform
