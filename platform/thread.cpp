#include "platform/thread.h"

#include <chrono>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform
