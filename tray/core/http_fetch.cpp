#include "http_fetch.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdio>
#include <mutex>

namespace tray {

namespace {

constexpr int kPollMs = 50;

struct Sink {
  std::string* text = nullptr;
  FILE* file = nullptr;
  size_t maxBytes = 0;
  bool tooLarge = false;
};

size_t OnData(char* data, size_t size, size_t n, void* arg) {
  auto* sink = static_cast<Sink*>(arg);
  size_t len = size * n;
  if (sink->file) return std::fwrite(data, 1, len, sink->file);
  if (sink->text->size() + len > sink->maxBytes) {
    sink->tooLarge = true;
    return 0;  // aborts the transfer
  }
  sink->text->append(data, len);
  return len;
}

int OnProgress(void* arg, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* keepGoing = static_cast<const std::atomic<bool>*>(arg);
  return keepGoing != nullptr && !keepGoing->load() ? 1 : 0;
}

bool IsHttps(const std::string& url) {
  static const char kScheme[] = "https://";
  if (url.size() <= 8) return false;
  for (size_t i = 0; i < 8; ++i)
    if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i]) return false;
  return true;
}

FetchResult Transfer(const std::string& url, Sink* sink, const FetchOptions& o) {
  FetchResult r;
  if (o.httpsOnly && !IsHttps(url)) {
    r.error = "refused: not an https address";
    return r;
  }
  if (!InitCurl()) {
    r.error = "init libcurl failed.";
    return r;
  }
  CURL* c = curl_easy_init();
  if (c == nullptr) {
    std::fputs("get a easy handle failed.\n", stderr);
    r.error = "get a easy handle failed.";
    return r;
  }
  char errbuf[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  const char* protocols = o.httpsOnly ? "https" : "http,https";
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, protocols);
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!o.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, o.caFile.c_str());
  if (o.timeoutMs > 0) curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, o.timeoutMs);
  if (o.connectTimeoutMs > 0) curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, o.connectTimeoutMs);
  if (o.lowSpeedBytes > 0 && o.lowSpeedSeconds > 0) {
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, o.lowSpeedBytes);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, o.lowSpeedSeconds);
  }
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, o.keepGoing);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnData);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, sink);
  // Driven through a multi handle that is looked at every kPollMs, so that an abort
  // ends the transfer at once, even while the server sends nothing.
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
      if (o.keepGoing != nullptr && !o.keepGoing->load()) {
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
  curl_easy_cleanup(c);
  r.ok = code == CURLE_OK;
  if (!r.ok) {
    r.error = sink->tooLarge ? "the page is too large" : (*errbuf ? errbuf : curl_easy_strerror(code));
    if (code == CURLE_ABORTED_BY_CALLBACK) r.error = "aborted";
  }
  return r;
}

}  // namespace

bool InitCurl() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    ok = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
    if (!ok) std::fputs("init libcurl failed.\n", stderr);
  });
  return ok;
}

FetchResult HttpGet(const std::string& url, const FetchOptions& options) {
  std::string text;
  Sink sink;
  sink.text = &text;
  sink.maxBytes = options.maxBytes;
  FetchResult r = Transfer(url, &sink, options);
  r.body = std::move(text);
  return r;
}

FetchResult HttpDownload(const std::string& url, const std::string& path,
                         const FetchOptions& options) {
  FetchResult r;
  if (options.httpsOnly && !IsHttps(url)) {  // before the file is touched
    r.error = "refused: not an https address";
    return r;
  }
  FILE* f = std::fopen(path.c_str(), "w+b");
  if (f == nullptr) {
    r.error = "cannot create " + path;
    return r;
  }
  Sink sink;
  sink.file = f;
  r = Transfer(url, &sink, options);
  if (std::fflush(f) != 0 && r.ok) {
    r.ok = false;
    r.error = "cannot write " + path;
  }
  std::fclose(f);
  return r;
}

}  // namespace tray
