// Peer-to-peer transport: UDP hole punching through the rendezvous server, then UDT.
#pragma once

#include <cstdint>

// Work item; the argument is not used.
void StartP2PClient(void* arg);
