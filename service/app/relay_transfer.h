// Downloads and uploads of devices that reach the PC through the central server.
#pragma once

#include <cstdint>

// Work item; the argument is not used.
void InterLineUpLoadFile(void* arg);
