// Upload messages as a device sends them, for the fault tests that speak the protocol
// themselves.
#pragma once

#include <cstring>
#include <string>

#include "platform/md5.h"
#include "comm/opcodes.h"
#include "comm/wire.h"
#include "device/device_client.h"

namespace faulttest {

// The 380-byte announcement of content to target, with content's sampled digest.
inline std::string UploadRecord(const std::string& target, const std::string& content) {
  std::string rec(380, '\0');
  wire::PutU32(reinterpret_cast<uint8_t*>(rec.data()), static_cast<uint32_t>(content.size()));
  Md5Context md5;
  Md5Init(md5);
  if (content.size() <= static_cast<size_t>(kDigestWholeLimit)) {
    Md5Update(md5, reinterpret_cast<const uint8_t*>(content.data()), content.size());
  } else {
    Md5Update(md5, reinterpret_cast<const uint8_t*>(content.data()), kDigestSampleLen);
    Md5Update(md5,
              reinterpret_cast<const uint8_t*>(content.data()) + content.size() - kDigestSampleLen,
              kDigestSampleLen);
  }
  Md5Final(md5);
  std::memcpy(rec.data() + 8, md5.digest, 16);
  rec.replace(25, target.size(), target);
  return rec;
}

// Sends content from offset in messages of chunk bytes.
inline bool SendData(device::DeviceClient& c, uint32_t seq, const std::string& content,
                     size_t offset, size_t chunk = 60000) {
  for (size_t at = offset; at < content.size(); at += chunk) {
    if (!c.Send(OP_UP_LOAD_FILE, seq, std::string(12, '\0') + content.substr(at, chunk))) {
      return false;
    }
  }
  return true;
}

}  // namespace faulttest
