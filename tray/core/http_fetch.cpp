#include "http_fetch.h"

#include <QtGlobal>
#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <mutex>
#include <type_traits>

namespace tray {

namespace {

constexpr int kPollMs = 50;

// libcurl is loaded when a transfer starts, not with the program: with the libraries it
// brings (TLS, Kerberos, LDAP, SSH and more) it was a good share of the program's
// start-up time and memory, and the first transfer comes seconds later.
struct CurlApi {
  decltype(&::curl_global_init) global_init = nullptr;
  decltype(&::curl_easy_init) easy_init = nullptr;
  decltype(&::curl_easy_setopt) easy_setopt = nullptr;
  decltype(&::curl_easy_perform) easy_perform = nullptr;
  decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&::curl_easy_strerror) easy_strerror = nullptr;
  decltype(&::curl_multi_init) multi_init = nullptr;
  decltype(&::curl_multi_add_handle) multi_add_handle = nullptr;
  decltype(&::curl_multi_perform) multi_perform = nullptr;
  decltype(&::curl_multi_poll) multi_poll = nullptr;
  decltype(&::curl_multi_info_read) multi_info_read = nullptr;
  decltype(&::curl_multi_remove_handle) multi_remove_handle = nullptr;
  decltype(&::curl_multi_cleanup) multi_cleanup = nullptr;
  decltype(&::curl_global_cleanup) global_cleanup = nullptr;
  void* lib = nullptr;
};

// Loads libcurl and finds its functions; false (with the reason on standard error) when
// the library or one of them is missing.
bool LoadCurl(CurlApi& api) {
  void* lib = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "cannot load libcurl: %s\n", ::dlerror());
    return false;
  }
  bool ok = true;
  auto find = [&](auto& fn, const char* name) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(lib, name));
    if (fn == nullptr) {
      std::fprintf(stderr, "libcurl has no %s\n", name);
      ok = false;
    }
  };
  find(api.global_init, "curl_global_init");
  find(api.easy_init, "curl_easy_init");
  find(api.easy_setopt, "curl_easy_setopt");
  find(api.easy_perform, "curl_easy_perform");
  find(api.easy_getinfo, "curl_easy_getinfo");
  find(api.easy_cleanup, "curl_easy_cleanup");
  find(api.easy_strerror, "curl_easy_strerror");
  find(api.multi_init, "curl_multi_init");
  find(api.multi_add_handle, "curl_multi_add_handle");
  find(api.multi_perform, "curl_multi_perform");
  find(api.multi_poll, "curl_multi_poll");
  find(api.multi_info_read, "curl_multi_info_read");
  find(api.multi_remove_handle, "curl_multi_remove_handle");
  find(api.multi_cleanup, "curl_multi_cleanup");
  find(api.global_cleanup, "curl_global_cleanup");
  if (ok) {
    api.lib = lib;
  } else {
    ::dlclose(lib);
  }
  return ok;
}

// libcurl is loaded while transfers run and unloaded after the last one, so that the
// libraries it brings hold no memory between the rare transfers. A transfer that ended
// before its name lookup did may leave libcurl's resolver thread running; then the
// library stays loaded for the program's life.
std::mutex g_curlMutex;
CurlApi g_curl;         // set while loaded
int g_curlUsers = 0;    // transfers running
bool g_curlPinned = false;

// Loads and initialises libcurl for one more transfer; false when that failed.
bool AcquireCurl() {
  std::lock_guard lock(g_curlMutex);
  if (g_curl.lib == nullptr) {
    CurlApi api;
    if (!LoadCurl(api)) {
      std::fputs("init libcurl failed.\n", stderr);
      return false;
    }
    if (api.global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
      std::fputs("init libcurl failed.\n", stderr);
      ::dlclose(api.lib);
      return false;
    }
    g_curl = api;
  }
  ++g_curlUsers;
  return true;
}

void ReleaseCurl(bool pin) {
  std::lock_guard lock(g_curlMutex);
  if (pin) g_curlPinned = true;
  if (--g_curlUsers > 0 || g_curlPinned || g_curl.lib == nullptr) return;
  g_curl.global_cleanup();
  ::dlclose(g_curl.lib);
  g_curl = CurlApi{};
}

std::mutex g_refusalMutex;
std::function<bool(int)> g_refusal;  // tests only

struct Sink {
  std::string* text = nullptr;
  FILE* file = nullptr;
  size_t maxBytes = 0;
  long long maxFileBytes = 0;  // > 0: the file's limit
  long long written = 0;
  bool tooLarge = false;
};

size_t OnData(char* data, size_t size, size_t n, void* arg) {
  auto* sink = static_cast<Sink*>(arg);
  size_t len = size * n;
  if (sink->file) {
    if (sink->maxFileBytes > 0 && sink->written + static_cast<long long>(len) > sink->maxFileBytes) {
      sink->tooLarge = true;
      return 0;  // aborts the transfer
    }
    size_t put = std::fwrite(data, 1, len, sink->file);
    sink->written += static_cast<long long>(put);
    return put;
  }
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
  if (!AcquireCurl()) {
    r.error = "init libcurl failed.";
    return r;
  }
  const CurlApi& curl = g_curl;  // stays loaded until this transfer's ReleaseCurl
  CURL* c = curl.easy_init();
  if (c == nullptr) {
    std::fputs("get a easy handle failed.\n", stderr);
    r.error = "get a easy handle failed.";
    ReleaseCurl(false);
    return r;
  }
  char errbuf[CURL_ERROR_SIZE] = "";
  std::function<bool(int)> refuse;
  {
    std::lock_guard<std::mutex> lock(g_refusalMutex);
    refuse = g_refusal;
  }
  std::string refused;  // the first option libcurl refused, with its reason
  auto set = [&](CURLoption option, const char* name, auto value) {
    if (!refused.empty()) return;
    CURLcode rc = refuse && refuse(option) ? CURLE_UNKNOWN_OPTION : curl.easy_setopt(c, option, value);
    if (rc != CURLE_OK) refused = std::string(name) + " (" + curl.easy_strerror(rc) + ")";
  };
#define TIRVAN_SET(option, value) set(option, #option, value)
  TIRVAN_SET(CURLOPT_URL, url.c_str());
  TIRVAN_SET(CURLOPT_ERRORBUFFER, errbuf);
  TIRVAN_SET(CURLOPT_NOSIGNAL, 1L);
  TIRVAN_SET(CURLOPT_FOLLOWLOCATION, 1L);
  TIRVAN_SET(CURLOPT_MAXREDIRS, 5L);
  const char* protocols = o.httpsOnly ? "https" : "http,https";
  TIRVAN_SET(CURLOPT_PROTOCOLS_STR, protocols);
  TIRVAN_SET(CURLOPT_REDIR_PROTOCOLS_STR, protocols);
  TIRVAN_SET(CURLOPT_SSL_VERIFYPEER, 1L);
  TIRVAN_SET(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!o.caFile.empty()) TIRVAN_SET(CURLOPT_CAINFO, o.caFile.c_str());
  if (o.timeoutMs > 0) TIRVAN_SET(CURLOPT_TIMEOUT_MS, o.timeoutMs);
  if (o.connectTimeoutMs > 0) TIRVAN_SET(CURLOPT_CONNECTTIMEOUT_MS, o.connectTimeoutMs);
  if (o.lowSpeedBytes > 0 && o.lowSpeedSeconds > 0) {
    TIRVAN_SET(CURLOPT_LOW_SPEED_LIMIT, o.lowSpeedBytes);
    TIRVAN_SET(CURLOPT_LOW_SPEED_TIME, o.lowSpeedSeconds);
  }
  if (sink->file != nullptr && o.maxFileBytes > 0)
    TIRVAN_SET(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(o.maxFileBytes));
  TIRVAN_SET(CURLOPT_NOPROGRESS, 0L);
  TIRVAN_SET(CURLOPT_XFERINFOFUNCTION, OnProgress);
  TIRVAN_SET(CURLOPT_XFERINFODATA, o.keepGoing);
  TIRVAN_SET(CURLOPT_WRITEFUNCTION, OnData);
  TIRVAN_SET(CURLOPT_WRITEDATA, sink);
#undef TIRVAN_SET
  if (!refused.empty()) {
    curl.easy_cleanup(c);
    r.error = "libcurl refused " + refused;
    qWarning("transfer of %s not started: %s", url.c_str(), r.error.c_str());
    return r;
  }
  // Driven through a multi handle that is looked at every kPollMs, so that an abort
  // ends the transfer at once, even while the server sends nothing.
  CURLcode code = CURLE_OK;
  bool aborted = false;
  CURLM* multi = curl.multi_init();
  if (multi == nullptr || curl.multi_add_handle(multi, c) != CURLM_OK) {
    code = curl.easy_perform(c);
  } else {
    int running = 1;
    while (running > 0) {
      if (curl.multi_perform(multi, &running) != CURLM_OK) {
        code = CURLE_FAILED_INIT;
        break;
      }
      if (running == 0) break;
      if (o.keepGoing != nullptr && !o.keepGoing->load()) {
        aborted = true;
        break;
      }
      curl.multi_poll(multi, nullptr, 0, kPollMs, nullptr);
    }
    int left = 0;
    while (CURLMsg* msg = curl.multi_info_read(multi, &left))
      if (msg->msg == CURLMSG_DONE) code = msg->data.result;
    curl.multi_remove_handle(multi, c);
  }
  if (multi) curl.multi_cleanup(multi);
  if (aborted) code = CURLE_ABORTED_BY_CALLBACK;
  curl.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
  curl_off_t lookupUs = 0;
  const bool lookupUnfinished = code != CURLE_OK &&
                                (curl.easy_getinfo(c, CURLINFO_NAMELOOKUP_TIME_T, &lookupUs) != CURLE_OK || lookupUs == 0);
  curl.easy_cleanup(c);
  r.ok = code == CURLE_OK;
  if (!r.ok) {
    r.error = *errbuf ? errbuf : curl.easy_strerror(code);
    if (sink->tooLarge && sink->file == nullptr) r.error = "the page is too large";
    if (sink->file != nullptr && (sink->tooLarge || code == CURLE_FILESIZE_EXCEEDED))
      r.error = "more than " + std::to_string(o.maxFileBytes) + " bytes";
    r.tooLarge = sink->tooLarge || code == CURLE_FILESIZE_EXCEEDED;
    if (code == CURLE_ABORTED_BY_CALLBACK) r.error = "aborted";
  }
  ReleaseCurl(lookupUnfinished);
  return r;
}

}  // namespace

bool InitCurl() {
  if (!AcquireCurl()) return false;
  ReleaseCurl(false);
  return true;
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
  // Never through a link: a symbolic link at path would have the download overwrite
  // whatever file it names.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  FILE* f = fd < 0 ? nullptr : ::fdopen(fd, "w+b");
  if (f == nullptr) {
    if (fd >= 0) ::close(fd);
    r.error = "cannot create " + path;
    return r;
  }
  Sink sink;
  sink.file = f;
  sink.maxFileBytes = options.maxFileBytes;
  r = Transfer(url, &sink, options);
  if (std::fflush(f) != 0 && r.ok) {
    r.ok = false;
    r.error = "cannot write " + path;
  }
  std::fclose(f);
  return r;
}

void SetCurlOptionRefusalForTest(std::function<bool(int option)> refuse) {
  std::lock_guard<std::mutex> lock(g_refusalMutex);
  g_refusal = std::move(refuse);
}

}  // namespace tray
