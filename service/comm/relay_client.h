// The relay connection to the central server that carries requests of devices outside the LAN.
#pragma once

#include <cstdint>

// Work item; the argument is not used.
void StartRecvInterLine(void* arg);
