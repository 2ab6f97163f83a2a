#include "picture_fuzzer.h"

#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

FILE* OpenBytes(const uint8_t* data, size_t size) {
  int fd = ::memfd_create("fuzz-picture", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) {
      ::close(fd);
      return nullptr;
    }
    done += static_cast<size_t>(n);
  }
  FILE* f = ::fdopen(fd, "rb");
  if (f == nullptr) {
    ::close(fd);
    return nullptr;
  }
  std::rewind(f);
  return f;
}

}  // namespace fuzz
