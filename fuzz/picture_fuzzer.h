// What the picture targets share: fuzzed bytes as an open regular file, and the bounds
// the targets keep to so that each input stays fast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fuzz {

inline constexpr uint64_t kPictureMaxPixels = 1u << 20;

// The bytes as a regular file in memory (memfd), opened for reading at its start; null
// when it cannot be made. Close it with fclose.
FILE* OpenBytes(const uint8_t* data, size_t size);

}  // namespace fuzz
