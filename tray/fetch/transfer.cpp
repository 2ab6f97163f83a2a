#include "transfer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace fetch {

namespace {

using tray::fetchwire::Result;

constexpr int kPollMs = 50;

volatile std::sig_atomic_t g_abort = 0;

struct Sink {
  int pageFd = -1;           // a page: written here
  FILE* file = nullptr;      // a file: written here
  long long maxBytes = 0;    // the page's limit
  long long maxFileBytes = 0;  // > 0: the file's limit
  long long written = 0;
  bool tooLarge = false;
  bool writeFailed = false;
};

bool WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

size_t OnData(char* data, size_t size, size_t n, void* arg) {
  auto* sink = static_cast<Sink*>(arg);
  size_t len = size * n;
  const long long limit = sink->file ? sink->maxFileBytes : sink->maxBytes;
  if ((sink->file == nullptr || limit > 0) && sink->written + static_cast<long long>(len) > limit) {
    sink->tooLarge = true;
    return 0;  // aborts the transfer
  }
  if (sink->file) {
    size_t put = std::fwrite(data, 1, len, sink->file);
    sink->written += static_cast<long long>(put);
    return put;
  }
  if (!WriteAll(sink->pageFd, data, len)) {
    sink->writeFailed = true;
    return 0;
  }
  sink->written += static_cast<long long>(len);
  return len;
}

int OnProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return g_abort ? 1 : 0; }

Result Run(const Request& q, Sink* sink) {
  Result r;
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    std::fputs("init libcurl failed.\n", stderr);
    r.error = "init libcurl failed.";
    return r;
  }
  CURL* c = curl_easy_init();
  if (c == nullptr) {
    std::fputs("get a easy handle failed.\n", stderr);
    r.error = "get a easy handle failed.";
    curl_global_cleanup();
    return r;
  }
  char errbuf[CURL_ERROR_SIZE] = "";
  std::string refused;  // the first option libcurl refused, with its reason
  auto set = [&](CURLoption option, const char* name, auto value) {
    if (!refused.empty()) return;
    CURLcode rc = q.refusedOptions.count(option) ? CURLE_UNKNOWN_OPTION : curl_easy_setopt(c, option, value);
    if (rc != CURLE_OK) refused = std::string(name) + " (" + curl_easy_strerror(rc) + ")";
  };
#define TIRVAN_SET(option, value) set(option, #option, value)
  TIRVAN_SET(CURLOPT_URL, q.url.c_str());
  TIRVAN_SET(CURLOPT_ERRORBUFFER, errbuf);
  TIRVAN_SET(CURLOPT_NOSIGNAL, 1L);
  TIRVAN_SET(CURLOPT_FOLLOWLOCATION, 1L);
  TIRVAN_SET(CURLOPT_MAXREDIRS, 5L);
  const char* protocols = q.httpsOnly ? "https" : "http,https";
  TIRVAN_SET(CURLOPT_PROTOCOLS_STR, protocols);
  TIRVAN_SET(CURLOPT_REDIR_PROTOCOLS_STR, protocols);
  TIRVAN_SET(CURLOPT_SSL_VERIFYPEER, 1L);
  TIRVAN_SET(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!q.caFile.empty()) TIRVAN_SET(CURLOPT_CAINFO, q.caFile.c_str());
  if (q.timeoutMs > 0) TIRVAN_SET(CURLOPT_TIMEOUT_MS, q.timeoutMs);
  if (q.connectTimeoutMs > 0) TIRVAN_SET(CURLOPT_CONNECTTIMEOUT_MS, q.connectTimeoutMs);
  if (q.lowSpeedBytes > 0 && q.lowSpeedSeconds > 0) {
    TIRVAN_SET(CURLOPT_LOW_SPEED_LIMIT, q.lowSpeedBytes);
    TIRVAN_SET(CURLOPT_LOW_SPEED_TIME, q.lowSpeedSeconds);
  }
  if (sink->file != nullptr && q.maxFileBytes > 0)
    TIRVAN_SET(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(q.maxFileBytes));
  TIRVAN_SET(CURLOPT_NOPROGRESS, 0L);
  TIRVAN_SET(CURLOPT_XFERINFOFUNCTION, OnProgress);
  TIRVAN_SET(CURLOPT_XFERINFODATA, static_cast<void*>(nullptr));
  TIRVAN_SET(CURLOPT_WRITEFUNCTION, OnData);
  TIRVAN_SET(CURLOPT_WRITEDATA, sink);
#undef TIRVAN_SET
  if (!refused.empty()) {
    curl_easy_cleanup(c);
    curl_global_cleanup();
    r.error = "libcurl refused " + refused;
    r.refused = true;
    return r;
  }
  // Driven through a multi handle that is looked at every kPollMs, so that an abort
  // (SIGTERM, SIGINT) ends the transfer at once, even while the server sends nothing.
  CURLcode code = CURLE_OK;
  bool aborted = false;
  CURLM* multi = curl_multi_init();
  if (multi == nullptr || curl_multi_add_handle(multi, c) != CURLM_OK) {
    code = curl_easy_perform(c);
  } else {
    int running = 1;
    while (running > 0) {
      if (curl_multi_perform(multi, &running) != CURLM_OK) {
        code = CURLE_FAILED_INIT;
        break;
      }
      if (running == 0) break;
      if (g_abort) {
        aborted = true;
        break;
      }
      curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left))
      if (msg->msg == CURLMSG_DONE) code = msg->data.result;
    curl_multi_remove_handle(multi, c);
  }
  if (multi) curl_multi_cleanup(multi);
  if (aborted) code = CURLE_ABORTED_BY_CALLBACK;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
  r.ok = code == CURLE_OK;
  if (!r.ok) {
    r.error = *errbuf ? errbuf : curl_easy_strerror(code);
    if (sink->tooLarge && sink->file == nullptr) r.error = "the page is too large";
    if (sink->writeFailed) r.error = "cannot write the page to standard output";
    if (sink->file != nullptr && (sink->tooLarge || code == CURLE_FILESIZE_EXCEEDED))
      r.error = "more than " + std::to_string(q.maxFileBytes) + " bytes";
    r.tooLarge = sink->tooLarge || code == CURLE_FILESIZE_EXCEEDED;
    if (code == CURLE_ABORTED_BY_CALLBACK) r.error = "aborted";
  }
  curl_easy_cleanup(c);
  curl_global_cleanup();
  return r;
}

}  // namespace

void RequestAbort() { g_abort = 1; }

Result Transfer(const Request& q) {
  Result r;
  if (q.httpsOnly && !tray::fetchwire::IsHttps(q.url)) {  // before the file is touched
    r.error = "refused: not an https address";
    return r;
  }
  Sink sink;
  if (q.outputPath.empty()) {
    sink.pageFd = q.pageFd;
    sink.maxBytes = q.maxBytes;
    return Run(q, &sink);
  }
  // Never through a link: a symbolic link at the path would have the download overwrite
  // whatever file it names.
  int fd = ::open(q.outputPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  FILE* f = fd < 0 ? nullptr : ::fdopen(fd, "w+b");
  if (f == nullptr) {
    if (fd >= 0) ::close(fd);
    r.error = "cannot create " + q.outputPath;
    return r;
  }
  sink.file = f;
  sink.maxFileBytes = q.maxFileBytes;
  r = Run(q, &sink);
  if (std::fflush(f) != 0 && r.ok) {
    r.ok = false;
    r.error = "cannot write " + q.outputPath;
  }
  std::fclose(f);
  return r;
}

}  // namespace fetch
