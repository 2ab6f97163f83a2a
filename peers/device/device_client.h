// The device side of the service's device protocol: what a phone app sends and expects.
// One DeviceClient speaks over one transport, one request at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/wire.h"
#include "device/transport.h"

namespace device {

struct Message {
  MsgHead head;
  std::string body;
};

struct FolderEntry {
  std::string time;  // "YYYY-MM-DD HH:MM:SS"
  int kind = 0;      // 0 folder, 1 file
  uint64_t size = 0;
  std::string name;
};

struct DownloadInfo {
  uint32_t size = 0;
  uint32_t packages = 0;
  uint8_t digest[16] = {};
};

// How a request ended when it did not succeed.
enum class Failure {
  None,
  Transport,  // connection lost, time-out
  Protocol,   // an answer the protocol does not allow
  Refused,    // the service refused (error reply, error form, end message "1")
  Local,      // a local file could not be read or written
};

// How a started download ended.
enum class DownloadEnd {
  Complete,  // every package and the end message "0"
  Failed,    // the end message "1"
  Stopped,   // the caller stopped it midway
  Broken,    // transport or protocol failure
};

struct DownloadOptions {
  enum class Mode { Fresh, Offset, Resume };
  Mode mode = Mode::Fresh;
  uint32_t offset = 0;  // Mode::Offset: the first byte to fetch
  // Stop after this many bytes have arrived (0: never), leaving a partial local file: on
  // the LAN the client closes its connection, through the relay it sends a stop request.
  uint64_t stopAfter = 0;
  // Called now and then with the bytes received so far and the bytes expected.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

struct DownloadResult {
  DownloadInfo info;
  uint32_t offset = 0;       // where the transfer started
  uint64_t received = 0;     // data bytes received
  DownloadEnd end = DownloadEnd::Broken;
  bool digestChecked = false;  // the local file is whole and its digest was compared
};

class DeviceClient {
 public:
  explicit DeviceClient(std::unique_ptr<Transport> transport);

  // The shared folders.
  bool GetShares(std::vector<std::string>& out);
  // The entries of a folder (folders first, as the service sends them).
  bool ListFolder(const std::string& path, std::vector<FolderEntry>& out);
  // Announces a download. On a refusal LastCode() holds the service's error code.
  bool RequestDownload(uint32_t seq, const std::string& path, DownloadInfo& info);
  // Starts an announced download at offset and hands each package's data to sink in
  // order. sink returns false to stop (DownloadEnd::Stopped; nothing more is read).
  DownloadEnd ReceiveDownload(uint32_t seq, uint32_t offset,
                              const std::function<bool(const uint8_t*, size_t)>& sink);
  // Refuses an announced download (no answer is expected).
  bool RefuseDownload(uint32_t seq);
  // Asks the service to stop a (relayed) download; status is the reply's character.
  // Packages and the end of that download that arrive before the reply are read over.
  bool StopDownload(uint32_t seq, char* status);

  // Downloads remote into local: announce, start at the offset the options give,
  // write, and check the digest when the local file is whole. True when the download
  // completed, or was stopped as the options asked (result.end tells which).
  //   Fresh:  local is created or truncated and receives the whole file.
  //   Offset: local is created or truncated and receives the bytes from offset on.
  //   Resume: local is kept and continued at its current size.
  bool Download(uint32_t seq, const std::string& remote, const std::string& local,
                const DownloadOptions& options, DownloadResult& result);

  // The next message, for callers that speak the protocol themselves.
  bool Recv(Message& out);
  bool Send(uint16_t opcode, uint32_t seq, const std::string& body);

  const std::string& LastError() const { return m_error; }
  Failure LastFailure() const { return m_failure; }
  int LastCode() const { return m_code; }
  void SetTimeout(int ms) { m_timeoutMs = ms; }
  void Close() { m_transport->Close(); }

 private:
  bool Fail(Failure f, std::string text, int code = 0);
  bool RecvExact(void* out, size_t len);

  std::unique_ptr<Transport> m_transport;
  int m_timeoutMs = 10000;
  std::string m_error;
  Failure m_failure = Failure::None;
  int m_code = 0;
};

// The sampled digest the service announces, of a local file (16 bytes into out).
bool LocalFileDigest(const std::string& path, uint8_t out[16]);

}  // namespace device
