// The tray program's HTTP(S) transfers on libcurl: a page into memory, a file to disk.
// Every transfer has a time limit and can be aborted from another thread; HTTPS peers are
// verified against the system's authorities or a given file of them. Safe on any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

namespace tray {

struct FetchOptions {
  long timeoutMs = 5000;       // the whole transfer; 0: none (use the low-speed limit)
  long connectTimeoutMs = 5000;
  long lowSpeedBytes = 0;      // > 0: abort when slower than this many bytes/s ...
  long lowSpeedSeconds = 0;    // ... for this many seconds
  bool httpsOnly = false;      // refuse http:// and redirects to it
  std::string caFile;          // "" = the system's authorities
  size_t maxBytes = 1 << 20;   // a page larger than this is refused (pages only)
  long long maxFileBytes = 0;  // > 0: a download stops once more than this arrived (files only)
  const std::atomic<bool>* keepGoing = nullptr;  // cleared: the transfer aborts
};

struct FetchResult {
  bool ok = false;      // the transfer completed (whatever the status)
  long status = 0;      // the HTTP status; 0 without an answer
  std::string body;     // what arrived (pages only)
  std::string error;    // why it failed
  bool tooLarge = false;  // stopped past maxBytes or maxFileBytes
  bool Good() const { return ok && status == 200; }
};

// Whether libcurl loads and initialises; false (and "init libcurl failed." on standard
// error) when it does not. Each transfer loads it for its time; the last one unloads it.
bool InitCurl();

FetchResult HttpGet(const std::string& url, const FetchOptions& options);
// Writes the body to path (created 0600 or truncated; a symbolic link there is refused);
// the file stays whatever arrived, the caller judges it by the result.
FetchResult HttpDownload(const std::string& url, const std::string& path,
                         const FetchOptions& options);

// Every option of a transfer is checked as it is set: one that libcurl refuses (an older or
// differently built library) fails the transfer before it starts, with a line in the
// log, since a rule or a limit dropped in silence would let it run without it.
// For tests: refuse(option) true makes setting that option fail as if libcurl had refused
// it; an empty function restores libcurl's own answers.
void SetCurlOptionRefusalForTest(std::function<bool(int option)> refuse);

}  // namespace tray
