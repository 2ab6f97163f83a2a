// Uploads from the device to the PC, with resume: announce the file (size, digest,
// target path), send it from the offset the service answers, end. Announcing the same
// file again after an interruption continues from the bytes the service holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "device/device_client.h"

namespace device {

// Data bytes per message: what the 16-bit length leaves beside the 20-byte head, and
// what a 2,048-byte UDT message carries.
inline constexpr size_t kMaxUploadChunk = 65515;
inline constexpr size_t kUdtUploadChunk = 2028;

struct UploadOptions {
  size_t chunk = kMaxUploadChunk;  // data bytes per message, 1 to kMaxUploadChunk
  // Stop after this many data bytes (0: never): the connection is closed without an
  // end message, as when the device loses its connection midway.
  uint64_t stopAfter = 0;
  // After the end message, wait for the answer to a share-list request. On a transport
  // that serves one connection's messages in order (LAN TCP, UDT) the service has then
  // handled the end, and the file has its final name. An upload error for this upload
  // that the service sent meanwhile fails the upload (Failure::Refused, with its code).
  bool confirm = true;
  // Called now and then with the bytes sent so far and the bytes to send.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

struct UploadResult {
  std::string remote;    // the target path announced
  uint32_t size = 0;     // the local file's size
  uint32_t offset = 0;   // where the service asked to start
  uint64_t sent = 0;     // data bytes sent
  bool stopped = false;  // stopped as the options asked; announce again to resume
};

struct UploadError {
  Failure failure = Failure::None;
  std::string text;
  int code = 0;  // the service's refusal code (0xFFFF for -1)
};

// The target of a local file in a remote folder: the folder, a separator unless it
// ends with one ("/" or "\"), and the local file's name.
std::string UploadTargetPath(const std::string& folder, const std::string& local);

// Uploads local to the target path remote. True when the end was sent (and confirmed
// when the options ask), or when the upload was stopped as asked.
bool UploadFile(DeviceClient& client, uint32_t seq, const std::string& local,
                const std::string& remote, const UploadOptions& options, UploadResult& result,
                UploadError* error);

// The "put LOCAL REMOTE_FOLDER" command: uploads local into the folder and prints a
// report line to standard output (a progress line to standard error when asked).
bool RunPut(DeviceClient& client, uint32_t seq, const std::string& local,
            const std::string& folder, UploadOptions options, bool quiet, bool showProgress,
            UploadError* error);

// A byte count for people: "512 B", "1.5 KiB", ... "2.0 GiB".
std::string Human(double bytes);

}  // namespace device
