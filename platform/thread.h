// Thread and time helpers that stand in for the Windows calls.
#pragma once

#include <cstdint>

namespace platform {

// The kernel's id of the calling thread (what the log prints).
uint32_t CurrentThreadId();

// Sleeps for ms milliseconds.
void SleepMs(unsigned ms);

}  // namespace platform
