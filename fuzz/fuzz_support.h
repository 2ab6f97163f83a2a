// Shared pieces of the fuzz targets: a quiet log, an install root with its database and
// shares in a temporary folder, a reader over the fuzzer's bytes, and the driver that
// feeds request records to device handlers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "comm/dispatch.h"

// The entry point every target defines.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

// Stops the target at once (a finding), with the reason on standard error.
[[noreturn]] void Fail(const char* what);

// True when TIRVAN_FUZZ_VERBOSE is set: the targets then tell what each input did, for
// writing seeds.
bool Verbose();

// Opens g_Log on /dev/null at the debug level, so that every log line is formatted (a
// bad format argument is found) and nothing is written.
void LogToNull();

// Reads sum of every byte, so that a buffer shorter than its stated length is found by
// AddressSanitizer.
uint32_t TouchAll(const uint8_t* data, size_t len);

// A folder made with mkdtemp, removed with everything in it by RemoveTree.
std::string MakeTempDir(const char* tag);
void RemoveTree(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// The install root the request targets use, made on first use and removed at exit:
//   etc/Tirvan.db   the shipped schema; qz_conf names a closed port as the central server
//   Shared/         the one shared folder: files, a sub-folder, pictures, a FIFO, a link
//                   out of the shares and a dangling link
//   Tirvan/         the default folder with its Pictures, Music, Video and Docs
//   Outside/        not shared: what no device may ever read
//   SharedX/        not shared, a sibling whose name starts with the share's name
// Files outside the shares carry kSecretMarker, and the picture outside the shares is
// kSecretPictureHeight pixels high, so that any of their bytes in an answer is found.
struct Root {
  std::string base;
  std::string share;
  std::string def;
  std::string outside;
};
const Root& TestRoot();

// After each input of a request target: whatever was made under the root since it was laid
// out is removed when it lies in the shared or default folder, and is a finding anywhere
// else; every file and link of the layout must be as it was. Shares and default folders
// changed in the database are set back.
void CheckAndRestoreRoot();

inline constexpr const char* kSecretMarker = "TIRVAN-OUTSIDE-SECRET";
inline constexpr int kSecretPictureHeight = 89;
// Fails when bytes that reached a device hold anything of the files outside the shares.
void CheckNoLeak(const uint8_t* data, size_t len);

// Sequential reads over the fuzzer's input; reads past the end give zeros and shorter
// byte runs.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Empty() const { return m_pos >= m_size; }
  size_t Left() const { return m_size - m_pos; }
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  std::vector<uint8_t> Bytes(size_t n);
  std::vector<uint8_t> Rest();

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

// ---- Device handlers fed request records.
//
// The input is a sequence of records, each
//   handler index (mod the table's size) [1], flags [1], sequence number [1],
//   body length [2, big-endian], body
// Flags: bit 0 set: a direct message (direct flag 1), clear: relayed (direct flag 0, the
// body then starts with the relay prefix: device id[64] and the device's MsgHead);
// bit 1: the message came on a UDT socket (kFuzzUdtSock; what is sent on it is checked
// and dropped). Direct messages without UDT come on a connection that is not the local
// server's (a bufferevent pair), from loopback for the tray program's opcodes and from the
// LAN for the others. Each body is copied into a buffer of exactly its length.
// Every reply and everything sent is checked with CheckNoLeak.
struct HandlerEntry {
  uint16_t opcode;
  RegFun handler;
};
inline constexpr int32_t kFuzzUdtSock = 7;

// Registers the handlers (once) and sets the root, the fast intervals and the UDT send.
void InitRequestTarget(const std::vector<HandlerEntry>& table);
// Feeds the records of one input; then clears the transfer table and checks and restores
// the root. checkLeaks: apply CheckNoLeak to what was answered and sent (the tray
// program's requests may name anything on the PC, so their target turns it off).
void RunRequests(const std::vector<HandlerEntry>& table, const uint8_t* data, size_t size,
                 bool checkLeaks = true);

}  // namespace fuzz
