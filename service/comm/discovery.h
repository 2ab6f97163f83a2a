// LAN discovery: answers devices' broadcast requests.
#pragma once

#include <cstdint>

// Work item; the argument is not used.
void StartBroadcastServer(void* arg);
