// One transfer on libcurl: a page to a descriptor, or a file to a path.
#pragma once

#include <set>
#include <string>

#include "fetch_wire.h"

namespace fetch {

struct Request {
  std::string url;
  std::string outputPath;       // "": a page, written to pageFd
  int pageFd = 1;
  long timeoutMs = 5000;        // the whole transfer; 0: none
  long connectTimeoutMs = 5000;
  long lowSpeedBytes = 0;       // > 0 with lowSpeedSeconds: abort when slower
  long lowSpeedSeconds = 0;
  bool httpsOnly = false;       // refuse http:// and redirects to it
  std::string caFile;           // "": the system's authorities
  long long maxBytes = 1 << 20;  // a page larger than this is refused
  long long maxFileBytes = 0;   // > 0: a download stops once more than this arrived
  std::set<int> refusedOptions;  // tests: options taken as refused by libcurl
};

// Aborts a running Transfer (from a signal handler).
void RequestAbort();

tray::fetchwire::Result Transfer(const Request& request);

}  // namespace fetch
