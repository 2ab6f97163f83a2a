#include "web/web_server.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/thread.h>
#include <event2/util.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/net.h"

namespace web {

namespace {

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool ParseInt(const std::string& text, long max, long* out) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > max) return false;
  *out = v;
  return true;
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

std::string GuessType(const std::string& name) {
  auto ends = [&](const char* ext) {
    size_t n = std::strlen(ext);
    return name.size() >= n && name.compare(name.size() - n, n, ext) == 0;
  };
  if (ends(".html") || ends(".htm")) return "text/html; charset=utf-8";
  if (ends(".json")) return "application/json; charset=utf-8";
  if (ends(".txt")) return "text/plain; charset=utf-8";
  if (ends(".png")) return "image/png";
  if (ends(".sh")) return "application/x-sh";
  return "application/octet-stream";
}

// A folder-relative path that stays inside the folder: no "." or ".." segment, no NUL.
bool SafeRelative(const std::string& path) {
  if (path.find('\0') != std::string::npos || path.find('\\') != std::string::npos) return false;
  std::stringstream in(path);
  std::string seg;
  while (std::getline(in, seg, '/'))
    if (seg == "." || seg == "..") return false;
  return true;
}

}  // namespace

bool ParseManifest(const std::string& text, std::vector<Route>* routes, std::string* error) {
  std::stringstream in(text);
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    auto fail = [&](const std::string& what) {
      *error = "manifest line " + std::to_string(lineNo) + ": " + what;
      return false;
    };
    size_t end = line.find_first_of(" \t", start);
    std::string target = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (target.empty() || target[0] != '/') return fail("a route starts with /");
    Route r;
    size_t q = target.find('?');
    r.path = target.substr(0, q);
    if (q != std::string::npos) r.query = target.substr(q + 1);
    size_t pos = end;
    bool statusGiven = false;
    while (pos != std::string::npos) {
      pos = line.find_first_not_of(" \t", pos);
      if (pos == std::string::npos) break;
      if (line.compare(pos, 5, "body=") == 0) {
        r.body = line.substr(pos + 5);
        break;
      }
      size_t e = line.find_first_of(" \t", pos);
      std::string opt = line.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
      pos = e;
      size_t eq = opt.find('=');
      std::string key = opt.substr(0, eq);
      std::string value = eq == std::string::npos ? "" : opt.substr(eq + 1);
      long n = 0;
      if (key == "drop" && eq == std::string::npos) {
        r.drop = true;
      } else if (key == "expand" && eq == std::string::npos) {
        r.expand = true;
      } else if (key == "endless" && eq == std::string::npos) {
        r.endless = true;
      } else if (key == "trickle" && ParseInt(value, 3600000, &n) && n > 0) {
        r.trickleMs = static_cast<int>(n);
      } else if (key == "file" && !value.empty()) {
        if (!SafeRelative(value)) return fail("file outside the root: " + value);
        r.file = value;
      } else if (key == "type" && !value.empty()) {
        r.type = value;
      } else if (key == "location" && !value.empty()) {
        r.location = value;
      } else if (key == "status" && ParseInt(value, 599, &n) && n >= 100) {
        r.status = static_cast<int>(n);
        statusGiven = true;
      } else if (key == "fail-status" && ParseInt(value, 599, &n) && n >= 100) {
        r.failStatus = static_cast<int>(n);
      } else if (key == "delay" && ParseInt(value, 3600000, &n)) {
        r.delayMs = static_cast<int>(n);
      } else if (key == "stall" && ParseInt(value, 1L << 40, &n)) {
        r.stallAfter = n;
      } else if (key == "fail" && ParseInt(value, 1000000, &n)) {
        r.fail = static_cast<int>(n);
      } else if (key == "corrupt" && ParseInt(value, 1000000, &n)) {
        r.corrupt = static_cast<int>(n);
      } else {
        return fail("bad option " + opt);
      }
    }
    if (!r.location.empty() && !statusGiven) r.status = 302;
    routes->push_back(std::move(r));
  }
  return true;
}

struct Pending;

// What the server keeps of one client connection: its peer's address for the line logged
// when it closes, and the request held on it (a delay, a drop, a stall), if any.
struct Connection {
  std::string peer;
  int requests = 0;
  Pending* pending = nullptr;
};

struct WebServer::Impl {
  WebOptions opt;
  event_base* base = nullptr;
  evhttp* http = nullptr;
  SSL_CTX* ssl = nullptr;
  uint16_t port = 0;
  std::thread thread;
  std::vector<int> hits;     // requests per route
  std::vector<int> answers;  // full answers per route (what "corrupt" counts)
  std::set<Pending*> pending;
  std::map<evhttp_connection*, Connection> connections;
  bool stopping = false;  // the server is being freed: its log may be gone

  void Log(const std::string& line) const {
    if (opt.log) opt.log(line);
  }
  void OnRequest(evhttp_request* req);
  Connection& Track(evhttp_connection* conn);
  bool LoadBody(const Route& route, std::string* body) const;
  std::string Expand(const std::string& text) const;
  std::string BaseUrl() const {
    return std::string(ssl ? "https://" : "http://") + opt.listenHost + ":" + std::to_string(port);
  }
};

// A request whose answer waits for a timer (a delay, a drop) or that is held open (a
// stall). It ends when its timer has answered it or when its connection closes.
struct Pending {
  WebServer::Impl* impl = nullptr;
  evhttp_request* req = nullptr;
  evhttp_connection* conn = nullptr;
  event* timer = nullptr;
  int status = 200;
  std::string body;
  long stallAfter = -1;
  bool drop = false;
  bool stalled = false;
  bool endless = false;
  int trickleMs = 0;
  event* tick = nullptr;  // a streaming answer's next piece
  size_t sent = 0;        // body bytes a streaming answer has sent
  std::string logLine;

  Pending(WebServer::Impl* owner, evhttp_request* request)
      : impl(owner), req(request), conn(evhttp_request_get_connection(request)) {}
  ~Pending() {
    if (timer) event_free(timer);
    if (tick) event_free(tick);
  }
  bool Streaming() const { return endless || trickleMs > 0; }
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
};

namespace {

void Release(Pending* p) {
  auto c = p->impl->connections.find(p->conn);
  if (c != p->impl->connections.end() && c->second.pending == p) c->second.pending = nullptr;
  p->impl->pending.erase(p);
  delete p;
}

void OnPendingClosed(Pending* p) {
  if (p->impl->stopping) {
  } else if (p->tick != nullptr) {
    p->impl->Log(p->logLine + (p->endless ? " endless" : " trickling") + ", ended by the client after " +
                 std::to_string(p->sent) + " bytes");
  } else if (!p->stalled) {
    p->impl->Log(p->logLine + " (client went away)");
  }
  // A client that went away leaves the unanswered request to us; when the server itself
  // closes the connection, the connection frees it.
  if (evhttp_request_get_connection(p->req) == nullptr) evhttp_request_free(p->req);
  Release(p);
}

void SendWhole(evhttp_request* req, int status, const std::string& body) {
  evbuffer* buf = evbuffer_new();
  evbuffer_add(buf, body.data(), body.size());
  evhttp_send_reply(req, status, Reason(status), buf);
  evbuffer_free(buf);
}

constexpr size_t kStreamPiece = 64 * 1024;
constexpr size_t kStreamBacklog = 256 * 1024;  // not more waits in the connection's buffer

// One piece of a streaming answer: the next byte of a trickle, or the next kStreamPiece
// bytes of an endless body, while the client takes them.
void OnStreamTick(evutil_socket_t, short, void* arg) {
  auto* p = static_cast<Pending*>(arg);
  bufferevent* bev = evhttp_connection_get_bufferevent(p->conn);
  if (bev != nullptr && evbuffer_get_length(bufferevent_get_output(bev)) > kStreamBacklog) return;
  evbuffer* buf = evbuffer_new();
  if (p->endless) {
    for (size_t n = 0; n < kStreamPiece;) {
      size_t at = p->sent % p->body.size();
      size_t k = std::min(p->body.size() - at, kStreamPiece - n);
      evbuffer_add(buf, p->body.data() + at, k);
      n += k;
      p->sent += k;
    }
  } else {
    evbuffer_add(buf, p->body.data() + p->sent, 1);
    ++p->sent;
  }
  evhttp_send_reply_chunk(p->req, buf);
  evbuffer_free(buf);
  if (!p->endless && p->sent >= p->body.size()) {
    // Released first: ending the answer can close the connection at once.
    evhttp_request* req = p->req;
    p->impl->Log(p->logLine + " trickled to its end");
    Release(p);
    evhttp_send_reply_end(req);
  }
}

void StartStream(Pending* p) {
  if (p->endless && p->body.empty()) p->body = "x";
  if (p->body.empty()) {  // nothing to trickle
    SendWhole(p->req, p->status, p->body);
    p->impl->Log(p->logLine);
    Release(p);
    return;
  }
  if (!p->endless)
    evhttp_add_header(evhttp_request_get_output_headers(p->req), "Content-Length",
                      std::to_string(p->body.size()).c_str());
  evhttp_send_reply_start(p->req, p->status, Reason(p->status));
  // Logged once, when it ends: a request has one line.
  p->tick = event_new(p->impl->base, -1, EV_PERSIST, OnStreamTick, p);
  timeval tv{static_cast<time_t>(p->trickleMs / 1000),
             static_cast<suseconds_t>(p->endless ? 1000 : (p->trickleMs % 1000) * 1000)};
  evtimer_add(p->tick, &tv);
}

void OnPendingTimer(evutil_socket_t, short, void* arg) {
  auto* p = static_cast<Pending*>(arg);
  if (p->Streaming() && !p->drop) {
    StartStream(p);
    return;
  }
  if (p->drop) {
    p->impl->Log(p->logLine + " dropped");
    evhttp_connection* conn = p->conn;
    Release(p);
    evhttp_connection_free(conn);
    return;
  }
  if (p->stallAfter >= 0) {
    // Announce the whole length, send a part, then hold the connection until the client
    // gives up or the server stops.
    size_t part = std::min(p->body.size(), static_cast<size_t>(p->stallAfter));
    evhttp_add_header(evhttp_request_get_output_headers(p->req), "Content-Length",
                      std::to_string(p->body.size()).c_str());
    evhttp_send_reply_start(p->req, p->status, Reason(p->status));
    evbuffer* buf = evbuffer_new();
    evbuffer_add(buf, p->body.data(), part);
    evhttp_send_reply_chunk(p->req, buf);
    evbuffer_free(buf);
    p->impl->Log(p->logLine + " stalled after " + std::to_string(part) + " bytes");
    p->stalled = true;  // it stays with its connection until that closes
    return;
  }
  evhttp_request* req = p->req;
  int status = p->status;
  std::string body = std::move(p->body);
  p->impl->Log(p->logLine);
  Release(p);
  SendWhole(req, status, body);
}

// Every connection's end is logged, so that one the client cut off (it went away before
// or while it was answered) leaves its line; a request held on it ends with it.
void OnConnectionClosed(evhttp_connection* conn, void* arg) {
  auto* impl = static_cast<WebServer::Impl*>(arg);
  auto it = impl->connections.find(conn);
  if (it == impl->connections.end()) return;
  Connection c = it->second;
  impl->connections.erase(it);
  if (c.pending != nullptr) OnPendingClosed(c.pending);
  if (!impl->stopping)
    impl->Log("connection from " + c.peer + " closed after " + std::to_string(c.requests) +
              (c.requests == 1 ? " request" : " requests"));
}

void OnRequestCb(evhttp_request* req, void* arg) { static_cast<WebServer::Impl*>(arg)->OnRequest(req); }

bufferevent* MakeTlsBufferevent(event_base* base, void* arg) {
  SSL* ssl = SSL_new(static_cast<SSL_CTX*>(arg));
  if (ssl == nullptr) return nullptr;
  // Deferred callbacks: a write that fails inside a call that answers (OpenSSL writes at
  // once) ends the connection from the loop, never in the middle of that call.
  return bufferevent_openssl_socket_new(base, -1, ssl, BUFFEREVENT_SSL_ACCEPTING,
                                        BEV_OPT_CLOSE_ON_FREE | BEV_OPT_DEFER_CALLBACKS);
}

const char* MethodName(evhttp_cmd_type cmd) {
  switch (cmd) {
    case EVHTTP_REQ_GET: return "GET";
    case EVHTTP_REQ_HEAD: return "HEAD";
    case EVHTTP_REQ_POST: return "POST";
    case EVHTTP_REQ_PUT: return "PUT";
    case EVHTTP_REQ_DELETE: return "DELETE";
    default: return "OTHER";
  }
}


// Keeps p until its timer fires after delayMs or its connection closes.
void Hold(Pending* p, int delayMs) {
  p->timer = evtimer_new(p->impl->base, OnPendingTimer, p);
  p->impl->pending.insert(p);
  p->impl->Track(p->conn).pending = p;
  timeval tv{static_cast<time_t>(delayMs / 1000), static_cast<suseconds_t>((delayMs % 1000) * 1000)};
  evtimer_add(p->timer, &tv);
}
}  // namespace

Connection& WebServer::Impl::Track(evhttp_connection* conn) {
  char* host = nullptr;
  ev_uint16_t peerPort = 0;
  evhttp_connection_get_peer(conn, &host, &peerPort);
  const std::string peer = std::string(host ? host : "?") + ":" + std::to_string(peerPort);
  Connection& c = connections[conn];
  // An entry of another peer is one whose connection went without its close callback and
  // whose memory this one now has: it starts afresh.
  if (c.peer != peer) c = Connection{peer, 0, nullptr};
  evhttp_connection_set_closecb(conn, OnConnectionClosed, this);
  return c;
}

bool WebServer::Impl::LoadBody(const Route& route, std::string* body) const {
  if (!route.file) {
    *body = route.body;
  } else if (opt.root.empty() || !ReadWholeFile(opt.root + "/" + *route.file, body)) {
    return false;
  }
  if (route.expand) *body = Expand(*body);
  return true;
}

std::string WebServer::Impl::Expand(const std::string& text) const {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find('{', pos);
    size_t close = open == std::string::npos ? std::string::npos : text.find('}', open);
    if (close == std::string::npos) break;
    out.append(text, pos, open - pos);
    std::string name = text.substr(open + 1, close - open - 1);
    std::string value;
    bool known = true;
    if (name == "base") {
      value = BaseUrl();
    } else if (name.rfind("md5:", 0) == 0 && SafeRelative(name.substr(4)) && !opt.root.empty()) {
      value = FileMd5Hex(opt.root + "/" + name.substr(4)).value_or("");
    } else if (name.rfind("size:", 0) == 0 && SafeRelative(name.substr(5)) && !opt.root.empty()) {
      std::error_code ec;
      auto n = std::filesystem::file_size(opt.root + "/" + name.substr(5), ec);
      value = ec ? "" : std::to_string(n);
    } else {
      known = false;
    }
    if (known) {
      out += value;
      pos = close + 1;
    } else {
      out += '{';  // not a placeholder: a brace of the text itself
      pos = open + 1;
    }
  }
  out.append(text, std::min(pos, text.size()), std::string::npos);
  return out;
}

void WebServer::Impl::OnRequest(evhttp_request* req) {
  const char* rawUri = evhttp_request_get_uri(req);
  std::string line = std::string(MethodName(evhttp_request_get_command(req))) + " " +
                     (rawUri ? rawUri : "");
  const evhttp_uri* uri = evhttp_request_get_evhttp_uri(req);
  const char* rawPath = uri ? evhttp_uri_get_path(uri) : nullptr;
  const char* rawQuery = uri ? evhttp_uri_get_query(uri) : nullptr;
  std::string path = rawPath && *rawPath ? rawPath : "/";
  if (evhttp_connection* conn = evhttp_request_get_connection(req)) ++Track(conn).requests;
  evkeyvalq* out = evhttp_request_get_output_headers(req);

  // Routes with a query first, then those for any query.
  int found = -1;
  for (int pass = 0; pass < 2 && found < 0; ++pass) {
    for (size_t i = 0; i < opt.routes.size(); ++i) {
      const Route& r = opt.routes[i];
      if (r.path != path || r.query.has_value() != (pass == 0)) continue;
      if (pass == 0 && (rawQuery == nullptr || *r.query != rawQuery)) continue;
      found = static_cast<int>(i);
      break;
    }
  }

  int status = 200;
  std::string body;
  std::string type;
  if (found >= 0) {
    const Route& r = opt.routes[found];
    int hit = ++hits[found];
    if (r.drop) {
      auto* p = new Pending(this, req);
      p->drop = true;
      p->logLine = line;
      Hold(p, r.delayMs);
      return;
    }
    if (hit <= r.fail) {
      status = r.failStatus;
      body = "<html><body>failure " + std::to_string(hit) + "</body></html>\n";
      type = "text/html; charset=utf-8";
    } else if (!LoadBody(r, &body)) {
      status = 404;
      body = "<html><body>not found</body></html>\n";
      type = "text/html; charset=utf-8";
      line += " (route file missing)";
    } else {
      status = r.status;
      type = !r.type.empty() ? r.type : GuessType(r.file.value_or(path));
      if (!r.location.empty())
        evhttp_add_header(out, "Location", (r.expand ? Expand(r.location) : r.location).c_str());
      if (++answers[found] <= r.corrupt) {
        if (body.empty()) body = "x";
        body.back() = static_cast<char>(body.back() ^ 0x5a);
        line += " (corrupted)";
      }
    }
    evhttp_add_header(out, "Content-Type", type.c_str());
    line += " -> " + std::to_string(status) + " (" + std::to_string(body.size()) + " bytes)";
    const bool streaming = hit > r.fail && (r.endless || r.trickleMs > 0);
    if (r.delayMs > 0 || r.stallAfter >= 0 || streaming) {
      auto* p = new Pending(this, req);
      p->status = status;
      p->body = std::move(body);
      p->stallAfter = hit <= r.fail ? -1 : r.stallAfter;
      if (streaming) {
        p->endless = r.endless;
        p->trickleMs = r.endless ? 0 : r.trickleMs;
        p->stallAfter = -1;
      }
      p->logLine = line + (r.delayMs > 0 ? " after " + std::to_string(r.delayMs) + " ms" : "");
      Hold(p, r.delayMs);
      return;
    }
    SendWhole(req, status, body);
    Log(line);
    return;
  }

  // The folder: the path below the root, the query ignored.
  char* decoded = evhttp_uridecode(path.c_str(), 0, nullptr);
  std::string rel = decoded ? decoded : "";
  std::free(decoded);
  if (!opt.root.empty() && !rel.empty() && rel.size() == std::strlen(rel.c_str()) &&
      SafeRelative(rel) && ReadWholeFile(opt.root + rel, &body)) {
    type = GuessType(rel);
  } else {
    status = 404;
    body = "<html><body>not found</body></html>\n";
    type = "text/html; charset=utf-8";
  }
  evhttp_add_header(out, "Content-Type", type.c_str());
  SendWhole(req, status, body);
  Log(line + " -> " + std::to_string(status) + " (" + std::to_string(body.size()) + " bytes)");
}

WebServer::WebServer(WebOptions options) : m_impl(std::make_unique<Impl>()) {
  m_impl->opt = std::move(options);
  m_impl->hits.assign(m_impl->opt.routes.size(), 0);
  m_impl->answers.assign(m_impl->opt.routes.size(), 0);
}

WebServer::~WebServer() {
  Stop();
  Wait();
  Impl& d = *m_impl;
  d.stopping = true;
  if (d.http) evhttp_free(d.http);  // closes every connection, and so every pending request
  for (Pending* p : std::set<Pending*>(d.pending)) Release(p);
  if (d.base) event_base_free(d.base);
  if (d.ssl) SSL_CTX_free(d.ssl);
}

bool WebServer::Start(std::string* error) {
  static std::once_flag threads;
  std::call_once(threads, [] { evthread_use_pthreads(); });
  // libevent writes with writev and OpenSSL with write: a client that went away must end
  // its connection, not the server.
  platform::IgnoreSigpipe();
  Impl& d = *m_impl;
  if (d.opt.certFile.empty() != d.opt.keyFile.empty()) {
    *error = "a certificate needs its key and the key its certificate";
    return false;
  }
  if (!d.opt.certFile.empty()) {
    d.ssl = SSL_CTX_new(TLS_server_method());
    if (d.ssl == nullptr ||
        SSL_CTX_use_certificate_chain_file(d.ssl, d.opt.certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(d.ssl, d.opt.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(d.ssl) != 1) {
      char buf[256] = "no reason given";
      unsigned long e = ERR_get_error();
      if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
      *error = "cannot use certificate " + d.opt.certFile + " with key " + d.opt.keyFile + ": " + buf;
      return false;
    }
  }
  d.base = event_base_new();
  d.http = d.base ? evhttp_new(d.base) : nullptr;
  if (d.http == nullptr) {
    *error = "cannot make the event loop";
    return false;
  }
  if (d.ssl) evhttp_set_bevcb(d.http, MakeTlsBufferevent, d.ssl);
  evhttp_set_gencb(d.http, OnRequestCb, &d);
  evhttp_set_allowed_methods(d.http, EVHTTP_REQ_GET | EVHTTP_REQ_HEAD | EVHTTP_REQ_POST);
  evhttp_bound_socket* bound =
      evhttp_bind_socket_with_handle(d.http, d.opt.listenHost.c_str(), d.opt.listenPort);
  if (bound == nullptr) {
    *error = "cannot listen on " + d.opt.listenHost + ":" + std::to_string(d.opt.listenPort) +
             ": " + evutil_socket_error_to_string(EVUTIL_SOCKET_ERROR());
    return false;
  }
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(evhttp_bound_socket_get_fd(bound), reinterpret_cast<sockaddr*>(&ss), &len);
  d.port = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  d.thread = std::thread([&d] { event_base_loop(d.base, EVLOOP_NO_EXIT_ON_EMPTY); });
  return true;
}

std::string WebServer::ListenAddress() const {
  return m_impl->opt.listenHost + ":" + std::to_string(m_impl->port);
}
uint16_t WebServer::Port() const { return m_impl->port; }
std::string WebServer::BaseUrl() const { return m_impl->BaseUrl(); }

void WebServer::Stop() {
  if (m_impl->base) event_base_loopbreak(m_impl->base);
}

void WebServer::Wait() {
  if (m_impl->thread.joinable()) m_impl->thread.join();
}

}  // namespace web
