// Thumbnails as a device fetches them: it names a picture on the PC and a size, and the
// service answers the JPEG in chunks of at most 1,000 bytes followed by a status message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/device_client.h"

namespace device {

struct ThumbnailResult {
  std::vector<uint8_t> jpeg;
  size_t chunks = 0;
};

struct ThumbnailError {
  Failure failure = Failure::None;
  std::string text;
};

// The largest thumbnail the client accepts; a longer announcement is a protocol fault.
inline constexpr size_t kMaxThumbnailBytes = 64u << 20;

// Asks for a thumbnail of remote (a PC path, UTF-8, at most 255 bytes) scaled to exactly
// width × height and collects its chunks. True with the JPEG in out. False with error set:
// Refused for the service's status 1, Protocol for chunks out of order, of a wrong size or
// of another request, Transport for the connection, Local for a path that does not fit.
bool FetchThumbnail(DeviceClient& client, uint32_t seq, const std::string& remote, uint16_t width,
                    uint16_t height, ThumbnailResult& out, ThumbnailError* error);

// The same, written to local (replaced only once the whole thumbnail has arrived).
bool FetchThumbnailToFile(DeviceClient& client, uint32_t seq, const std::string& remote,
                          uint16_t width, uint16_t height, const std::string& local,
                          ThumbnailResult& out, ThumbnailError* error);

}  // namespace device
