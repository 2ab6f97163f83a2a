// Peer addresses of the local server's connections: their origin and their text for
// log lines.
#pragma once

#include <string>

#include <sys/socket.h>

// "a.b.c.d:port" or "[v6]:port"; "?" for anything else.
std::string PeerAddressText(const sockaddr* peer, socklen_t len);
