// The tray program's HTTP(S) transfers: a page into memory, a file to disk. Each runs on
// libcurl in a tirvan-fetch process of its own (TIRVAN_FETCH_PROGRAM, else the one next
// to the running program), so that the TLS libraries and every parser of what a server
// sends stay out of this process: their memory goes back when the helper ends, and a
// fault there fails only that transfer. Every transfer has a time limit (the helper is
// killed TIRVAN_FETCH_MARGIN_MS, default 3000, past it) and can be aborted from another
// thread; HTTPS peers are verified against the system's authorities or a given file of
// them. Safe on any thread.
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

// Whether tirvan-fetch is there to run; false (with the path and "init libcurl failed."
// on standard error) when it is not.
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
// it (the helper is told so); an empty function restores libcurl's own answers.
void SetCurlOptionRefusalForTest(std::function<bool(int option)> refuse);

}  // namespace tray
